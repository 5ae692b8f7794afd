#include "token/errors.hpp"

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <string_view>
#include <utility>

#include "contracts/errors.hpp"
#include "encoding/text.hpp"

namespace zdz::token {
namespace {

struct NamedCode {
    CK_RV code;
    std::string_view name;
};

#define ZDZ_NAMED(code) \
    NamedCode {         \
        code, #code     \
    }

// Every return code p11-kit's PKCS#11 header names.
constexpr std::array kReturnCodes = {
    ZDZ_NAMED(CKR_OK),
    ZDZ_NAMED(CKR_CANCEL),
    ZDZ_NAMED(CKR_HOST_MEMORY),
    ZDZ_NAMED(CKR_SLOT_ID_INVALID),
    ZDZ_NAMED(CKR_GENERAL_ERROR),
    ZDZ_NAMED(CKR_FUNCTION_FAILED),
    ZDZ_NAMED(CKR_ARGUMENTS_BAD),
    ZDZ_NAMED(CKR_NO_EVENT),
    ZDZ_NAMED(CKR_NEED_TO_CREATE_THREADS),
    ZDZ_NAMED(CKR_CANT_LOCK),
    ZDZ_NAMED(CKR_ATTRIBUTE_READ_ONLY),
    ZDZ_NAMED(CKR_ATTRIBUTE_SENSITIVE),
    ZDZ_NAMED(CKR_ATTRIBUTE_TYPE_INVALID),
    ZDZ_NAMED(CKR_ATTRIBUTE_VALUE_INVALID),
    ZDZ_NAMED(CKR_ACTION_PROHIBITED),
    ZDZ_NAMED(CKR_DATA_INVALID),
    ZDZ_NAMED(CKR_DATA_LEN_RANGE),
    ZDZ_NAMED(CKR_DEVICE_ERROR),
    ZDZ_NAMED(CKR_DEVICE_MEMORY),
    ZDZ_NAMED(CKR_DEVICE_REMOVED),
    ZDZ_NAMED(CKR_ENCRYPTED_DATA_INVALID),
    ZDZ_NAMED(CKR_ENCRYPTED_DATA_LEN_RANGE),
    ZDZ_NAMED(CKR_FUNCTION_CANCELED),
    ZDZ_NAMED(CKR_FUNCTION_NOT_PARALLEL),
    ZDZ_NAMED(CKR_FUNCTION_NOT_SUPPORTED),
    ZDZ_NAMED(CKR_KEY_HANDLE_INVALID),
    ZDZ_NAMED(CKR_KEY_SIZE_RANGE),
    ZDZ_NAMED(CKR_KEY_TYPE_INCONSISTENT),
    ZDZ_NAMED(CKR_KEY_NOT_NEEDED),
    ZDZ_NAMED(CKR_KEY_CHANGED),
    ZDZ_NAMED(CKR_KEY_NEEDED),
    ZDZ_NAMED(CKR_KEY_INDIGESTIBLE),
    ZDZ_NAMED(CKR_KEY_FUNCTION_NOT_PERMITTED),
    ZDZ_NAMED(CKR_KEY_NOT_WRAPPABLE),
    ZDZ_NAMED(CKR_KEY_UNEXTRACTABLE),
    ZDZ_NAMED(CKR_MECHANISM_INVALID),
    ZDZ_NAMED(CKR_MECHANISM_PARAM_INVALID),
    ZDZ_NAMED(CKR_OBJECT_HANDLE_INVALID),
    ZDZ_NAMED(CKR_OPERATION_ACTIVE),
    ZDZ_NAMED(CKR_OPERATION_NOT_INITIALIZED),
    ZDZ_NAMED(CKR_PIN_INCORRECT),
    ZDZ_NAMED(CKR_PIN_INVALID),
    ZDZ_NAMED(CKR_PIN_LEN_RANGE),
    ZDZ_NAMED(CKR_PIN_EXPIRED),
    ZDZ_NAMED(CKR_PIN_LOCKED),
    ZDZ_NAMED(CKR_SESSION_CLOSED),
    ZDZ_NAMED(CKR_SESSION_COUNT),
    ZDZ_NAMED(CKR_SESSION_HANDLE_INVALID),
    ZDZ_NAMED(CKR_SESSION_PARALLEL_NOT_SUPPORTED),
    ZDZ_NAMED(CKR_SESSION_READ_ONLY),
    ZDZ_NAMED(CKR_SESSION_EXISTS),
    ZDZ_NAMED(CKR_SESSION_READ_ONLY_EXISTS),
    ZDZ_NAMED(CKR_SESSION_READ_WRITE_SO_EXISTS),
    ZDZ_NAMED(CKR_SIGNATURE_INVALID),
    ZDZ_NAMED(CKR_SIGNATURE_LEN_RANGE),
    ZDZ_NAMED(CKR_TEMPLATE_INCOMPLETE),
    ZDZ_NAMED(CKR_TEMPLATE_INCONSISTENT),
    ZDZ_NAMED(CKR_TOKEN_NOT_PRESENT),
    ZDZ_NAMED(CKR_TOKEN_NOT_RECOGNIZED),
    ZDZ_NAMED(CKR_TOKEN_WRITE_PROTECTED),
    ZDZ_NAMED(CKR_UNWRAPPING_KEY_SIZE_RANGE),
    ZDZ_NAMED(CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT),
    ZDZ_NAMED(CKR_USER_ALREADY_LOGGED_IN),
    ZDZ_NAMED(CKR_USER_NOT_LOGGED_IN),
    ZDZ_NAMED(CKR_USER_PIN_NOT_INITIALIZED),
    ZDZ_NAMED(CKR_USER_TYPE_INVALID),
    ZDZ_NAMED(CKR_USER_ANOTHER_ALREADY_LOGGED_IN),
    ZDZ_NAMED(CKR_USER_TOO_MANY_TYPES),
    ZDZ_NAMED(CKR_WRAPPED_KEY_INVALID),
    ZDZ_NAMED(CKR_WRAPPED_KEY_LEN_RANGE),
    ZDZ_NAMED(CKR_WRAPPING_KEY_HANDLE_INVALID),
    ZDZ_NAMED(CKR_WRAPPING_KEY_SIZE_RANGE),
    ZDZ_NAMED(CKR_WRAPPING_KEY_TYPE_INCONSISTENT),
    ZDZ_NAMED(CKR_RANDOM_SEED_NOT_SUPPORTED),
    ZDZ_NAMED(CKR_RANDOM_NO_RNG),
    ZDZ_NAMED(CKR_DOMAIN_PARAMS_INVALID),
    ZDZ_NAMED(CKR_CURVE_NOT_SUPPORTED),
    ZDZ_NAMED(CKR_BUFFER_TOO_SMALL),
    ZDZ_NAMED(CKR_SAVED_STATE_INVALID),
    ZDZ_NAMED(CKR_INFORMATION_SENSITIVE),
    ZDZ_NAMED(CKR_STATE_UNSAVEABLE),
    ZDZ_NAMED(CKR_CRYPTOKI_NOT_INITIALIZED),
    ZDZ_NAMED(CKR_CRYPTOKI_ALREADY_INITIALIZED),
    ZDZ_NAMED(CKR_MUTEX_BAD),
    ZDZ_NAMED(CKR_MUTEX_NOT_LOCKED),
    ZDZ_NAMED(CKR_NEW_PIN_MODE),
    ZDZ_NAMED(CKR_NEXT_OTP),
    ZDZ_NAMED(CKR_EXCEEDED_MAX_ITERATIONS),
    ZDZ_NAMED(CKR_FIPS_SELF_TEST_FAILED),
    ZDZ_NAMED(CKR_LIBRARY_LOAD_FAILED),
    ZDZ_NAMED(CKR_PIN_TOO_WEAK),
    ZDZ_NAMED(CKR_PUBLIC_KEY_INVALID),
    ZDZ_NAMED(CKR_FUNCTION_REJECTED),
};

#undef ZDZ_NAMED

std::string hex(unsigned long value) {
    std::array<char, 24> digits{};
    const auto end = std::to_chars(digits.begin(), digits.end(), value, 16).ptr;
    return "0x" + std::string(digits.begin(), end);
}

std::string quoted(const std::string& text) {
    return encoding::quoted_form(text);
}

}  // namespace

std::string return_code_name(unsigned long return_code) {
    const auto* found =
        std::find_if(std::begin(kReturnCodes), std::end(kReturnCodes),
                     [&](const NamedCode& named) { return named.code == return_code; });
    if (found != std::end(kReturnCodes)) {
        return std::string(found->name);
    }
    if (return_code >= CKR_VENDOR_DEFINED) {
        return "CKR_VENDOR_DEFINED+" + hex(return_code - CKR_VENDOR_DEFINED);
    }
    return "CKR " + hex(return_code);
}

TokenError TokenError::uri_invalid(std::string uri, std::string reason) {
    return {Kind::UriInvalid, std::move(uri), std::move(reason)};
}
TokenError TokenError::uri_holds_pin() {
    return TokenError(Kind::UriHoldsPin);
}
TokenError TokenError::module_missing(std::string module, std::string reason) {
    return {Kind::ModuleMissing, std::move(module), std::move(reason)};
}
TokenError TokenError::not_a_module(std::string module) {
    return {Kind::NotAModule, std::move(module)};
}
TokenError TokenError::lock_failed(std::string module, int errno_value) {
    return {Kind::LockFailed, std::move(module), contracts::os_error_text(errno_value)};
}
TokenError TokenError::no_matching_token(std::string uri) {
    return {Kind::NoMatchingToken, std::move(uri)};
}
TokenError TokenError::several_matching_tokens(std::string uri, std::size_t count) {
    return {Kind::SeveralMatchingTokens, std::move(uri), {}, count};
}
TokenError TokenError::pin_incorrect() {
    return of_call(Kind::PinIncorrect, "C_Login", CKR_PIN_INCORRECT);
}
TokenError TokenError::pin_locked() {
    return of_call(Kind::PinLocked, "C_Login", CKR_PIN_LOCKED);
}
TokenError TokenError::key_not_found(std::string label, std::string token) {
    return {Kind::KeyNotFound, std::move(label), std::move(token)};
}
TokenError TokenError::several_keys(std::string label, std::string token, std::size_t count) {
    return {Kind::SeveralKeys, std::move(label), std::move(token), count};
}
TokenError TokenError::key_not_ed25519(std::string label, std::string reason) {
    return {Kind::KeyNotEd25519, std::move(label), std::move(reason)};
}
TokenError TokenError::public_key_not_found(std::string label, std::string token,
                                            std::size_t candidates) {
    return {Kind::PublicKeyNotFound, std::move(label), std::move(token), candidates};
}
TokenError TokenError::key_pair_mismatch(std::string label) {
    return {Kind::KeyPairMismatch, std::move(label)};
}
TokenError TokenError::label_taken(std::string label, std::string token) {
    return {Kind::LabelTaken, std::move(label), std::move(token)};
}
TokenError TokenError::token_removed(std::string function, unsigned long return_code) {
    return of_call(Kind::TokenRemoved, std::move(function), return_code);
}
TokenError TokenError::call_failed(std::string function, unsigned long return_code) {
    return of_call(Kind::CallFailed, std::move(function), return_code);
}
TokenError TokenError::unexpected_key(std::string label, std::string found, std::string expected) {
    TokenError error(Kind::UnexpectedKey, std::move(label), std::move(expected));
    error.other_ = std::move(found);
    return error;
}
TokenError TokenError::signature_invalid(std::string label) {
    return {Kind::SignatureInvalid, std::move(label)};
}

TokenError TokenError::of_call(Kind kind, std::string function, unsigned long return_code) {
    TokenError error(kind);
    error.function_ = std::move(function);
    error.return_code_ = return_code;
    return error;
}

TokenError TokenError::from_call(std::string function, unsigned long return_code) {
    switch (return_code) {
        case CKR_PIN_INCORRECT:
            return pin_incorrect();
        case CKR_PIN_LOCKED:
            return pin_locked();
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SESSION_CLOSED:
        case CKR_SLOT_ID_INVALID:
            return token_removed(std::move(function), return_code);
        default:
            return call_failed(std::move(function), return_code);
    }
}

std::string TokenError::display() const {
    const auto call = [&] { return function_ + ": " + return_code_name(return_code_); };
    const auto on_token = [&] { return " on token " + quoted(detail_); };
    switch (kind_) {
        case Kind::UriInvalid:
            return "invalid PKCS#11 URI " + quoted(subject_) + ": " + detail_;
        case Kind::UriHoldsPin:
            return "the PKCS#11 URI holds a PIN (pin-value or pin-source): the PIN is never "
                   "part of the URI";
        case Kind::ModuleMissing:
            return "cannot load PKCS#11 module " + encoding::terminal_safe(subject_) + ": " +
                   encoding::terminal_safe(detail_);
        case Kind::NotAModule:
            return encoding::terminal_safe(subject_) +
                   " is not a PKCS#11 module: it has no C_GetFunctionList";
        case Kind::LockFailed:
            return "cannot lock PKCS#11 module " + encoding::terminal_safe(subject_) + ": " +
                   detail_;
        case Kind::NoMatchingToken:
            return "no token matches " + encoding::terminal_safe(subject_);
        case Kind::SeveralMatchingTokens:
            return std::to_string(count_) + " tokens match " + encoding::terminal_safe(subject_) +
                   ": name one with token= or serial=";
        case Kind::PinIncorrect:
            return "the token refused the PIN: it is incorrect (CKR_PIN_INCORRECT)";
        case Kind::PinLocked:
            return "the token's PIN is locked (CKR_PIN_LOCKED)";
        case Kind::KeyNotFound:
            return "no private key labelled " + quoted(subject_) + on_token();
        case Kind::SeveralKeys:
            return std::to_string(count_) + " private keys labelled " + quoted(subject_) +
                   on_token() + ": name one with id=";
        case Kind::KeyNotEd25519:
            return "the key labelled " + quoted(subject_) + " is not an Ed25519 key: " + detail_;
        case Kind::PublicKeyNotFound:
            if (count_ == 0) {
                return "no public key for the private key labelled " + quoted(subject_) +
                       on_token();
            }
            return std::to_string(count_) + " public keys labelled " + quoted(subject_) +
                   on_token() + ", and not one alone has the private key's id";
        case Kind::KeyPairMismatch:
            return "the public key labelled " + quoted(subject_) +
                   " does not verify the signatures of its private key";
        case Kind::LabelTaken:
            return "a key labelled " + quoted(subject_) + " is already" + on_token() +
                   "; it is left as it is";
        case Kind::TokenRemoved:
            return "the token was removed (" + call() + ")";
        case Kind::CallFailed:
            return function_ + " failed: " + return_code_name(return_code_);
        case Kind::UnexpectedKey:
            return "the token's key labelled " + quoted(subject_) + " is " + other_ +
                   ", not the expected " + detail_;
        case Kind::SignatureInvalid:
            return "the signature of the token's key labelled " + quoted(subject_) +
                   " does not verify";
    }
    return {};
}

}  // namespace zdz::token
