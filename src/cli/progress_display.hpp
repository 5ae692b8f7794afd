#pragma once

// How far the measuring of images has come, drawn on one line of standard
// error that is updated in place and cleared when the measuring ends. The
// measuring threads only count (io::MeasureProgress); a thread of this unit
// reads the counts a few times a second and draws them.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cli/command.hpp"
#include "contracts/content_hash.hpp"
#include "io/measure.hpp"

namespace zdz::cli {

// Smaller measurements end too soon for a display to be worth its line.
inline constexpr std::uint64_t kProgressFromBytes = std::uint64_t{64} << 20;

// Whether a command shows progress at all, as its `report` options ask (the
// size aside): `auto` when standard error is a terminal and the report is
// text; `always` whatever standard error is, with a JSON report too, since
// standard output carries nothing of it.
[[nodiscard]] bool progress_wanted(const MeasuringReport& report);

// A byte count in binary units with one decimal: "512 B", "1.5 KiB",
// "80.0 MiB", "2.0 GiB".
std::string binary_size_text(std::uint64_t bytes);

// Whole seconds as "7 s", "2 min 05 s" or "1 h 02 min".
std::string duration_text(std::uint64_t seconds);

// What one drawing of the line shows.
struct ProgressState {
    std::uint64_t bytes = 0;
    std::uint64_t total_bytes = 0;
    std::size_t images = 0;
    // The number of images of a batch, whose count the line shows; nullopt
    // for a single image.
    std::optional<std::size_t> total_images;
    // Since the measuring started.
    double seconds = 0;
};

// "measuring image  12.0 MiB of 80.0 MiB  410.3 MiB/s  1 s left", or for a
// batch "measuring images  3 of 8 done  1.2 GiB of 2.0 GiB  ...": the rate
// and the time left once some bytes have been measured.
std::string progress_line(const ProgressState& state);

// The display of one measurement, on standard error. Constructed when the
// measuring has started; shows nothing unless `wanted` and `total_bytes` is
// at least kProgressFromBytes. The first line is drawn at once, then every
// quarter of a second until every image is measured or stop() is called;
// the line is cleared either way.
class ProgressDisplay {
public:
    ProgressDisplay(const io::MeasureProgress& progress, std::uint64_t total_bytes,
                    std::optional<std::size_t> total_images, bool wanted);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Stops the drawing thread and waits for it, the line cleared: called
    // before anything else is written to the terminal.
    void stop();

private:
    [[nodiscard]] bool finished() const;
    void draw() const;
    void draw_start() const;
    static void show(const ProgressState& state);
    void clear();
    void run();

    const io::MeasureProgress& progress_;
    std::uint64_t total_bytes_;
    std::optional<std::size_t> total_images_;
    std::chrono::steady_clock::time_point started_;
    bool drawn_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// An image measured on a second thread (io::BackgroundMeasurement) with its
// progress displayed. Which is destroyed first (the display) stops first.
class ShownMeasurement {
public:
    // Through `algorithm`.
    ShownMeasurement(const std::string& path, contracts::HashAlgorithm algorithm, bool wanted);
    // Both digests.
    ShownMeasurement(const std::string& path, bool wanted);
    ShownMeasurement(const ShownMeasurement&) = delete;
    ShownMeasurement& operator=(const ShownMeasurement&) = delete;
    ~ShownMeasurement() = default;

    [[nodiscard]] std::optional<io::IoError> refusal() const { return measurement_.refusal(); }
    // Each waits for the measurement and clears the line.
    [[nodiscard]] tl::expected<io::FileMeasurement, io::IoError> result();
    [[nodiscard]] tl::expected<io::ImageDigests, io::IoError> digests();

private:
    io::MeasureProgress progress_;
    io::BackgroundMeasurement measurement_;
    ProgressDisplay display_;
};

}  // namespace zdz::cli
