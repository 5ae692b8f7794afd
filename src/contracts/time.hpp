#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/errors.hpp"

namespace zdz::contracts {

// Why the system clock gave no timestamp: the clock could not be read (the
// errno of clock_gettime), or it reads an instant outside the range a
// Timestamp holds.
struct ClockError {
    int os_error = 0;               // non-zero: the clock could not be read
    std::int64_t unix_seconds = 0;  // else: what it reads, in whole seconds

    // "the system clock cannot be read: Text (os error N)", or "the system
    // clock reads Unix time N, outside the range of a timestamp (years 0000
    // to 9999)".
    std::string display() const;
};

// An instant in UTC with nanosecond resolution, held as whole seconds since the
// Unix epoch (rounded down) plus the nanoseconds past that second. The range is
// what RFC 3339 text in UTC can write: from 0000-01-01T00:00:00Z to
// 9999-12-31T23:59:59.999999999Z. A text whose offset carries it outside
// (0000-01-01T00:00:00+23:59) is refused, never held as a bare number.
class Timestamp {
public:
    static constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;
    // 0000-01-01T00:00:00Z: before it no four-digit year can be written.
    static constexpr std::int64_t kEarliestUnixSeconds = -62'167'219'200;
    // 9999-12-31T23:59:59Z.
    static constexpr std::int64_t kLatestUnixSeconds = 253'402'300'799;

    // The Unix epoch.
    constexpr Timestamp() = default;

    // The system clock in UTC, read in whole seconds (the fraction dropped),
    // never through a count of nanoseconds, which a 64-bit integer holds only
    // until 2262. A clock outside the range above is an error, never a
    // wrapped or clamped instant. Every command reads the clock through this.
    [[nodiscard]] static tl::expected<Timestamp, ClockError> read_system_clock();

    // RFC 3339 with any offset, normalised to UTC. The refusal is Validation
    // with "invalid RFC 3339 timestamp " + the input in quoted form + ": " + why.
    [[nodiscard]] static tl::expected<Timestamp, ContractError> parse(std::string_view text);

    // Whole seconds since the Unix epoch; Validation outside the range above.
    [[nodiscard]] static tl::expected<Timestamp, ContractError> from_unix_seconds(
        std::int64_t seconds);

    // Unix time in whole seconds, rounded towards the past (a negative instant
    // with a fraction gives the second before it).
    std::int64_t seconds_since_epoch() const { return seconds_; }
    // Nanoseconds past seconds_since_epoch(), 0 to 999 999 999.
    std::uint32_t nanos() const { return nanos_; }

    // "YYYY-MM-DDTHH:MM:SS" + (".fraction" without trailing zeros when the
    // nanoseconds are not zero) + "Z". An instant before year 0000 has no
    // RFC 3339 form and is written as its Unix time in whole seconds.
    std::string to_string() const;
    // "Timestamp(" + to_string() + ")".
    std::string debug() const;

    friend bool operator==(const Timestamp&, const Timestamp&) = default;
    // Members compare in declaration order, which is the order of instants.
    friend auto operator<=>(const Timestamp&, const Timestamp&) = default;

private:
    constexpr Timestamp(std::int64_t seconds, std::uint32_t nanos)
        : seconds_(seconds), nanos_(nanos) {}

    std::int64_t seconds_ = 0;
    std::uint32_t nanos_ = 0;
};

// `later` minus `earlier` in whole Unix seconds: the difference of their
// seconds_since_epoch(), fractions ignored. Negative when `later` is in fact
// the earlier instant. Never overflows over the representable range.
std::int64_t whole_seconds_between(const Timestamp& earlier, const Timestamp& later);

}  // namespace zdz::contracts
