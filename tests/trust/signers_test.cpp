#include "trust/signers.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "contracts/content_hash.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/base64.hpp"
#include "support/fixtures.hpp"
#include "support/refusal.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

using namespace zdz::crypto;
using namespace zdz::encoding;
using namespace zdz::test;
using namespace zdz::trust;
using zdz::contracts::Timestamp;

namespace {

using Blob = std::vector<std::uint8_t>;

Blob blob_of(const VerifyingKey& key) {
    const auto line = format_allowed_signers_line("p", key);
    return *base64_decode(line.substr(line.rfind(' ') + 1));
}

std::string material(const Blob& blob) {
    return base64_encode(blob);
}

std::string parse_error(const std::string& text) {
    return zdz::test::refusal(parse_allowed_signers(text), text,
                              TrustError::Kind::TrustStoreEntryInvalid);
}

const VerifyingKey kKeyA = fixed_key(1).verifying_key();
const VerifyingKey kKeyB = fixed_key(2).verifying_key();

}  // namespace

TEST(AllowedSigners, ReasonTexts) {
    const std::string good = material(blob_of(kKeyA));
    auto wrong_algorithm = blob_of(kKeyA);
    wrong_algorithm[3] = 0x0C;
    auto wrong_name = blob_of(kKeyA);
    wrong_name[4] = 'S';
    auto wrong_key_length = blob_of(kKeyA);
    wrong_key_length[18] = 0x21;
    auto undecodable = blob_of(kKeyA);
    std::fill(undecodable.begin() + 19, undecodable.end(), 0);
    undecodable[19] = 2;

    struct Case {
        std::string text;
        std::string message;
    };
    const std::string prefix = "trust store entry invalid at line ";
    const std::vector<Case> cases = {
        {"", "0: no trusted signer entries found in file"},
        {"# only a comment\n\n  \t\n", "0: no trusted signer entries found in file"},
        {"alice", "1: missing key type field"},
        {"alice ssh-ed25519", "1: missing key material field"},
        {"alice ssh-rsa " + good,
         "1: unsupported key type \"ssh-rsa\" (only ssh-ed25519 is trusted)"},
        {"alice SSH-ED25519 " + good,
         "1: unsupported key type \"SSH-ED25519\" (only ssh-ed25519 is trusted)"},
        {"alice cert-authority ssh-ed25519 " + good,
         "1: unsupported key type \"cert-authority\" (only ssh-ed25519 is trusted)"},
        {"alice ssh-\"ed\\25519\x01 " + good,
         "1: unsupported key type \"ssh-\\\"ed\\\\25519\\u{1}\" (only ssh-ed25519 is trusted)"},
        {"alice ssh-ed25519 " + good.substr(0, 66) + "=a",
         "1: key material is not valid base64: Invalid symbol 61, offset 66."},
        {"alice ssh-ed25519 " + good.substr(0, 67),
         "1: key material is not valid base64: Invalid padding"},
        {"alice ssh-ed25519 " + good.substr(0, 65),
         "1: key material is not valid base64: Invalid input length: 65"},
        {"alice ssh-ed25519 AB==",
         "1: key material is not valid base64: Invalid last symbol 66, offset 1."},
        {"alice ssh-ed25519 " + good.substr(0, 64),
         "1: ssh-ed25519 key blob must be 51 bytes, got 48"},
        {"alice ssh-ed25519 " + std::string(66, 'A') + "==",
         "1: ssh-ed25519 key blob must be 51 bytes, got 49"},
        {"alice ssh-ed25519 " + material(wrong_algorithm),
         "1: ssh-ed25519 key blob has the wrong algorithm header"},
        {"alice ssh-ed25519 " + material(wrong_name),
         "1: ssh-ed25519 key blob has the wrong algorithm header"},
        {"alice ssh-ed25519 " + material(wrong_key_length),
         "1: ssh-ed25519 key blob has the wrong key-length header"},
        {"alice ssh-ed25519 " + material(undecodable),
         "1: invalid ed25519 public key: validation failed: invalid ed25519 public key: signature "
         "error"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_error(c.text), prefix + c.message) << c.text;
    }
}

TEST(AllowedSigners, LineNumbersArePhysical) {
    const std::string good = material(blob_of(kKeyA));
    EXPECT_EQ(parse_error("# c1\r\n# c2\r\nbob ssh-rsa x\r\n"),
              "trust store entry invalid at line 3: unsupported key type \"ssh-rsa\" (only "
              "ssh-ed25519 is trusted)");
    // Blank lines count; the entries before a bad line are discarded.
    EXPECT_EQ(parse_error("a ssh-ed25519 " + good + "\n\n\nb ssh-ed25519\n"),
              "trust store entry invalid at line 4: missing key material field");
    // A lone CR is no line break: the line that holds it is refused, since a
    // terminal would show the text after it in place of the key before it.
    const std::string hidden_by_cr =
        "trust store entry invalid at line 2: carriage return inside the line (a terminal would "
        "show another line than the one trusted)";
    EXPECT_EQ(parse_error("# c\na ssh-ed25519 " + good + "\rb\nc"), hidden_by_cr);
    EXPECT_EQ(parse_error("# c\r\na ssh-ed25519 " + good + "\r\r\n"), hidden_by_cr);
    EXPECT_EQ(parse_error("# c\n# a\rb\n"), hidden_by_cr);
}

TEST(AllowedSigners, AcceptedShapes) {
    const std::string a = material(blob_of(kKeyA));
    const std::string b = material(blob_of(kKeyB));
    const std::string text =
        "# release keys\r\n"
        "   # indented comment\n"
        "\n"
        "alice@example ssh-ed25519 " +
        a +
        " laptop key # trailing words\r\n"
        "\u3000bob#1\tssh-ed25519\u00A0\u2003" +
        b +
        "\u2029\n"
        "carol ssh-ed25519 " +
        a;
    const auto signers = parse_allowed_signers(text);
    ASSERT_TRUE(signers) << signers.error().display();
    ASSERT_EQ(signers->size(), 3U);
    EXPECT_EQ((*signers)[0].principal, "alice@example");
    EXPECT_EQ((*signers)[0].key, kKeyA);
    EXPECT_EQ((*signers)[1].principal, "bob#1");
    EXPECT_EQ((*signers)[1].key, kKeyB);
    // The same key under another principal is a second entry, in file order.
    EXPECT_EQ((*signers)[2].principal, "carol");
    EXPECT_EQ((*signers)[2].key, kKeyA);
}

namespace {

// An Ed25519 key made by ssh-keygen in `dir`, commented `comment`: the private
// key in k, the public key in k.pub.
void ssh_keygen(const TempDir& dir, const std::string& comment) {
    const auto keygen = run_tool(
        {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir.file("k"), "-C", comment});
    ASSERT_EQ(keygen.status, 0) << keygen.err;
}

}  // namespace

TEST(AllowedSigners, ReadsKeysMadeBySshKeygen) {
    zdz::test::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(ssh_keygen(dir, "test"));

    // "ssh-ed25519 <base64> test\n"
    const auto pub = dir.read("k.pub");
    const auto first_space = pub.find(' ');
    const auto second_space = pub.find(' ', first_space + 1);
    const auto base64_text = pub.substr(first_space + 1, second_space - first_space - 1);

    const auto signers = parse_allowed_signers("principal ssh-ed25519 " + base64_text + "\n");
    ASSERT_TRUE(signers) << signers.error().display();
    ASSERT_EQ(signers->size(), 1U);
    const auto& key = (*signers)[0].key;
    // Our encoder writes the blob exactly as ssh-keygen does.
    EXPECT_EQ(format_allowed_signers_line("principal", key),
              "principal ssh-ed25519 " + base64_text);
    EXPECT_EQ(base64_text.size(), 68U);

    const auto blob = *base64_decode(base64_text);
    const std::string raw_key(blob.end() - 32, blob.end());
    EXPECT_EQ(std::string(key.bytes().begin(), key.bytes().end()), raw_key);
    dir.write("raw", raw_key);
    const auto b3sum = zdz::test::run_tool({"b3sum", "--no-names", dir.file("raw")});
    ASSERT_EQ(b3sum.status, 0) << b3sum.err;
    EXPECT_EQ(zdz::crypto::key_fingerprint(key).to_string(), "blake3:" + b3sum.out.substr(0, 64));
}

// A public-key file holds allowed_signers lines or OpenSSH public-key lines,
// as ssh-keygen writes them to a .pub file; a trust file holds the first form
// only, since each of its keys needs a principal. The OpenSSH fingerprint is
// the one `ssh-keygen -l` prints.
TEST(PublicKeys, ReadOpenSshLinesAndPrintTheirFingerprint) {
    zdz::test::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(ssh_keygen(dir, "ops@ci"));
    const auto pub = dir.read("k.pub");
    const auto keys = parse_public_keys("# from ssh-keygen\n" + pub);
    ASSERT_TRUE(keys) << keys.error().display();
    ASSERT_EQ(keys->size(), 1U);
    EXPECT_EQ((*keys)[0].principal, "");
    EXPECT_EQ("ssh-ed25519 " + material(blob_of((*keys)[0].key)),
              pub.substr(0, pub.find(' ', pub.find(' ') + 1)));
    const auto listed = zdz::test::run_tool({"ssh-keygen", "-l", "-f", dir.file("k.pub")});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, "256 " + openssh_fingerprint((*keys)[0].key) + " ops@ci (ED25519)\n");

    // Both forms, and a principal that is the key type itself.
    const std::string a = material(blob_of(kKeyA));
    const auto mixed = parse_public_keys("ssh-ed25519 " + a + "\nops ssh-ed25519 " + a +
                                         "\nssh-ed25519 ssh-ed25519 " + a + "\n");
    ASSERT_TRUE(mixed) << mixed.error().display();
    ASSERT_EQ(mixed->size(), 3U);
    EXPECT_EQ((*mixed)[1].principal, "ops");
    EXPECT_EQ((*mixed)[2].principal, "ssh-ed25519");
    for (const auto& entry : *mixed) {
        EXPECT_EQ(entry.key, kKeyA);
    }

    EXPECT_EQ(
        refusal(parse_public_keys("ssh-ed25519\n"), "", TrustError::Kind::TrustStoreEntryInvalid),
        "trust store entry invalid at line 1: missing key material field");
    EXPECT_EQ(refusal(parse_public_keys("ssh-ed25519 AAAA\n"), "",
                      TrustError::Kind::TrustStoreEntryInvalid)
                  .rfind("trust store entry invalid at line 1: ssh-ed25519 key blob must be 51", 0),
              0U);
    // In a trust file the OpenSSH form is a principal without a key type.
    EXPECT_EQ(
        parse_error(pub).rfind("trust store entry invalid at line 1: unsupported key type", 0), 0U);
}

namespace {

// "{principal} {options} ssh-ed25519 {material}".
std::string line_with_options(const std::string& principal, const std::string& options,
                              const VerifyingKey& key) {
    return principal + " " + options + " ssh-ed25519 " + material(blob_of(key));
}

}  // namespace

TEST(AllowedSigners, ValidityWindowsAreReadInEveryTimeForm) {
    const auto signers = parse_allowed_signers(
        line_with_options("alice", "valid-after=\"20260101Z\"", kKeyA) + " laptop key\n" +
        line_with_options("bob", "valid-before=\"202601011230Z\",valid-after=\"20240229235959Z\"",
                          kKeyB) +
        "\n" + format_allowed_signers_line("carol", kKeyA));
    ASSERT_TRUE(signers) << signers.error().display();
    ASSERT_EQ(signers->size(), 3U);
    EXPECT_EQ((*signers)[0].valid_after, Timestamp::parse("2026-01-01T00:00:00Z").value());
    EXPECT_EQ((*signers)[0].valid_before, std::nullopt);
    EXPECT_EQ((*signers)[1].key, kKeyB);
    EXPECT_EQ((*signers)[1].valid_after, Timestamp::parse("2024-02-29T23:59:59Z").value());
    EXPECT_EQ((*signers)[1].valid_before, Timestamp::parse("2026-01-01T12:30:00Z").value());
    EXPECT_FALSE((*signers)[2].valid_after || (*signers)[2].valid_before);
}

TEST(AllowedSigners, WindowRefusalTexts) {
    const std::string key = " ssh-ed25519 " + material(blob_of(kKeyA));
    const std::string shape = " is not YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS followed by \"Z\"";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"valid-after=\"20260101\"",
         "valid-after time \"20260101\" does not end in \"Z\": only UTC times are accepted, since "
         "a local time would mean a different instant on each machine that reads the file"},
        {"valid-after=\"2026011Z\"", "valid-after time \"2026011Z\"" + shape},
        {"valid-after=\"2026-01-01Z\"", "valid-after time \"2026-01-01Z\"" + shape},
        {"valid-after=\"20261301Z\"",
         "valid-after time \"20261301Z\" does not exist: there is no month 13"},
        {"valid-after=\"20260230Z\"",
         "valid-after time \"20260230Z\" does not exist: 2026-02 has no day 30"},
        {"valid-before=\"202601012400Z\"",
         "valid-before time \"202601012400Z\" does not exist: there is no hour 24"},
        {"valid-before=\"20261231235960Z\"",
         "valid-before time \"20261231235960Z\" does not exist: there is no second 60"},
        {"valid-after=20260101Z",
         "valid-after must be written as valid-after=\"TIME\", got \"valid-after=20260101Z\""},
        {"valid-after=\"20260101Z\",valid-after=\"20260102Z\"", "valid-after is given twice"},
        {"valid-after=\"20260101Z\",valid-before=\"20260101Z\"",
         "valid-after 2026-01-01T00:00:00Z is not before valid-before 2026-01-01T00:00:00Z: the "
         "key would be valid at no time"},
        // After the options the fields are read as on a line without them.
        {"valid-after=\"20260101Z\" ssh-rsa",
         "unsupported key type \"ssh-rsa\" (only ssh-ed25519 "
         "is trusted)"},
    };
    for (const auto& [options, message] : cases) {
        EXPECT_EQ(parse_error("alice " + options + key),
                  "trust store entry invalid at line 1: " + message)
            << options;
    }
    EXPECT_EQ(parse_error("alice valid-after=\"20260101Z\""),
              "trust store entry invalid at line 1: missing key type field");
}

// Only the two window options are read. A field with any other option in it
// is what it was before options were read: a key type that is not trusted.
TEST(AllowedSigners, OtherOptionsAreRefusedAsKeyTypes) {
    const std::string key = " ssh-ed25519 " + material(blob_of(kKeyA));
    const auto refused = [](const std::string& shown) {
        return "trust store entry invalid at line 1: unsupported key type " + shown +
               " (only ssh-ed25519 is trusted)";
    };
    EXPECT_EQ(parse_error("alice@x cert-authority" + key), refused("\"cert-authority\""));
    EXPECT_EQ(parse_error("alice@x namespaces=\"file\"" + key),
              refused("\"namespaces=\\\"file\\\"\""));
    EXPECT_EQ(parse_error("alice@x valid-after=\"20260101Z\",cert-authority" + key),
              refused("\"valid-after=\\\"20260101Z\\\",cert-authority\""));
    EXPECT_EQ(parse_error("alice@x valid-afer=\"20260101Z\"" + key),
              refused("\"valid-afer=\\\"20260101Z\\\"\""));
    // A public-key file has no options field at all.
    EXPECT_EQ(refusal(parse_public_keys("alice valid-after=\"20260101Z\"" + key), ""),
              refused("\"valid-after=\\\"20260101Z\\\"\""));
}

// ssh-keygen reads the same trust file and judges a signature at chosen
// instants (-Overify-time): its verdict and valid_at agree on each side of
// both bounds, in the date-only and the minute form.
TEST(AllowedSigners, WindowsAgreeWithSshKeygen) {
    zdz::test::TempDir dir;
    const auto keygen = zdz::test::run_tool(
        {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir.file("k"), "-C", "ops"});
    ASSERT_EQ(keygen.status, 0) << keygen.err;
    dir.write("data", "release\n");
    const auto sign = zdz::test::run_tool(
        {"ssh-keygen", "-Y", "sign", "-f", dir.file("k"), "-n", "file", dir.file("data")});
    ASSERT_EQ(sign.status, 0) << sign.err;
    const auto pub = dir.read("k.pub");
    const std::string trust = "ops valid-after=\"20260101Z\",valid-before=\"202602011230Z\" " +
                              pub.substr(0, pub.find(' ', pub.find(' ') + 1)) + "\n";
    dir.write("allowed_signers", trust);
    const auto signers = parse_allowed_signers(trust);
    ASSERT_TRUE(signers) << signers.error().display();

    const auto openssh_accepts = [&](const std::string& when) {
        RunOptions options;
        options.stdin_data = dir.read("data");
        return zdz::test::run_tool(
                   {"ssh-keygen", "-Y", "verify", "-f", dir.file("allowed_signers"), "-I", "ops",
                    "-n", "file", "-s", dir.file("data.sig"), "-Overify-time=" + when},
                   options)
                   .status == 0;
    };
    for (const auto& [openssh, rfc3339] : std::vector<std::pair<std::string, std::string>>{
             {"20251231235959Z", "2025-12-31T23:59:59Z"},
             {"20260101000000Z", "2026-01-01T00:00:00Z"},
             {"20260201122959Z", "2026-02-01T12:29:59Z"},
             {"20260201123001Z", "2026-02-01T12:30:01Z"}}) {
        EXPECT_EQ(openssh_accepts(openssh), signers->front().valid_at(*Timestamp::parse(rfc3339)))
            << rfc3339;
    }
    // At the instant of valid-before itself ssh-keygen still accepts; here the
    // window has closed, so a successor valid from that instant never shares
    // it with the key it replaces.
    EXPECT_TRUE(openssh_accepts("20260201123000Z"));
    EXPECT_FALSE(signers->front().valid_at(*Timestamp::parse("2026-02-01T12:30:00Z")));
}
