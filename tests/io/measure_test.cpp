#include "io/measure.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "crypto/digest.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

using zdz::contracts::HashAlgorithm;

namespace {

// `size` bytes of a pattern that repeats at none of the read-chunk sizes:
// byte i is (i * step + offset) % modulus.
std::string patterned(std::size_t size, std::size_t step, std::size_t offset, std::size_t modulus) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * step + offset) % modulus);
    }
    return data;
}

// The digest of a file by the independent tools, as "algorithm:hex".
std::string b3sum_of(const std::string& path) {
    const auto r = zdz::test::run_tool({"b3sum", "--no-names", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return "blake3:" + r.out.substr(0, 64);
}
std::string sha256sum_of(const std::string& path) {
    const auto r = zdz::test::run_tool({"sha256sum", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return "sha256:" + r.out.substr(0, 64);
}

// Writes patterned(size, step, offset, modulus) to "blob" in `dir` and
// returns it.
std::string write_blob(const zdz::test::TempDir& dir, std::size_t size, std::size_t step,
                       std::size_t offset, std::size_t modulus) {
    auto data = patterned(size, step, offset, modulus);
    dir.write("blob", data);
    return data;
}

}  // namespace

TEST(Measure, AgreesWithIndependentToolsOnOneMebibyte) {
    const zdz::test::TempDir dir;
    const auto data = write_blob(dir, 1 << 20, 131, 7, 251);
    EXPECT_EQ(zdz::crypto::measure_blake3(std::string_view(data)).to_string(),
              b3sum_of(dir.file("blob")));
    const auto streamed = zdz::io::measure_sha256_file(dir.file("blob"));
    ASSERT_TRUE(streamed);
    EXPECT_EQ(streamed->hash.to_string(), sha256sum_of(dir.file("blob")));
    EXPECT_EQ(streamed->hash, zdz::crypto::measure_sha256(std::string_view(data)));
    EXPECT_EQ(streamed->bytes, data.size());
}

TEST(Measure, FileErrorsCarryTheOsText) {
    auto r = zdz::io::measure_sha256_file("/nonexistent/zdz");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "No such file or directory (os error 2)");
    auto d = zdz::io::measure_sha256_file("/");
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().display(), "Is a directory (os error 21)");
}

// Checked against the recorded algorithm of a manifest or a registry: both
// algorithms stream a file across read-chunk boundaries as the tools do.
TEST(Measure, FilesStreamThroughEitherAlgorithm) {
    const zdz::test::TempDir dir;
    const auto data = write_blob(dir, (2 << 20) + 3, 197, 11, 253);
    dir.write("empty", "");

    const auto blake3 = zdz::io::measure_file(dir.file("blob"), HashAlgorithm::Blake3);
    ASSERT_TRUE(blake3);
    EXPECT_EQ(blake3->hash.to_string(), b3sum_of(dir.file("blob")));
    EXPECT_EQ(blake3->bytes, data.size());
    const auto sha256 = zdz::io::measure_file(dir.file("blob"), HashAlgorithm::Sha256);
    ASSERT_TRUE(sha256);
    EXPECT_EQ(sha256->hash.to_string(), sha256sum_of(dir.file("blob")));

    // Both at once, from one pass.
    const auto both = zdz::io::measure_image_digests(dir.file("blob"));
    ASSERT_TRUE(both);
    EXPECT_EQ(both->sha256, sha256->hash);
    EXPECT_EQ(both->blake3, blake3->hash);
    EXPECT_EQ(both->bytes, data.size());

    EXPECT_EQ(zdz::io::measure_file(dir.file("empty"), HashAlgorithm::Blake3)->hash,
              zdz::crypto::measure_blake3(std::string_view()));
    EXPECT_EQ(zdz::io::measure_file(dir.file("empty"), HashAlgorithm::Sha256)->bytes, 0U);
    const auto missing = zdz::io::measure_file(dir.file("missing"), HashAlgorithm::Blake3);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(), "No such file or directory (os error 2)");
}

// sign measures the image on a second thread while it derives its key: the
// outcome must be measure_file's, and abandoning it must never wait on a
// file that does not end.
TEST(Measure, BackgroundMeasurementGivesWhatMeasureFileGives) {
    const zdz::test::TempDir dir;
    const auto data = write_blob(dir, (3 << 20) + 5, 61, 3, 241);
    for (const auto algorithm : {HashAlgorithm::Sha256, HashAlgorithm::Blake3}) {
        zdz::io::BackgroundMeasurement background(dir.file("blob"), algorithm);
        const auto measured = background.result();
        const auto expected = zdz::io::measure_file(dir.file("blob"), algorithm);
        ASSERT_TRUE(measured && expected);
        EXPECT_EQ(measured->hash, expected->hash);
        EXPECT_EQ(measured->bytes, data.size());
    }
    for (const auto& path : {dir.file("missing"), dir.path()}) {
        zdz::io::BackgroundMeasurement background(path, HashAlgorithm::Sha256);
        const auto measured = background.result();
        ASSERT_FALSE(measured);
        EXPECT_EQ(measured.error().display(),
                  zdz::io::measure_file(path, HashAlgorithm::Sha256).error().display());
    }
    // Abandoned: the thread stops and is waited for.
    { zdz::io::BackgroundMeasurement abandoned(dir.file("blob"), HashAlgorithm::Sha256); }
    // A FIFO with no writer, or a device without end, is no image: refused
    // at once, without a wait or a read.
    const auto fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& path : {fifo, std::string("/dev/zero")}) {
        zdz::io::BackgroundMeasurement refused(path);
        ASSERT_TRUE(refused.refusal()) << path;
        EXPECT_EQ(refused.refusal()->display(), "not a regular file or block device");
        EXPECT_EQ(refused.digests().error(), *refused.refusal());
        EXPECT_EQ(zdz::io::measure_file(path, HashAlgorithm::Sha256).error(), *refused.refusal());
    }
}

// A release's images measured together: each image's result is what
// measure_file gives for it, in the order asked, whatever the number of
// workers; what cannot be opened is known before any reading; progress adds
// up to the bytes and images measured.
TEST(Measure, ABatchGivesWhatMeasureFileGivesForEachImage) {
    const zdz::test::TempDir dir;
    std::vector<zdz::io::ImageRequest> requests;
    for (int i = 0; i < 5; ++i) {
        const auto name = "image-" + std::to_string(i);
        dir.write(name, patterned((std::size_t{1} << 20) * static_cast<std::size_t>(i) + 7,
                                  static_cast<std::size_t>(31 + i), 5, 249));
        requests.push_back(
            {dir.file(name), i % 2 == 0 ? HashAlgorithm::Sha256 : HashAlgorithm::Blake3});
    }
    const auto fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    requests.insert(requests.begin() + 2, {dir.file("missing"), HashAlgorithm::Sha256});
    requests.push_back({fifo, HashAlgorithm::Blake3});

    for (const unsigned workers : {1U, 2U, 16U}) {
        zdz::io::MeasurementBatch batch(requests, workers);
        EXPECT_EQ(batch.open_error(2)->display(), "No such file or directory (os error 2)");
        EXPECT_EQ(batch.open_error(6)->display(), "not a regular file or block device");
        EXPECT_FALSE(batch.open_error(0));
        const auto results = batch.results();
        ASSERT_EQ(results.size(), requests.size());
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const auto expected = zdz::io::measure_file(requests[i].path, requests[i].algorithm);
            ASSERT_EQ(results[i].has_value(), expected.has_value()) << i;
            if (expected) {
                EXPECT_EQ(results[i]->hash, expected->hash) << i;
                EXPECT_EQ(results[i]->bytes, expected->bytes) << i;
                bytes += expected->bytes;
            } else {
                EXPECT_EQ(results[i].error(), expected.error()) << i;
            }
        }
        EXPECT_EQ(batch.total_bytes(), bytes);
        EXPECT_EQ(batch.progress().bytes.load(), bytes);
        EXPECT_EQ(batch.progress().images.load(), 5U);
    }
    // Abandoned: the workers stop and are waited for.
    { zdz::io::MeasurementBatch abandoned(requests, 2); }
}
