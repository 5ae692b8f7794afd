// What a hostile or an outsized input file may cost the program: run under an
// address-space limit (prlimit), it answers with its usual first-fault
// message or with one "error: " line and status 1, never an abort; a device
// without end is refused at a bound; file text in messages is escaped and cut.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/digest.hpp"
#include "envelope/envelope.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/sanitizers.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

using namespace zdz::trust;
using zdz::test::RunResult;
using zdz::test::TempDir;

namespace {

// The sanitizer runtime reserves far more address space than any limit here.
using zdz::test::kAddressSanitizer;

constexpr std::size_t kMiB = std::size_t{1} << 20;
// About what the hostile files of the report took (99 and 116 MB).
constexpr std::size_t kHostileBytes = 100 * kMiB;

RunResult run_limited(std::size_t address_space, const std::vector<std::string>& args,
                      const std::string& cwd = "") {
    std::vector<std::string> argv = {"prlimit", "--as=" + std::to_string(address_space), "--",
                                     zdz::test::program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    zdz::test::RunOptions options;
    options.cwd = cwd;
    return zdz::test::run_tool(argv, options);
}

std::string repeated_until(std::string text, std::string_view piece, std::size_t size) {
    text.reserve(size + piece.size());
    while (text.size() < size) {
        text += piece;
    }
    return text;
}

// One "error: " line, status 1, nothing on standard output.
void expect_one_error_line(const RunResult& r, const std::string& what) {
    EXPECT_EQ(r.status, 1) << what << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << what;
    EXPECT_EQ(r.err.rfind("error: ", 0), 0U) << what << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << ": " << r.err;
}

zdz::crypto::SigningKey release_key() {
    return zdz::test::fixed_key(3);
}

std::string signed_manifest() {
    return zdz::test::signed_manifest_json(release_key());
}

std::string signer_line() {
    return format_allowed_signers_line("release@example", release_key().verifying_key()) + "\n";
}

}  // namespace

// A 100 MB manifest whose fault is near its start is refused there, with the
// message a short file with the same start gets, in a fraction of the memory
// a tree of the whole file took (2.8 GB for nested arrays).
TEST(BoundedInputs, HostileManifestsStopAtTheirFirstFault) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "the sanitizer runtime cannot run under an address-space limit";
    }
    TempDir small;
    TempDir large;
    small.write("signers", signer_line());
    struct Case {
        std::string start;
        std::string piece;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"{\"body\":{\"manifest_id\":[", "[],",
         "invalid type: sequence, expected a UUID string at line 1 column 23"},
        {"{\"u0\":0", ",\"u\":0",
         "unknown field `u0`, expected one of `body`, `signature`, `approvals` at line 1 column 5"},
        {"{\"body\":{\"manifest_id\":\"67e55044-10b1-426f-9247-bb680e5fe0c8\",\"body\":{",
         "\"a\":[[],{}],",
         "unknown field `body`, expected one of `manifest_id`, `platform`, `image_kind`, "
         "`measurement`, `security_version`, `signing_key_id`, `issued_at`, `expires_at` at line "
         "1 column 68"},
    };
    for (const auto& c : cases) {
        small.write("m.json", c.start + c.piece + c.piece);
        large.write("m.json", repeated_until(c.start, c.piece, kHostileBytes));
        const std::vector<std::string> args = {"verify", "--manifest", "m.json", "--signers-file",
                                               small.file("signers")};
        const auto expected = run_limited(64 * kMiB, args, small.path());
        EXPECT_EQ(expected.err, "error: manifest m.json is malformed: " + c.message + "\n");
        const auto hostile = run_limited(kHostileBytes + 160 * kMiB, args, large.path());
        EXPECT_EQ(hostile.status, 1) << c.start;
        EXPECT_EQ(hostile.err, expected.err) << c.start;
    }
}

// Whatever the limit, loading a store either succeeds or fails with one
// error line: no allocation failure ends the program with an abort.
TEST(BoundedInputs, RunningOutOfMemoryIsAnErrorLineNeverAnAbort) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "the sanitizer runtime cannot run under an address-space limit";
    }
    TempDir dir;
    const std::string passphrase = "memory test";
    const auto sealed = zdz::store::seal_signing_key(
        std::span(reinterpret_cast<const std::uint8_t*>(passphrase.data()), passphrase.size()),
        zdz::test::now(), {"argon2id", 8192, 1, 1});
    ASSERT_TRUE(sealed);
    ASSERT_TRUE(zdz::store::save_keystore(*sealed, dir.file("operator.json")));
    const auto key = zdz::store::unseal_signing_key(
        *sealed,
        std::span(reinterpret_cast<const std::uint8_t*>(passphrase.data()), passphrase.size()),
        zdz::test::now());
    ASSERT_TRUE(key);

    // 60,000 promotions on one platform: a 13 MB store.
    const auto now = zdz::test::now();
    zdz::store::PersistedPlatformState state{*ImagePlatform::parse("vask"), {}, {}, {}};
    ImageMeasurement last{};
    for (std::uint32_t v = 1; v <= 60000; ++v) {
        last = ImageMeasurement{zdz::crypto::measure_sha256(std::to_string(v))};
        state.history.push_back({last, v, now});
    }
    const auto envelope = zdz::envelope::sign_envelope(
        *key, sealed->key_id, now, std::nullopt, {std::string(zdz::store::kRegistryContext)},
        zdz::store::RegistrySnapshotBody{1, now, {state}});
    ASSERT_TRUE(envelope);
    dir.write("store.json", zdz::envelope::write_envelope_json(*envelope));

    const std::vector<std::string> args = {"authorize-install",
                                           "--store",
                                           dir.file("store.json"),
                                           "--keystore",
                                           dir.file("operator.json"),
                                           "--platform",
                                           "vask",
                                           "--measurement",
                                           last.to_string()};
    bool refused = false;
    bool authorized = false;
    for (std::size_t mib = 24; mib <= 200; mib += 16) {
        const auto r = run_limited(mib * kMiB, args);
        if (r.status == 0) {
            authorized = true;
            EXPECT_EQ(r.out.rfind("[ok] install authorized\n", 0), 0U) << mib << " MiB";
            continue;
        }
        refused = true;
        expect_one_error_line(r, std::to_string(mib) + " MiB");
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(authorized);

    // A manifest larger than the whole address space allowed.
    ASSERT_EQ(zdz::test::run_tool({"truncate", "-s", "300M", dir.file("huge.json")}).status, 0);
    dir.write("signers", signer_line());
    const auto huge = run_limited(200 * kMiB, {"verify", "--manifest", dir.file("huge.json"),
                                               "--signers-file", dir.file("signers")});
    expect_one_error_line(huge, "huge manifest");
    EXPECT_EQ(huge.err, "error: cannot read manifest " + dir.file("huge.json") +
                            ": Cannot allocate memory (os error 12)\n");
}

// A trust file of 40 million empty lines costs no list of its lines (16 bytes
// of memory for each byte of the file before).
TEST(BoundedInputs, LongTrustFileIsReadLineByLine) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "the sanitizer runtime cannot run under an address-space limit";
    }
    TempDir dir;
    dir.write("m.json", signed_manifest());
    dir.write("signers", std::string(40'000'000, '\n') + signer_line());
    const auto r = run_limited(160 * kMiB, {"verify", "--manifest", dir.file("m.json"),
                                            "--signers-file", dir.file("signers")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("release@example"), std::string::npos) << r.out;
}

// /dev/zero as an input grew the process without end; it is now read up to
// the bound on pipes and devices and refused.
TEST(BoundedInputs, EndlessDeviceIsRefusedAtTheBound) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "the sanitizer runtime cannot run under an address-space limit";
    }
    const std::string too_large =
        "file is larger than 268435456 bytes, the most read from a pipe or device\n";
    const auto hashes = run_limited(512 * kMiB, {"import-hashes", "--file", "/dev/zero"});
    expect_one_error_line(hashes, "import-hashes");
    EXPECT_EQ(hashes.err, "error: cannot read /dev/zero: " + too_large);

    TempDir dir;
    dir.write("signers", signer_line());
    const auto verify = run_limited(
        512 * kMiB, {"verify", "--manifest", "/dev/zero", "--signers-file", dir.file("signers")});
    expect_one_error_line(verify, "verify");
    EXPECT_EQ(verify.err, "error: cannot read manifest /dev/zero: " + too_large);
}

// Text quoted from a file reaches the terminal escaped and cut short.
TEST(BoundedInputs, FileTextInErrorLinesIsEscapedAndCapped) {
    TempDir dir;
    dir.write("signers", signer_line());
    dir.write("esc.json", "{\"body\":{\"\\u001b]0;owned\\u0007\\u001b[2J\":1}}");
    const auto esc = zdz::test::run_program(
        {"verify", "--manifest", dir.file("esc.json"), "--signers-file", dir.file("signers")});
    EXPECT_EQ(esc.status, 1);
    EXPECT_EQ(esc.err.find('\x1b'), std::string::npos) << esc.err;
    EXPECT_EQ(esc.err.find('\x07'), std::string::npos) << esc.err;
    EXPECT_NE(esc.err.find("unknown field `\\u{1b}]0;owned\\u{7}\\u{1b}[2J`"), std::string::npos)
        << esc.err;

    dir.write("long.json",
              "{\"body\":{\"security_version\":\"" + std::string(10'000'000, 'v') + "\"}}");
    const auto long_value = zdz::test::run_program(
        {"verify", "--manifest", dir.file("long.json"), "--signers-file", dir.file("signers")});
    EXPECT_EQ(long_value.status, 1);
    EXPECT_EQ(long_value.err, "error: manifest " + dir.file("long.json") +
                                  " is malformed: invalid type: string \"" + std::string(200, 'v') +
                                  "\"\u2026, expected u32 at line 1 column 10000030\n");
}
