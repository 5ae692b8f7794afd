// Writes the inputs of bench/registry_store: an operator keystore, a trust
// file, one manifest to promote, and validly signed registry stores of the
// requested sizes, each with an audit log of one save per promotion, made
// through the library's own signing.
//
//   zdz_registry_store_gen OUT_DIR PROMOTIONS [PROMOTIONS...]
//
// The keystore passphrase is taken from $ZDZ_BENCH_PASSPHRASE. For each size N
// the store is OUT_DIR/store-N.json, its log OUT_DIR/store-N.log: promotion i goes to platform i %
// 100 with security version i / 100, so every history rises. One line per store is printed: "N
// MEASUREMENT", the current image of the first platform.

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "contracts/time.hpp"
#include "crypto/digest.hpp"
#include "io/atomic_file.hpp"
#include "store/audit_log.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

namespace {

using namespace zdz;

constexpr std::uint32_t kPlatforms = 100;
constexpr const char* kPassphraseVariable = "ZDZ_BENCH_PASSPHRASE";
// The floor of the KDF: the benchmark measures the registry, not Argon2id.
const store::KdfParams kBenchKdf{"argon2id", store::kMinMemoryCostKib, 1, 1};
constexpr std::int64_t kFirstPromotionUnix = 1'780'000'000;
constexpr trust::SecurityVersion kCandidateVersion = 1'000'000;
constexpr std::uint8_t kReleaseSeedFill = 7;

int fail(const std::string& message) {
    std::fprintf(stderr, "zdz_registry_store_gen: %s\n", message.c_str());
    return 1;
}

std::string platform_text(std::uint32_t index) {
    std::string digits = std::to_string(index);
    return "platform-" + std::string(3 - digits.size(), '0') + digits;
}

trust::ImageMeasurement image(std::uint64_t index) {
    return {crypto::measure_sha256(std::string_view(std::to_string(index)))};
}

bool write_text(const std::string& path, const std::string& text) {
    return io::write_file_atomically(path, text).has_value();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return fail("usage: zdz_registry_store_gen OUT_DIR PROMOTIONS [PROMOTIONS...]");
    }
    const char* passphrase_text = std::getenv(kPassphraseVariable);
    if (passphrase_text == nullptr || *passphrase_text == '\0') {
        return fail(std::string("set ") + kPassphraseVariable);
    }
    const std::string out = argv[1];
    const std::string_view passphrase_view(passphrase_text);
    const std::span<const std::uint8_t> passphrase(
        reinterpret_cast<const std::uint8_t*>(passphrase_view.data()), passphrase_view.size());
    const auto clock = contracts::Timestamp::read_system_clock();
    if (!clock) {
        return fail(clock.error().display());
    }
    const auto now = *clock;

    const auto keystore = store::seal_signing_key(passphrase, now, kBenchKdf);
    if (!keystore || !store::save_keystore(*keystore, out + "/operator.json")) {
        return fail("cannot write the keystore");
    }
    const auto operator_key = store::unseal_signing_key(*keystore, passphrase, now);
    if (!operator_key) {
        return fail(operator_key.error().display());
    }

    std::array<std::uint8_t, crypto::kSeedBytes> seed{};
    seed.fill(kReleaseSeedFill);
    const auto release = crypto::SigningKey::from_seed(seed);
    const trust::ImageManifestBody body{contracts::Uuid::new_v4(),
                                        *trust::ImagePlatform::parse(platform_text(0)),
                                        trust::ImageKind::Install,
                                        {crypto::measure_sha256(std::string_view("candidate"))},
                                        kCandidateVersion,
                                        contracts::Uuid::new_v4(),
                                        now,
                                        std::nullopt};
    const auto manifest = trust::sign_manifest(body, release);
    if (!manifest || !write_text(out + "/manifest.json", trust::write_manifest_json(*manifest)) ||
        !write_text(
            out + "/signers",
            trust::format_allowed_signers_line("bench@tarnelos", release.verifying_key()) + "\n")) {
        return fail("cannot write the manifest or the trust file");
    }

    for (int arg = 2; arg < argc; ++arg) {
        const std::string_view count_text(argv[arg]);
        std::uint64_t count = 0;
        const auto parsed =
            std::from_chars(count_text.data(), count_text.data() + count_text.size(), count);
        if (parsed.ec != std::errc() || parsed.ptr != count_text.data() + count_text.size() ||
            count == 0) {
            return fail("not a promotion count: " + std::string(count_text));
        }
        trust::KnownGoodStore registry;
        for (std::uint64_t i = 0; i < count; ++i) {
            const auto platform = *trust::ImagePlatform::parse(
                platform_text(static_cast<std::uint32_t>(i % kPlatforms)));
            const auto at = contracts::Timestamp::from_unix_seconds(kFirstPromotionUnix +
                                                                    static_cast<std::int64_t>(i));
            const auto recorded = registry.record_promotion(
                {platform, image(i), static_cast<trust::SecurityVersion>(i / kPlatforms), *at});
            if (!recorded) {
                return fail(recorded.error().display());
            }
        }
        // A history of one save per promotion: the log's lines before the
        // last name stores that are not kept (their hashes stand in for
        // them); the last line is the store written.
        const auto stand_in = [](std::uint64_t sequence) {
            return crypto::measure_sha256(std::string_view("store " + std::to_string(sequence)));
        };
        const auto path = out + "/store-" + std::string(count_text) + ".json";
        const store::StoreLink link{
            count, count > 1 ? std::optional(stand_in(count - 1)) : std::nullopt, std::nullopt};
        const auto signed_store = store::signed_store_text(
            registry, *operator_key, keystore->key_id, now, contracts::Uuid::new_v4(), link);
        if (!signed_store || !write_text(path, signed_store->text)) {
            return fail("cannot write " + path);
        }
        std::string log;
        std::optional<contracts::ContentHash> previous_line;
        for (std::uint64_t i = 0; i < count; ++i) {
            const store::AuditEntry entry{
                .sequence = i + 1,
                .time = *contracts::Timestamp::from_unix_seconds(kFirstPromotionUnix +
                                                                 static_cast<std::int64_t>(i)),
                .command = "promote",
                .store_hash = i + 1 == count ? signed_store->hash : stand_in(i + 1),
                .previous_hash = i == 0 ? std::nullopt : std::optional(stand_in(i)),
                .key_id = keystore->key_id,
                .platform = trust::ImagePlatform::parse(
                                platform_text(static_cast<std::uint32_t>(i % kPlatforms)))
                                .value(),
                .measurement = image(i),
                .security_version = static_cast<std::uint32_t>(i / kPlatforms),
                .previous_line = previous_line,
            };
            const auto line = store::signed_audit_line(entry, *operator_key);
            if (!line) {
                return fail(line.error().display());
            }
            previous_line = store::audit_line_hash(*line);
            log += *line;
            log += '\n';
        }
        if (!write_text(store::audit_log_path(path), log)) {
            return fail("cannot write the log of " + path);
        }
        const auto last_of_first_platform = (count - 1) / kPlatforms * kPlatforms;
        std::printf("%s %s\n", std::string(count_text).c_str(),
                    image(last_of_first_platform).to_string().c_str());
    }
    return 0;
}
