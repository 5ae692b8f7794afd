#include "trust/hash_manifest.hpp"

#include <gtest/gtest.h>

#include <string>

using zdz::trust::ImageKind;
using zdz::trust::parse_hash_manifest;

namespace {

const std::string kDigest(64, 'a');

}  // namespace

TEST(HashManifest, ReadsTheTwoColumnLayout) {
    const auto entries = parse_hash_manifest(
        "0D2141F565B66C0C05F04E27B564631E8D474D21A0C1868A430D0BCE12864382  "
        "vask-install-2026071500.img\n");
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].file_name, "vask-install-2026071500.img");
    EXPECT_EQ(entries[0].platform, "vask");
    EXPECT_EQ(entries[0].kind, ImageKind::Install);
    EXPECT_EQ(entries[0].measurement.to_string(),
              "sha256:0d2141f565b66c0c05f04e27b564631e8d474d21a0c1868a430d0bce12864382");
}

TEST(HashManifest, SkipsLinesItCannotUse) {
    const std::string text =
        "# comment\n"
        "\n"
        "   \t\n" +
        kDigest + "\n" +                           // digest alone
        std::string(63, 'a') + "  short.img\n" +   // 63 digits
        std::string(65, 'a') + "  long.img\n" +    // 65 digits
        std::string(63, 'a') + "g  bad.img\n" +    // non-hex digit
        std::string(128, 'a') + "  sha512.img\n";  // another algorithm
    EXPECT_TRUE(parse_hash_manifest(text).empty());
    EXPECT_TRUE(parse_hash_manifest("").empty());
}

TEST(HashManifest, LineEndingsAndWhiteSpace) {
    const auto crlf = parse_hash_manifest(kDigest + "  a.img\r\n" + kDigest + "\tb.img");
    ASSERT_EQ(crlf.size(), 2U);
    EXPECT_EQ(crlf[0].file_name, "a.img");
    EXPECT_EQ(crlf[1].file_name, "b.img");  // a last line without newline counts

    // Unicode white space trims and splits too; inner spaces and '*' stay in the name.
    const auto wide = parse_hash_manifest("\u00a0 " + kDigest + "\u3000 *my image.img\u2003 \n");
    ASSERT_EQ(wide.size(), 1U);
    EXPECT_EQ(wide[0].file_name, "*my image.img");
    EXPECT_EQ(wide[0].platform, "*my image.img");
}

TEST(HashManifest, KindAndPlatformFromTheName) {
    const auto entries =
        parse_hash_manifest(kDigest + "  base.img\n" + kDigest + "  vask-install-ota_update.img\n" +
                            kDigest + "  -install.img\n" + kDigest + "  Vask-INSTALL.img\n");
    ASSERT_EQ(entries.size(), 4U);
    EXPECT_EQ(entries[0].platform, "base.img");
    EXPECT_EQ(entries[0].kind, std::nullopt);
    EXPECT_EQ(entries[1].kind, ImageKind::OtaUpdate);  // update wins over install
    EXPECT_EQ(entries[2].platform, "");                // present but empty
    EXPECT_EQ(entries[2].kind, ImageKind::Install);
    EXPECT_EQ(entries[3].kind, std::nullopt);  // case-sensitive
}

TEST(HashManifest, DuplicatesAreKeptInOrder) {
    const auto entries = parse_hash_manifest(kDigest + "  x.img\n" + kDigest + "  x.img\n");
    ASSERT_EQ(entries.size(), 2U);
    EXPECT_EQ(entries[0], entries[1]);
}
