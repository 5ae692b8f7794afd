#pragma once

#include <string>

namespace zdz::contracts {

// The error of every contract operation. Callers branch on kind(); display()
// gives the fixed text the command line prints.
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
    };

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
    static ContractError unknown_product(std::string name);

    Kind kind() const { return kind_; }
    // The carried texts, in the order the kind lists them (unused ones empty).
    const std::string& first() const { return a_; }
    const std::string& second() const { return b_; }
    const std::string& third() const { return c_; }

    std::string display() const;

    friend bool operator==(const ContractError&, const ContractError&) = default;

private:
    // Not explicit: it is private, and the factories return `{Kind::..., ...}`.
    // NOLINTNEXTLINE(google-explicit-constructor)
    ContractError(Kind kind, std::string a = {}, std::string b = {}, std::string c = {})
        : kind_(kind), a_(std::move(a)), b_(std::move(b)), c_(std::move(c)) {}

    Kind kind_;
    std::string a_;
    std::string b_;
    std::string c_;
};

// The operating system's text for an errno followed by " (os error N)".
std::string os_error_text(int code);

}  // namespace zdz::contracts
