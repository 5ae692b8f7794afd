#include "io/read_ahead.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "contracts/content_hash.hpp"
#include "io/measure.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

namespace {

using zdz::io::IoError;

std::string patterned(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 131 + 7) % 251);
    }
    return data;
}

zdz::io::FileDescriptor open_file(const std::string& path) {
    return zdz::io::FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

}  // namespace

// Every byte once and in order, across piece and ring boundaries, at every
// depth of the ring.
TEST(ReadAhead, PiecesJoinToTheFileWhateverItsSize) {
    constexpr std::size_t kPiece = 4096;
    zdz::test::TempDir dir;
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, kPiece - 1, kPiece, kPiece + 1, 11 * kPiece + 5}) {
        const std::string data = patterned(size);
        dir.write("blob", data);
        for (const std::size_t depth : {std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
            const auto file = open_file(dir.file("blob"));
            std::string joined;
            const auto read = zdz::io::read_pieces_ahead(
                file.get(), kPiece, depth,
                [&](std::string_view piece) -> tl::expected<void, IoError> {
                    EXPECT_LE(piece.size(), kPiece);
                    joined.append(piece);
                    return {};
                });
            ASSERT_TRUE(read) << size << " " << depth;
            EXPECT_EQ(joined, data) << size << " bytes, depth " << depth;
        }
    }
}

// The caller's refusal ends the reading at once: the reader is stopped and
// joined, and the refusal is what comes back.
TEST(ReadAhead, TheFirstErrorStopsTheReadingAndIsReturned) {
    zdz::test::TempDir dir;
    dir.write("blob", patterned(64 * 4096));
    const auto file = open_file(dir.file("blob"));
    int pieces = 0;
    const auto refused = zdz::io::read_pieces_ahead(
        file.get(), 4096, 4, [&](std::string_view) -> tl::expected<void, IoError> {
            if (++pieces == 3) {
                return tl::unexpected(IoError::from_errno(ECANCELED));
            }
            return {};
        });
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().display(), "Operation canceled (os error 125)");
    EXPECT_EQ(pieces, 3);

    const auto folder = open_file(dir.path());
    const auto failed = zdz::io::read_pieces_ahead(
        folder.get(), 4096, 2, [&](std::string_view) -> tl::expected<void, IoError> {
            ADD_FAILURE() << "no piece of a folder";
            return {};
        });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().display(), "Is a directory (os error 21)");
}

// Images from 8 MiB up are read ahead of the hash: both algorithms still agree
// with the independent tools.
TEST(ReadAhead, LargeFilesMeasureAsTheToolsDo) {
    zdz::test::TempDir dir;
    const std::string data = patterned((9 << 20) + 7);
    dir.write("image", data);
    const auto sha = zdz::test::run_tool({"sha256sum", dir.file("image")});
    const auto b3 = zdz::test::run_tool({"b3sum", "--no-names", dir.file("image")});
    ASSERT_EQ(sha.status, 0) << sha.err;
    ASSERT_EQ(b3.status, 0) << b3.err;
    using zdz::contracts::HashAlgorithm;
    const auto sha256 = zdz::io::measure_file(dir.file("image"), HashAlgorithm::Sha256);
    const auto blake3 = zdz::io::measure_file(dir.file("image"), HashAlgorithm::Blake3);
    ASSERT_TRUE(sha256);
    ASSERT_TRUE(blake3);
    EXPECT_EQ(sha256->hash.to_string(), "sha256:" + sha.out.substr(0, 64));
    EXPECT_EQ(blake3->hash.to_string(), "blake3:" + b3.out.substr(0, 64));
    EXPECT_EQ(sha256->bytes, data.size());
}
