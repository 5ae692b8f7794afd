#include "cli/access/store_key.hpp"

#include "cli/access/keystore_access.hpp"
#include "encoding/try.hpp"
#include "io/file.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {

tl::expected<crypto::VerifyingKey, CommandError> read_public_key_file(const std::string& path) {
    const auto text = io::read_file_text(path);
    if (!text) {
        return tl::unexpected(
            fail("cannot read public key file " + path + ": " + text.error().display()));
    }
    const auto signers = trust::parse_public_keys(*text);
    std::size_t entries = 0;
    if (signers) {
        entries = signers->size();
    } else if (signers.error().line() != 0) {
        // Line 0 is the parser's "no entries at all", counted below.
        return tl::unexpected(
            fail("invalid public key file " + path + ": " + signers.error().display()));
    }
    if (entries != 1) {
        return tl::unexpected(fail("public key file " + path +
                                   " must hold exactly one allowed_signers entry, found " +
                                   std::to_string(entries)));
    }
    return signers->front().key;
}

tl::expected<crypto::VerifyingKey, CommandError> store_verifying_key(const StoreKey& key) {
    if (!key.keystore) {
        return read_public_key_file(key.public_key.value_or(std::string()));
    }
    ZDZ_TRY(const auto record, load_keystore_file(*key.keystore));
    // The public key alone: checking a store never needs the passphrase.
    return recorded_public_key(record);
}

}  // namespace zdz::cli
