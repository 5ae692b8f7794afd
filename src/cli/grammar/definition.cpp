#include "cli/grammar/definition.hpp"

#include <map>
#include <string>
#include <variant>

#include "cli/command.hpp"
#include "cli/grammar/binding.hpp"
#include "cli/markup.hpp"

namespace zdz::cli {
namespace {

constexpr auto kPath = ValueKind::Path;
constexpr auto kEnvironmentName = ValueKind::EnvironmentName;
constexpr auto kText = ValueKind::Text;

constexpr std::string_view kPrincipalHelp =
    "Principal name to use in the printed `allowed_signers` line. Defaults to "
    "`release-operator@tarnelos-workstation`";
constexpr std::string_view kFormats[] = {"text", "json"};
constexpr std::string_view kProgressModes[] = {"auto", "always", "never"};
// The group of --measurement and --image-file: the candidate image.
constexpr std::string_view kCandidate = "candidate";
// The group of --keystore and --public-key: the key that checks a store.
constexpr std::string_view kStoreKeyGroup = "store_key";

// Options that several subcommands take with the same help.
constexpr OptionText kStoreFile = {"store", kPath,
                                   "Path to the signed, persisted known-good registry file"};
constexpr OptionText kKeystorePassphraseEnv = {
    "passphrase_env", kEnvironmentName,
    "Name of the environment variable holding the keystore passphrase"};
constexpr OptionText kPlatform = {"platform", kText, "Platform/device codename, e.g. `vask`"};
constexpr OptionText kMinSigners = {
    "min_signers", kText,
    "How many distinct trusted keys of the trust file must have signed the manifest, through "
    "its signature or its approvals (`approve`). Defaults to 1"};
constexpr OptionText kFormat = {
    "format", ValueKind::Choices, "Report format. Defaults to `text`", {}, kFormats};
// Drawn on standard error only: a report on standard output stays as it is.
constexpr OptionText kProgress = {
    "progress",
    ValueKind::Choices,
    "Show how far the measuring has come (bytes, rate, time left) on one line of standard error, "
    "for images of 64 MiB or more: `auto` when standard error is a terminal and the report is "
    "text, `always` even when it is not or the report is JSON, `never`. Defaults to `auto`",
    {},
    kProgressModes};
// The key a store is checked with: the keystore's recorded public key, or the
// public key alone.
constexpr OptionText kStoreKeystore = {
    "keystore", kPath, "The local operator keystore whose public key signed `--store`",
    kStoreKeyGroup};
constexpr OptionText kStorePublicKey = {
    "public_key", kPath,
    "A file holding the public key that signed `--store`, instead of `--keystore`: its "
    "`allowed_signers` line (as `show-key` prints it) or its OpenSSH public-key line "
    "(`ssh-ed25519 AAAA... comment`, as in a `.pub` file)",
    kStoreKeyGroup};

constexpr OptionText kStoreExpiresAt = {
    "store_expires_at", kText,
    "When the store written expires (RFC 3339, later than now): from then on every command "
    "refuses it until `refresh-store` signs it again, so that a frozen copy cannot be served "
    "for ever. It applies when the command writes the store; without it the store keeps the "
    "expiry it has"};
constexpr OptionText kCheckpoint = {
    "checkpoint", kPath,
    "A file remembering the highest sequence and the hash of the store last accepted here: a "
    "store older than it, or another store of the same sequence (a fork), is refused; a newer "
    "one is accepted and the file advanced. A missing file is created, trusting the store "
    "found (first use)"};

constexpr OptionDef kKeygen[] = {
    bind<&Keygen::out>({"out", kPath, "Where to write the sealed keystore file"}),
    bind<&Keygen::passphrase_env>({"passphrase_env", kEnvironmentName,
                                   "Name of the environment variable holding the passphrase"}),
    bind<&Keygen::principal>({"principal", kText, kPrincipalHelp}),
    bind<&Keygen::force>(
        {"force", ValueKind::Flag,
         "Replace `--out` when it exists. Without it an existing `--out` is refused and left as "
         "it is: it may hold the only copy of a key that devices trust"}),
    bind<&Keygen::pkcs11>(
        {"pkcs11", kText,
         "Keep the key in a PKCS#11 token instead of sealing it: an RFC 7512 URI naming the "
         "token and the key's label, e.g. `pkcs11:token=release;object=release-2027`, with "
         "`module-path` or `module-name` choosing the module (default: p11-kit's proxy). The "
         "key pair is generated inside the token and its private key never leaves it; `--out` "
         "holds no secret, only where the key is. `--passphrase-env` then names the variable "
         "holding the token's user PIN. A URI holding a PIN is refused"}),
    bind<&Keygen::existing_key>(
        {"existing_key", ValueKind::Flag,
         "With `--pkcs11`: refer to the Ed25519 key already on the token under the URI's label "
         "(made by the token's own tools) instead of generating one"}),
    bind<&Keygen::format>(kFormat),
};
constexpr OptionDef kShowKey[] = {
    bind<&ShowKey::keystore>({"keystore", kPath, "The sealed keystore whose public key to show"}),
    bind<&ShowKey::principal>({"principal", kText, kPrincipalHelp}),
    bind<&ShowKey::trust_line>(
        {"trust_line", ValueKind::Flag,
         "Print the `allowed_signers` line alone, without indentation, ready to append to a "
         "trust file with `>>`"}),
    bind<&ShowKey::format>(kFormat),
};
constexpr OptionDef kChangePassphrase[] = {
    bind<&ChangePassphrase::keystore>(
        {"keystore", kPath, "Path to the sealed keystore whose passphrase changes"}),
    bind<&ChangePassphrase::passphrase_env>(
        {"passphrase_env", kEnvironmentName,
         "Name of the environment variable holding the current passphrase"}),
    bind<&ChangePassphrase::new_passphrase_env>(
        {"new_passphrase_env", kEnvironmentName,
         "Name of the environment variable holding the new passphrase"}),
    bind<&ChangePassphrase::format>(kFormat),
};
constexpr OptionDef kImportHashes[] = {
    bind<&ImportHashes::file>(
        {"file", kPath, "The hash manifest to read: one `<sha256>  <filename>` line per image"}),
    bind<&ImportHashes::format>(kFormat),
};
constexpr OptionDef kImportSigners[] = {
    bind<&ImportSigners::file>(
        {"file", kPath, "The trust file to read, in `allowed_signers` format"}),
    bind<&ImportSigners::format>(kFormat),
};
constexpr OptionDef kSign[] = {
    bind<&Sign::keystore>(
        {"keystore", kPath, "Path to the sealed keystore holding the signing key"}),
    bind<&Sign::passphrase_env>(kKeystorePassphraseEnv),
    bind<&Sign::image_file>({"image_file", kPath, "The real image file to measure and sign for"}),
    bind<&Sign::platform>(kPlatform),
    bind<&Sign::kind>({"kind", ValueKind::ImageKind, kImageKindsInCode}),
    bind<&Sign::security_version>(
        {"security_version", kText, "The security (rollback) version this image manifest asserts"}),
    bind<&Sign::out>(
        {"out", kPath, "Where to write the signed (but unverified-until-checked) manifest JSON"}),
    bind<&Sign::expires_at>(
        {"expires_at", kText,
         "When the manifest expires, in RFC 3339 (e.g. `2027-01-31T00:00:00Z`); it must be later "
         "than the signing time. Without it the manifest never expires"}),
    bind<&Sign::report, &MeasuringReport::format>(kFormat),
    bind<&Sign::report, &MeasuringReport::progress>(kProgress),
};
constexpr OptionDef kVerify[] = {
    bind<&Verify::manifest>(
        {"manifest", kPath, "The signed manifest file to verify, as `sign` wrote it"}),
    bind<&Verify::signers_file>(
        {"signers_file", kPath,
         "Trust file in `allowed_signers` format. Defaults to `../os/allowed_signers`"}),
    bind<&Verify::image_file>(
        {"image_file", kPath,
         "An image file to check against the manifest: its bytes are measured with the algorithm "
         "of the manifest's measurement and must match it"}),
    bind<&Verify::min_signers>(kMinSigners),
    bind<&Verify::report, &MeasuringReport::format>(kFormat),
    bind<&Verify::report, &MeasuringReport::progress>(kProgress),
};
constexpr OptionDef kApprove[] = {
    bind<&Approve::manifest>(
        {"manifest", kPath,
         "The signed manifest to approve; it is verified first and replaced atomically with the "
         "approval added"}),
    bind<&Approve::signers_file>({"signers_file", kPath,
                                  "Trust file in `allowed_signers` format the manifest must verify "
                                  "against before it is approved"}),
    bind<&Approve::keystore>(
        {"keystore", kPath,
         "The approver's keystore (sealed, or held in a token); its key must not have signed the "
         "manifest yet"}),
    bind<&Approve::passphrase_env>(kKeystorePassphraseEnv),
    bind<&Approve::image_file>(
        {"image_file", kPath,
         "The image file to look at before approving: its bytes must measure to the manifest's "
         "measurement"}),
    bind<&Approve::format>(kFormat),
};
constexpr OptionDef kSignRelease[] = {
    bind<&SignRelease::hashes>(
        {"hashes", kPath,
         "The build's hash manifest: one `<sha256>  <filename>` line per image, the images "
         "beside it"}),
    bind<&SignRelease::keystore>(
        {"keystore", kPath, "The keystore holding the signing key (sealed, or held in a token)"}),
    bind<&SignRelease::passphrase_env>(kKeystorePassphraseEnv),
    bind<&SignRelease::security_version>(
        {"security_version", kText, "The security (rollback) version every manifest asserts"}),
    bind<&SignRelease::out_dir>(
        {"out_dir", kPath,
         "The folder to write the manifests into, one per image: `NAME.manifest.json` for the "
         "image `NAME.EXT` (its last extension replaced)"}),
    bind<&SignRelease::platform>(
        {"platform", kText, "Sign only the images of this platform; without it, every image"}),
    bind<&SignRelease::expires_at>(
        {"expires_at", kText,
         "When the manifests expire, in RFC 3339; later than the signing time. Without it they "
         "never expire"}),
    bind<&SignRelease::report, &MeasuringReport::format>(kFormat),
    bind<&SignRelease::report, &MeasuringReport::progress>(kProgress),
};
constexpr OptionDef kVerifyRelease[] = {
    bind<&VerifyRelease::hashes>(
        {"hashes", kPath,
         "The build's hash manifest: one `<sha256>  <filename>` line per image, the images "
         "beside it"}),
    bind<&VerifyRelease::manifests_dir>(
        {"manifests_dir", kPath,
         "The folder holding the manifests, `NAME.manifest.json` for the image `NAME.EXT`"}),
    bind<&VerifyRelease::signers_file>(
        {"signers_file", kPath,
         "Trust file in `allowed_signers` format. Defaults to `../os/allowed_signers`"}),
    bind<&VerifyRelease::min_signers>(kMinSigners),
    bind<&VerifyRelease::report, &MeasuringReport::format>(kFormat),
    bind<&VerifyRelease::report, &MeasuringReport::progress>(kProgress),
};
constexpr OptionDef kPromote[] = {
    bind<&Promote::manifest>(
        {"manifest", kPath,
         "The signed manifest file of the image to promote, as `sign` wrote it"}),
    bind<&Promote::signers_file>(
        {"signers_file", kPath,
         "Trust file in `allowed_signers` format, for the *manifest's* signer. Defaults to "
         "`../os/allowed_signers`"}),
    bind<&Promote::store>(kStoreFile),
    bind<&Promote::keystore>(
        {"keystore", kPath,
         "The local operator keystore used to sign (and, on load, verify) the registry store "
         "file itself \u2014 a distinct trust boundary from the manifest signer above (see "
         "`tarnelos-store`'s `registry_file` module docs)"}),
    bind<&Promote::passphrase_env>(
        {"passphrase_env", kEnvironmentName,
         "Name of the environment variable holding the passphrase of `--keystore`"}),
    bind<&Promote::min_signers>(
        {"min_signers", kText,
         "How many distinct trusted keys must have signed the manifest (its signature and its "
         "approvals). The platform's minimum recorded with `set-policy` applies too: the larger "
         "of the two is enforced. Defaults to 1"}),
    bind<&Promote::store_expires_at>(kStoreExpiresAt),
    bind<&Promote::checkpoint>(kCheckpoint),
    bind<&Promote::format>(kFormat),
};
constexpr OptionDef kAuthorizeInstall[] = {
    bind<&AuthorizeInstall::store>(kStoreFile),
    bind<&AuthorizeInstall::key, &StoreKey::keystore>(kStoreKeystore),
    bind<&AuthorizeInstall::key, &StoreKey::public_key>(kStorePublicKey),
    bind<&AuthorizeInstall::platform>(
        {"platform", kText, "Platform/device codename the install is for, e.g. `vask`"}),
    bind<&AuthorizeInstall::candidate, &CandidateImage::measurement>(
        {"measurement", kText, "The candidate measurement, e.g. `sha256:<64 hex>`", kCandidate}),
    bind<&AuthorizeInstall::candidate, &CandidateImage::image_file>(
        {"image_file", kPath,
         "The candidate image file (a regular file or a block device), measured with the "
         "algorithm of the platform's current known-good image (SHA-256 when it has none); "
         "refused when its bytes are withdrawn under any algorithm",
         kCandidate}),
    bind<&AuthorizeInstall::checkpoint>(kCheckpoint),
    bind<&AuthorizeInstall::report, &MeasuringReport::format>(kFormat),
    bind<&AuthorizeInstall::report, &MeasuringReport::progress>(kProgress),
};
constexpr OptionDef kWithdraw[] = {
    bind<&Withdraw::store>(
        {"store", kPath, "Path to the signed, persisted known-good registry file. It must exist"}),
    bind<&Withdraw::keystore>(
        {"keystore", kPath,
         "The local operator keystore used to verify and sign the registry store file"}),
    bind<&Withdraw::passphrase_env>(kKeystorePassphraseEnv),
    bind<&Withdraw::platform>(kPlatform),
    bind<&Withdraw::candidate, &CandidateImage::measurement>(
        {"measurement", kText,
         "The measurement to withdraw, e.g. `sha256:<64 hex>`: that digest alone, not the "
         "image's digest under another algorithm",
         kCandidate}),
    bind<&Withdraw::candidate, &CandidateImage::image_file>(
        {"image_file", kPath,
         "The image file to withdraw (a regular file or a block device), measured in one pass "
         "under every algorithm (SHA-256 and BLAKE3), so that its bytes are withdrawn whatever a "
         "manifest measured them with",
         kCandidate}),
    bind<&Withdraw::new_platform>(
        {"new_platform", ValueKind::Flag,
         "Allow `--platform` to name a platform the store does not hold yet, to withdraw an "
         "image before it is ever promoted there. Without it such a platform is refused as a "
         "typo"}),
    bind<&Withdraw::store_expires_at>(kStoreExpiresAt),
    bind<&Withdraw::checkpoint>(kCheckpoint),
    bind<&Withdraw::report, &MeasuringReport::format>(kFormat),
    bind<&Withdraw::report, &MeasuringReport::progress>(kProgress),
};
constexpr OptionDef kSetPolicy[] = {
    bind<&SetPolicy::store>(
        {"store", kPath,
         "Path to the signed, persisted known-good registry file; created when it does not exist, "
         "so that a platform's policy holds from its first promotion"}),
    bind<&SetPolicy::keystore>(
        {"keystore", kPath,
         "The local operator keystore used to verify and sign the registry store file"}),
    bind<&SetPolicy::passphrase_env>(kKeystorePassphraseEnv),
    bind<&SetPolicy::platform>(kPlatform),
    bind<&SetPolicy::min_signers>(
        {"min_signers", kText,
         "How many distinct trusted keys must have signed a manifest for `promote` to admit it "
         "on the platform, from 1 (the default of a platform without a policy) up"}),
    bind<&SetPolicy::new_platform>(
        {"new_platform", ValueKind::Flag,
         "Allow `--platform` to name a platform the store does not hold yet, to set its policy "
         "before its first promotion. Without it such a platform is refused as a typo"}),
    bind<&SetPolicy::store_expires_at>(kStoreExpiresAt),
    bind<&SetPolicy::format>(kFormat),
};
constexpr OptionDef kShowStore[] = {
    bind<&ShowStore::store>(kStoreFile),
    bind<&ShowStore::key, &StoreKey::keystore>(kStoreKeystore),
    bind<&ShowStore::key, &StoreKey::public_key>(kStorePublicKey),
    bind<&ShowStore::platform>(
        {"platform", kText,
         "Show this platform alone, with its whole promotion history and its withdrawn "
         "measurements"}),
    bind<&ShowStore::checkpoint>(kCheckpoint),
    bind<&ShowStore::format>(kFormat),
};
constexpr OptionDef kAuditStore[] = {
    bind<&AuditStore::store>(kStoreFile),
    bind<&AuditStore::key, &StoreKey::keystore>(kStoreKeystore),
    bind<&AuditStore::key, &StoreKey::public_key>(kStorePublicKey),
    bind<&AuditStore::format>(kFormat),
};
constexpr OptionDef kRefreshStore[] = {
    bind<&RefreshStore::store>(kStoreFile),
    bind<&RefreshStore::keystore>(
        {"keystore", kPath, "The local operator keystore the store is signed with"}),
    bind<&RefreshStore::passphrase_env>(kKeystorePassphraseEnv),
    bind<&RefreshStore::store_expires_at>(
        {"store_expires_at", kText, "When the re-signed store expires (RFC 3339, later than now)"}),
    bind<&RefreshStore::format>(kFormat),
};
constexpr OptionDef kRekeyStore[] = {
    bind<&RekeyStore::store>(kStoreFile),
    bind<&RekeyStore::keystore>(
        {"keystore", kPath,
         "The keystore the store is signed with now (its public key only, no passphrase)"}),
    bind<&RekeyStore::new_keystore>(
        {"new_keystore", kPath, "The keystore to sign the store with from now on"}),
    bind<&RekeyStore::passphrase_env>(
        {"passphrase_env", kEnvironmentName,
         "Name of the environment variable holding the passphrase of `--new-keystore`"}),
    bind<&RekeyStore::store_expires_at>(kStoreExpiresAt),
    bind<&RekeyStore::format>(kFormat),
};
constexpr OptionDef kDemo[] = {
    bind<&Demo::sha256_file>(
        {"sha256_file", kPath,
         "Defaults to `../os/BASE-IMAGE.sha256`, the repo's existing golden-image hash record, "
         "relative to this binary's working directory"}),
};

// In the order --help, the manual page and the completions list them.
constexpr SubcommandDef kSubcommands[] = {
    command<Keygen>(
        "keygen",
        "Generate a fresh Ed25519 signing key and seal it at rest (Argon2id-derived KEK, "
        "encrypted envelope). The private key is never printed. The passphrase is read from an "
        "environment variable, never a `--flag` \u2014 a flag value is visible in shell history "
        "and in `ps`; an environment variable set by a script or a secret manager is not",
        kKeygen),
    command<ShowKey>(
        "show-key",
        "Show a sealed keystore's public key again: key id, verifying key, fingerprint, creation "
        "time and KDF costs, and as the last line the `allowed_signers` line that trusts the "
        "key. Reads no passphrase and never touches the private key",
        kShowKey),
    command<ChangePassphrase>(
        "change-passphrase",
        "Seal a keystore's signing key again under a new passphrase, with a fresh salt and "
        "today's Argon2id costs. The key, its id and its public key stay the same; the file is "
        "replaced atomically and opened with the new passphrase before success is reported. "
        "Both passphrases are read from environment variables, never from a `--flag`",
        kChangePassphrase),
    command<ImportHashes>(
        "import-hashes",
        "Parse a `<sha256>  <filename>` hash manifest \u2014 the format `os/BASE-IMAGE.sha256` "
        "already uses \u2014 and print the image measurements it names",
        kImportHashes),
    command<ImportSigners>(
        "import-signers",
        "Parse an `allowed_signers(5)`-format trust file \u2014 the format `os/allowed_signers` "
        "already uses \u2014 and list the trusted signers it names. Read-only",
        kImportSigners),
    command<Sign>(
        "sign",
        "Sign a manifest for a real image file on disk. The measurement is computed from the "
        "file's actual bytes (SHA-256, matching `os/BASE-IMAGE.sha256`'s own format) \u2014 "
        "never accepted as a caller-supplied digest",
        kSign),
    command<Verify>(
        "verify",
        "Verify a manifest file against a real trusted-signer set (an `allowed_signers`-format "
        "file). Refuses if the signature does not verify against any trusted signer, or if it "
        "is stale",
        kVerify),
    command<Approve>(
        "approve",
        "Add a second engineer's signature to a manifest: the manifest is verified against the "
        "trust file first (and `--image-file` measured when given), what is approved is shown, "
        "and the keystore's signature over the same body is added as an approval. The manifest "
        "is replaced atomically; a key that signed it already is refused",
        kApprove),
    command<SignRelease>(
        "sign-release",
        "Sign one manifest for every image a build's hash manifest lists, with one unsealing "
        "and every core measuring. All or nothing: an image that is missing, cannot be read or "
        "does not measure to its listed digest, or an entry without a platform or kind, refuses "
        "the whole release before the key is used and before anything is written",
        kSignRelease),
    command<VerifyRelease>(
        "verify-release",
        "Check every image a build's hash manifest lists: its manifest must be in "
        "`--manifests-dir`, verify against the trust file, name the listed digest, and the "
        "image's bytes must measure to it. Every failure is reported, not only the first",
        kVerifyRelease),
    command<Promote>(
        "promote",
        "Verify a manifest, then promote it to known-good for its platform \u2014 enforcing the "
        "rollback floor \u2014 and persist the (signed) updated registry to `--store`",
        kPromote),
    command<AuthorizeInstall>(
        "authorize-install",
        "Check whether a candidate measurement is authorized to install for a platform, against "
        "the persisted, signed known-good registry and its rollback floor. Read only \u2014 "
        "needs the keystore's public key, never its passphrase",
        kAuthorizeInstall),
    command<Withdraw>(
        "withdraw",
        "Withdraw an image from a platform: its measurement joins the platform's withdrawn list "
        "in the signed registry at `--store`, so that it is never promoted there again and never "
        "authorized to install. Withdrawing the current image blocks every install on the "
        "platform until a newer image is promoted. The store must exist",
        kWithdraw),
    command<SetPolicy>(
        "set-policy",
        "Record in the signed registry how many distinct trusted keys must have signed a "
        "manifest before `promote` admits it on a platform: the two-person rule kept with the "
        "store, not left to a command-line option. Lowering it needs this command as well",
        kSetPolicy),
    command<ShowStore>(
        "show-store",
        "Verify the persisted, signed known-good registry and show what it holds: per platform "
        "the current image, the rollback floor, the number of promotions and of withdrawn "
        "measurements. Read only \u2014 needs the keystore's public key, never its passphrase",
        kShowStore),
    command<AuditStore>(
        "audit-store",
        "Verify the audit log beside a registry store (its path with the extension `log`) and "
        "show the store's history, one line per save: every line's signature with the store's "
        "key of its time, the chain of lines, the sequence of saves, and that the last save is "
        "the store. Any break is reported with its line number. Read only",
        kAuditStore),
    command<RekeyStore>(
        "rekey-store",
        "Move a registry store to a new keystore: verify it with the key it is signed with now, "
        "then sign the same registry (every platform's history, rollback floor and withdrawn "
        "images) with the new keystore's key. From then on the store loads with the new "
        "keystore only",
        kRekeyStore),
    command<RefreshStore>(
        "refresh-store",
        "Sign the same registry again with a new expiry, as the next save of the store (its "
        "audit log records it). A store that has expired is renewed this way; its signature "
        "must still verify",
        kRefreshStore),
    command<Demo>(
        "demo",
        "Run the full lifecycle live with in-process ephemeral keys: sign, verify, promote, "
        "install-check, attest, and evaluate a duress-PIN boot. A smoke test, not a substitute "
        "for the real operator commands above",
        kDemo),
};

// Each record of Subcommand is the record of exactly one subcommand, so that
// every parsed command line has its handler.
consteval bool each_record_once() {
    for (std::size_t record = 0; record < std::variant_size_v<Subcommand>; ++record) {
        std::size_t subcommands = 0;
        for (const auto& sub : kSubcommands) {
            subcommands += sub.record == record ? 1U : 0U;
        }
        if (subcommands != 1) {
            return false;
        }
    }
    return std::size(kSubcommands) == std::variant_size_v<Subcommand>;
}
static_assert(each_record_once(), "every record of Subcommand needs one subcommand");

// Interned "--long-name" and "VALUE_NAME" texts, built once per id.
struct Names {
    std::string long_name;
    std::string value_name;
};

const Names& names_of(std::string_view id) {
    static std::map<std::string_view, Names> cache;
    auto it = cache.find(id);
    if (it == cache.end()) {
        Names names{"--", ""};
        for (const char c : id) {
            names.long_name += c == '_' ? '-' : c;
            names.value_name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        }
        it = cache.emplace(id, std::move(names)).first;
    }
    return it->second;
}

}  // namespace

std::string_view OptionDef::long_name() const {
    return names_of(id).long_name;
}
std::string_view OptionDef::value_name() const {
    return names_of(id).value_name;
}

std::span<const SubcommandDef> subcommand_defs() {
    return kSubcommands;
}

std::vector<const OptionDef*> group_members(const SubcommandDef& sub, std::string_view group) {
    std::vector<const OptionDef*> members;
    for (const auto& option : sub.options) {
        if (!group.empty() && option.one_of == group) {
            members.push_back(&option);
        }
    }
    return members;
}

std::string joined_long_names(const std::vector<const OptionDef*>& options) {
    std::string text;
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (i > 0) {
            text += i + 1 == options.size() ? " and " : ", ";
        }
        text += options[i]->long_name();
    }
    return text;
}

std::string joined_choices(const OptionDef& option, std::string_view separator) {
    std::string text;
    for (const auto choice : option.choices) {
        text += text.empty() ? "" : separator;
        text += choice;
    }
    return text;
}

}  // namespace zdz::cli
