#include <string>
#include <utility>

#include "cli/access/keystore_access.hpp"
#include "cli/access/principal.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/report.hpp"
#include "crypto/ed25519.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {

CommandResult run_show_key(const ShowKey& cmd, std::ostream& out) {
    const auto principal = checked_principal(cmd.principal);
    if (!principal) {
        return tl::unexpected(principal.error());
    }
    if (auto ok = check_json_paths(cmd.format, {{"keystore", cmd.keystore}}); !ok) {
        return tl::unexpected(std::move(ok.error()));
    }
    const auto keystore = load_keystore_file(cmd.keystore);
    if (!keystore) {
        return tl::unexpected(keystore.error());
    }
    // The recorded public key, read without the passphrase, as the install
    // check reads it.
    const auto key = recorded_public_key(*keystore);
    if (!key) {
        return tl::unexpected(key.error());
    }
    // Every unseal refuses such costs, whatever the passphrase: better known
    // now than at the next release.
    const auto usable = store::check_kdf_params(keystore->kdf);
    if (cmd.format == OutputFormat::Json) {
        using json::JsonValue;
        auto document = json_success();
        document.add("keystore", JsonValue::string(cmd.keystore));
        document.add("key_id", JsonValue::string(keystore->key_id.to_string()));
        document.add("verifying_key", JsonValue::string(key->to_hex()));
        document.add("fingerprint", JsonValue::string(crypto::key_fingerprint(*key).to_string()));
        document.add("openssh_fingerprint", JsonValue::string(trust::openssh_fingerprint(*key)));
        document.add("created_at", JsonValue::string(keystore->created_at.to_string()));
        document.add("kdf", kdf_json(keystore->kdf));
        document.add("unseal_refused",
                     usable ? JsonValue() : JsonValue::string(usable.error().display()));
        document.add("principal", JsonValue::string(*principal));
        document.add("allowed_signers_line",
                     JsonValue::string(trust::format_allowed_signers_line(*principal, *key)));
        out << json_report_text(document);
        return {};
    }
    if (cmd.trust_line) {
        out << trust::format_allowed_signers_line(*principal, *key) << "\n";
        return {};
    }
    std::string report = "[ok] keystore: " + cmd.keystore + "\n" +
                         "  key_id:        " + keystore->key_id.to_string() + "\n" +
                         "  verifying_key: " + key->to_hex() + "\n" +
                         "  fingerprint:   " + crypto::key_fingerprint(*key).to_string() + "\n" +
                         "  openssh fp:    " + trust::openssh_fingerprint(*key) + "\n" +
                         "  created_at:    " + keystore->created_at.to_string() + "\n" +
                         "  kdf:           " + kdf_text(keystore->kdf) + "\n";
    if (!usable) {
        report +=
            "  warning:       this keystore cannot be unsealed: " + usable.error().display() + "\n";
    }
    report += "(read without the passphrase: the private key stays sealed)\n";
    report += allowed_signers_block(*principal, *key);
    out << report;
    return {};
}

}  // namespace zdz::cli
