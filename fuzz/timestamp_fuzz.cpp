#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "contracts/time.hpp"

namespace {

// 0000-01-01T00:00:00Z: earlier instants (reachable only through a positive
// offset on the first day of year 0000) have no RFC 3339 text of their own.
constexpr std::int64_t kYearZeroUnixSeconds = -62'167'219'200;

}  // namespace

// A parsed timestamp prints in UTC ending in "Z" and parses back to the same
// instant, and printing is then a fixed point.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    const auto parsed = zdz::contracts::Timestamp::parse(text);
    if (!parsed) {
        ZDZ_FUZZ_CHECK(!parsed.error().display().empty());
        return 0;
    }
    ZDZ_FUZZ_CHECK(parsed->nanos() < zdz::contracts::Timestamp::kNanosPerSecond);
    ZDZ_FUZZ_CHECK(parsed->seconds_since_epoch() >=
                   zdz::contracts::Timestamp::kEarliestUnixSeconds);
    ZDZ_FUZZ_CHECK(parsed->seconds_since_epoch() <= zdz::contracts::Timestamp::kLatestUnixSeconds);
    if (parsed->seconds_since_epoch() < kYearZeroUnixSeconds) {
        return 0;
    }
    const auto printed = parsed->to_string();
    ZDZ_FUZZ_CHECK(!printed.empty() && printed.back() == 'Z');
    const auto again = zdz::contracts::Timestamp::parse(printed);
    ZDZ_FUZZ_CHECK(again && *again == *parsed);
    ZDZ_FUZZ_CHECK(again->to_string() == printed);
    return 0;
}
