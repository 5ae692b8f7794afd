#include "cli/manifest_commands.hpp"

#include <optional>
#include <utility>

#include "cli/clock.hpp"
#include "cli/image_check.hpp"
#include "cli/json_report.hpp"
#include "cli/keystore_access.hpp"
#include "cli/passphrase.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/signer_line.hpp"
#include "contracts/time.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/text.hpp"
#include "io/atomic_file.hpp"
#include "io/file.hpp"
#include "io/measure.hpp"
#include "json/value.hpp"
#include "store/keystore.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {
namespace {

constexpr std::uint32_t kKibPerMib = 1024;

[[nodiscard]] tl::expected<std::vector<trust::TrustedSigner>, CommandError> load_signers(
    const std::string& path) {
    const auto text = io::read_file_text(path);
    if (!text) {
        return tl::unexpected(
            fail("cannot read signers file " + path + ": " + text.error().display()));
    }
    auto signers = trust::parse_allowed_signers(*text);
    if (!signers) {
        return tl::unexpected(fail(signers.error().display()));
    }
    return std::move(*signers);
}

[[nodiscard]] tl::expected<trust::UnverifiedImageManifest, CommandError> load_manifest(
    const std::string& path) {
    const auto text = io::read_file_text(path);
    if (!text) {
        return tl::unexpected(fail("cannot read manifest " + path + ": " + text.error().display()));
    }
    auto manifest = trust::read_manifest_json(*text);
    if (!manifest) {
        return tl::unexpected(
            fail("manifest " + path + " is malformed: " + manifest.error().display()));
    }
    return std::move(*manifest);
}

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

// The inputs of sign that --out must not name: writing the manifest over the
// keystore would lose the key, over the image the file just measured.
[[nodiscard]] tl::expected<void, CommandError> refuse_out_over_input(const Sign& cmd) {
    const std::pair<const std::string*, std::string_view> inputs[] = {
        {&cmd.keystore, "--keystore"}, {&cmd.image_file, "--image-file"}};
    for (const auto& [input, option] : inputs) {
        if (io::is_same_file(cmd.out, *input)) {
            return tl::unexpected(
                fail("cannot write " + cmd.out + ": same file as " + std::string(option)));
        }
    }
    return {};
}

// The --expires-at text as a time, read as manifests read theirs.
[[nodiscard]] tl::expected<std::optional<contracts::Timestamp>, CommandError> parse_expiry(
    const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    const auto parsed = contracts::Timestamp::parse(*text);
    if (!parsed) {
        return tl::unexpected(fail("invalid --expires-at: " + parsed.error().display()));
    }
    return *parsed;
}

// What sign signs with: the unsealed key, the one instant of the signing and
// the checked expiry.
struct SigningSession {
    store::SealedSigningKey keystore;
    crypto::SigningKey key;
    contracts::Timestamp now;
    std::optional<contracts::Timestamp> expires_at;
};

// The keystore unsealed for signing. Once nothing but the unsealing is left
// to refuse, `measurement` starts measuring the image on a second thread, so
// that it is read while the key-encryption key is derived.
[[nodiscard]] tl::expected<SigningSession, CommandError> open_for_signing(
    const Sign& cmd, std::optional<io::BackgroundMeasurement>& measurement) {
    const auto expires_at = parse_expiry(cmd.expires_at);
    if (!expires_at) {
        return tl::unexpected(expires_at.error());
    }
    auto keystore = load_keystore_file(cmd.keystore);
    if (!keystore) {
        return tl::unexpected(keystore.error());
    }
    auto input = read_passphrase_then_clock(cmd.passphrase_env);
    if (!input) {
        return tl::unexpected(input.error());
    }
    const auto& now = input->now;
    // Before the costly unsealing: a manifest that would be stale as it is
    // written is refused.
    if (*expires_at && !(now < **expires_at)) {
        return tl::unexpected(fail("expiry time " + (*expires_at)->to_string() +
                                   " is not later than the signing time " + now.to_string()));
    }
    measurement.emplace(cmd.image_file, contracts::HashAlgorithm::Sha256);
    // Something that is not an image (a FIFO, /dev/zero) would never be
    // measured: refused before the key is derived.
    if (const auto refused = measurement->refusal()) {
        return tl::unexpected(cannot_read_image(cmd.image_file, *refused));
    }
    auto key = unseal_with(*keystore, input->passphrase, now);
    if (!key) {
        return tl::unexpected(key.error());
    }
    return SigningSession{std::move(*keystore), std::move(*key), now, *expires_at};
}

struct MeasuredBody {
    trust::ImageManifestBody body;
    std::uint64_t bytes_measured = 0;
};

// The manifest body: the image measured from its own bytes, and the options.
[[nodiscard]] tl::expected<MeasuredBody, CommandError> measured_body(
    const Sign& cmd, const SigningSession& session, io::BackgroundMeasurement& measurement) {
    // Streamed: memory stays flat for an image of any size, and the digest
    // always comes from the file's own bytes. Asked for only once the key is
    // unsealed: a wrong passphrase is reported first, whatever became of the
    // image.
    const auto measured = measurement.result();
    if (!measured) {
        return tl::unexpected(cannot_read_image(cmd.image_file, measured.error()));
    }
    auto platform = trust::ImagePlatform::parse(cmd.platform);
    if (!platform) {
        return tl::unexpected(fail(platform.error().display()));
    }
    const auto kind = trust::parse_image_kind(cmd.kind);
    if (!kind) {
        return tl::unexpected(fail("unknown image kind " + encoding::quoted_form(cmd.kind) +
                                   " (expected " + trust::image_kind_choices() + ")"));
    }
    return MeasuredBody{{contracts::Uuid::new_v4(),
                         std::move(*platform),
                         *kind,
                         {measured->hash},
                         cmd.security_version,
                         session.keystore.key_id,
                         session.now,
                         session.expires_at},
                        measured->bytes};
}

// Written through a temporary file renamed over `path`, so a failed write
// never destroys a manifest that is already there.
[[nodiscard]] tl::expected<void, CommandError> write_manifest_file(
    const std::string& path, const trust::UnverifiedImageManifest& manifest) {
    const auto written = io::write_file_replacing(path, trust::write_manifest_json(manifest));
    if (written) {
        return {};
    }
    if (written.error().kind == io::ReplaceError::Kind::NotDurable) {
        return tl::unexpected(fail("manifest written to " + path +
                                   " but it may not be durable: cannot finalize " + path + ": " +
                                   written.error().display()));
    }
    return tl::unexpected(fail("cannot write " + path + ": " + written.error().display()));
}

std::string sign_report(const Sign& cmd, const MeasuredBody& measured) {
    const auto& body = measured.body;
    std::string report =
        "[ok] signed manifest written: " + cmd.out + "\n" +
        "  image file:       " + cmd.image_file + " (" + std::to_string(measured.bytes_measured) +
        " bytes measured)\n" + "  platform:         " + body.platform.text() + "\n" +
        "  kind:             " + std::string(trust::image_kind_text(body.image_kind)) + "\n" +
        "  measurement:      " + body.measurement.to_string() + "\n" + "  security_version: sv" +
        std::to_string(body.security_version) + "\n" +
        "  signing_key_id:   " + body.signing_key_id.to_string() + "\n";
    if (body.expires_at) {
        report += "  expires_at:       " + body.expires_at->to_string() + "\n";
    }
    return report;
}

json::JsonValue verified_json(const CheckedManifest& checked,
                              const std::optional<std::string>& image_file,
                              std::uint64_t bytes_measured) {
    using json::JsonValue;
    const auto& body = checked.manifest.body;
    auto document = JsonValue::object();
    document.add("trust_file", JsonValue::string(checked.signers_path));
    document.add("signed_by", JsonValue::string(checked.signer_principal));
    document.add("manifest_id", JsonValue::string(body.manifest_id.to_string()));
    document.add("platform", JsonValue::string(body.platform.text()));
    document.add("kind", JsonValue::string(std::string(trust::image_kind_text(body.image_kind))));
    document.add("measurement", JsonValue::string(body.measurement.to_string()));
    document.add("security_version", JsonValue::uint64(body.security_version));
    document.add("issued_at", JsonValue::string(body.issued_at.to_string()));
    document.add("expires_at",
                 body.expires_at ? JsonValue::string(body.expires_at->to_string()) : JsonValue());
    document.add("signing_key_id", JsonValue::string(body.signing_key_id.to_string()));
    document.add("verified_at", JsonValue::string(checked.manifest.verified_at.to_string()));
    if (image_file) {
        auto image = JsonValue::object();
        image.add("path", JsonValue::string(*image_file));
        image.add("bytes_measured", JsonValue::uint64(bytes_measured));
        image.add("matches", JsonValue::boolean(true));
        document.add("image_file", std::move(image));
    } else {
        document.add("image_file", JsonValue());
    }
    return document;
}

}  // namespace

tl::expected<CheckedManifest, CommandError> check_manifest_file(
    const std::string& manifest_path, const std::optional<std::string>& signers_file,
    const contracts::Timestamp& now) {
    const auto manifest = load_manifest(manifest_path);
    if (!manifest) {
        return tl::unexpected(manifest.error());
    }
    auto signers_path = signers_file.value_or(kDefaultSignersFile);
    const auto signers = load_signers(signers_path);
    if (!signers) {
        return tl::unexpected(signers.error());
    }
    auto verified = trust::verify_manifest_against_signers(*manifest, *signers, now);
    if (!verified) {
        return tl::unexpected(fail("manifest refused against trust file " + signers_path + ": " +
                                   verified.error().display()));
    }
    return CheckedManifest{std::move(signers_path), verified->signer->principal,
                           std::move(verified->manifest)};
}

CommandResult run_keygen(const Keygen& cmd, std::ostream& out) {
    protect_process_secrets();
    // Checked before anything is sealed or written: a principal with white
    // space or a line break would print a trust-file line that reads back
    // as another signer, or as two lines.
    const auto principal = checked_principal(cmd.principal);
    if (!principal) {
        return tl::unexpected(principal.error());
    }
    auto input = read_passphrase_then_clock(cmd.passphrase_env);
    if (!input) {
        return tl::unexpected(input.error());
    }
    const auto& now = input->now;
    // Before the costly sealing: a --out that the write would refuse.
    if (auto writable = io::check_destination(cmd.out); !writable) {
        return tl::unexpected(
            fail("failed to write keystore to " + cmd.out + ": " +
                 trust::TrustError::from_write_error(writable.error()).display()));
    }
    const auto sealed = store::seal_signing_key(input->passphrase.bytes(), now);
    input->passphrase.wipe();
    if (!sealed) {
        return tl::unexpected(
            fail("failed to seal a new signing key: " + sealed.error().display()));
    }
    // Held from the write until the file has been read back, so that another
    // keygen onto the same --out cannot replace the file in between: the
    // report below describes the file on disk.
    const auto lock = io::DirectoryLock::acquire(cmd.out);
    if (!lock) {
        return tl::unexpected(fail("failed to write keystore to " + cmd.out + ": " +
                                   trust::TrustError::from_write_error(lock.error()).display()));
    }
    if (const auto saved = store::save_keystore(*sealed, cmd.out, &*lock); !saved) {
        if (saved.error().kind() == trust::TrustError::Kind::StorageNotDurable) {
            return tl::unexpected(fail("keystore written to " + cmd.out +
                                       " but it may not be durable: " + saved.error().display()));
        }
        return tl::unexpected(
            fail("failed to write keystore to " + cmd.out + ": " + saved.error().display()));
    }
    const auto key = read_back_verifying_key(*sealed, cmd.out);
    if (!key) {
        return tl::unexpected(
            fail("unexpected: could not read back the public key just written: " + key.error()));
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

CommandResult run_import_signers(const ImportSigners& cmd, std::ostream& out) {
    const auto text = io::read_file_text(cmd.file);
    if (!text) {
        return tl::unexpected(fail("cannot read " + cmd.file + ": " + text.error().display()));
    }
    const auto signers = trust::parse_allowed_signers(*text);
    if (!signers) {
        return tl::unexpected(fail(signers.error().display()));
    }
    std::string report;
    for (const auto& signer : *signers) {
        report += encoding::terminal_safe(signer.principal) +
                  "  fingerprint=" + crypto::key_fingerprint(signer.key).to_string() + "\n";
    }
    out << report;
    return {};
}

CommandResult run_sign(const Sign& cmd, std::ostream& out) {
    protect_process_secrets();
    std::optional<io::BackgroundMeasurement> measurement;
    const auto session = open_for_signing(cmd, measurement);
    if (!session) {
        return tl::unexpected(session.error());
    }
    const auto measured = measured_body(cmd, *session, *measurement);
    if (!measured) {
        return tl::unexpected(measured.error());
    }
    const auto manifest = trust::sign_manifest(measured->body, session->key);
    if (!manifest) {
        return tl::unexpected(fail("signing failed: " + manifest.error().display()));
    }
    if (auto refused = refuse_out_over_input(cmd); !refused) {
        return tl::unexpected(std::move(refused.error()));
    }
    if (auto written = write_manifest_file(cmd.out, *manifest); !written) {
        return tl::unexpected(std::move(written.error()));
    }
    out << sign_report(cmd, *measured);
    return {};
}

CommandResult run_verify(const Verify& cmd, std::ostream& out) {
    // The paths a JSON report repeats are checked before any work.
    if (cmd.format == OutputFormat::Json) {
        if (auto ok = check_json_path("trust file", cmd.signers_file.value_or(kDefaultSignersFile));
            !ok) {
            return tl::unexpected(ok.error());
        }
        if (cmd.image_file) {
            if (auto ok = check_json_path("image file", *cmd.image_file); !ok) {
                return tl::unexpected(ok.error());
            }
        }
    }
    const auto checked = read_clock().and_then([&](const contracts::Timestamp& now) {
        return check_manifest_file(cmd.manifest, cmd.signers_file, now);
    });
    if (!checked) {
        return tl::unexpected(checked.error());
    }
    const auto& body = checked->manifest.body;
    // Only a manifest that verified says what the image must measure.
    std::uint64_t bytes_measured = 0;
    if (cmd.image_file) {
        const auto matched = check_image_file(*cmd.image_file, body.measurement);
        if (!matched) {
            return tl::unexpected(matched.error());
        }
        bytes_measured = *matched;
    }
    if (cmd.format == OutputFormat::Json) {
        out << json_report_text(verified_json(*checked, cmd.image_file, bytes_measured));
        return {};
    }
    out << "[ok] manifest verified\n"
        << "  trust file:        " << checked->signers_path << "\n"
        << "  signed by:         " << encoding::terminal_safe(checked->signer_principal) << "\n"
        << "  platform:          " << body.platform.text() << "\n"
        << "  measurement:       " << body.measurement.to_string() << "\n"
        << "  security_version:  " << trust::security_version_text(body.security_version) << "\n";
    if (cmd.image_file) {
        out << "  image file:        " << *cmd.image_file << " (" << bytes_measured
            << " bytes measured, matches)\n";
    }
    return {};
}

}  // namespace zdz::cli
