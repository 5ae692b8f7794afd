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
#include "io/atomic_file.hpp"
#include "io/directory_lock.hpp"
#include "store/keystore.hpp"
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

}  // namespace

CommandResult run_keygen(const Keygen& cmd, std::ostream& out) {
    protect_process_secrets();
    // Checked before anything is sealed or written: a principal with white
    // space or a line break would print a trust-file line that reads back
    // as another signer, or as two lines.
    const auto principal = checked_principal(cmd.principal);
    if (!principal) {
        return tl::unexpected(principal.error());
    }
    if (auto fresh = refuse_existing_out(cmd); !fresh) {
        return tl::unexpected(std::move(fresh.error()));
    }
    if (auto ok = check_json_paths(cmd.format, {{"keystore", cmd.out}}); !ok) {
        return tl::unexpected(std::move(ok.error()));
    }
    auto input = read_passphrase_then_clock(cmd.passphrase_env);
    if (!input) {
        return tl::unexpected(input.error());
    }
    const auto& now = input->now;
    // Before the costly sealing: a --out that the write would refuse.
    if (auto writable = io::check_destination(cmd.out); !writable) {
        return tl::unexpected(
            fail_io("failed to write keystore to " + cmd.out + ": " +
                    trust::TrustError::from_write_error(writable.error()).display()));
    }
    const auto sealed = store::seal_signing_key(input->passphrase.bytes(), now);
    input->passphrase.wipe();
    if (!sealed) {
        return tl::unexpected(
            fail_io("failed to seal a new signing key: " + sealed.error().display()));
    }
    // Held from the write until the file has been read back, so that another
    // keygen onto the same --out cannot replace the file in between: the
    // report below describes the file on disk.
    const auto lock = io::DirectoryLock::acquire(cmd.out);
    if (!lock) {
        return tl::unexpected(fail_io("failed to write keystore to " + cmd.out + ": " +
                                      trust::TrustError::from_write_error(lock.error()).display()));
    }
    // Asked again under the lock: another keygen onto the same new --out may
    // have written it since.
    if (auto fresh = refuse_existing_out(cmd); !fresh) {
        return tl::unexpected(std::move(fresh.error()));
    }
    if (const auto saved = store::save_keystore(*sealed, cmd.out, &*lock); !saved) {
        if (saved.error().kind() == trust::TrustError::Kind::StorageNotDurable) {
            return tl::unexpected(not_durable("keystore", cmd.out, saved.error().display()));
        }
        return tl::unexpected(
            fail_io("failed to write keystore to " + cmd.out + ": " + saved.error().display()));
    }
    const auto key = read_back_verifying_key(*sealed, cmd.out);
    if (!key) {
        return tl::unexpected(
            fail_io("unexpected: could not read back the public key just written: " + key.error()));
    }
    if (cmd.format == OutputFormat::Json) {
        using json::JsonValue;
        auto document = json_success();
        document.add("keystore", JsonValue::string(cmd.out));
        document.add("key_id", JsonValue::string(sealed->key_id.to_string()));
        document.add("verifying_key", JsonValue::string(key->to_hex()));
        document.add("kdf", kdf_json(sealed->kdf));
        document.add("principal", JsonValue::string(*principal));
        document.add("allowed_signers_line",
                     JsonValue::string(trust::format_allowed_signers_line(*principal, *key)));
        out << json_report_text(document);
        return {};
    }
    out << "[ok] wrote sealed keystore: " << cmd.out << "\n"
        << "  key_id:        " << sealed->key_id.to_string() << "\n"
        << "  verifying_key: " << key->to_hex() << "\n"
        << "  kdf:           argon2id, " << sealed->kdf.m_cost_kib / kKibPerMib
        << " MiB, t=" << sealed->kdf.t_cost << ", p=" << sealed->kdf.parallelism << "\n"
        << "(the private key is encrypted at rest and was never printed)\n"
        << allowed_signers_block(*principal, *key);
    return {};
}

}  // namespace zdz::cli
