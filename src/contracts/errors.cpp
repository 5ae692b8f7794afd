#include "contracts/errors.hpp"

#include <string.h>

namespace zdz::contracts {

ContractError ContractError::invalid_identifier(std::string kind_text, std::string reason) {
    return {Kind::InvalidIdentifier, std::move(kind_text), std::move(reason)};
}
ContractError ContractError::unsupported_version(std::string found, std::string lowest,
                                                 std::string highest) {
    return {Kind::UnsupportedVersion, std::move(found), std::move(lowest), std::move(highest)};
}
ContractError ContractError::canonicalization(std::string message) {
    return {Kind::Canonicalization, std::move(message)};
}
ContractError ContractError::signature_verification() {
    return {Kind::SignatureVerification};
}
ContractError ContractError::unsupported_algorithm(std::string name) {
    return {Kind::UnsupportedAlgorithm, std::move(name)};
}
ContractError ContractError::expired(std::string timestamp_text) {
    return {Kind::Expired, std::move(timestamp_text)};
}
ContractError ContractError::not_yet_valid(std::string timestamp_text) {
    return {Kind::NotYetValid, std::move(timestamp_text)};
}
ContractError ContractError::encryption() {
    return {Kind::Encryption};
}
ContractError ContractError::decryption() {
    return {Kind::Decryption};
}
ContractError ContractError::validation(std::string message) {
    return {Kind::Validation, std::move(message)};
}
ContractError ContractError::unknown_product(std::string name) {
    return {Kind::UnknownProduct, std::move(name)};
}

std::string ContractError::display() const {
    switch (kind_) {
        case Kind::InvalidIdentifier:
            return "invalid " + a_ + " identifier: " + b_;
        case Kind::UnsupportedVersion:
            return "unsupported contract version: " + a_ + " (supported " + b_ + "..=" + c_ + ")";
        case Kind::Canonicalization:
            return "canonical serialization failed: " + a_;
        case Kind::SignatureVerification:
            return "signature verification failed";
        case Kind::UnsupportedAlgorithm:
            return "unknown or rejected algorithm: " + a_;
        case Kind::Expired:
            return "envelope expired at " + a_;
        case Kind::NotYetValid:
            return "envelope is not yet valid until " + a_;
        case Kind::Encryption:
            return "encryption failed";
        case Kind::Decryption:
            return "decryption failed";
        case Kind::Validation:
            return "validation failed: " + a_;
        case Kind::UnknownProduct:
            return "unknown product: " + a_;
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
