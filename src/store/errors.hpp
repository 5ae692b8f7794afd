#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "io/file.hpp"
#include "trust/errors.hpp"

namespace zdz::store {

// The one error type of the keystores, the registry store and their files.
// Each kind owns copies of what it reports; callers branch on kind() and read
// what it carries with payload<P>().
class StoreError {
public:
    enum class Kind {
        KeystoreUnsealFailed,
        KeystoreMalformed,
        RegistrySignatureInvalid,
        // The store's signature verifies, but its expiry has passed.
        RegistryExpired,
        RegistryMalformed,
        StorageFailed,
        // The file was replaced, but flushing its directory failed: the new
        // file is in place and may not survive a crash.
        StorageNotDurable,
        // A rule of trust/ refused what a store holds (a promotion history
        // that falls below its rollback floor): the TrustError as it is.
        Trust,
    };

    static StoreError keystore_unseal_failed();
    static StoreError keystore_malformed(std::string detail);
    static StoreError registry_signature_invalid();
    static StoreError registry_expired(std::string time);
    static StoreError registry_malformed(std::string detail);
    static StoreError storage_failed(std::string detail);
    // Displayed as storage_failed is; callers tell the two apart by kind.
    static StoreError storage_not_durable(std::string detail);
    // StorageFailed, or StorageNotDurable for a file replaced but not flushed.
    static StoreError from_write_error(const io::WriteError& error);

    // Not explicit: a trust/ rule's error is carried up through ZDZ_TRY and
    // ZDZ_RETURN_IF_ERROR as the Trust kind.
    // NOLINTNEXTLINE(google-explicit-constructor)
    StoreError(trust::TrustError error) : kind_(Kind::Trust), payload_(std::move(error)) {}

    // What each kind carries; the kinds not named carry nothing.
    struct ExpiredAt {  // RegistryExpired
        std::string time;
        friend bool operator==(const ExpiredAt&, const ExpiredAt&) = default;
    };
    struct Detail {  // KeystoreMalformed, RegistryMalformed, StorageFailed, StorageNotDurable
        std::string text;
        friend bool operator==(const Detail&, const Detail&) = default;
    };
    // Trust carries its trust::TrustError.
    using Payload = std::variant<std::monostate, ExpiredAt, Detail, trust::TrustError>;

    Kind kind() const { return kind_; }
    // What the kind carries, or null when it carries another payload.
    template <class P>
    const P* payload() const {
        return std::get_if<P>(&payload_);
    }

    std::string display() const;

    // Whether the error is a trust decision against the store: its signature
    // does not verify, its expiry has passed, or a trust/ rule that is one
    // refused what it holds. The other kinds are files that cannot be read,
    // used or written.
    bool is_refusal() const;

    friend bool operator==(const StoreError&, const StoreError&) = default;

private:
    explicit StoreError(Kind kind, Payload payload = {})
        : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    Payload payload_;
};

// How an operation on a store's files failed, one of the kinds K, with the
// StoreError behind it where the kind has one.
template <class K>
struct StoreFailure {
    using Kind = K;
    Kind kind{};
    std::optional<StoreError> error;
};

}  // namespace zdz::store
