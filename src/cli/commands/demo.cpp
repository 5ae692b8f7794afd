#include "boot/unlock.hpp"
#include "cli/access/clock.hpp"
#include "cli/commands/handlers.hpp"
#include "crypto/digest.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/hex.hpp"
#include "encoding/text.hpp"
#include "encoding/try.hpp"
#include "io/file.hpp"
#include "trust/attestation.hpp"
#include "trust/hash_manifest.hpp"
#include "trust/manifest.hpp"
#include "trust/registry.hpp"

namespace zdz::cli {
namespace {

using contracts::DeviceId;
using contracts::Timestamp;
using contracts::Uuid;
using crypto::SigningKey;

constexpr const char* kDemoPlatform = "vask";
constexpr const char* kV1Version = "2026071500";
constexpr const char* kV2Version = "2026072900";
constexpr std::int64_t kAttestationMaxAgeSeconds = 300;
constexpr std::uint32_t kMaxFailedPinAttempts = 3;
constexpr std::string_view kNormalPin = "amber kettle under warm moss";
constexpr std::string_view kDuressPin = "burn-it-all";
constexpr std::string_view kWrongPin = "fudge";

const trust::HashManifestEntry* find_install_entry(
    const std::vector<trust::HashManifestEntry>& entries, std::string_view version) {
    for (const auto& e : entries) {
        if (e.file_name.find(trust::image_kind_text(trust::ImageKind::Install)) !=
                std::string::npos &&
            e.file_name.find(version) != std::string::npos) {
            return &e;
        }
    }
    return nullptr;
}

// Everything the lifecycle shares: the platform, the keys, one "now" and the
// in-memory registry.
struct Lifecycle {
    explicit Lifecycle(trust::ImagePlatform p) : platform(std::move(p)) {}

    trust::ImagePlatform platform;
    SigningKey release_key = SigningKey::generate();
    SigningKey untrusted_key = SigningKey::generate();
    Timestamp now;
    trust::KnownGoodStore registry;

    tl::expected<trust::UnverifiedImageManifest, CommandError> sign(
        const trust::ImageMeasurement& measurement, trust::SecurityVersion version,
        const SigningKey& key) const {
        const trust::ImageManifestBody body{Uuid::new_v4(),
                                            platform,
                                            trust::ImageKind::Install,
                                            measurement,
                                            version,
                                            Uuid::new_v4(),
                                            now,
                                            std::nullopt};
        auto manifest = trust::sign_manifest(body, key);
        if (!manifest) {
            return tl::unexpected(fail("signing failed: " + manifest.error().display()));
        }
        return std::move(*manifest);
    }

    // Signs with the release key and verifies against it; a refusal is
    // reported with `context`.
    tl::expected<trust::VerifiedImageManifest, CommandError> sign_and_verify(
        const trust::ImageMeasurement& measurement, trust::SecurityVersion version,
        std::string_view context) const {
        ZDZ_TRY(const auto manifest, sign(measurement, version, release_key));
        auto verified = trust::verify_manifest(manifest, release_key.verifying_key(), now);
        if (!verified) {
            return tl::unexpected(fail(std::string(context) + ": " + verified.error().display()));
        }
        return std::move(*verified);
    }

    std::string floor_text() const {
        return trust::security_version_text(registry.rollback_floor(platform));
    }
};

struct DemoDevice {
    DeviceId id = DeviceId::new_random();
    SigningKey key = SigningKey::generate();

    tl::expected<trust::AttestationReport, CommandError> attest(
        const trust::ImageMeasurement& measurement, const Timestamp& now) const {
        const auto nonce_text = "nonce-" + id.to_string() + "-" + now.to_string();
        const trust::AttestationBody body{
            id, measurement, crypto::measure_blake3(std::string_view(nonce_text)).digest, now};
        auto report = trust::sign_attestation(body, key);
        if (!report) {
            return tl::unexpected(fail("signing failed: " + report.error().display()));
        }
        return *report;
    }
};

void print_pin_outcomes(const DeviceId& device, const Timestamp& now, std::ostream& out) {
    const auto pin_hash = [](std::string_view pin) { return crypto::measure_blake3(pin); };
    const boot::UnlockPolicy policy{device, kMaxFailedPinAttempts, pin_hash(kNormalPin),
                                    pin_hash(kDuressPin)};
    const auto outcome = [&](std::uint32_t failed, std::string_view pin) {
        return boot::boot_auth_outcome_name(
            boot::evaluate_boot_unlock(policy, failed, {now, device, pin_hash(pin)}));
    };
    out << "[ok] normal PIN -> " << outcome(0, kNormalPin) << "\n";
    out << "[ok] duress PIN -> " << outcome(0, kDuressPin) << "\n";
    out << "[refused as expected] wrong PIN -> " << outcome(0, kWrongPin) << "\n";
    out << "[refused as expected] normal PIN after lockout -> "
        << outcome(kMaxFailedPinAttempts, kNormalPin) << "\n";
    out << "[ok] duress PIN still works even when locked out -> "
        << outcome(kMaxFailedPinAttempts, kDuressPin) << "\n\n";
}

// The two install images the demo walks through, from the hash file.
struct DemoImages {
    std::string path;
    trust::HashManifestEntry v1;
    trust::HashManifestEntry v2;
};

CommandError missing_install_entry(std::string_view version) {
    return fail("expected a " + std::string(version) + " install entry in the sha256 file");
}

[[nodiscard]] tl::expected<DemoImages, CommandError> load_demo_images(const Demo& cmd) {
    const auto path = cmd.sha256_file.value_or(kDefaultSha256File);
    const auto text = io::read_file_text(path);
    if (!text) {
        return tl::unexpected(fail("cannot read " + path + ": " + text.error().display() +
                                   " (pass --sha256-file to point at the repo's "
                                   "os/BASE-IMAGE.sha256)"));
    }
    const auto entries = trust::parse_hash_manifest(*text);
    const auto* v1 = find_install_entry(entries, kV1Version);
    if (v1 == nullptr) {
        return tl::unexpected(missing_install_entry(kV1Version));
    }
    const auto* v2 = find_install_entry(entries, kV2Version);
    if (v2 == nullptr) {
        return tl::unexpected(missing_install_entry(kV2Version));
    }
    return DemoImages{path, *v1, *v2};
}

void print_demo_header(const DemoImages& images, std::ostream& out) {
    out << "== TarnelOS live demo (ephemeral in-process keys \u2014 see the commands above for "
           "real keys) ==\n";
    out << "source hashes: " << images.path << "\n";
    // The names come from the hash file: shown with their control characters escaped.
    out << "v1 candidate:  " << encoding::terminal_safe(images.v1.file_name) << " ("
        << images.v1.measurement.to_string() << ")\n";
    out << "v2 candidate:  " << encoding::terminal_safe(images.v2.file_name) << " ("
        << images.v2.measurement.to_string() << ")\n\n";
}

// v1: promoted and installed; an image never promoted is not.
[[nodiscard]] CommandResult show_first_promotion(Lifecycle& demo, const DemoImages& images,
                                                 std::ostream& out) {
    const auto& v1 = images.v1.measurement;
    ZDZ_TRY(auto v1_manifest, demo.sign_and_verify(v1, 1, "unexpected: v1 should verify"));
    const auto v1_image = demo.registry.promote(v1_manifest);
    if (!v1_image) {
        return tl::unexpected(fail("unexpected: v1 should promote: " + v1_image.error().display()));
    }
    out << "[ok] promoted v1 -> rollback floor is now " << demo.floor_text() << "\n";
    out << "     " << v1_image->debug() << "\n";

    const trust::ImageMeasurement never_promoted{
        crypto::measure_blake3(std::string_view("never-promoted-image"))};
    const auto unpromoted = demo.registry.authorize_install(demo.platform, never_promoted);
    if (unpromoted) {
        return tl::unexpected(fail("BUG: an unpromoted image must not be installable"));
    }
    out << "[refused as expected] install of an unpromoted image: " << unpromoted.error().display()
        << "\n";
    if (const auto ok = demo.registry.authorize_install(demo.platform, v1); !ok) {
        return tl::unexpected(fail("unexpected: v1 should install: " + ok.error().display()));
    }
    out << "[ok] install approved for " << v1.to_string() << "\n\n";
    return {};
}

// v2 raises the floor; v1 can no longer come back.
[[nodiscard]] CommandResult show_rollback_floor(Lifecycle& demo, const DemoImages& images,
                                                std::ostream& out) {
    ZDZ_TRY(auto v2_manifest,
            demo.sign_and_verify(images.v2.measurement, 2, "unexpected: v2 should verify"));
    if (const auto ok = demo.registry.promote(v2_manifest); !ok) {
        return tl::unexpected(fail("unexpected: v2 should promote: " + ok.error().display()));
    }
    out << "[ok] promoted v2 -> rollback floor is now " << demo.floor_text() << "\n";

    ZDZ_TRY(auto resigned_v1, demo.sign_and_verify(images.v1.measurement, 1,
                                                   "unexpected: re-signed v1 should still verify"));
    const auto downgrade = demo.registry.promote(resigned_v1);
    if (downgrade) {
        return tl::unexpected(fail("BUG: a downgrade below the rollback floor must be refused"));
    }
    out << "[refused as expected] downgrade to v1 below the rollback floor: "
        << downgrade.error().display() << "\n\n";
    return {};
}

[[nodiscard]] CommandResult show_untrusted_signer(Lifecycle& demo, const DemoImages& images,
                                                  std::ostream& out) {
    ZDZ_TRY(const auto foreign, demo.sign(images.v2.measurement, 3, demo.untrusted_key));
    const auto untrusted =
        trust::verify_manifest(foreign, demo.release_key.verifying_key(), demo.now);
    if (untrusted) {
        return tl::unexpected(fail("BUG: a manifest signed by an untrusted key must not verify"));
    }
    out << "[refused as expected] manifest from an untrusted signer: "
        << untrusted.error().display() << "\n\n";
    return {};
}

// Attestation from a fresh device: the image it runs, then another one.
[[nodiscard]] CommandResult show_attestation(const Lifecycle& demo, const DemoDevice& device,
                                             const DemoImages& images, std::ostream& out) {
    const auto& v2 = images.v2.measurement;
    const trust::DeviceTrustEntry entry{device.id, device.key.verifying_key()};
    ZDZ_TRY(const auto good_report, device.attest(v2, demo.now));
    const auto attested =
        trust::verify_attestation(good_report, entry, v2, demo.now, kAttestationMaxAgeSeconds);
    if (!attested) {
        return tl::unexpected(
            fail("unexpected: matching attestation should verify: " + attested.error().display()));
    }
    out << "[ok] attestation verified: device=" << attested->device_id.to_string()
        << " measurement=" << attested->reported_measurement.to_string() << "\n";
    ZDZ_TRY(const auto wrong_report, device.attest(images.v1.measurement, demo.now));
    const auto mismatched =
        trust::verify_attestation(wrong_report, entry, v2, demo.now, kAttestationMaxAgeSeconds);
    if (mismatched) {
        return tl::unexpected(fail("BUG: a mismatched attestation must be refused"));
    }
    out << "[refused as expected] attestation reporting the wrong measurement: "
        << mismatched.error().display() << "\n\n";
    return {};
}

}  // namespace

CommandResult run_demo(const Demo& cmd, std::ostream& out) {
    ZDZ_TRY(const auto images, load_demo_images(cmd));
    // Read before the first line is printed: a clock no timestamp holds stops
    // the demo with nothing shown.
    ZDZ_TRY(const auto now, read_clock());
    print_demo_header(images, out);
    auto platform = trust::ImagePlatform::parse(kDemoPlatform);
    if (!platform) {
        return tl::unexpected(fail(platform.error().display()));
    }
    Lifecycle demo{std::move(*platform)};
    out << "release signing key (public): " << demo.release_key.verifying_key().to_hex() << "\n\n";
    demo.now = now;

    for (const auto& step : {show_first_promotion, show_rollback_floor, show_untrusted_signer}) {
        if (auto shown = step(demo, images, out); !shown) {
            return shown;
        }
    }
    const DemoDevice device;
    if (auto shown = show_attestation(demo, device, images, out); !shown) {
        return shown;
    }
    print_pin_outcomes(device.id, demo.now, out);

    out << "== demo complete: " << demo.registry.history(demo.platform).size()
        << " promotion(s) on platform " << demo.platform.text()
        << ", every refusal behaved as designed ==\n";
    return {};
}

}  // namespace zdz::cli
