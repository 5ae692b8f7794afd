// The release operations beyond signing and promoting, run as the built
// program: checking an image file against its manifest or the registry,
// withdrawing an image, showing the registry, expiring manifests and JSON
// reports.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/json_report.hpp"
#include "contracts/content_hash.hpp"
#include "crypto/digest.hpp"
#include "io/measure.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

using namespace zdz::trust;
using zdz::contracts::HashAlgorithm;
using zdz::contracts::Timestamp;
using namespace zdz::test;

namespace fs = std::filesystem;

namespace {

const std::string kSignatureInvalid =
    "registry snapshot signature does not verify \xE2\x80\x94 the store file is untrusted";
const std::string kNoSuchFile = "No such file or directory (os error 2)";

std::string sha256_of(const std::string& bytes) {
    return zdz::crypto::measure_sha256(std::string_view(bytes)).to_string();
}

ImageMeasurement measurement_of(const std::string& bytes,
                                HashAlgorithm algorithm = HashAlgorithm::Sha256) {
    return {algorithm == HashAlgorithm::Sha256
                ? zdz::crypto::measure_sha256(std::string_view(bytes))
                : zdz::crypto::measure_blake3(std::string_view(bytes))};
}

Timestamp at(const char* text) {
    return *Timestamp::parse(text);
}

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A keystore (sealed under the test passphrase), a trust file naming the
// release key, and image files whose bytes are their names.
class ReleaseOperations : public ::testing::Test {
protected:
    void SetUp() override {
        zdz::test::write_test_keystore(dir.file("ks.json"));
        dir.write("signers",
                  format_allowed_signers_line("release@tarnelos", release.verifying_key()) + "\n");
        for (const std::string name : {"one.img", "two.img", "three.img"}) {
            dir.write(name, name);
        }
    }

    zdz::crypto::SigningKey operator_key() const {
        const auto record = zdz::store::load_keystore(dir.file("ks.json"));
        const std::string_view passphrase(kPassphrase);
        return *zdz::store::unseal_signing_key(
            *record,
            std::span(reinterpret_cast<const std::uint8_t*>(passphrase.data()), passphrase.size()),
            zdz::test::now());
    }

    void write_manifest(const std::string& name, const std::string& platform,
                        SecurityVersion version, const std::string& image_bytes,
                        HashAlgorithm algorithm = HashAlgorithm::Sha256,
                        std::optional<Timestamp> expires = std::nullopt) const {
        dir.write(name,
                  zdz::test::install_manifest_json(
                      release, platform, version, measurement_of(image_bytes, algorithm), expires));
    }

    // A store holding exactly `body`, signed with the operator key.
    void write_store(const std::string& name, zdz::store::RegistrySnapshotBody body) const {
        const auto record = zdz::store::load_keystore(dir.file("ks.json"));
        const auto envelope = zdz::envelope::sign_envelope(
            operator_key(), record->key_id, zdz::test::now(), std::nullopt,
            {std::string(zdz::store::kRegistryContext)}, std::move(body));
        dir.write(name, zdz::envelope::write_envelope_json(*envelope));
    }

    RunOptions with_passphrase(const std::string& passphrase = kPassphrase) const {
        RunOptions options;
        options.env = {{kPassphraseVar, passphrase}};
        return options;
    }

    RunResult verify(const std::string& manifest, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args{"verify", "--manifest", dir.file(manifest), "--signers-file",
                                      dir.file("signers")};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_program(args);
    }

    RunResult promote(const std::string& manifest, const std::string& store = "store.json") const {
        return run_program(zdz::test::promote_args(dir.file(manifest), dir.file("signers"),
                                                   dir.file(store), dir.file("ks.json")),
                           with_passphrase());
    }

    RunResult authorize(const std::string& option, const std::string& value,
                        const std::string& platform = "vask",
                        const std::string& store = "store.json") const {
        return run_program({"authorize-install", "--store", dir.file(store), "--keystore",
                            dir.file("ks.json"), "--platform", platform, option, value});
    }

    std::vector<std::string> withdraw_args(const std::string& option, const std::string& value,
                                           const std::string& platform = "vask",
                                           const std::string& store = "store.json") const {
        return {"withdraw",
                "--store",
                dir.file(store),
                "--keystore",
                dir.file("ks.json"),
                "--passphrase-env",
                kPassphraseVar,
                "--platform",
                platform,
                option,
                value};
    }

    RunResult withdraw(const std::string& option, const std::string& value,
                       const std::string& platform = "vask",
                       const std::string& store = "store.json") const {
        return run_program(withdraw_args(option, value, platform, store), with_passphrase());
    }

    RunResult show_store(std::vector<std::string> extra = {},
                         const std::string& store = "store.json") const {
        std::vector<std::string> args{"show-store", "--store", dir.file(store), "--keystore",
                                      dir.file("ks.json")};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_program(args);
    }

    // jq's answer to `filter` on `json`; a document jq cannot read fails.
    static std::string jq(const std::string& filter, const std::string& json) {
        RunOptions options;
        options.stdin_data = json;
        const auto r = run_tool({"jq", "-c", filter}, options);
        EXPECT_EQ(r.status, 0) << r.err << "\n" << json;
        return r.out;
    }

    // Every member path of a JSON document, arrays written "[]", as the
    // manual page lists them.
    static std::set<std::string> json_paths(const std::string& json) {
        // An array element is named by its array.
        const auto lines =
            jq("[paths | map(if type == \"number\" then \"[]\" else \".\" + . end) "
               "| join(\"\") | ltrimstr(\".\") | select(endswith(\"[]\") | not)] "
               "| unique | .[]",
               json);
        std::set<std::string> paths;
        std::istringstream in(lines);
        for (std::string line; std::getline(in, line);) {
            paths.insert(line.substr(1, line.size() - 2));  // without jq's quotes
        }
        return paths;
    }

    static std::set<std::string> documented(std::span<const zdz::cli::JsonMemberDoc> members) {
        std::set<std::string> paths;
        for (const auto& member : members) {
            if (!member.conditional) {
                paths.emplace(member.path);
            }
        }
        return paths;
    }

    TempDir dir;
    zdz::crypto::SigningKey release = zdz::test::fixed_key(7);
};

}  // namespace

// ---- verify --image-file and --format json ---------------------------------

TEST_F(ReleaseOperations, VerifyChecksTheImageFileWithTheManifestsAlgorithm) {
    write_manifest("m.json", "vask", 3, "two.img");
    const auto plain = verify("m.json");
    ASSERT_EQ(plain.status, 0) << plain.err;
    auto r = verify("m.json", {"--image-file", dir.file("two.img")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, plain.out + "  image file:        " + dir.file("two.img") +
                         " (7 bytes measured, matches)\n");

    const auto refused = [&](const std::string& manifest, const std::string& image) {
        const auto result = verify(manifest, {"--image-file", dir.file(image)});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        return result.err;
    };
    dir.write("tampered.img", "two.img\n");
    EXPECT_EQ(refused("m.json", "tampered.img"),
              "error: image file " + dir.file("tampered.img") +
                  " does not match the manifest: it measures " + sha256_of("two.img\n") +
                  ", the manifest says " + sha256_of("two.img") + "\n");
    EXPECT_EQ(
        refused("m.json", "missing.img"),
        "error: cannot read image file " + dir.file("missing.img") + ": " + kNoSuchFile + "\n");
    // The image is looked at only once the manifest verified.
    auto edited = dir.read("m.json");
    edited.replace(edited.find("\"vask\""), 6, "\"vasl\"");
    dir.write("edited.json", edited);
    EXPECT_EQ(refused("edited.json", "missing.img"),
              "error: manifest refused against trust file " + dir.file("signers") +
                  ": image manifest signature does not verify\n");

    // A BLAKE3 measurement is checked with BLAKE3.
    write_manifest("b3.json", "vask", 3, "one.img", HashAlgorithm::Blake3);
    EXPECT_EQ(verify("b3.json", {"--image-file", dir.file("one.img")}).status, 0);
    EXPECT_EQ(refused("b3.json", "two.img"),
              "error: image file " + dir.file("two.img") +
                  " does not match the manifest: it "
                  "measures " +
                  measurement_of("two.img", HashAlgorithm::Blake3).to_string() +
                  ", the manifest says " +
                  measurement_of("one.img", HashAlgorithm::Blake3).to_string() + "\n");
}

TEST_F(ReleaseOperations, VerifyJsonIsOneDocumentOfTheDocumentedMembers) {
    write_manifest("m.json", "vask", 4294967295U, "two.img", HashAlgorithm::Sha256,
                   at("2999-01-02T03:04:05+01:00"));
    auto r = verify("m.json", {"--format", "json", "--image-file", dir.file("two.img")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_paths(r.out), documented(zdz::cli::verify_json_members()));
    EXPECT_EQ(jq("[.trust_file, .signed_by, .platform, .kind, .measurement, .security_version, "
                 ".expires_at, .image_file, (.issued_at | type)]",
                 r.out),
              "[\"" + dir.file("signers") + "\",\"release@tarnelos\",\"vask\",\"install\",\"" +
                  sha256_of("two.img") + "\",4294967295,\"2999-01-02T02:04:05Z\",{\"path\":\"" +
                  dir.file("two.img") + "\",\"bytes_measured\":7,\"matches\":true},\"string\"]\n");

    write_manifest("plain.json", "vask", 1, "one.img");
    r = verify("plain.json", {"--format=json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(jq("[.expires_at, .image_file]", r.out), "[null,null]\n");
    EXPECT_EQ(verify("plain.json", {"--format", "text"}).out, verify("plain.json").out);

    // A failure is the same error line, and its document on standard output.
    r = verify("plain.json", {"--format", "json", "--image-file", dir.file("two.img")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("error: image file ")) << r.err;
    EXPECT_EQ(jq("[.ok, .error.kind, \"error: \" + .error.message + \"\\n\"]", r.out),
              jq("[false, \"refused\", .]", "\"" + r.err.substr(0, r.err.size() - 1) + "\\n\""));

    EXPECT_EQ(verify("plain.json", {"--format", "yaml"}),
              (RunResult{2, "",
                         "--format: must be text or json, not \"yaml\"\n"
                         "Run with --help for more information.\n"}));
}

// Text from the trust file reaches JSON exactly, and no byte of it is a
// terminal control; a path JSON cannot hold is refused before any work.
TEST_F(ReleaseOperations, VerifyJsonEscapesControlsAndRefusesPathsItCannotHold) {
    const std::string hostile =
        "ops\x1b[31m\xc2\x9b"
        "1m\x7f\xc2\x90x@host";
    dir.write("hostile", format_allowed_signers_line(hostile, release.verifying_key()) + "\n");
    write_manifest("m.json", "vask", 1, "one.img");
    auto r = run_program({"verify", "--manifest", dir.file("m.json"), "--signers-file",
                          dir.file("hostile"), "--format", "json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"signed_by\": \"ops\\u001B[31m\\u009B1m\\u007F\\u0090x@host\""),
              std::string::npos)
        << r.out;
    for (const char c : r.out) {
        const auto b = static_cast<unsigned char>(c);
        EXPECT_TRUE((b >= 0x20 && b < 0x7F) || b == '\n') << r.out;
    }
    RunOptions report;
    report.stdin_data = r.out;
    EXPECT_EQ(run_tool({"jq", "--arg", "x", hostile, ".signed_by == $x"}, report).out, "true\n");

    const std::string latin1 = dir.file("caf\xe9");
    fs::copy_file(dir.file("signers"), latin1);
    r = run_program({"verify", "--manifest", dir.file("missing.json"), "--signers-file", latin1,
                     "--format", "json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: cannot write the report as JSON: the trust file path \"" +
                         dir.file("caf") + "\\x{e9}\" is not valid UTF-8\n");
    EXPECT_EQ(jq("[.error.kind, .error.message]", r.out),
              "[\"input\",\"cannot write the report as JSON: the trust file path \\\"" +
                  dir.file("caf") + "\\\\x{e9}\\\" is not valid UTF-8\"]\n");
    // The text report takes the path as it is.
    r = run_program({"verify", "--manifest", dir.file("m.json"), "--signers-file", latin1});
    EXPECT_EQ(r.status, 0) << r.err;
}

// ---- sign --expires-at -----------------------------------------------------

TEST_F(ReleaseOperations, SignWritesAnExpiryThatVerifyEnforces) {
    const auto sign = [&](const std::vector<std::string>& extra,
                          const std::string& passphrase = kPassphrase) {
        std::vector<std::string> args{"sign",
                                      "--keystore",
                                      dir.file("ks.json"),
                                      "--passphrase-env",
                                      kPassphraseVar,
                                      "--image-file",
                                      dir.file("one.img"),
                                      "--platform",
                                      "vask",
                                      "--kind",
                                      "install",
                                      "--security-version",
                                      "1",
                                      "--out",
                                      dir.file("out.json")};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_program(args, with_passphrase(passphrase));
    };
    // Without the option the manifest has no expiry member at all.
    auto r = sign({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("expires_at"), std::string::npos);
    EXPECT_EQ(jq(".body | has(\"expires_at\")", dir.read("out.json")), "false\n");
    dir.write("signers",
              format_allowed_signers_line("operator@test", operator_key().verifying_key()) + "\n");

    // An offset is normalised to UTC, as manifests write their times.
    r = sign({"--expires-at", "2999-06-01T12:00:00.250+02:00"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("  expires_at:       2999-06-01T10:00:00.25Z\n")) << r.out;
    EXPECT_EQ(jq(".body.expires_at", dir.read("out.json")), "\"2999-06-01T10:00:00.25Z\"\n");

    // An hour from now: valid now, stale once that hour has passed.
    const auto now = zdz::test::now().seconds_since_epoch();
    const auto soon = *Timestamp::from_unix_seconds(now + 3600);
    ASSERT_EQ(sign({"--expires-at=" + soon.to_string()}).status, 0);
    EXPECT_EQ(verify("out.json").status, 0);
    r = run_tool({"faketime", "@" + std::to_string(now + 7200), zdz::test::program_path(), "verify",
                  "--manifest", dir.file("out.json"), "--signers-file", dir.file("signers")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: manifest refused against trust file " + dir.file("signers") +
                         ": image manifest expired at " + soon.to_string() + "\n");

    // A time not after the signing time is refused before unsealing (the wrong
    // passphrase is never tried) and no manifest is written.
    fs::remove(dir.file("out.json"));
    r = sign({"--expires-at", "2020-01-01T00:00:00Z"}, "wrong passphrase");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        r.err.starts_with("error: expiry time 2020-01-01T00:00:00Z is not later than the "
                          "signing time "))
        << r.err;
    r = sign({"--expires-at", "2026-02-30T00:00:00Z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: invalid --expires-at: validation failed: invalid RFC 3339 timestamp "
              "\"2026-02-30T00:00:00Z\": day must be in the range 1..=28, given values of "
              "other parameters\n");
    EXPECT_FALSE(fs::exists(dir.file("out.json")));
}

// ---- authorize-install --image-file ----------------------------------------

TEST_F(ReleaseOperations, AuthorizeInstallMeasuresTheCandidateFile) {
    write_manifest("m.json", "vask", 2, "two.img");
    ASSERT_EQ(promote("m.json").status, 0);
    const auto by_measurement = authorize("--measurement", sha256_of("two.img"));
    ASSERT_EQ(by_measurement.status, 0) << by_measurement.err;
    auto r = authorize("--image-file", dir.file("two.img"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, by_measurement.out + "  image file:        " + dir.file("two.img") +
                         " (7 bytes measured)\n");

    // A refusal names the measurement that was computed.
    dir.write("tampered.img", "two.imh");
    r = authorize("--image-file", dir.file("tampered.img"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "error: install refused: candidate image is not the platform's currently "
              "promoted known-good image (image file " +
                  dir.file("tampered.img") + " measures " + sha256_of("two.imh") + ")\n");
    EXPECT_EQ(
        authorize("--image-file", dir.file("missing.img")).err,
        "error: cannot read image file " + dir.file("missing.img") + ": " + kNoSuchFile + "\n");

    // The platform's current image is a BLAKE3 measurement: so is the candidate's.
    zdz::store::RegistrySnapshotBody body{1, zdz::test::now(), {}};
    body.platforms.push_back(
        {*ImagePlatform::parse("vask"),
         {{measurement_of("one.img", HashAlgorithm::Blake3), 5, at("2026-07-01T00:00:00Z")}},
         {},
         {}});
    write_store("b3.json", body);
    r = authorize("--image-file", dir.file("one.img"), "vask", "b3.json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(measurement_of("one.img", HashAlgorithm::Blake3).to_string()),
              std::string::npos);

    // Exactly one of the two: neither or both is a usage error.
    std::vector<std::string> args{"authorize-install", "--store", "s", "--keystore", "k",
                                  "--platform",        "vask"};
    r = run_program(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "exactly one of --measurement and --image-file is required\n"
              "Run with --help for more information.\n");
    args.insert(args.end(), {"--measurement", sha256_of("two.img"), "--image-file", "x"});
    r = run_program(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "only one of --measurement and --image-file may be given\n"
              "Run with --help for more information.\n");
}

// ---- withdraw --------------------------------------------------------------

TEST_F(ReleaseOperations, WithdrawingTheCurrentImageBlocksInstallsAndPromotion) {
    write_manifest("v1.json", "vask", 1, "one.img");
    write_manifest("v2.json", "vask", 2, "two.img");
    ASSERT_EQ(promote("v1.json").status, 0);
    ASSERT_EQ(promote("v2.json").status, 0);
    const std::string blocked =
        "  installs:             no install is authorized on vask until a newer image is "
        "promoted\n";

    // An earlier image: the current one stays installable.
    auto r = withdraw("--measurement", sha256_of("one.img"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("installs:"), std::string::npos) << r.out;
    EXPECT_EQ(authorize("--image-file", dir.file("two.img")).status, 0);

    r = withdraw("--image-file", dir.file("two.img"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "[ok] withdrawn\n"
              "  platform:             vask\n"
              "  measurement:          " +
                  sha256_of("two.img") + "\n  also withdrawn:       " +
                  measurement_of("two.img", HashAlgorithm::Blake3).to_string() +
                  "\n  image file:           " + dir.file("two.img") +
                  " (7 bytes measured)\n"
                  "  times promoted:       1\n" +
                  blocked + "  store written:        " + dir.file("store.json") + "\n");
    const std::string withdrawn =
        "image measurement " + sha256_of("two.img") + " was withdrawn for platform vask\n";
    EXPECT_EQ(authorize("--measurement", sha256_of("two.img")).err,
              "error: install refused: " + withdrawn);
    const auto before = dir.read("store.json");
    EXPECT_EQ(promote("v2.json").err, "error: promotion refused: " + withdrawn);
    EXPECT_EQ(dir.read("store.json"), before);

    // Withdrawn twice: reported, and the file is not even rewritten.
    struct stat st_before {};
    ASSERT_EQ(::stat(dir.file("store.json").c_str(), &st_before), 0);
    r = withdraw("--measurement", sha256_of("two.img"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("[ok] already withdrawn, store unchanged\n")) << r.out;
    EXPECT_TRUE(
        r.out.ends_with(blocked + "  store unchanged:      " + dir.file("store.json") + "\n"))
        << r.out;
    EXPECT_EQ(dir.read("store.json"), before);
    struct stat st_after {};
    ASSERT_EQ(::stat(dir.file("store.json").c_str(), &st_after), 0);
    EXPECT_EQ(st_after.st_ino, st_before.st_ino);

    // A newer image lifts the block.
    write_manifest("v3.json", "vask", 3, "three.img");
    ASSERT_EQ(promote("v3.json").status, 0);
    EXPECT_EQ(authorize("--image-file", dir.file("three.img")).status, 0);
}

// A withdrawal by image file covers the image's bytes, not one digest of
// them: a second trusted signer's manifest for the same bytes measured with
// the other algorithm is refused, and so is an install of those bytes.
// Whichever algorithm the current image has. By --measurement, that digest
// alone is withdrawn.
TEST_F(ReleaseOperations, AWithdrawnImageStaysWithdrawnUnderEveryAlgorithm) {
    const auto second = zdz::test::fixed_key(0x77);
    dir.write("signers",
              format_allowed_signers_line("release@tarnelos", release.verifying_key()) + "\n" +
                  format_allowed_signers_line("second@tarnelos", second.verifying_key()) + "\n");
    const auto second_manifest = [&](const std::string& name, const std::string& platform,
                                     SecurityVersion version, const std::string& image,
                                     HashAlgorithm algorithm) {
        dir.write(name, zdz::test::install_manifest_json(second, platform, version,
                                                         measurement_of(image, algorithm)));
    };
    const std::pair<std::string, HashAlgorithm> currents[] = {{"vask", HashAlgorithm::Sha256},
                                                              {"ridge", HashAlgorithm::Blake3}};
    for (const auto& [platform, algorithm] : currents) {
        const auto other =
            algorithm == HashAlgorithm::Sha256 ? HashAlgorithm::Blake3 : HashAlgorithm::Sha256;
        write_manifest(platform + "-1.json", platform, 1, "one.img", algorithm);
        ASSERT_EQ(promote(platform + "-1.json").status, 0) << platform;
        write_manifest(platform + "-2.json", platform, 2, "two.img", algorithm);
        ASSERT_EQ(promote(platform + "-2.json").status, 0) << platform;

        auto r = withdraw("--image-file", dir.file("two.img"), platform);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(
            r.out.find(
                "  measurement:          " + measurement_of("two.img", algorithm).to_string() +
                "\n  also withdrawn:       " + measurement_of("two.img", other).to_string() + "\n"),
            std::string::npos)
            << r.out;

        second_manifest(platform + "-3.json", platform, 3, "two.img", other);
        EXPECT_EQ(promote(platform + "-3.json").err,
                  "error: promotion refused: image measurement " +
                      measurement_of("two.img", other).to_string() +
                      " was withdrawn for platform " + platform + "\n")
            << platform;

        // The image that withdrawing two.img blocked is replaced by one.img's
        // bytes measured the other way; two.img's bytes stay refused.
        second_manifest(platform + "-4.json", platform, 4, "one.img", other);
        ASSERT_EQ(promote(platform + "-4.json").status, 0) << platform;
        EXPECT_EQ(authorize("--image-file", dir.file("one.img"), platform).status, 0) << platform;
        r = authorize("--image-file", dir.file("two.img"), platform);
        EXPECT_EQ(r.status, 1) << platform;
        EXPECT_TRUE(r.err.starts_with("error: install refused: image measurement " +
                                      measurement_of("two.img", other).to_string() +
                                      " was withdrawn for platform " + platform))
            << r.err;

        // One digest, given as text: the other digest of those bytes stays
        // promotable.
        r = withdraw("--measurement", measurement_of("three.img", other).to_string(), platform);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("also withdrawn"), std::string::npos) << r.out;
        second_manifest(platform + "-5.json", platform, 5, "three.img", algorithm);
        EXPECT_EQ(promote(platform + "-5.json").status, 0) << platform;
    }
}

TEST_F(ReleaseOperations, WithdrawNeverStartsAStoreAndRefusesBadInput) {
    const auto files = listing(dir.path());
    for (const std::string store : {"store.json", "missing/store.json"}) {
        const auto r = withdraw("--measurement", sha256_of("one.img"), "vask", store);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "error: no store file found at " + dir.file(store) + "\n");
        EXPECT_EQ(listing(dir.path()), files);
    }

    write_manifest("v1.json", "vask", 1, "one.img");
    ASSERT_EQ(promote("v1.json").status, 0);
    const auto before = dir.read("store.json");
    const auto refused = [&](const RunResult& result) {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(dir.read("store.json"), before);
        return result.err;
    };
    // What is to be withdrawn is checked before the keystore is opened.
    EXPECT_EQ(refused(run_program({"withdraw", "--store", dir.file("store.json"), "--keystore",
                                   dir.file("missing.json"), "--passphrase-env", kPassphraseVar,
                                   "--platform", "Vask", "--measurement", sha256_of("one.img")})),
              "error: invalid Slug identifier: may contain only lowercase ASCII letters, digits "
              "and hyphens\n");
    EXPECT_EQ(refused(withdraw("--measurement", "sha256:12")),
              "error: invalid measurement \"sha256:12\": validation failed: content hash digest "
              "must be 64 hex characters, got 2\n");
    EXPECT_EQ(refused(run_program(withdraw_args("--measurement", sha256_of("one.img")),
                                  with_passphrase("wrong"))),
              "error: cannot unseal keystore: signing key could not be unsealed (wrong "
              "passphrase or corrupted keystore)\n");
    EXPECT_EQ(
        refused(withdraw("--image-file", dir.file("missing.img"))),
        "error: cannot read image file " + dir.file("missing.img") + ": " + kNoSuchFile + "\n");

    // A platform the store does not hold is taken for a typo, unless
    // --new-platform says it is meant.
    EXPECT_EQ(refused(withdraw("--measurement", sha256_of("two.img"), "vsak")),
              "error: platform vsak is not in store " + dir.file("store.json") +
                  " (it holds vask); pass --new-platform to withdraw on a platform not yet in "
                  "it\n");
    auto args = withdraw_args("--measurement", sha256_of("two.img"), "alder");
    args.push_back("--new-platform");
    const auto pre_emptive = run_program(args, with_passphrase());
    ASSERT_EQ(pre_emptive.status, 0) << pre_emptive.err;
    EXPECT_TRUE(pre_emptive.out.starts_with("[ok] withdrawn\n  platform:             alder\n"))
        << pre_emptive.out;
    const auto with_alder = dir.read("store.json");
    EXPECT_EQ(withdraw("--measurement", sha256_of("two.img"), "ridge"),
              (RunResult{1, "",
                         "error: platform ridge is not in store " + dir.file("store.json") +
                             " (it holds alder, vask); pass --new-platform to withdraw on a "
                             "platform not yet in it\n"}));
    EXPECT_EQ(dir.read("store.json"), with_alder);

    // A store edited by hand is not trusted, and is left as it is.
    RunOptions jq_input;
    jq_input.stdin_data = before;
    const auto edited = run_tool(
        {"jq", ".payload.platforms[0].revoked += [\"" + sha256_of("two.img") + "\"]"}, jq_input);
    ASSERT_EQ(edited.status, 0) << edited.err;
    dir.write("edited.json", edited.out);
    const auto r = withdraw("--measurement", sha256_of("three.img"), "vask", "edited.json");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: cannot load store " + dir.file("edited.json") + ": " +
                         kSignatureInvalid + "\n");
    EXPECT_EQ(dir.read("edited.json"), edited.out);
}

// ---- show-store ------------------------------------------------------------

TEST_F(ReleaseOperations, ShowStoreReportsEachPlatformAndOneInDetail) {
    zdz::store::RegistrySnapshotBody body{1, zdz::test::now(), {}};
    body.platforms.push_back({*ImagePlatform::parse("vask"),
                              {{measurement_of("one.img"), 1, at("2026-07-15T10:00:00Z")},
                               {measurement_of("two.img"), 2, at("2026-07-29T10:00:00.5Z")}},
                              {},
                              {}});
    body.platforms.back().revoked.insert(measurement_of("two.img"));
    body.platforms.back().revoked.insert(measurement_of("three.img", HashAlgorithm::Blake3));
    // Withdrawn ahead of any promotion: a platform without a current image.
    body.platforms.push_back({*ImagePlatform::parse("alder"), {}, {}, {}});
    body.platforms.back().revoked.insert(measurement_of("one.img"));
    write_store("store.json", body);

    // No passphrase is needed to look.
    RunOptions no_passphrase;
    no_passphrase.unset = {kPassphraseVar};
    auto r = run_program(
        {"show-store", "--store", dir.file("store.json"), "--keystore", dir.file("ks.json")},
        no_passphrase);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string vask =
        "  platform:          vask\n"
        "  current image:     " +
        sha256_of("two.img") +
        " (withdrawn)\n"
        "  rollback floor:    sv2\n"
        "  promotions:        2\n"
        "  withdrawn:         2\n";
    // Written without the commands, the store is of no numbered save; its
    // hash is checked where saves are chained.
    const auto hash_at = r.out.find("  store hash:        sha256:");
    ASSERT_NE(hash_at, std::string::npos) << r.out;
    const auto standing =
        "  sequence:          0\n" + r.out.substr(hash_at, r.out.find('\n', hash_at) + 1 - hash_at);
    EXPECT_EQ(r.out, "[ok] store verified: " + dir.file("store.json") + "\n" + standing +
                         "  platforms:         2\n\n"
                         "  platform:          alder\n"
                         "  current image:     none\n"
                         "  rollback floor:    sv0\n"
                         "  promotions:        0\n"
                         "  withdrawn:         1\n\n" +
                         vask);

    // The public key alone, as show-key prints it, shows the same.
    const auto shown = run_program({"show-key", "--keystore", dir.file("ks.json")});
    ASSERT_EQ(shown.status, 0) << shown.err;
    dir.write("ks.pub", shown.out.substr(shown.out.rfind('\n', shown.out.size() - 2) + 1));
    const auto by_public_key = run_program(
        {"show-store", "--store", dir.file("store.json"), "--public-key", dir.file("ks.pub")},
        no_passphrase);
    EXPECT_EQ(by_public_key.status, 0) << by_public_key.err;
    EXPECT_EQ(by_public_key.out, r.out);

    r = show_store({"--platform", "vask"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[ok] store verified: " + dir.file("store.json") + "\n" + standing + vask +
                         "history (oldest first):\n  " + sha256_of("one.img") +
                         "  sv1  2026-07-15T10:00:00Z\n  " + sha256_of("two.img") +
                         "  sv2  2026-07-29T10:00:00.5Z  withdrawn\n"
                         "withdrawn measurements:\n  " +
                         measurement_of("three.img", HashAlgorithm::Blake3).to_string() + "\n  " +
                         sha256_of("two.img") + "\n");

    r = show_store({"--format", "json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(jq("[.platforms[] | [.platform, .rollback_floor, .current.withdrawn]]", r.out),
              "[[\"alder\",0,null],[\"vask\",2,true]]\n");

    r = show_store({"--platform", "vask", "--format", "json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_paths(r.out), documented(zdz::cli::show_store_json_members()));
    EXPECT_EQ(jq("[(.platforms | length), (.platforms[0].history | map([.security_version, "
                 ".promoted_at, .withdrawn]))]",
                 r.out),
              "[1,[[1,\"2026-07-15T10:00:00Z\",false],[2,\"2026-07-29T10:00:00.5Z\",true]]]\n");
}

TEST_F(ReleaseOperations, ShowStoreRefusesWhatItCannotTrust) {
    const auto refused = [](const RunResult& r) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        return r.err;
    };
    EXPECT_EQ(refused(show_store()),
              "error: no store file found at " + dir.file("store.json") + "\n");
    EXPECT_FALSE(fs::exists(dir.file("store.json")));

    write_manifest("v1.json", "vask", 1, "one.img");
    ASSERT_EQ(promote("v1.json").status, 0);
    ASSERT_EQ(withdraw("--measurement", sha256_of("two.img")).status, 0);
    // A mistyped platform is an error, not an empty report.
    EXPECT_EQ(refused(show_store({"--platform", "alder"})),
              "error: platform alder is not in store " + dir.file("store.json") + "\n");

    // A withdrawn list changed by hand, in either direction, breaks the signature.
    RunOptions jq_input;
    jq_input.stdin_data = dir.read("store.json");
    for (const auto& edit : std::vector<std::string>{
             ".payload.platforms[0].revoked = []",
             ".payload.platforms[0].revoked += [\"" + sha256_of("one.img") + "\"]"}) {
        const auto edited = run_tool({"jq", edit}, jq_input);
        ASSERT_EQ(edited.status, 0) << edited.err;
        dir.write("edited.json", edited.out);
        EXPECT_EQ(
            refused(show_store({}, "edited.json")),
            "error: cannot load store " + dir.file("edited.json") + ": " + kSignatureInvalid + "\n")
            << edit;
        const auto as_json = show_store({"--format", "json"}, "edited.json");
        EXPECT_EQ(as_json.status, 1);
        EXPECT_EQ(jq("[.ok, .error.kind]", as_json.out), "[false,\"refused\"]\n") << edit;
    }
}
