#pragma once

#include <string>
#include <utility>
#include <variant>

namespace zdz::contracts {

// The error of every contract operation. Callers branch on kind() and read
// what the kind carries with payload<P>(); display() gives the fixed text the
// command line prints.
class ContractError {
public:
    enum class Kind {
        InvalidIdentifier,
        UnsupportedVersion,
        Canonicalization,
        SignatureVerification,
        UnsupportedAlgorithm,
        Expired,
        NotYetValid,
        Encryption,
        Decryption,
        Validation,
        UnknownProduct,
        // libsodium could not be started (crypto/sodium.hpp).
        CryptoUnavailable,
        // A key held outside this process (a token) did not sign; the text
        // is the holder's own account.
        SigningFailed,
    };

    // What each kind carries; the kinds not named carry nothing.
    struct Identifier {  // InvalidIdentifier
        std::string kind_text;
        std::string reason;
        friend bool operator==(const Identifier&, const Identifier&) = default;
    };
    struct VersionRange {  // UnsupportedVersion
        std::string found;
        std::string lowest;
        std::string highest;
        friend bool operator==(const VersionRange&, const VersionRange&) = default;
    };
    struct Message {  // Canonicalization, SigningFailed
        std::string text;
        friend bool operator==(const Message&, const Message&) = default;
    };
    // What a Validation refused, for callers that branch on it.
    enum class Subject {
        Unspecified,
        Signature,        // an Ed25519 signature in hex
        PublicKey,        // Ed25519 public-key bytes
        ContentHash,      // "algorithm:hex"
        Timestamp,        // RFC 3339 text or Unix seconds
        Uuid,             // a UUID text
        KdfParams,        // Argon2id costs and salt
        EnvelopeContext,  // the context an envelope was made for
    };
    struct Invalid {  // Validation
        Subject subject = Subject::Unspecified;
        std::string text;
        friend bool operator==(const Invalid&, const Invalid&) = default;
    };
    struct Name {  // UnsupportedAlgorithm, UnknownProduct
        std::string text;
        friend bool operator==(const Name&, const Name&) = default;
    };
    struct At {  // Expired, NotYetValid: the time as text
        std::string time;
        friend bool operator==(const At&, const At&) = default;
    };
    using Payload =
        std::variant<std::monostate, Identifier, VersionRange, Message, Invalid, Name, At>;

    static ContractError invalid_identifier(std::string kind_text, std::string reason);
    static ContractError unsupported_version(std::string found, std::string lowest,
                                             std::string highest);
    static ContractError canonicalization(std::string message);
    static ContractError signature_verification();
    static ContractError unsupported_algorithm(std::string name);
    static ContractError expired(std::string timestamp_text);
    static ContractError not_yet_valid(std::string timestamp_text);
    static ContractError encryption();
    static ContractError decryption();
    static ContractError validation(std::string message);
    // Validation of one of the recurring subjects; display() is the same.
    static ContractError invalid(Subject subject, std::string message);
    static ContractError unknown_product(std::string name);
    static ContractError crypto_unavailable();
    static ContractError signing_failed(std::string message);

    Kind kind() const { return kind_; }
    // What the kind carries, or null when it carries another payload.
    template <class P>
    const P* payload() const {
        return std::get_if<P>(&payload_);
    }

    std::string display() const;

    friend bool operator==(const ContractError&, const ContractError&) = default;

private:
    // Not explicit: it is private, and the factories return `{Kind::..., ...}`.
    // NOLINTNEXTLINE(google-explicit-constructor)
    ContractError(Kind kind, Payload payload = {}) : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    Payload payload_;
};

// The operating system's text for an errno followed by " (os error N)".
std::string os_error_text(int code);

}  // namespace zdz::contracts
