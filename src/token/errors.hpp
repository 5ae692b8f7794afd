#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace zdz::token {

// The one error type of the token layer. Each kind owns copies of what it
// reports; callers branch on kind() and the command line prints display()
// after "error: ".
class TokenError {
public:
    enum class Kind {
        // Not a PKCS#11 URI p11-kit reads, or one no key can be found by.
        UriInvalid,
        // The URI holds pin-value or pin-source: a PIN is never part of it.
        UriHoldsPin,
        // The module file could not be found or loaded.
        ModuleMissing,
        // The file loads but has no C_GetFunctionList.
        NotAModule,
        // The lock on the module file that serialises this program's
        // sessions could not be taken.
        LockFailed,
        NoMatchingToken,
        SeveralMatchingTokens,
        PinIncorrect,
        PinLocked,
        KeyNotFound,
        SeveralKeys,
        KeyNotEd25519,
        // No public-key object belongs to the private key, or several might.
        PublicKeyNotFound,
        // The public key found for the private key does not verify its
        // signatures.
        KeyPairMismatch,
        // A generate onto a label that a key already carries.
        LabelTaken,
        // The token went away between two steps (CKR_DEVICE_REMOVED,
        // CKR_TOKEN_NOT_PRESENT, a session that no longer exists).
        TokenRemoved,
        // Any other failing PKCS#11 call, named with its return code.
        CallFailed,
        // The key the token signed with is not the one the caller expected.
        UnexpectedKey,
        // The token's signature does not verify with its own public key.
        SignatureInvalid,
    };

    static TokenError uri_invalid(std::string uri, std::string reason);
    static TokenError uri_holds_pin();
    static TokenError module_missing(std::string module, std::string reason);
    static TokenError not_a_module(std::string module);
    static TokenError lock_failed(std::string module, int errno_value);
    static TokenError no_matching_token(std::string uri);
    static TokenError several_matching_tokens(std::string uri, std::size_t count);
    static TokenError pin_incorrect();
    static TokenError pin_locked();
    static TokenError key_not_found(std::string label, std::string token);
    static TokenError several_keys(std::string label, std::string token, std::size_t count);
    static TokenError key_not_ed25519(std::string label, std::string reason);
    static TokenError public_key_not_found(std::string label, std::string token,
                                           std::size_t candidates);
    static TokenError key_pair_mismatch(std::string label);
    static TokenError label_taken(std::string label, std::string token);
    static TokenError token_removed(std::string function, unsigned long return_code);
    static TokenError call_failed(std::string function, unsigned long return_code);
    static TokenError unexpected_key(std::string label, std::string found, std::string expected);
    static TokenError signature_invalid(std::string label);
    // What a failing PKCS#11 call means: TokenRemoved, PinIncorrect and
    // PinLocked for their codes, CallFailed for any other.
    static TokenError from_call(std::string function, unsigned long return_code);

    Kind kind() const { return kind_; }
    // The PKCS#11 function of TokenRemoved and CallFailed ("C_Sign"); empty
    // for the other kinds.
    const std::string& function() const { return function_; }
    // The CK_RV of TokenRemoved, CallFailed, PinIncorrect and PinLocked; 0
    // (CKR_OK) for the other kinds.
    unsigned long return_code() const { return return_code_; }

    // One line without a final newline, e.g. "no private key labelled
    // "release-2027" on token "release"". Names read from the URI or the
    // token are shown in their quoted form.
    std::string display() const;

    friend bool operator==(const TokenError&, const TokenError&) = default;

private:
    explicit TokenError(Kind kind) : kind_(kind) {}
    TokenError(Kind kind, std::string subject, std::string detail = {}, std::size_t count = 0)
        : kind_(kind), subject_(std::move(subject)), detail_(std::move(detail)), count_(count) {}
    // A kind that names the PKCS#11 call and its return code.
    static TokenError of_call(Kind kind, std::string function, unsigned long return_code);

    Kind kind_;
    // The URI, the module or the label the error is about.
    std::string subject_;
    // The token's label, or the reason.
    std::string detail_;
    // The key found, where an expected one was another.
    std::string other_;
    std::string function_;
    unsigned long return_code_ = 0;
    std::size_t count_ = 0;
};

// The symbolic name of a PKCS#11 return code ("CKR_GENERAL_ERROR"); a code
// the PKCS#11 headers do not name is written in hex ("CKR_VENDOR_DEFINED+0x5",
// "CKR 0x12345").
std::string return_code_name(unsigned long return_code);

}  // namespace zdz::token
