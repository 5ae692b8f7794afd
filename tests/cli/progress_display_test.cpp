#include "cli/progress_display.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

using namespace zdz::cli;

namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// Standard error sent to a pipe for the life of the object, what reached it
// readable.
class CapturedStderr {
public:
    CapturedStderr() {
        EXPECT_EQ(::pipe2(pipe_, O_CLOEXEC), 0);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(pipe_[1], STDERR_FILENO);
    }
    ~CapturedStderr() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    // What was written so far, waiting up to `wait` for the first byte.
    std::string take(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
        std::string text;
        pollfd ready{pipe_[0], POLLIN, 0};
        auto timeout = static_cast<int>(wait.count());
        while (::poll(&ready, 1, timeout) == 1) {
            char buffer[4096];
            const auto got = ::read(pipe_[0], buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(got));
            timeout = 0;
        }
        return text;
    }

private:
    int pipe_[2] = {-1, -1};
    int saved_ = -1;
};

}  // namespace

TEST(ProgressText, SizesInBinaryUnitsWithOneDecimal) {
    EXPECT_EQ(binary_size_text(0), "0 B");
    EXPECT_EQ(binary_size_text(1023), "1023 B");
    EXPECT_EQ(binary_size_text(1024), "1.0 KiB");
    EXPECT_EQ(binary_size_text(1536), "1.5 KiB");
    // Rounded up to the next unit rather than shown as "1024.0 KiB".
    EXPECT_EQ(binary_size_text(kMiB - 1), "1.0 MiB");
    EXPECT_EQ(binary_size_text(80 * kMiB), "80.0 MiB");
    EXPECT_EQ(binary_size_text(1288490188), "1.2 GiB");
    EXPECT_EQ(binary_size_text(std::numeric_limits<std::uint64_t>::max()), "16.0 EiB");
}

TEST(ProgressText, DurationsInTheirLargestUnits) {
    EXPECT_EQ(duration_text(0), "0 s");
    EXPECT_EQ(duration_text(59), "59 s");
    EXPECT_EQ(duration_text(60), "1 min 00 s");
    EXPECT_EQ(duration_text(125), "2 min 05 s");
    EXPECT_EQ(duration_text(3600), "1 h 00 min");
    EXPECT_EQ(duration_text(3725), "1 h 02 min");
}

TEST(ProgressText, LinesOfOneImageAndOfABatch) {
    // Nothing measured yet: no rate to tell.
    EXPECT_EQ(progress_line({0, 80 * kMiB, 0, std::nullopt, 0.0}),
              "measuring image  0 B of 80.0 MiB");
    EXPECT_EQ(progress_line({0, 80 * kMiB, 0, std::nullopt, 1.0}),
              "measuring image  0 B of 80.0 MiB");
    EXPECT_EQ(progress_line({20 * kMiB, 80 * kMiB, 0, std::nullopt, 0.5}),
              "measuring image  20.0 MiB of 80.0 MiB  40.0 MiB/s  2 s left");
    // Time left is rounded up: a second and a half is "2 s", not done.
    EXPECT_EQ(progress_line({20 * kMiB, 50 * kMiB, 0, std::nullopt, 1.0}),
              "measuring image  20.0 MiB of 50.0 MiB  20.0 MiB/s  2 s left");
    EXPECT_EQ(progress_line({1288490188, 2147483648, 3, 8, 3.0}),
              "measuring images  3 of 8 done  1.2 GiB of 2.0 GiB  409.6 MiB/s  3 s left");
    // One byte in a long while: a bounded estimate, not an overflow.
    EXPECT_EQ(progress_line({1, std::numeric_limits<std::uint64_t>::max(), 0, std::nullopt, 1e9}),
              "measuring image  1 B of 16.0 EiB  0 B/s  277777777 h 46 min left");
    // A file that grew after it was opened: nothing is left, not a wrap-around.
    EXPECT_EQ(progress_line({90 * kMiB, 80 * kMiB, 0, std::nullopt, 1.0}),
              "measuring image  90.0 MiB of 80.0 MiB  90.0 MiB/s  0 s left");
}

// The display's own thread: the first line at once, the line cleared when
// every image is measured even before stop(), and nothing at all when not
// wanted or too small.
TEST(ProgressDisplayThread, DrawsAtOnceAndClearsWhenTheImagesAreDone) {
    zdz::io::MeasureProgress progress;
    CapturedStderr captured;
    {
        ProgressDisplay display(progress, 80 * kMiB, 2, true);
        EXPECT_EQ(captured.take(), "\rmeasuring images  0 of 2 done  0 B of 80.0 MiB\x1b[K");
        progress.bytes = 80 * kMiB;
        progress.images = 2;
        // Cleared by the thread itself within a tick or two.
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!seen.ends_with("\r\x1b[K") && std::chrono::steady_clock::now() < deadline) {
            seen += captured.take(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(seen.ends_with("\r\x1b[K")) << seen;
        display.stop();
        display.stop();
        // Cleared once only.
        EXPECT_EQ(captured.take(), "");
    }
    EXPECT_EQ(captured.take(), "");

    progress.images = 0;
    { ProgressDisplay display(progress, 80 * kMiB, std::nullopt, true); }
    const auto stopped = captured.take();
    EXPECT_TRUE(stopped.starts_with("\rmeasuring image  ")) << stopped;
    EXPECT_TRUE(stopped.ends_with("\r\x1b[K")) << stopped;

    {
        const ProgressDisplay unwanted(progress, 80 * kMiB, std::nullopt, false);
        const ProgressDisplay small(progress, 64 * kMiB - 1, std::nullopt, true);
    }
    EXPECT_EQ(captured.take(), "");
}
