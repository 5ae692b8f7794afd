#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "encoding/text.hpp"
#include "io/file.hpp"
#include "support/tempdir.hpp"

using zdz::io::stream_file_text;
using zdz::test::TempDir;

namespace {

struct Streamed {
    bool ok = false;
    int error_code = -1;
    std::vector<std::string> pieces;
};

Streamed stream(const std::string& path, std::size_t chunk) {
    Streamed s;
    const auto r = stream_file_text(path, chunk,
                                    [&s](std::string_view piece) { s.pieces.emplace_back(piece); });
    s.ok = r.has_value();
    if (!r) {
        s.error_code = r.error().code;
    }
    return s;
}

std::string joined(const std::vector<std::string>& pieces) {
    std::string all;
    for (const auto& p : pieces) {
        all += p;
    }
    return all;
}

}  // namespace

// Whatever the chunk size, and wherever a chunk boundary cuts a character, the
// streamed check agrees with the whole-text check, and a refused file hands
// nothing over.
TEST(StreamFileText, AgreesWithTheWholeTextCheckAtEveryChunkSize) {
    const std::vector<std::string> texts{
        "",
        "plain ascii\n",
        "caf\u00e9 \u20ac \U0001F600 end",            // 2-, 3- and 4-byte characters
        std::string("ok \xC3", 4),                    // cut off at the end
        std::string("\xE2\x82", 2),                   // only a cut-off character
        std::string("a\x80 stray continuation"),      // continuation without a start
        std::string("overlong \xC0\xAF"),             // overlong '/'
        std::string("surrogate \xED\xA0\x80"),        // UTF-16 surrogate
        std::string("too big \xF4\x90\x80\x80"),      // above U+10FFFF
        std::string("\xF0\x9F\x98\x80\xF0\x9F\x98"),  // a whole one, then a cut one
        std::string("bad lead \xF8\x88\x80\x80\x80"),
    };
    TempDir dir;
    for (std::size_t t = 0; t < texts.size(); ++t) {
        dir.write("t", texts[t]);
        const bool valid = zdz::encoding::is_valid_utf8(texts[t]);
        for (std::size_t chunk = 1; chunk <= 6; ++chunk) {
            const auto s = stream(dir.file("t"), chunk);
            EXPECT_EQ(s.ok, valid) << "text " << t << " chunk " << chunk;
            if (valid) {
                EXPECT_EQ(joined(s.pieces), texts[t]);
                for (const auto& p : s.pieces) {
                    EXPECT_LE(p.size(), chunk);
                }
            } else {
                EXPECT_EQ(s.error_code, 0) << "text " << t;  // the "not UTF-8" error
                EXPECT_TRUE(s.pieces.empty()) << "text " << t << " chunk " << chunk;
            }
        }
    }
}

TEST(StreamFileText, InvalidTextFarIntoTheFileIsFoundBeforeAnythingIsHandedOver) {
    TempDir dir;
    dir.write("big", std::string(3'000'000, 'a') + "\xFF" + "tail\n");
    const auto s = stream(dir.file("big"), 65536);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error_code, 0);
    EXPECT_TRUE(s.pieces.empty());
}

TEST(StreamFileText, MissingFilesAndPipes) {
    TempDir dir;
    const auto missing = stream(dir.file("absent"), 16);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error_code, ENOENT);

    // A pipe cannot be read twice: it is taken whole, in one piece.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string data = "line one\nline \u00e9\n";
    ASSERT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fds[1]);
    const auto piped = stream("/proc/self/fd/" + std::to_string(fds[0]), 4);
    ::close(fds[0]);
    ASSERT_TRUE(piped.ok);
    EXPECT_EQ(piped.pieces, std::vector<std::string>{data});
}
