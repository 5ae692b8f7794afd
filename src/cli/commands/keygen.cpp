#include <string>
#include <utility>

#include "cli/access/file_replacement.hpp"
#include "cli/access/passphrase.hpp"
#include "cli/access/principal.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/report.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "store/errors.hpp"
#include "store/keystore.hpp"
#include "store/token_keystore.hpp"
#include "token/token.hpp"
#include "token/uri.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {
namespace {

constexpr std::uint32_t kKibPerMib = 1024;

// The public key of the keystore file at `path`, which must be the record
// just written.
[[nodiscard]] tl::expected<crypto::VerifyingKey, std::string> read_back_verifying_key(
    const store::SealedSigningKey& written, const std::string& path) {
    const auto on_disk = store::load_keystore(path);
    if (!on_disk) {
        return tl::unexpected(on_disk.error().display());
    }
    if (store::write_keystore_json(*on_disk) != store::write_keystore_json(written)) {
        return tl::unexpected(path + " holds another keystore");
    }
    auto key = store::keystore_verifying_key(*on_disk);
    if (!key) {
        return tl::unexpected(key.error().display());
    }
    return *key;
}

// Without --force an existing --out is kept: it may hold the only copy of a
// key that devices trust.
[[nodiscard]] tl::expected<void, CommandError> refuse_existing_out(const Keygen& cmd) {
    if (!cmd.force && io::destination_exists(cmd.out)) {
        return tl::unexpected(fail(cmd.out + " already exists; pass --force to replace it"));
    }
    return {};
}

// "failed to write keystore to OUT: DETAIL", then `kept`: what a failure
// that leaves --out unwritten still has to say.
[[nodiscard]] CommandError write_failed(const Keygen& cmd, const std::string& detail,
                                        std::string_view kept = {}) {
    return fail_io("failed to write keystore to " + cmd.out + ": " + detail + std::string(kept));
}

// Takes the lock of --out's folder, asks again under it whether --out is new
// (another keygen onto the same --out may have written it since), and saves
// the keystore with `save(lock)`; the lock is handed back still held. `kept`
// ends each failure that leaves --out unwritten.
template <class Save>
[[nodiscard]] tl::expected<io::DirectoryLock, CommandError> save_under_lock(const Keygen& cmd,
                                                                            std::string_view kept,
                                                                            const Save& save) {
    auto lock = io::DirectoryLock::acquire(cmd.out);
    if (!lock) {
        return tl::unexpected(
            write_failed(cmd, store::StoreError::from_write_error(lock.error()).display(), kept));
    }
    if (auto fresh = refuse_existing_out(cmd); !fresh) {
        return tl::unexpected(fail(fresh.error().message + std::string(kept)));
    }
    if (const tl::expected<void, store::StoreError> saved = save(*lock); !saved) {
        if (saved.error().kind() == store::StoreError::Kind::StorageNotDurable) {
            return tl::unexpected(not_durable("keystore", cmd.out, saved.error().display()));
        }
        return tl::unexpected(write_failed(cmd, saved.error().display(), kept));
    }
    return std::move(*lock);
}

// keygen --pkcs11: the key pair made in (or found on) the token, and a
// keystore file that refers to it.
[[nodiscard]] CommandResult run_token_keygen(const Keygen& cmd, const std::string& principal,
                                             std::ostream& out) {
    const auto uri = token::TokenUri::parse(*cmd.pkcs11);
    if (!uri) {
        return tl::unexpected(fail(uri.error().display()));
    }
    ZDZ_TRY(auto input, read_passphrase_then_clock(cmd.passphrase_env));
    // Before the token is touched: a key made for a file that cannot be
    // written would stay on the token under its label.
    if (auto writable = io::check_destination(cmd.out); !writable) {
        input.passphrase.wipe();
        return tl::unexpected(
            write_failed(cmd, store::StoreError::from_write_error(writable.error()).display()));
    }
    const auto key = cmd.existing_key ? token::find_key(*uri, input.passphrase)
                                      : token::generate_key(*uri, input.passphrase);
    input.passphrase.wipe();
    if (!key) {
        return tl::unexpected(fail("cannot use the token: " + key.error().display()));
    }
    const auto record = store::token_keystore_for(*key, *uri, input.now);
    // What to do when the file cannot be written: the key is on the token
    // and another keygen can refer to it.
    const std::string kept = cmd.existing_key
                                 ? std::string()
                                 : "; the key stays on the token: refer to it with --existing-key";
    ZDZ_RETURN_IF_ERROR(save_under_lock(cmd, kept, [&](const io::DirectoryLock& lock) {
        return store::save_token_keystore(record, cmd.out, &lock);
    }));
    const auto& public_key = key->public_key;
    if (cmd.format == OutputFormat::Json) {
        using json::JsonValue;
        auto document = keystore_json(cmd.out, record.key_id, public_key);
        document.add("pkcs11_uri", JsonValue::string(record.pkcs11_uri));
        document.add("principal", JsonValue::string(principal));
        document.add("allowed_signers_line",
                     JsonValue::string(trust::format_allowed_signers_line(principal, public_key)));
        out << json_report_text(document);
        return {};
    }
    out << "[ok] wrote token keystore: " << cmd.out << "\n"
        << "  key_id:        " << record.key_id.to_string() << "\n"
        << "  verifying_key: " << public_key.to_hex() << "\n"
        << "  token:         " << encoding::terminal_safe(key->token_label) << "\n"
        << "  object:        " << encoding::terminal_safe(uri->label()) << "\n"
        << (cmd.existing_key ? "(the private key was already in the token and never leaves it)\n"
                             : "(the private key was generated in the token and never leaves it)\n")
        << allowed_signers_block(principal, public_key);
    return {};
}

}  // namespace

CommandResult run_keygen(const Keygen& cmd, std::ostream& out) {
    protect_process_secrets();
    // Checked before anything is sealed or written: a principal with white
    // space or a line break would print a trust-file line that reads back
    // as another signer, or as two lines.
    ZDZ_TRY(const auto principal, checked_principal(cmd.principal));
    ZDZ_RETURN_IF_ERROR(refuse_existing_out(cmd));
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"keystore", cmd.out}}));
    if (cmd.pkcs11) {
        return run_token_keygen(cmd, principal, out);
    }
    if (cmd.existing_key) {
        return tl::unexpected(fail("--existing-key names a key on a token: it needs --pkcs11"));
    }
    ZDZ_TRY(auto input, read_passphrase_then_clock(cmd.passphrase_env));
    const auto& now = input.now;
    // Before the costly sealing: a --out that the write would refuse.
    if (auto writable = io::check_destination(cmd.out); !writable) {
        return tl::unexpected(
            write_failed(cmd, store::StoreError::from_write_error(writable.error()).display()));
    }
    const auto sealed = store::seal_signing_key(input.passphrase.bytes(), now);
    input.passphrase.wipe();
    if (!sealed) {
        return tl::unexpected(
            fail_io("failed to seal a new signing key: " + sealed.error().display()));
    }
    // Held from the write until the file has been read back, so that another
    // keygen onto the same --out cannot replace the file in between: the
    // report below describes the file on disk.
    ZDZ_TRY(const auto lock, save_under_lock(cmd, {}, [&](const io::DirectoryLock& held) {
                return store::save_keystore(*sealed, cmd.out, &held);
            }));
    const auto key = read_back_verifying_key(*sealed, cmd.out);
    if (!key) {
        return tl::unexpected(
            fail_io("unexpected: could not read back the public key just written: " + key.error()));
    }
    if (cmd.format == OutputFormat::Json) {
        using json::JsonValue;
        auto document = keystore_json(cmd.out, sealed->key_id, *key);
        document.add("kdf", kdf_json(sealed->kdf));
        document.add("principal", JsonValue::string(principal));
        document.add("allowed_signers_line",
                     JsonValue::string(trust::format_allowed_signers_line(principal, *key)));
        out << json_report_text(document);
        return {};
    }
    out << "[ok] wrote sealed keystore: " << cmd.out << "\n"
        << "  key_id:        " << sealed->key_id.to_string() << "\n"
        << "  verifying_key: " << key->to_hex() << "\n"
        << "  kdf:           argon2id, " << sealed->kdf.m_cost_kib / kKibPerMib
        << " MiB, t=" << sealed->kdf.t_cost << ", p=" << sealed->kdf.parallelism << "\n"
        << "(the private key is encrypted at rest and was never printed)\n"
        << allowed_signers_block(principal, *key);
    return {};
}

}  // namespace zdz::cli
