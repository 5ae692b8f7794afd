#include <gtest/gtest.h>

#include "crypto/digest.hpp"
#include "encoding/base64.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"

using namespace zdz::trust;
using zdz::contracts::Timestamp;
using namespace zdz::test;

namespace {

const std::string kImageDigest =
    "sha256:6105d6cc76af400325e94d588ce511be5bfdbb73b437dc51eca43917d7a43e3d";

}  // namespace

TEST(ImportSigners, FingerprintsOfRealSshKeysMatchB3sum) {
    TempDir dir;
    std::string trust = "# release signers\n";
    std::vector<std::string> expected;
    for (const std::string name : {"alice", "bob"}) {
        const auto gen = run_tool(
            {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", dir.file(name)});
        ASSERT_EQ(gen.status, 0) << gen.err;
        const auto pub = dir.read(name + ".pub");  // "ssh-ed25519 BASE64 comment"
        const auto b64 = pub.substr(12, pub.find(' ', 12) - 12);
        trust += name + "@example ssh-ed25519 " + b64 + "\n";
        const auto blob = *zdz::encoding::base64_decode(b64);
        dir.write(name + ".raw", std::string(blob.end() - 32, blob.end()));
        const auto b3 = run_tool({"b3sum", "--no-names", dir.file(name + ".raw")});
        expected.push_back(name + "@example  fingerprint=blake3:" + b3.out.substr(0, 64) + "\n");
    }
    dir.write("allowed_signers", trust);
    const auto r = run_program({"import-signers", "--file", dir.file("allowed_signers")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected[0] + expected[1]);
}

TEST(ImportSigners, Failures) {
    TempDir dir;
    dir.write("comments", "# only a comment\n\n");
    auto r = run_program({"import-signers", "--file", dir.file("comments")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: trust store entry invalid at line 0: no trusted signer entries found in "
              "file\n");
    r = run_program({"import-signers", "--file", dir.file("missing")});
    EXPECT_EQ(r.err, "error: cannot read " + dir.file("missing") +
                         ": No such file or directory (os error 2)\n");
}

TEST(Verify, ReportsTheSignerWhoseKeyVerified) {
    TempDir dir;
    const auto key = fixed_key(2);
    dir.write("m.json", zdz::test::signed_manifest_json(key));
    dir.write("signers", format_allowed_signers_line("first@x", fixed_key(1).verifying_key()) +
                             "\n" + format_allowed_signers_line("second@x", key.verifying_key()) +
                             "\n");
    const auto r = run_program(
        {"verify", "--manifest", dir.file("m.json"), "--signers-file", dir.file("signers")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "[ok] manifest verified\n"
              "  trust file:        " +
                  dir.file("signers") +
                  "\n"
                  "  signed by:         second@x\n"
                  "  platform:          vask\n"
                  "  measurement:       " +
                  kImageDigest +
                  "\n"
                  "  security_version:  sv3\n");
    EXPECT_EQ(r.err, "");
}

TEST(Verify, DefaultTrustFileIsRelativeToTheWorkingDirectory) {
    TempDir dir;
    const auto key = fixed_key(2);
    run_tool({"mkdir", "-p", dir.file("os"), dir.file("build")});
    dir.write("os/allowed_signers", format_allowed_signers_line("ops@x", key.verifying_key()));
    dir.write("m.json", zdz::test::signed_manifest_json(key));
    const auto r =
        run_program({"verify", "--manifest", "../m.json"},
                    {.cwd = dir.file("build"), .env = {}, .unset = {}, .stdin_data = ""});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  trust file:        ../os/allowed_signers\n"), std::string::npos);
}

TEST(Verify, Refusals) {
    TempDir dir;
    const auto key = fixed_key(2);
    dir.write("signers", format_allowed_signers_line("ops@x", key.verifying_key()));
    dir.write("other", format_allowed_signers_line("ops@x", fixed_key(9).verifying_key()));
    dir.write("comments", "# nobody\n");
    dir.write("m.json", zdz::test::signed_manifest_json(key));
    const auto expired = *Timestamp::from_unix_seconds(zdz::test::now().seconds_since_epoch() - 1);
    dir.write("expired.json", zdz::test::signed_manifest_json(key, expired));
    auto edited = zdz::test::signed_manifest_json(key);
    edited.replace(edited.find("\"security_version\": 3"), 21, "\"security_version\": 4");
    dir.write("edited.json", edited);
    dir.write("broken.json", "{\"body\": 1");

    const auto verify = [&](const std::string& manifest, const std::string& signers) {
        return run_program(
            {"verify", "--manifest", dir.file(manifest), "--signers-file", dir.file(signers)});
    };
    const std::string refused = "error: manifest refused against trust file " + dir.file("signers");
    EXPECT_EQ(verify("edited.json", "signers").err,
              refused + ": image manifest signature does not verify\n");
    EXPECT_EQ(verify("m.json", "other").err, "error: manifest refused against trust file " +
                                                 dir.file("other") +
                                                 ": image manifest signature does not verify\n");
    EXPECT_EQ(verify("expired.json", "signers").err,
              refused + ": image manifest expired at " + expired.to_string() + "\n");
    EXPECT_EQ(verify("m.json", "comments").err,
              "error: trust store entry invalid at line 0: no trusted signer entries found in "
              "file\n");
    EXPECT_EQ(verify("missing.json", "signers").err,
              "error: cannot read manifest " + dir.file("missing.json") +
                  ": No such file or directory (os error 2)\n");
    EXPECT_EQ(verify("m.json", "missing").err, "error: cannot read signers file " +
                                                   dir.file("missing") +
                                                   ": No such file or directory (os error 2)\n");
    const auto broken = verify("broken.json", "signers");
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.err.rfind("error: manifest " + dir.file("broken.json") + " is malformed: ", 0),
              0U)
        << broken.err;
}

namespace {

// The OpenSSH form of a whole-second instant: YYYYMMDDHHMMSSZ.
std::string openssh_time(const Timestamp& t) {
    std::string digits;
    for (const char c : t.to_string()) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    return digits + "Z";
}

// "{principal} {options} ssh-ed25519 {material}\n".
std::string line_with_options(const std::string& principal, const std::string& options,
                              const zdz::crypto::SigningKey& key) {
    const auto plain = format_allowed_signers_line(principal, key.verifying_key());
    return principal + " " + options + plain.substr(principal.size()) + "\n";
}

}  // namespace

// A rotation in a real trust file: the old key retired a day ago, the new one
// valid since 31 days ago. A manifest issued now verifies with the new key
// only; the old key's is refused with the window text, as a refusal.
TEST(Verify, KeyRotationThroughTheTrustFile) {
    TempDir dir;
    const auto old_key = fixed_key(1);
    const auto new_key = fixed_key(2);
    const auto now = zdz::test::now();
    const auto retired = *Timestamp::from_unix_seconds(now.seconds_since_epoch() - 86'400);
    const auto introduced = *Timestamp::from_unix_seconds(now.seconds_since_epoch() - 31 * 86'400);
    dir.write(
        "signers",
        line_with_options("old@x", "valid-before=\"" + openssh_time(retired) + "\"", old_key) +
            line_with_options("new@x", "valid-after=\"" + openssh_time(introduced) + "\"",
                              new_key) +
            format_allowed_signers_line("ci@x", fixed_key(3).verifying_key()) + "\n");
    dir.write("old.json", zdz::test::signed_manifest_json(old_key));
    dir.write("new.json", zdz::test::signed_manifest_json(new_key));
    const auto verify = [&](const std::string& manifest, const std::string& format) {
        return run_program({"verify", "--manifest", dir.file(manifest), "--signers-file",
                            dir.file("signers"), "--format", format});
    };

    const auto accepted = verify("new.json", "text");
    ASSERT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_NE(accepted.out.find("  signed by:         new@x\n"), std::string::npos);
    const auto issued = read_manifest_json(dir.read("old.json"))->body.issued_at;
    EXPECT_EQ(verify("old.json", "text"),
              (RunResult{1, "",
                         "error: manifest refused against trust file " + dir.file("signers") +
                             ": signed at " + issued.to_string() +
                             ", outside the validity of every trusted key that verifies it\n"}));
    const auto as_json = verify("old.json", "json");
    EXPECT_EQ(as_json.status, 1);
    EXPECT_NE(as_json.out.find("\"kind\": \"refused\""), std::string::npos) << as_json.out;

    // import-signers shows the bounds after the fingerprints; the line of a
    // key without a window is as it always was.
    const auto fingerprint = [](const zdz::crypto::SigningKey& key) {
        return zdz::crypto::key_fingerprint(key.verifying_key()).to_string();
    };
    EXPECT_EQ(run_program({"import-signers", "--file", dir.file("signers")}).out,
              "old@x  fingerprint=" + fingerprint(old_key) + "  valid-before=" +
                  retired.to_string() + "\nnew@x  fingerprint=" + fingerprint(new_key) +
                  "  valid-after=" + introduced.to_string() +
                  "\nci@x  fingerprint=" + fingerprint(fixed_key(3)) + "\n");
    RunOptions input;
    input.stdin_data =
        run_program({"import-signers", "--file", dir.file("signers"), "--format", "json"}).out;
    EXPECT_EQ(run_tool({"jq", "-c", "[.signers[] | del(.fingerprint)]"}, input).out,
              "[{\"principal\":\"old@x\",\"valid_before\":\"" + retired.to_string() +
                  "\"},{\"principal\":\"new@x\",\"valid_after\":\"" + introduced.to_string() +
                  "\"},{\"principal\":\"ci@x\"}]\n");
}

TEST(ImportSigners, LocalTimesAreRefused) {
    TempDir dir;
    dir.write("local", "# rotation\n" +
                           line_with_options("old@x", "valid-before=\"20260701\"", fixed_key(1)));
    EXPECT_EQ(run_program({"import-signers", "--file", dir.file("local")}),
              (RunResult{1, "",
                         "error: trust store entry invalid at line 2: valid-before time "
                         "\"20260701\" does not end in \"Z\": only UTC times are accepted, since a "
                         "local time would mean a different instant on each machine that reads "
                         "the file\n"}));
}
