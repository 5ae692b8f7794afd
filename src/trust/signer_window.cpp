#include "trust/signer_window.hpp"

#include <chrono>
#include <cstdint>
#include <vector>

#include "encoding/text.hpp"
#include "encoding/try.hpp"

namespace zdz::trust {
namespace {

namespace chr = std::chrono;

constexpr std::string_view kValidAfter = "valid-after";
constexpr std::string_view kValidBefore = "valid-before";
constexpr char kQuote = '"';
constexpr char kUtcMarker = 'Z';

std::string quoted(std::string_view text) {
    return encoding::quoted_excerpt(text, encoding::kMessageExcerptChars);
}

// The options of the field, split at the commas outside quoted values.
std::vector<std::string_view> split_options(std::string_view field) {
    std::vector<std::string_view> options;
    bool in_quotes = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == kQuote) {
            in_quotes = !in_quotes;
        } else if (field[i] == ',' && !in_quotes) {
            options.push_back(field.substr(start, i - start));
            start = i + 1;
        }
    }
    options.push_back(field.substr(start));
    return options;
}

std::string_view option_name(std::string_view option) {
    return option.substr(0, option.find('='));
}

bool is_window_option(std::string_view option) {
    const auto name = option_name(option);
    return name == kValidAfter || name == kValidBefore;
}

// The value of `digits` from `pos`, `count` decimal digits long.
int number_at(std::string_view digits, std::size_t pos, std::size_t count) {
    int value = 0;
    for (const char c : digits.substr(pos, count)) {
        value = value * 10 + (c - '0');
    }
    return value;
}

// The instant of an OpenSSH time in UTC: YYYYMMDD, YYYYMMDDHHMM or
// YYYYMMDDHHMMSS, then "Z". OpenSSH reads a time without "Z" in the local
// zone of whichever machine reads the file; that is refused here, so that one
// trust file means the same window everywhere.
tl::expected<contracts::Timestamp, std::string> parse_utc_time(std::string_view name,
                                                               std::string_view text) {
    const std::string what = std::string(name) + " time " + quoted(text);
    const bool utc = !text.empty() && text.back() == kUtcMarker;
    const auto digits = utc ? text.substr(0, text.size() - 1) : text;
    const bool shaped = (digits.size() == 8 || digits.size() == 12 || digits.size() == 14) &&
                        digits.find_first_not_of("0123456789") == std::string_view::npos;
    if (!shaped) {
        return tl::unexpected(what +
                              " is not YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS followed by \"Z\"");
    }
    if (!utc) {
        return tl::unexpected(what +
                              " does not end in \"Z\": only UTC times are accepted, since a local "
                              "time would mean a different instant on each machine that reads "
                              "the file");
    }
    const int year = number_at(digits, 0, 4);
    const int month = number_at(digits, 4, 2);
    const int day = number_at(digits, 6, 2);
    const int hour = digits.size() > 8 ? number_at(digits, 8, 2) : 0;
    const int minute = digits.size() > 8 ? number_at(digits, 10, 2) : 0;
    const int second = digits.size() > 12 ? number_at(digits, 12, 2) : 0;
    const std::string not_real = what + " does not exist: ";
    if (month < 1 || month > 12) {
        return tl::unexpected(not_real + "there is no month " + std::to_string(month));
    }
    const chr::year_month_day date{chr::year{year}, chr::month{static_cast<unsigned>(month)},
                                   chr::day{static_cast<unsigned>(day)}};
    if (!date.ok()) {
        return tl::unexpected(not_real + std::string(digits.substr(0, 4)) + "-" +
                              std::string(digits.substr(4, 2)) + " has no day " +
                              std::to_string(day));
    }
    if (hour > 23) {
        return tl::unexpected(not_real + "there is no hour " + std::to_string(hour));
    }
    if (minute > 59) {
        return tl::unexpected(not_real + "there is no minute " + std::to_string(minute));
    }
    // A leap second has no instant of its own in a timestamp.
    if (second > 59) {
        return tl::unexpected(not_real + "there is no second " + std::to_string(second));
    }
    const auto seconds = chr::sys_days{date}.time_since_epoch() / chr::seconds{1} +
                         std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second;
    // Every four-digit year lies in the range of a timestamp.
    return *contracts::Timestamp::from_unix_seconds(seconds);
}

}  // namespace

std::optional<tl::expected<ValidityWindow, std::string>> read_window_options(
    std::string_view field) {
    const auto options = split_options(field);
    for (const auto option : options) {
        if (!is_window_option(option)) {
            return std::nullopt;
        }
    }
    ValidityWindow window;
    for (const auto option : options) {
        const auto name = option_name(option);
        auto& bound = name == kValidAfter ? window.valid_after : window.valid_before;
        if (bound) {
            return tl::unexpected(std::string(name) + " is given twice");
        }
        const auto value = option.substr(name.size());
        if (value.size() < 3 || value[1] != kQuote || value.back() != kQuote) {
            return tl::unexpected(std::string(name) + " must be written as " + std::string(name) +
                                  "=\"TIME\", got " + quoted(option));
        }
        ZDZ_TRY(auto time, parse_utc_time(name, value.substr(2, value.size() - 3)));
        bound = time;
    }
    if (window.valid_after && window.valid_before &&
        !(*window.valid_after < *window.valid_before)) {
        return tl::unexpected("valid-after " + window.valid_after->to_string() +
                              " is not before valid-before " + window.valid_before->to_string() +
                              ": the key would be valid at no time");
    }
    return window;
}

}  // namespace zdz::trust
