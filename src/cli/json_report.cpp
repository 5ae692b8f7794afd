#include "cli/json_report.hpp"

#include <algorithm>
#include <array>
#include <iterator>

#include "cli/markup.hpp"
#include "encoding/text.hpp"
#include "json/writer.hpp"
#include "trust/image.hpp"

namespace zdz::cli {
namespace {

constexpr std::string_view kOk = "`true`";
constexpr auto kSealed = JsonMemberDoc::Keystore::Sealed;
constexpr auto kToken = JsonMemberDoc::Keystore::Token;

// The members of one document, joined from lists some documents share.
template <std::size_t... N>
consteval auto joined(const JsonMemberDoc (&... parts)[N]) {
    std::array<JsonMemberDoc, (N + ...)> all{};
    auto next = all.begin();
    ((next = std::copy(std::begin(parts), std::end(parts), next)), ...);
    return all;
}

// What keygen and show-key say of how the key is held.
constexpr JsonMemberDoc kKeyHolding[] = {
    {"kdf", "The costs of the key derivation that seals the key (a sealed keystore)", kSealed},
    {"kdf.algorithm", "The algorithm, `argon2id`", kSealed},
    {"kdf.memory_kib", "Its memory cost in KiB, a number", kSealed},
    {"kdf.t_cost", "Its number of passes, a number", kSealed},
    {"kdf.parallelism", "Its number of lanes, a number", kSealed},
    {"pkcs11_uri", "Where the key is held (a token keystore): its PKCS#11 URI, without a PIN",
     kToken},
};
// And how the key is trusted.
constexpr JsonMemberDoc kTrustLine[] = {
    {"principal", "The principal of the trust line"},
    {"allowed_signers_line", "The `allowed_signers` line that trusts the key"},
};

constexpr JsonMemberDoc kKeygenKey[] = {
    {"ok", kOk},
    {"keystore", "The keystore file written, as given"},
    {"key_id", "The key identifier"},
    {"verifying_key", "The public key, 64 hex digits"},
};
constexpr auto kKeygenMembers = joined(kKeygenKey, kKeyHolding, kTrustLine);

constexpr JsonMemberDoc kShowKeyKey[] = {
    {"ok", kOk},
    {"keystore", "The keystore file, as given"},
    {"key_id", "The key identifier"},
    {"verifying_key", "The public key, 64 hex digits"},
    {"fingerprint", "The BLAKE3 fingerprint of the public key, `blake3:hex`"},
    {"openssh_fingerprint", "The fingerprint `ssh-keygen -l` prints for the key, `SHA256:...`"},
    {"created_at", "When the key was made"},
};
constexpr JsonMemberDoc kShowKeyUnseal[] = {
    {"unseal_refused",
     "Why no passphrase can unseal the keystore (KDF costs beyond what is accepted), or null "
     "(a sealed keystore)",
     kSealed},
};
constexpr auto kShowKeyMembers = joined(kShowKeyKey, kKeyHolding, kShowKeyUnseal, kTrustLine);

constexpr JsonMemberDoc kChangePassphraseMembers[] = {
    {"ok", kOk},
    {"keystore", "The keystore file replaced, as given"},
    {"key_id", "The key identifier, unchanged"},
    {"verifying_key", "The public key, 64 hex digits, unchanged"},
    {"kdf", "The costs of the key derivation that seals the key"},
    {"kdf.algorithm", "The algorithm, `argon2id`"},
    {"kdf.memory_kib", "Its memory cost in KiB, a number"},
    {"kdf.t_cost", "Its number of passes, a number"},
    {"kdf.parallelism", "Its number of lanes, a number"},
};

constexpr JsonMemberDoc kImportHashesMembers[] = {
    {"ok", kOk},
    {"file", "The hash manifest, as given"},
    {"entries", "One object per recognised line, in file order"},
    {"entries[].file_name", "The file name the line names"},
    {"entries[].platform", "The platform taken from the file name (empty when there is none)"},
    {"entries[].kind", "The image kind taken from the file name, or null"},
    {"entries[].measurement", "The measurement, `sha256:hex` in lower case"},
};

constexpr JsonMemberDoc kImportSignersMembers[] = {
    {"ok", kOk},
    {"file", "The trust file, as given"},
    {"signers", "One object per entry, in file order"},
    {"signers[].principal", "The principal the entry names"},
    {"signers[].fingerprint", "The BLAKE3 fingerprint of its key, `blake3:hex`"},
};

constexpr JsonMemberDoc kSignMembers[] = {
    {"ok", kOk},
    {"out", "The manifest file written, as given"},
    {"image_file", "The image file measured"},
    {"image_file.path", "The image file, as given"},
    {"image_file.bytes_measured", "How many bytes of it were measured"},
    {"manifest_id", "The manifest's identifier"},
    {"platform", "The platform the image is for"},
    {"kind", kImageKindsInCode},
    {"measurement", "The image measurement, `algorithm:hex`"},
    {"security_version", "The security (rollback) version, a number"},
    {"signing_key_id", "The key identifier of the signing key"},
    {"issued_at", "When the manifest was signed"},
    {"expires_at", "When the manifest expires, or null"},
};

// The signers of a co-signed manifest, in the reports of verify and promote.
constexpr JsonMemberDoc kCoSigners = {
    "signers",
    "Only when the manifest carries approvals or more than one signer is required: every "
    "distinct trusted key that signed it, the manifest's own signer first",
    JsonMemberDoc::Keystore::Either, true};
constexpr JsonMemberDoc kCoSignerPrincipal = {"signers[].principal",
                                              "The principal of the trust file's entry for the key",
                                              JsonMemberDoc::Keystore::Either, true};
constexpr JsonMemberDoc kCoSignerFingerprint = {"signers[].fingerprint",
                                                "The BLAKE3 fingerprint of the key, `blake3:hex`",
                                                JsonMemberDoc::Keystore::Either, true};

constexpr JsonMemberDoc kVerifyMembers[] = {
    {"ok", kOk},
    {"trust_file", "The trust file the manifest was checked against, as given"},
    {"signed_by", "The principal of the trusted signer whose key verified the manifest"},
    kCoSigners,
    kCoSignerPrincipal,
    kCoSignerFingerprint,
    {"min_signers", "With `signers`: how many distinct trusted keys were required",
     JsonMemberDoc::Keystore::Either, true},
    {"manifest_id", "The manifest's identifier"},
    {"platform", "The platform the image is for"},
    {"kind", kImageKindsInCode},
    {"measurement", "The image measurement, `algorithm:hex`"},
    {"security_version", "The security (rollback) version, a number"},
    {"issued_at", "When the manifest was signed"},
    {"expires_at", "When the manifest expires, or null"},
    {"signing_key_id", "The key identifier the manifest names"},
    {"verified_at", "The time the manifest was checked at"},
    {"image_file", "The image file check, or null without `--image-file`"},
    {"image_file.path", "The image file, as given"},
    {"image_file.bytes_measured", "How many bytes of it were measured"},
    {"image_file.matches", "`true`: its measurement is the manifest's (a mismatch is an error)"},
};

constexpr JsonMemberDoc kApproveMembers[] = {
    {"ok", kOk},
    {"manifest", "The manifest approved and replaced, as given"},
    {"trust_file", "The trust file it was verified against, as given"},
    {"manifest_id", "The manifest's identifier"},
    {"platform", "The platform the image is for"},
    {"kind", kImageKindsInCode},
    {"measurement", "The image measurement, `algorithm:hex`"},
    {"security_version", "The security (rollback) version, a number"},
    {"signers", "The distinct trusted keys that had signed it before, its own signer first"},
    {"signers[].principal", "The principal of the trust file's entry for the key"},
    {"signers[].fingerprint", "The BLAKE3 fingerprint of the key, `blake3:hex`"},
    {"approved_by", "The key whose approval was added"},
    {"approved_by.principal", "Its principal in the trust file"},
    {"approved_by.fingerprint", "Its BLAKE3 fingerprint, `blake3:hex`"},
    {"trusted_signatures", "How many distinct trusted keys have signed it now, a number"},
};

constexpr JsonMemberDoc kSetPolicyMembers[] = {
    {"ok", kOk},
    {"store", "The registry store, as given"},
    {"platform", "The platform"},
    {"min_signers", "How many distinct trusted keys a promotion there needs now, a number"},
    {"previous_min_signers", "How many it needed before, a number (1 without a policy)"},
    {"changed", "`true` when the store was changed and written"},
};

// With --checkpoint only: how the checkpoint accepted the store.
constexpr auto kEither = JsonMemberDoc::Keystore::Either;
constexpr JsonMemberDoc kCheckpoint = {
    "checkpoint", "With `--checkpoint` only: the checkpoint that accepted the store", kEither,
    true};
constexpr JsonMemberDoc kCheckpointFile = {"checkpoint.file", "The checkpoint file, as given",
                                           kEither, true};
constexpr JsonMemberDoc kCheckpointSequence = {
    "checkpoint.sequence", "The sequence it remembers now, a number", kEither, true};
constexpr JsonMemberDoc kCheckpointPrevious = {
    "checkpoint.previous_sequence",
    "The sequence it remembered before, or null when it was created", kEither, true};
constexpr JsonMemberDoc kCheckpointCreated = {
    "checkpoint.created", "`true` when the file was created (first use)", kEither, true};

constexpr JsonMemberDoc kPromoteMembers[] = {
    {"ok", kOk},
    {"store", "The registry store written, as given"},
    {"signed_by", "The principal of the trusted signer whose key verified the manifest"},
    kCoSigners,
    kCoSignerPrincipal,
    kCoSignerFingerprint,
    {"min_signers",
     "With `signers`: how many distinct trusted keys were required, the larger of "
     "`--min-signers` and the platform's policy",
     JsonMemberDoc::Keystore::Either, true},
    {"manifest_id", "The manifest's identifier"},
    {"platform", "The platform"},
    {"measurement", "The promoted measurement"},
    {"security_version", "Its security version, a number"},
    {"rollback_floor", "The platform's rollback floor now, a number"},
    kCheckpoint,
    kCheckpointFile,
    kCheckpointSequence,
    kCheckpointPrevious,
    kCheckpointCreated,
};

constexpr JsonMemberDoc kAuthorizeInstallMembers[] = {
    {"ok", kOk},
    {"store", "The registry store, as given"},
    {"platform", "The platform"},
    {"measurement", "The authorized measurement: the platform's current known-good image"},
    {"security_version", "Its security version, a number"},
    {"rollback_floor", "The platform's rollback floor, a number"},
    {"image_file", "The candidate image file, or null without `--image-file`"},
    {"image_file.path", "The image file, as given"},
    {"image_file.bytes_measured", "How many bytes of it were measured"},
    kCheckpoint,
    kCheckpointFile,
    kCheckpointSequence,
    kCheckpointPrevious,
    kCheckpointCreated,
};

constexpr JsonMemberDoc kWithdrawMembers[] = {
    {"ok", kOk},
    {"store", "The registry store, as given"},
    {"platform", "The platform"},
    {"newly_withdrawn",
     "`true` when the store was changed and written; `false` when the measurement was "
     "withdrawn already and the store is unchanged"},
    {"measurement", "The withdrawn measurement"},
    {"also_withdrawn", "The image file's digests under the other algorithms, withdrawn with it"},
    {"image_file", "The image file, or null without `--image-file`"},
    {"image_file.path", "The image file, as given"},
    {"image_file.bytes_measured", "How many bytes of it were measured"},
    {"times_promoted", "How many times the platform promoted the image, a number"},
    {"blocks_installs",
     "`true` when it was the current image: no install is authorized until a newer one is "
     "promoted"},
    kCheckpoint,
    kCheckpointFile,
    kCheckpointSequence,
    kCheckpointPrevious,
    kCheckpointCreated,
};

constexpr JsonMemberDoc kShowStoreMembers[] = {
    {"ok", kOk},
    {"sequence",
     "The number of the save that wrote the store, a number (0 for a store saved before saves "
     "were numbered)"},
    {"store_hash", "The SHA-256 of the store's signed bytes, `sha256:hex`: its identity"},
    {"expires_at", "Only for a store that expires: when", kEither, true},
    kCheckpoint,
    kCheckpointFile,
    kCheckpointSequence,
    kCheckpointPrevious,
    kCheckpointCreated,
    {"platforms",
     "One object per platform, in store order; with `--platform` only that "
     "one"},
    {"platforms[].platform", "The platform"},
    {"platforms[].current", "The latest promoted known-good image, or null"},
    {"platforms[].current.measurement", "Its measurement"},
    {"platforms[].current.security_version", "Its security version, a number"},
    {"platforms[].current.promoted_at", "When it was promoted"},
    {"platforms[].current.withdrawn", "`true` when it was withdrawn: no install is authorized"},
    {"platforms[].current_images",
     "Only where images of more than one kind are current (an install and an update image): "
     "each of them, with the members of `current`",
     JsonMemberDoc::Keystore::Either, true},
    {"platforms[].current_images[].kind",
     "Its image kind, or null for a promotion recorded without one",
     JsonMemberDoc::Keystore::Either, true},
    {"platforms[].rollback_floor", "The rollback floor, a number"},
    {"platforms[].promotion_count", "The number of promotions"},
    {"platforms[].withdrawn_count", "The number of withdrawn measurements"},
    {"platforms[].min_signers",
     "Only for a platform with a policy (`set-policy`): how many distinct trusted keys must "
     "have signed a manifest it promotes",
     JsonMemberDoc::Keystore::Either, true},
    {"platforms[].history", "With `--platform` only: every promotion, oldest first"},
    {"platforms[].history[].measurement", "The promoted measurement"},
    {"platforms[].history[].security_version", "Its security version, a number"},
    {"platforms[].history[].promoted_at", "When it was promoted"},
    {"platforms[].history[].withdrawn", "Whether the measurement is withdrawn"},
    {"platforms[].withdrawn_measurements", "With `--platform` only: the withdrawn measurements"},
};

constexpr JsonMemberDoc kRekeyStoreMembers[] = {
    {"ok", kOk},
    {"store", "The registry store re-signed, as given"},
    {"previous_key_id", "The key identifier of `--keystore`"},
    {"new_key_id", "The key identifier of `--new-keystore`"},
    {"platform_count", "The number of platforms carried over, a number"},
};

constexpr JsonMemberDoc kAuditStoreMembers[] = {
    {"ok", kOk},
    {"store", "The registry store, as given"},
    {"log", "Its audit log"},
    {"sequence", "The store's sequence, a number"},
    {"store_hash", "The SHA-256 of the store's signed bytes, `sha256:hex`"},
    {"begins_on_unlogged_store",
     "`true` when the log begins on a store saved without it (or has no line yet)"},
    {"saves", "One object per line of the log, oldest first"},
    {"saves[].line", "The line's number in the log"},
    {"saves[].sequence", "The save's sequence, a number"},
    {"saves[].time", "When the save was made"},
    {"saves[].command", "The command that saved the store"},
    {"saves[].standing",
     "`committed`, or `superseded`/`pending` for a save whose store never took its place"},
    {"saves[].store_hash", "The hash of the store it wrote"},
    {"saves[].key_id", "The key identifier the store was signed with"},
    {"saves[].change", "What it changed, as the text report says it"},
    {"torn_tail", "`true` when the log ends in an incomplete line an interrupted save left"},
};

constexpr JsonMemberDoc kRefreshStoreMembers[] = {
    {"ok", kOk},
    {"store", "The registry store re-signed, as given"},
    {"sequence", "The new store's sequence, a number"},
    {"store_hash", "The SHA-256 of its signed bytes"},
    {"expires_at", "When it expires"},
    {"previous_expires_at", "When the store it replaced expired, or null"},
};

constexpr JsonMemberDoc kSignReleaseMembers[] = {
    {"ok", kOk},
    {"hashes", "The build's hash manifest, as given"},
    {"out_dir", "The folder the manifests were written into, as given"},
    {"manifests", "One object per image, in the order of the hash manifest"},
    {"manifests[].manifest", "The manifest file written"},
    {"manifests[].image_file", "The image file measured"},
    {"manifests[].manifest_id", "The manifest identifier"},
    {"manifests[].platform", "The image's platform"},
    {"manifests[].kind", "The image kind"},
    {"manifests[].measurement", "The measurement, `sha256:hex`"},
    {"manifests[].bytes_measured", "How many bytes of the image were measured"},
    {"security_version", "The security version every manifest asserts, a number"},
    {"signing_key_id", "The key identifier of the signing key"},
    {"bytes_measured", "The bytes of every image together, a number"},
    {"seconds", "How long measuring, signing and writing took, a number"},
};

constexpr JsonMemberDoc kVerifyReleaseMembers[] = {
    {"ok", kOk},
    {"hashes", "The build's hash manifest, as given"},
    {"manifests_dir", "The folder of the manifests, as given"},
    {"trust_file", "The trust file used"},
    {"images", "One object per image, in the order of the hash manifest"},
    {"images[].image_file", "The image file measured"},
    {"images[].manifest", "Its manifest file"},
    {"images[].platform", "The image's platform"},
    {"images[].kind", "The image kind"},
    {"images[].measurement", "The measurement the manifest names and the image's bytes have"},
    {"images[].security_version", "The security version the manifest asserts, a number"},
    {"images[].signed_by", "The principal of the trust file whose key signed the manifest"},
    {"images[].bytes_measured", "How many bytes of the image were measured"},
    {"bytes_measured", "The bytes of every image together, a number"},
};

constexpr JsonReportDoc kReports[] = {
    {"keygen", kKeygenMembers},
    {"show-key", kShowKeyMembers},
    {"change-passphrase", kChangePassphraseMembers},
    {"import-hashes", kImportHashesMembers},
    {"import-signers", kImportSignersMembers},
    {"sign", kSignMembers},
    {"verify", kVerifyMembers},
    {"approve", kApproveMembers},
    {"sign-release", kSignReleaseMembers},
    {"verify-release", kVerifyReleaseMembers},
    {"promote", kPromoteMembers},
    {"authorize-install", kAuthorizeInstallMembers},
    {"withdraw", kWithdrawMembers},
    {"set-policy", kSetPolicyMembers},
    {"show-store", kShowStoreMembers},
    {"audit-store", kAuditStoreMembers},
    {"rekey-store", kRekeyStoreMembers},
    {"refresh-store", kRefreshStoreMembers},
};

constexpr JsonMemberDoc kFailureMembers[] = {
    {"ok", "`false`"},
    {"error", "What failed"},
    {"error.kind", "One of the kinds below"},
    {"error.message", "The text of the error line, after `error: `"},
};

// In the order of ErrorKind.
constexpr JsonMemberDoc kErrorKinds[] = {
    {"refused",
     "A trust decision: a signature that does not verify (manifest or store), too few trusted "
     "signatures, an expired manifest, the rollback floor, a withdrawn image, an image that is not "
     "the current "
     "known-good one, an image file that does not match its manifest"},
    {"input",
     "A file or value that cannot be read, parsed or used as given: a missing or malformed "
     "file, a wrong passphrase, an unset environment variable, an existing `--out`"},
    {"io", "The operating system: a write, a lock, the clock, memory"},
    {"usage", "The command line (exit status 2)"},
};

}  // namespace

std::span<const JsonMemberDoc> verify_json_members() {
    return kVerifyMembers;
}
std::span<const JsonMemberDoc> show_store_json_members() {
    return kShowStoreMembers;
}

std::span<const JsonReportDoc> json_report_docs() {
    return kReports;
}

std::span<const JsonMemberDoc> json_failure_members() {
    return kFailureMembers;
}

std::span<const JsonMemberDoc> json_error_kinds() {
    return kErrorKinds;
}

std::string_view error_kind_word(ErrorKind kind) {
    return kErrorKinds[static_cast<std::size_t>(kind)].path;
}

json::JsonValue json_success() {
    auto document = json::JsonValue::object();
    document.add("ok", json::JsonValue::boolean(true));
    return document;
}

json::JsonValue keystore_json(const std::string& path, const contracts::Uuid& key_id,
                              const crypto::VerifyingKey& key) {
    using json::JsonValue;
    auto document = json_success();
    document.add("keystore", JsonValue::string(path));
    document.add("key_id", JsonValue::string(key_id.to_string()));
    document.add("verifying_key", JsonValue::string(key.to_hex()));
    return document;
}

json::JsonValue kdf_json(const store::KdfParams& kdf) {
    using json::JsonValue;
    auto object = JsonValue::object();
    object.add("algorithm", JsonValue::string(kdf.algorithm));
    object.add("memory_kib", JsonValue::uint64(kdf.m_cost_kib));
    object.add("t_cost", JsonValue::uint64(kdf.t_cost));
    object.add("parallelism", JsonValue::uint64(kdf.parallelism));
    return object;
}

void add_image_json(json::JsonValue& document, const trust::ImageManifestBody& body) {
    using json::JsonValue;
    document.add("manifest_id", JsonValue::string(body.manifest_id.to_string()));
    document.add("platform", JsonValue::string(body.platform.text()));
    document.add("kind", JsonValue::string(std::string(trust::image_kind_text(body.image_kind))));
    document.add("measurement", JsonValue::string(body.measurement.to_string()));
    document.add("security_version", JsonValue::uint64(body.security_version));
}

json::JsonValue measured_file_json(const std::string& path, std::uint64_t bytes) {
    using json::JsonValue;
    auto object = JsonValue::object();
    object.add("path", JsonValue::string(path));
    object.add("bytes_measured", JsonValue::uint64(bytes));
    return object;
}

std::string json_failure_text(const CommandError& error) {
    using json::JsonValue;
    auto detail = JsonValue::object();
    detail.add("kind", JsonValue::string(std::string(error_kind_word(error.kind))));
    detail.add("message", JsonValue::string(encoding::is_valid_utf8(error.message)
                                                ? error.message
                                                : encoding::terminal_safe(error.message)));
    auto document = JsonValue::object();
    document.add("ok", JsonValue::boolean(false));
    document.add("error", std::move(detail));
    return json_report_text(document);
}

std::string json_report_text(const json::JsonValue& document) {
    return json::to_pretty_json(document, json::Layout::Report) + "\n";
}

tl::expected<void, CommandError> check_json_paths(OutputFormat format,
                                                  std::initializer_list<JsonPath> paths) {
    if (format != OutputFormat::Json) {
        return {};
    }
    for (const auto& [what, path] : paths) {
        if (path) {
            if (auto ok = check_json_path(what, *path); !ok) {
                return ok;
            }
        }
    }
    return {};
}

tl::expected<void, CommandError> check_json_path(std::string_view what, const std::string& path) {
    if (encoding::is_valid_utf8(path)) {
        return {};
    }
    return tl::unexpected(fail("cannot write the report as JSON: the " + std::string(what) +
                               " path " + encoding::quoted_form(path) + " is not valid UTF-8"));
}

}  // namespace zdz::cli
