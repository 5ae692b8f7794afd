#include "contracts/errors.hpp"

#include <string.h>

namespace zdz::contracts {

ContractError ContractError::invalid_identifier(std::string kind_text, std::string reason) {
    return {Kind::InvalidIdentifier, Identifier{std::move(kind_text), std::move(reason)}};
}
ContractError ContractError::unsupported_version(std::string found, std::string lowest,
                                                 std::string highest) {
    return {Kind::UnsupportedVersion,
            VersionRange{std::move(found), std::move(lowest), std::move(highest)}};
}
ContractError ContractError::canonicalization(std::string message) {
    return {Kind::Canonicalization, Message{std::move(message)}};
}
ContractError ContractError::signature_verification() {
    return {Kind::SignatureVerification};
}
ContractError ContractError::unsupported_algorithm(std::string name) {
    return {Kind::UnsupportedAlgorithm, Name{std::move(name)}};
}
ContractError ContractError::expired(std::string timestamp_text) {
    return {Kind::Expired, At{std::move(timestamp_text)}};
}
ContractError ContractError::not_yet_valid(std::string timestamp_text) {
    return {Kind::NotYetValid, At{std::move(timestamp_text)}};
}
ContractError ContractError::encryption() {
    return {Kind::Encryption};
}
ContractError ContractError::decryption() {
    return {Kind::Decryption};
}
ContractError ContractError::validation(std::string message) {
    return invalid(Subject::Unspecified, std::move(message));
}
ContractError ContractError::invalid(Subject subject, std::string message) {
    return {Kind::Validation, Invalid{subject, std::move(message)}};
}
ContractError ContractError::unknown_product(std::string name) {
    return {Kind::UnknownProduct, Name{std::move(name)}};
}
ContractError ContractError::crypto_unavailable() {
    return {Kind::CryptoUnavailable};
}

ContractError ContractError::signing_failed(std::string message) {
    return {Kind::SigningFailed, Message{std::move(message)}};
}

std::string ContractError::display() const {
    const auto text = [this]() -> const std::string& {
        if (const auto* message = payload<Message>()) {
            return message->text;
        }
        if (const auto* invalid = payload<Invalid>()) {
            return invalid->text;
        }
        if (const auto* name = payload<Name>()) {
            return name->text;
        }
        return std::get<At>(payload_).time;
    };
    switch (kind_) {
        case Kind::InvalidIdentifier: {
            const auto& id = std::get<Identifier>(payload_);
            return "invalid " + id.kind_text + " identifier: " + id.reason;
        }
        case Kind::UnsupportedVersion: {
            const auto& range = std::get<VersionRange>(payload_);
            return "unsupported contract version: " + range.found + " (supported " + range.lowest +
                   "..=" + range.highest + ")";
        }
        case Kind::Canonicalization:
            return "canonical serialization failed: " + text();
        case Kind::SignatureVerification:
            return "signature verification failed";
        case Kind::UnsupportedAlgorithm:
            return "unknown or rejected algorithm: " + text();
        case Kind::Expired:
            return "envelope expired at " + text();
        case Kind::NotYetValid:
            return "envelope is not yet valid until " + text();
        case Kind::Encryption:
            return "encryption failed";
        case Kind::Decryption:
            return "decryption failed";
        case Kind::Validation:
            return "validation failed: " + text();
        case Kind::UnknownProduct:
            return "unknown product: " + text();
        case Kind::CryptoUnavailable:
            return "the cryptography library could not be initialised";
        case Kind::SigningFailed:
            return text();
    }
    return {};
}

std::string os_error_text(int code) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

}  // namespace zdz::contracts
