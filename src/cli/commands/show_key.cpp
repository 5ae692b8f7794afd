#include <string>

#include "cli/access/keystore_access.hpp"
#include "cli/access/principal.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/report.hpp"
#include "crypto/ed25519.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"

namespace zdz::cli {

CommandResult run_show_key(const ShowKey& cmd, std::ostream& out) {
    const auto principal = checked_principal(cmd.principal);
    if (!principal) {
        return tl::unexpected(principal.error());
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
    std::string report = "[ok] keystore: " + cmd.keystore + "\n" +
                         "  key_id:        " + keystore->key_id.to_string() + "\n" +
                         "  verifying_key: " + key->to_hex() + "\n" +
                         "  fingerprint:   " + crypto::key_fingerprint(*key).to_string() + "\n" +
                         "  created_at:    " + keystore->created_at.to_string() + "\n" +
                         "  kdf:           " + kdf_text(keystore->kdf) + "\n";
    // Every unseal refuses such costs, whatever the passphrase: better known
    // now than at the next release.
    if (const auto usable = store::check_kdf_params(keystore->kdf); !usable) {
        report +=
            "  warning:       this keystore cannot be unsealed: " + usable.error().display() + "\n";
    }
    report += "(read without the passphrase: the private key stays sealed)\n";
    report += allowed_signers_block(*principal, *key);
    out << report;
    return {};
}

}  // namespace zdz::cli
