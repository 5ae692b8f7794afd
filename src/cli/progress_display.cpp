#include "cli/progress_display.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace zdz::cli {
namespace {

constexpr auto kTick = std::chrono::milliseconds(250);
// Back to the start of the line, and the rest of it erased.
constexpr std::string_view kClearLine = "\r\x1b[K";
constexpr double kMostSecondsLeft = 1e12;
constexpr std::string_view kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};

std::string one_decimal(double value) {
    std::array<char, 32> text{};
    const auto [end, error] =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed, 1);
    return error == std::errc() ? std::string(text.data(), end) : std::string("?");
}

std::string two_digits(std::uint64_t value) {
    auto text = std::to_string(value);
    if (text.size() < 2) {
        text.insert(text.begin(), '0');
    }
    return text;
}

// Every byte of `text` to standard error; what cannot be written is given
// up on: the display must never stand in the way of the command.
void write_to_stderr(std::string_view text) {
    while (!text.empty()) {
        const auto written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// The columns of the terminal on standard error, 0 where it has none: a line
// as wide as the terminal would wrap, and a carriage return would then go
// back to the start of the second row only.
std::size_t terminal_columns() {
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

}  // namespace

bool progress_wanted(const MeasuringReport& report) {
    switch (report.progress) {
        case ProgressMode::Always:
            return true;
        case ProgressMode::Never:
            return false;
        case ProgressMode::Auto:
            break;
    }
    return report.format == OutputFormat::Text && ::isatty(STDERR_FILENO) == 1;
}

std::string binary_size_text(std::uint64_t bytes) {
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    auto value = static_cast<double>(bytes);
    std::size_t unit = 0;
    // 1023.96 KiB would read as "1024.0 KiB": shown as the next unit.
    while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    return one_decimal(value) + " " + std::string(kUnits[unit]);
}

std::string duration_text(std::uint64_t seconds) {
    if (seconds < 60) {
        return std::to_string(seconds) + " s";
    }
    if (seconds < 3600) {
        return std::to_string(seconds / 60) + " min " + two_digits(seconds % 60) + " s";
    }
    return std::to_string(seconds / 3600) + " h " + two_digits(seconds % 3600 / 60) + " min";
}

std::string progress_line(const ProgressState& state) {
    std::string line = state.total_images
                           ? "measuring images  " + std::to_string(state.images) + " of " +
                                 std::to_string(*state.total_images) + " done  "
                           : std::string("measuring image  ");
    line += binary_size_text(state.bytes) + " of " + binary_size_text(state.total_bytes);
    if (state.bytes == 0 || state.seconds <= 0) {
        return line;
    }
    const double rate = static_cast<double>(state.bytes) / state.seconds;
    const auto left = state.bytes >= state.total_bytes ? 0 : state.total_bytes - state.bytes;
    // Bounded, so that a crawl at the start cannot overflow the conversion.
    const auto seconds_left = static_cast<std::uint64_t>(
        std::min(std::ceil(static_cast<double>(left) / rate), kMostSecondsLeft));
    line += "  " + binary_size_text(static_cast<std::uint64_t>(rate)) + "/s  " +
            duration_text(seconds_left) + " left";
    return line;
}

ProgressDisplay::ProgressDisplay(const io::MeasureProgress& progress, std::uint64_t total_bytes,
                                 std::optional<std::size_t> total_images, bool wanted)
    : progress_(progress),
      total_bytes_(total_bytes),
      total_images_(total_images),
      started_(std::chrono::steady_clock::now()) {
    if (!wanted || total_bytes < kProgressFromBytes) {
        return;
    }
    // Drawn here, so that a measurement that ends before the first tick is
    // still seen to have been made. It shows the start, whatever the threads
    // that measure have done since they were started: the first line is the
    // same on every run.
    draw_start();
    drawn_ = true;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread: the first line stays until stop() clears it.
    }
}

ProgressDisplay::~ProgressDisplay() {
    stop();
}

void ProgressDisplay::stop() {
    if (thread_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    clear();
}

bool ProgressDisplay::finished() const {
    return progress_.images.load(std::memory_order_relaxed) >= total_images_.value_or(1);
}

void ProgressDisplay::draw() const {
    show({progress_.bytes.load(std::memory_order_relaxed), total_bytes_,
          progress_.images.load(std::memory_order_relaxed), total_images_,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count()});
}

void ProgressDisplay::draw_start() const {
    show({.total_bytes = total_bytes_, .total_images = total_images_});
}

void ProgressDisplay::show(const ProgressState& state) {
    auto line = progress_line(state);
    if (const auto columns = terminal_columns(); columns > 1 && line.size() >= columns) {
        line.resize(columns - 1);
    }
    write_to_stderr(std::string("\r") + line + "\x1b[K");
}

void ProgressDisplay::clear() {
    if (drawn_) {
        write_to_stderr(kClearLine);
        drawn_ = false;
    }
}

void ProgressDisplay::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kTick, [this] { return stopping_; }) && !finished()) {
        draw();
    }
    clear();
}

ShownMeasurement::ShownMeasurement(const std::string& path, contracts::HashAlgorithm algorithm,
                                   bool wanted)
    : measurement_(path, algorithm, &progress_),
      display_(progress_, measurement_.size(), std::nullopt, wanted) {}

ShownMeasurement::ShownMeasurement(const std::string& path, bool wanted)
    : measurement_(path, &progress_),
      display_(progress_, measurement_.size(), std::nullopt, wanted) {}

tl::expected<io::FileMeasurement, io::IoError> ShownMeasurement::result() {
    auto measured = measurement_.result();
    display_.stop();
    return measured;
}

tl::expected<io::ImageDigests, io::IoError> ShownMeasurement::digests() {
    auto measured = measurement_.digests();
    display_.stop();
    return measured;
}

}  // namespace zdz::cli
