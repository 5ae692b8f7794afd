#include <string>
#include <utility>
#include <variant>

#include "cli/access/clock.hpp"
#include "cli/access/file_replacement.hpp"
#include "cli/access/keystore_access.hpp"
#include "cli/access/passphrase.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/report.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "store/errors.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"
#include "store/keystore_update.hpp"
#include "store/token_keystore.hpp"

namespace zdz::cli {

CommandResult run_change_passphrase(const ChangePassphrase& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"keystore", cmd.keystore}}));
    auto update = store::KeystoreUpdate::begin(cmd.keystore);
    if (!update) {
        if (update.error().kind == store::KeystoreUpdateError::Kind::SymbolicLink) {
            return tl::unexpected(fail("cannot change the passphrase of " + cmd.keystore +
                                       ": it is a symbolic link; name the keystore file itself"));
        }
        // A token keystore has no passphrase: the sealed reader refuses it,
        // and the refusal says what to do instead.
        if (const auto any = store::load_any_keystore(cmd.keystore);
            any && std::holds_alternative<store::TokenKeystore>(*any)) {
            return tl::unexpected(
                fail("keystore " + cmd.keystore +
                     " holds its key in a PKCS#11 token and has no passphrase: the token's PIN "
                     "is changed with the token's own tools"));
        }
        return tl::unexpected(
            fail("cannot load keystore " + cmd.keystore + ": " + update.error().error->display()));
    }
    const auto& record = update->record();
    ZDZ_TRY(auto passphrase, read_passphrase_env(cmd.passphrase_env));
    ZDZ_TRY(auto new_passphrase, read_passphrase_env(cmd.new_passphrase_env));
    ZDZ_TRY(const auto now, read_clock());
    // Before the costly unsealing: a keystore the write would refuse to
    // replace (something other than a leftover of ours at its temporary path).
    if (auto writable = io::check_destination(cmd.keystore); !writable) {
        return tl::unexpected(
            fail_io("failed to write keystore to " + cmd.keystore + ": " +
                    store::StoreError::from_write_error(writable.error()).display() +
                    "; the previous keystore is unchanged"));
    }
    ZDZ_TRY(const auto key, unseal_with(record, passphrase, now));
    // Today's costs, so that an old keystore gets them too.
    const auto resealed = store::reseal_signing_key(record, key, new_passphrase.bytes(),
                                                    store::KdfParams::keygen_default());
    if (!resealed) {
        return tl::unexpected(fail_io("failed to seal the signing key under the new passphrase: " +
                                      resealed.error().display()));
    }
    const auto replaced = update->replace(*resealed, new_passphrase, key, now);
    new_passphrase.wipe();
    if (!replaced) {
        return tl::unexpected(replacement_failure("keystore", cmd.keystore, replaced.error()));
    }
    if (cmd.format == OutputFormat::Json) {
        auto document = keystore_json(cmd.keystore, resealed->key_id, key.verifying_key());
        document.add("kdf", kdf_json(resealed->kdf));
        out << json_report_text(document);
        return {};
    }
    out << "[ok] passphrase changed: " << cmd.keystore << "\n"
        << "  key_id:        " << resealed->key_id.to_string() << "\n"
        << "  verifying_key: " << key.verifying_key().to_hex() << "\n"
        << "  kdf:           " << kdf_text(resealed->kdf) << "\n"
        << "(read back and opened with the new passphrase; the private key was never printed)\n";
    return {};
}

}  // namespace zdz::cli
