#pragma once

#include <array>
#include <cstddef>
#include <streambuf>

namespace zdz::cli {

// What prepare_standard_streams found at start-up.
struct StandardStreams {
    // The errno every write to standard output is to fail with: EBADF when
    // descriptor 1 was closed (`>&-`), else 0.
    int output_error = 0;
};

// Called first thing in main, before any file or device is opened:
// - each of the descriptors 0, 1 and 2 that is closed is opened on /dev/null,
//   so that no file the command opens (a keystore, the store, its lock) can
//   land on it and receive report lines or error messages;
// - SIGPIPE is ignored: a reader that goes away (`| head -0`) makes the next
//   write fail with EPIPE, reported like any other failed write with one
//   error line and status 1, instead of a silent death by signal that looks
//   like neither success nor a reported failure.
StandardStreams prepare_standard_streams();

// The stream buffer of standard output: report lines are gathered here and
// written with write(2), and the first write that fails is remembered, so
// that a report lost to a full disk, a closed descriptor or a closed pipe
// can never end in status 0. After a failure nothing more is written.
class DescriptorOutput final : public std::streambuf {
public:
    // `pending_error`: an errno to fail the first write with (see
    // StandardStreams::output_error); 0 for a descriptor that is open.
    explicit DescriptorOutput(int fd, int pending_error = 0);
    DescriptorOutput(const DescriptorOutput&) = delete;
    DescriptorOutput& operator=(const DescriptorOutput&) = delete;
    ~DescriptorOutput() override = default;

    // Writes out what is still buffered. The errno of the first failed write,
    // 0 when every byte handed over has been written (or none was).
    int finish();

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

private:
    static constexpr std::size_t kBufferBytes = std::size_t{64} << 10;

    bool write_buffered();
    bool write_all(const char* data, std::size_t count);

    int fd_;
    int pending_error_;
    int error_ = 0;
    std::array<char, kBufferBytes> buffer_{};
};

}  // namespace zdz::cli
