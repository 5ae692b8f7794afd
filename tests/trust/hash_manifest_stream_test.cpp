#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trust/hash_manifest.hpp"

using zdz::trust::HashManifestEntry;
using zdz::trust::HashManifestLine;
using zdz::trust::HashManifestStream;
using zdz::trust::parse_hash_manifest;

namespace {

std::vector<HashManifestEntry> streamed(const std::string& text, std::size_t piece) {
    std::vector<HashManifestEntry> entries;
    HashManifestStream stream([&entries](const HashManifestLine& line) {
        entries.push_back(
            {std::string(line.file_name), std::string(line.platform), line.measurement, line.kind});
    });
    for (std::size_t at = 0; at < text.size(); at += piece) {
        stream.feed(std::string_view(text).substr(at, piece));
    }
    stream.finish();
    return entries;
}

}  // namespace

// Pieces of any size, cutting lines, CRLF pairs and multi-byte white space
// anywhere, give the entries of the whole text.
TEST(HashManifestStream, PiecesOfAnySizeGiveTheEntriesOfTheWholeText) {
    const std::string digest = "0D2141F565B66C0C05F04E27B564631E8D474D21A0C1868A430D0BCE12864382";
    const std::string text = "# header\r\n" + digest + "  vask-install-1.img\r\n" + digest +
                             "\u00a0vask-ota_update-2.img\u2003\n\n" + std::string(64, 'f') +
                             "\tbase.img\n" + std::string(63, 'a') + "  short.img\n" +
                             std::string(64, 'a') + "\u00e9 not-white-space.img\n" + digest +
                             "  -last-install.img";
    const auto whole = parse_hash_manifest(text);
    ASSERT_EQ(whole.size(), 4U);
    EXPECT_EQ(whole[1].file_name, "vask-ota_update-2.img");
    EXPECT_EQ(whole[3].platform, "");
    for (std::size_t piece = 1; piece <= text.size(); ++piece) {
        EXPECT_EQ(streamed(text, piece), whole) << "pieces of " << piece;
    }
}

TEST(HashManifestStream, LinesKeepTheDigitsAsWritten) {
    const std::string digest = "0d2141F565B66C0C05F04E27B564631E8D474D21A0C1868A430D0BCE1286438A";
    std::vector<std::string> digits;
    zdz::trust::for_each_hash_manifest_line(
        "  " + digest + "  vask-install.img  \n",
        [&digits](const HashManifestLine& line) { digits.emplace_back(line.digest_hex); });
    EXPECT_EQ(digits, std::vector<std::string>{digest});
}

// A line longer than any usable one is let go, whole text or streamed, and
// the stream does not hold on to it: the next line is read as usual.
TEST(HashManifestStream, OverlongLinesAreNeverUsable) {
    const std::string digest(64, 'a');
    const std::string longest =
        digest + "  " + std::string(zdz::trust::kMaxHashManifestLineBytes - 66, 'n');
    const std::string text = longest + "\n" + digest + "  " +
                             std::string(longest.size() - 65, 'n') + "\n" + digest +
                             "  after.img\n" + digest + "  " +
                             std::string(3 * zdz::trust::kMaxHashManifestLineBytes, 'x');
    const auto whole = parse_hash_manifest(text);
    ASSERT_EQ(whole.size(), 2U);
    EXPECT_EQ(whole[0].file_name.size(), zdz::trust::kMaxHashManifestLineBytes - 66);
    EXPECT_EQ(whole[1].file_name, "after.img");
    for (const std::size_t piece :
         {std::size_t{1000}, std::size_t{65536}, std::size_t{65537}, text.size()}) {
        EXPECT_EQ(streamed(text, piece), whole) << "pieces of " << piece;
    }
}
