#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "cli/access/file_replacement.hpp"
#include "cli/access/image_check.hpp"
#include "cli/access/keystore_access.hpp"
#include "cli/access/manifest_output.hpp"
#include "cli/commands/handlers.hpp"
#include "cli/json_report.hpp"
#include "cli/process_hygiene.hpp"
#include "cli/progress_display.hpp"
#include "contracts/time.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/atomic_file.hpp"
#include "io/file.hpp"
#include "io/measure.hpp"
#include "store/keystore.hpp"
#include "store/token_keystore.hpp"
#include "trust/manifest.hpp"

namespace zdz::cli {
namespace {

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

// What sign signs with: the unsealed key, the one instant of the signing and
// the checked expiry. A token's key is opened only once the image is
// measured (the session holds the token's lock): until then `pin` holds
// what opens it.
struct SigningSession {
    store::AnyKeystore keystore;
    std::unique_ptr<crypto::Signer> key;
    std::optional<crypto::Secret> pin;
    contracts::Timestamp now;
    std::optional<contracts::Timestamp> expires_at;
};

// The keystore unsealed for signing. Once nothing but the unsealing is left
// to refuse, `measurement` starts measuring the image on a second thread, so
// that it is read while the key-encryption key is derived.
[[nodiscard]] tl::expected<SigningSession, CommandError> open_for_signing(
    const Sign& cmd, std::optional<ShownMeasurement>& measurement) {
    ZDZ_TRY(const auto expires_at, parse_expiry(cmd.expires_at));
    ZDZ_TRY(auto input, read_signing_inputs(cmd.keystore, cmd.passphrase_env, expires_at));
    auto& keystore = input.keystore;
    const auto& now = input.now;
    measurement.emplace(cmd.image_file, contracts::HashAlgorithm::Sha256,
                        progress_wanted(cmd.report));
    // Something that is not an image (a FIFO, /dev/zero) would never be
    // measured: refused before the key is derived.
    if (const auto refused = measurement->refusal()) {
        return tl::unexpected(cannot_read_image(cmd.image_file, *refused));
    }
    if (std::holds_alternative<store::TokenKeystore>(keystore)) {
        return SigningSession{std::move(keystore), nullptr, std::move(input.secret), now,
                              expires_at};
    }
    ZDZ_TRY(auto key, open_signer(keystore, input.secret, now));
    return SigningSession{std::move(keystore), std::move(key), std::nullopt, now, expires_at};
}

struct MeasuredBody {
    trust::ImageManifestBody body;
    std::uint64_t bytes_measured = 0;
};

// The manifest body: the image measured from its own bytes, and the options.
[[nodiscard]] tl::expected<MeasuredBody, CommandError> measured_body(
    const Sign& cmd, const SigningSession& session, ShownMeasurement& measurement) {
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
                         store::keystore_head(session.keystore).key_id,
                         session.now,
                         session.expires_at},
                        measured->bytes};
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

json::JsonValue sign_json(const Sign& cmd, const MeasuredBody& measured) {
    using json::JsonValue;
    const auto& body = measured.body;
    auto document = json_success();
    document.add("out", JsonValue::string(cmd.out));
    document.add("image_file", measured_file_json(cmd.image_file, measured.bytes_measured));
    add_image_json(document, body);
    document.add("signing_key_id", JsonValue::string(body.signing_key_id.to_string()));
    document.add("issued_at", JsonValue::string(body.issued_at.to_string()));
    document.add("expires_at",
                 body.expires_at ? JsonValue::string(body.expires_at->to_string()) : JsonValue());
    return document;
}

}  // namespace

CommandResult run_sign(const Sign& cmd, std::ostream& out) {
    protect_process_secrets();
    ZDZ_RETURN_IF_ERROR(check_json_paths(cmd.report.format,
                                         {{"manifest", cmd.out}, {"image file", cmd.image_file}}));
    std::optional<ShownMeasurement> measurement;
    ZDZ_TRY(auto session, open_for_signing(cmd, measurement));
    ZDZ_TRY(const auto measured, measured_body(cmd, session, *measurement));
    if (session.pin) {
        ZDZ_TRY(auto key, open_signer(session.keystore, *session.pin, session.now));
        session.key = std::move(key);
    }
    const auto manifest = trust::sign_manifest(measured.body, *session.key);
    if (!manifest) {
        return tl::unexpected(fail_io("signing failed: " + manifest.error().display()));
    }
    ZDZ_RETURN_IF_ERROR(refuse_out_over_input(cmd));
    ZDZ_RETURN_IF_ERROR(write_manifest_file(cmd.out, *manifest));
    out << (cmd.report.format == OutputFormat::Json ? json_report_text(sign_json(cmd, measured))
                                                    : sign_report(cmd, measured));
    return {};
}

}  // namespace zdz::cli
