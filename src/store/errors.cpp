#include "store/errors.hpp"

namespace zdz::store {

StoreError StoreError::keystore_unseal_failed() {
    return StoreError(Kind::KeystoreUnsealFailed);
}
StoreError StoreError::keystore_malformed(std::string detail) {
    return StoreError(Kind::KeystoreMalformed, Detail{std::move(detail)});
}
StoreError StoreError::registry_signature_invalid() {
    return StoreError(Kind::RegistrySignatureInvalid);
}
StoreError StoreError::registry_expired(std::string time) {
    return StoreError(Kind::RegistryExpired, ExpiredAt{std::move(time)});
}
StoreError StoreError::registry_malformed(std::string detail) {
    return StoreError(Kind::RegistryMalformed, Detail{std::move(detail)});
}
StoreError StoreError::storage_failed(std::string detail) {
    return StoreError(Kind::StorageFailed, Detail{std::move(detail)});
}
StoreError StoreError::storage_not_durable(std::string detail) {
    return StoreError(Kind::StorageNotDurable, Detail{std::move(detail)});
}

StoreError StoreError::from_write_error(const io::WriteError& error) {
    return error.kind == io::WriteError::Kind::NotDurable ? storage_not_durable(error.detail)
                                                          : storage_failed(error.detail);
}

namespace {

// The texts of the kinds that carry a payload, one overload per payload.
struct PayloadText {
    StoreError::Kind kind;

    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(const StoreError::ExpiredAt& p) const {
        return "registry store expired at " + p.time + " (refresh-store renews it)";
    }
    std::string operator()(const StoreError::Detail& p) const {
        switch (kind) {
            case StoreError::Kind::KeystoreMalformed:
                return "keystore is malformed: " + p.text;
            case StoreError::Kind::RegistryMalformed:
                return "registry snapshot is malformed: " + p.text;
            default:
                // StorageFailed and StorageNotDurable read alike.
                return "local storage operation failed: " + p.text;
        }
    }
    std::string operator()(const trust::TrustError& error) const { return error.display(); }
};

}  // namespace

std::string StoreError::display() const {
    switch (kind_) {
        case Kind::KeystoreUnsealFailed:
            return "signing key could not be unsealed (wrong passphrase or corrupted keystore)";
        case Kind::RegistrySignatureInvalid:
            return "registry snapshot signature does not verify \u2014 the store file is untrusted";
        default:
            return std::visit(PayloadText{kind_}, payload_);
    }
}

bool StoreError::is_refusal() const {
    switch (kind_) {
        case Kind::RegistrySignatureInvalid:
        case Kind::RegistryExpired:
            return true;
        case Kind::Trust:
            return std::get<trust::TrustError>(payload_).is_refusal();
        case Kind::KeystoreUnsealFailed:
        case Kind::KeystoreMalformed:
        case Kind::RegistryMalformed:
        case Kind::StorageFailed:
        case Kind::StorageNotDurable:
            return false;
    }
    return false;
}

}  // namespace zdz::store
