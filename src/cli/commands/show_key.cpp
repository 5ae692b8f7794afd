#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "cli/access/keystore_access.hpp"
#include "cli/access/principal.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/report.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"
#include "store/token_keystore.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {

CommandResult run_show_key(const ShowKey& cmd, std::ostream& out) {
    ZDZ_TRY(const auto principal, checked_principal(cmd.principal));
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.format, {{"keystore", cmd.keystore}}));
    ZDZ_TRY(const auto keystore, load_keystore_file(cmd.keystore));
    // The recorded public key, read without the passphrase, as the install
    // check reads it.
    ZDZ_TRY(const auto key, recorded_public_key(keystore));
    const auto* sealed = std::get_if<store::SealedSigningKey>(&keystore);
    const auto* held = std::get_if<store::TokenKeystore>(&keystore);
    const auto& head = store::keystore_head(keystore);
    // Every unseal refuses such costs, whatever the passphrase: better known
    // now than at the next release.
    std::optional<std::string> unusable;
    if (sealed != nullptr) {
        if (const auto usable = store::check_kdf_params(sealed->kdf); !usable) {
            unusable = usable.error().display();
        }
    }
    if (cmd.format == OutputFormat::Json) {
        using json::JsonValue;
        auto document = keystore_json(cmd.keystore, head.key_id, key);
        document.add("fingerprint", JsonValue::string(crypto::key_fingerprint(key).to_string()));
        document.add("openssh_fingerprint", JsonValue::string(trust::openssh_fingerprint(key)));
        document.add("created_at", JsonValue::string(head.created_at.to_string()));
        if (sealed != nullptr) {
            document.add("kdf", kdf_json(sealed->kdf));
            document.add("unseal_refused", unusable ? JsonValue::string(*unusable) : JsonValue());
        } else {
            document.add("pkcs11_uri", JsonValue::string(held->pkcs11_uri));
        }
        document.add("principal", JsonValue::string(principal));
        document.add("allowed_signers_line",
                     JsonValue::string(trust::format_allowed_signers_line(principal, key)));
        out << json_report_text(document);
        return {};
    }
    if (cmd.trust_line) {
        out << trust::format_allowed_signers_line(principal, key) << "\n";
        return {};
    }
    std::string report = "[ok] keystore: " + cmd.keystore + "\n" +
                         "  key_id:        " + head.key_id.to_string() + "\n" +
                         "  verifying_key: " + key.to_hex() + "\n" +
                         "  fingerprint:   " + crypto::key_fingerprint(key).to_string() + "\n" +
                         "  openssh fp:    " + trust::openssh_fingerprint(key) + "\n" +
                         "  created_at:    " + head.created_at.to_string() + "\n";
    if (sealed != nullptr) {
        report += "  kdf:           " + kdf_text(sealed->kdf) + "\n";
        if (unusable) {
            report += "  warning:       this keystore cannot be unsealed: " + *unusable + "\n";
        }
        report += "(read without the passphrase: the private key stays sealed)\n";
    } else {
        report += "  held in token: " + encoding::terminal_safe(held->pkcs11_uri) + "\n";
        report += "(read without the PIN: the private key stays in the token)\n";
    }
    report += allowed_signers_block(principal, key);
    out << report;
    return {};
}

}  // namespace zdz::cli
