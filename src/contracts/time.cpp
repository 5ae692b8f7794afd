#include "contracts/time.hpp"

#include <time.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <optional>

#include "encoding/text.hpp"
#include "encoding/try.hpp"

namespace zdz::contracts {
namespace {

namespace chr = std::chrono;
using namespace std::string_view_literals;

// The faults met more than once; each other one is worded where it is met.
constexpr std::string_view kBadLiteral = "a character literal was not valid";
constexpr std::string_view kBadOffsetHour = "the 'offset hour' component could not be parsed";

constexpr std::size_t kYearDigits = 4;
constexpr std::size_t kFieldDigits = 2;
constexpr std::size_t kFractionDigits = 9;
constexpr unsigned kMonthsPerYear = 12;
constexpr std::int64_t kSecondsPerMinute = chr::seconds(chr::minutes(1)).count();
constexpr std::int64_t kSecondsPerHour = chr::seconds(chr::hours(1)).count();
constexpr std::int64_t kSecondsPerDay = chr::seconds(chr::days(1)).count();
// The last hour of a day, minute of an hour and second of a minute; a
// second past the last one is a leap second.
constexpr unsigned kMaxHour = chr::hours(chr::days(1)).count() - 1;
constexpr unsigned kMaxMinute = chr::minutes(chr::hours(1)).count() - 1;
constexpr unsigned kMaxSecond = kSecondsPerMinute - 1;
constexpr unsigned kLeapSecond = kMaxSecond + 1;
constexpr std::uint32_t kLastNano = Timestamp::kNanosPerSecond - 1;

// What the text says, before any range is checked.
struct Fields {
    unsigned year = 0;
    unsigned month = 0;
    unsigned day = 0;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    std::uint32_t nanos = 0;
    std::int64_t offset_seconds = 0;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    // Exactly `count` ASCII digits, read as a decimal number.
    std::optional<unsigned> digits(std::size_t count) {
        if (text_.size() - pos_ < count) {
            return std::nullopt;
        }
        unsigned value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = text_[pos_ + i];
            if (!is_digit(c)) {
                return std::nullopt;
            }
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        pos_ += count;
        return value;
    }

    bool accept(char c) { return accept_either(c, c); }

    bool accept_either(char a, char b) {
        if (pos_ < text_.size() && (text_[pos_] == a || text_[pos_] == b)) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool next_is_digit() const { return pos_ < text_.size() && is_digit(text_[pos_]); }
    bool at_end() const { return pos_ == text_.size(); }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

using Syntax = tl::expected<void, std::string_view>;

// A field of the date and time: the literal before it (either of two
// characters; none before the year), its digits, the least value that counts
// as read, what is said when it is not read, and where it is kept.
struct FieldStep {
    char literal;
    char literal_other_case;
    std::size_t width;
    unsigned least;
    std::string_view fault;
    unsigned Fields::*slot;
};

constexpr char kNoLiteral = '\0';

// YYYY-MM-DDTHH:MM:SS, the T of either case; month 00 does not read as a month.
constexpr FieldStep kDateAndTime[] = {
    {kNoLiteral, kNoLiteral, kYearDigits, 0, "the 'year' component could not be parsed",
     &Fields::year},
    {'-', '-', kFieldDigits, 1, "the 'month' component could not be parsed", &Fields::month},
    {'-', '-', kFieldDigits, 0, "the 'day' component could not be parsed", &Fields::day},
    {'T', 't', kFieldDigits, 0, "the 'hour' component could not be parsed", &Fields::hour},
    {':', ':', kFieldDigits, 0, "the 'minute' component could not be parsed", &Fields::minute},
    {':', ':', kFieldDigits, 0, "the 'second' component could not be parsed", &Fields::second},
};

[[nodiscard]] Syntax read_date_and_time(Cursor& in, Fields& f) {
    for (const FieldStep& step : kDateAndTime) {
        if (step.literal != kNoLiteral &&
            !in.accept_either(step.literal, step.literal_other_case)) {
            return tl::unexpected(kBadLiteral);
        }
        const auto value = in.digits(step.width);
        if (!value || *value < step.least) {
            return tl::unexpected(step.fault);
        }
        f.*step.slot = *value;
    }
    return {};
}

// An optional fraction of a second after a full stop.
[[nodiscard]] Syntax read_fraction(Cursor& in, Fields& f) {
    if (!in.accept('.')) {
        return {};
    }
    if (!in.next_is_digit()) {
        return tl::unexpected("the 'subsecond' component could not be parsed"sv);
    }
    // Digits past the ninth are read and dropped: truncation, not rounding.
    std::size_t count = 0;
    while (in.next_is_digit()) {
        const auto digit = *in.digits(1);
        if (count < kFractionDigits) {
            f.nanos = f.nanos * 10 + digit;
        }
        ++count;
    }
    for (; count < kFractionDigits; ++count) {
        f.nanos *= 10;
    }
    return {};
}

// Z of either case, or +HH:MM / -HH:MM.
[[nodiscard]] Syntax read_offset(Cursor& in, Fields& f) {
    if (in.accept_either('Z', 'z')) {
        return {};
    }
    const bool east = in.accept('+');
    if (!east && !in.accept('-')) {
        return tl::unexpected(kBadOffsetHour);
    }
    const auto offset_hour = in.digits(kFieldDigits);
    if (!offset_hour || *offset_hour > kMaxHour) {
        return tl::unexpected(kBadOffsetHour);
    }
    if (!in.accept(':')) {
        return tl::unexpected(kBadLiteral);
    }
    const auto offset_minute = in.digits(kFieldDigits);
    if (!offset_minute) {
        return tl::unexpected("the 'offset minute' component could not be parsed"sv);
    }
    if (*offset_minute > kMaxMinute) {
        return tl::unexpected("offset minute must be in the range -59..=59"sv);
    }
    const auto magnitude = static_cast<std::int64_t>(*offset_hour) * kSecondsPerHour +
                           static_cast<std::int64_t>(*offset_minute) * kSecondsPerMinute;
    f.offset_seconds = east ? magnitude : -magnitude;
    return {};
}

// Phase one: the syntax, strictly left to right; the first failure names it.
[[nodiscard]] tl::expected<Fields, std::string_view> read_fields(std::string_view text) {
    Cursor in(text);
    Fields f;
    for (const auto read : {read_date_and_time, read_fraction, read_offset}) {
        ZDZ_RETURN_IF_ERROR(read(in, f));
    }
    if (!in.at_end()) {
        return tl::unexpected("unexpected trailing characters; the end of input was expected"sv);
    }
    return f;
}

unsigned days_in_month(unsigned year, unsigned month) {
    const chr::year_month_day_last last{chr::year{static_cast<int>(year)},
                                        chr::month_day_last{chr::month{month}}};
    return static_cast<unsigned>(last.day());
}

std::int64_t days_since_epoch(unsigned year, unsigned month, unsigned day) {
    const chr::sys_days date{
        chr::year_month_day{chr::year{static_cast<int>(year)}, chr::month{month}, chr::day{day}}};
    return static_cast<std::int64_t>(date.time_since_epoch().count());
}

// The UTC calendar date and the second of that day of a Unix time.
struct UtcParts {
    chr::year_month_day date;
    std::int64_t second_of_day;
};

UtcParts utc_parts(std::int64_t unix_seconds) {
    const chr::sys_seconds instant{chr::seconds{unix_seconds}};
    const auto midnight = chr::floor<chr::days>(instant);
    return {chr::year_month_day{midnight}, static_cast<std::int64_t>((instant - midnight).count())};
}

bool is_last_second_of_month(std::int64_t unix_seconds) {
    const UtcParts parts = utc_parts(unix_seconds);
    const chr::year_month_day_last last{parts.date.year(), chr::month_day_last{parts.date.month()}};
    return parts.second_of_day == kSecondsPerDay - 1 && parts.date.day() == last.day();
}

struct Instant {
    std::int64_t seconds;
    std::uint32_t nanos;
};

// Phase two: the ranges, in a fixed order, then the instant.
[[nodiscard]] tl::expected<Instant, std::string> to_instant(Fields f) {
    const bool leap = f.second == kLeapSecond;
    if (leap) {
        f.second = kMaxSecond;
        f.nanos = kLastNano;
    }
    if (f.month > kMonthsPerYear) {
        return tl::unexpected(std::string("month must be in the range 1..=12"));
    }
    const unsigned last_day = days_in_month(f.year, f.month);
    if (f.day == 0 || f.day > last_day) {
        return tl::unexpected("day must be in the range 1..=" + std::to_string(last_day) +
                              ", given values of other parameters");
    }
    if (f.hour > kMaxHour) {
        return tl::unexpected(std::string("hour must be in the range 0..=23"));
    }
    if (f.minute > kMaxMinute) {
        return tl::unexpected(std::string("minute must be in the range 0..=59"));
    }
    if (f.second > kMaxSecond) {
        return tl::unexpected(std::string("second must be in the range 0..=59"));
    }
    const std::int64_t local = days_since_epoch(f.year, f.month, f.day) * kSecondsPerDay +
                               static_cast<std::int64_t>(f.hour) * kSecondsPerHour +
                               static_cast<std::int64_t>(f.minute) * kSecondsPerMinute +
                               static_cast<std::int64_t>(f.second);
    const std::int64_t instant = local - f.offset_seconds;
    if (leap && !is_last_second_of_month(instant)) {
        return tl::unexpected(
            std::string("second must be in the range 0..=59, given values of other parameters"));
    }
    if (instant > Timestamp::kLatestUnixSeconds) {
        return tl::unexpected(
            std::string("the instant lies after the year 9999 once normalised to UTC"));
    }
    if (instant < Timestamp::kEarliestUnixSeconds) {
        return tl::unexpected(
            std::string("the instant lies before the year 0000 once normalised to UTC"));
    }
    return Instant{instant, f.nanos};
}

void append_padded(std::string& out, unsigned value, std::size_t width) {
    char digits[std::numeric_limits<unsigned>::digits10 + 1];
    const auto written = std::to_chars(std::begin(digits), std::end(digits), value);
    const auto length = static_cast<std::size_t>(written.ptr - digits);
    if (length < width) {
        out.append(width - length, '0');
    }
    out.append(digits, length);
}

}  // namespace

std::string ClockError::display() const {
    if (os_error != 0) {
        return "the system clock cannot be read: " + os_error_text(os_error);
    }
    return "the system clock reads Unix time " + std::to_string(unix_seconds) +
           ", outside the range of a timestamp (years 0000 to 9999)";
}

tl::expected<Timestamp, ClockError> Timestamp::read_system_clock() {
    // Whole seconds straight from the kernel: std::chrono::system_clock counts
    // nanoseconds in 64 bits and wraps in 2262.
    timespec reading{};
    if (::clock_gettime(CLOCK_REALTIME, &reading) != 0) {
        return tl::unexpected(ClockError{errno, 0});
    }
    const auto seconds = static_cast<std::int64_t>(reading.tv_sec);
    if (seconds < kEarliestUnixSeconds || seconds > kLatestUnixSeconds) {
        return tl::unexpected(ClockError{0, seconds});
    }
    return Timestamp(seconds, 0);
}

tl::expected<Timestamp, ContractError> Timestamp::parse(std::string_view text) {
    auto fail = [text](std::string_view why) {
        return tl::unexpected(ContractError::invalid(
            ContractError::Subject::Timestamp,
            std::string("invalid RFC 3339 timestamp ") +
                encoding::quoted_excerpt(text, encoding::kMessageExcerptChars) + ": " +
                std::string(why)));
    };
    const auto fields = read_fields(text);
    if (!fields) {
        return fail(fields.error());
    }
    const auto instant = to_instant(*fields);
    if (!instant) {
        return fail(instant.error());
    }
    return Timestamp(instant->seconds, instant->nanos);
}

tl::expected<Timestamp, ContractError> Timestamp::from_unix_seconds(std::int64_t seconds) {
    if (seconds < kEarliestUnixSeconds || seconds > kLatestUnixSeconds) {
        return tl::unexpected(ContractError::invalid(
            ContractError::Subject::Timestamp,
            "Unix time " + std::to_string(seconds) + " lies outside the representable range " +
                std::to_string(kEarliestUnixSeconds) + "..=" + std::to_string(kLatestUnixSeconds)));
    }
    return Timestamp(seconds, 0);
}

std::string Timestamp::to_string() const {
    const UtcParts parts = utc_parts(seconds_);
    const chr::hh_mm_ss<chr::seconds> clock{chr::seconds{parts.second_of_day}};
    std::string out;
    append_padded(out, static_cast<unsigned>(static_cast<int>(parts.date.year())), kYearDigits);
    out += '-';
    append_padded(out, static_cast<unsigned>(parts.date.month()), kFieldDigits);
    out += '-';
    append_padded(out, static_cast<unsigned>(parts.date.day()), kFieldDigits);
    out += 'T';
    append_padded(out, static_cast<unsigned>(clock.hours().count()), kFieldDigits);
    out += ':';
    append_padded(out, static_cast<unsigned>(clock.minutes().count()), kFieldDigits);
    out += ':';
    append_padded(out, static_cast<unsigned>(clock.seconds().count()), kFieldDigits);
    if (nanos_ != 0) {
        std::string fraction;
        append_padded(fraction, nanos_, kFractionDigits);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        out += '.';
        out += fraction;
    }
    out += 'Z';
    return out;
}

std::string Timestamp::debug() const {
    return "Timestamp(" + to_string() + ")";
}

std::int64_t whole_seconds_between(const Timestamp& earlier, const Timestamp& later) {
    return later.seconds_since_epoch() - earlier.seconds_since_epoch();
}

}  // namespace zdz::contracts
