#include <string>
#include <utility>

#include "cli/access/file_replacement.hpp"
#include "cli/access/keystore_access.hpp"
#include "cli/access/passphrase.hpp"
#include "cli/access/store_access.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/error_kind.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "io/file.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "store/registry_update.hpp"
#include "store/token_keystore.hpp"

namespace zdz::cli {
namespace {

using store::StoreError;

// The two keystores of rekey-store, read without their passphrases.
struct RekeyKeystores {
    store::AnyKeystore current;
    crypto::VerifyingKey current_key;
    store::AnyKeystore next;
    crypto::VerifyingKey next_key;
};

[[nodiscard]] tl::expected<RekeyKeystores, CommandError> load_rekey_keystores(
    const RekeyStore& cmd) {
    if (io::is_same_file(cmd.new_keystore, cmd.keystore)) {
        return tl::unexpected(fail("--new-keystore " + cmd.new_keystore +
                                   " is the same file as --keystore " + cmd.keystore));
    }
    // The key the store is signed with now: its public key is all it takes.
    ZDZ_TRY(auto current, load_keystore_file(cmd.keystore));
    ZDZ_TRY(const auto current_key, recorded_public_key(current));
    ZDZ_TRY(auto next, load_keystore_file(cmd.new_keystore, "new keystore"));
    ZDZ_TRY(const auto next_key, recorded_public_key(next, "new keystore"));
    if (next_key == current_key) {
        return tl::unexpected(fail("--new-keystore " + cmd.new_keystore +
                                   " holds the same key as --keystore " + cmd.keystore));
    }
    return RekeyKeystores{std::move(current), current_key, std::move(next), next_key};
}

// The store as signed with the current key, under its folder's lock.
[[nodiscard]] tl::expected<store::RegistryUpdate, CommandError> load_store_to_rekey(
    const RekeyStore& cmd, const RekeyKeystores& keys, const contracts::Timestamp& now) {
    auto update = store::RegistryUpdate::begin(cmd.store, keys.current_key, now, false);
    if (update) {
        return std::move(*update);
    }
    if (update.error().kind == store::RegistryUpdateError::Kind::Absent) {
        return tl::unexpected(fail("no store file found at " + cmd.store));
    }
    const auto& error = *update.error().error;
    // Run again after it went through, the command would otherwise only say
    // that the store does not verify.
    if (error.kind() == StoreError::Kind::RegistrySignatureInvalid) {
        const auto as_next = store::load_registry_store(cmd.store, keys.next_key, now);
        if (as_next && as_next->has_value()) {
            return tl::unexpected(fail("store " + cmd.store +
                                       " is already signed with the key of --new-keystore " +
                                       cmd.new_keystore));
        }
    }
    return tl::unexpected(fail("cannot load store " + cmd.store + ": " + error.display(),
                               opening_kind(update.error())));
}

}  // namespace

CommandResult run_rekey_store(const RekeyStore& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"store", cmd.store}}));
    ZDZ_TRY(const auto keys, load_rekey_keystores(cmd));
    ZDZ_RETURN_IF_ERROR(check_store_inputs_apart(
        cmd.store, {{"--keystore", cmd.keystore}, {"--new-keystore", cmd.new_keystore}}));
    ZDZ_TRY(const auto clock, read_save_clock(cmd.store_expires_at));
    const auto& now = clock.now;
    const auto& expires_at = clock.store_expires_at;
    // The lock is held from before the load until the new store has been
    // read back, so that no promotion against this store runs in between and
    // is lost.
    ZDZ_TRY(auto update, load_store_to_rekey(cmd, keys, now));
    const auto& registry = update.registry();
    ZDZ_TRY(auto passphrase, read_passphrase_env(cmd.passphrase_env));
    ZDZ_TRY(const auto key, open_signer(keys.next, passphrase, now, "new keystore"));
    const auto& next_key_id = store::keystore_head(keys.next).key_id;
    store::SaveNote note{{}, expires_at};
    note.change.command = "rekey-store";
    note.change.previous_key_id = store::keystore_head(keys.current).key_id;
    note.change.previous_public_key = keys.current_key;
    note.change.public_key = keys.next_key;
    if (auto replaced = update.save_confirmed(*key, next_key_id, now, note); !replaced) {
        return tl::unexpected(replacement_failure("store", cmd.store, replaced.error()));
    }
    if (cmd.format == OutputFormat::Json) {
        using json::JsonValue;
        auto document = json_success();
        document.add("store", JsonValue::string(cmd.store));
        document.add("previous_key_id",
                     JsonValue::string(store::keystore_head(keys.current).key_id.to_string()));
        document.add("new_key_id", JsonValue::string(next_key_id.to_string()));
        document.add("platform_count", JsonValue::uint64(registry.platforms().size()));
        out << json_report_text(document);
        return {};
    }
    out << "[ok] store re-signed with the new keystore: " << cmd.store << "\n"
        << "  previous key_id:  " << store::keystore_head(keys.current).key_id.to_string() << "\n"
        << "  new key_id:       " << next_key_id.to_string() << "\n"
        << "  platforms:        " << registry.platforms().size()
        << " carried over (histories, rollback floors and withdrawn images unchanged)\n";
    return {};
}

}  // namespace zdz::cli
