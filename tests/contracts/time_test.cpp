#include "contracts/time.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "encoding/text.hpp"
#include "support/clock.hpp"
#include "support/refusal.hpp"

using zdz::contracts::ContractError;
using zdz::contracts::Timestamp;
using zdz::contracts::whole_seconds_between;
using zdz::encoding::quoted_form;

namespace {

Timestamp at(const std::string& text) {
    auto r = Timestamp::parse(text);
    EXPECT_TRUE(r) << text << ": " << (r ? "" : r.error().display());
    return r ? *r : Timestamp();
}

std::string parse_error(const std::string& text) {
    return zdz::test::refusal(Timestamp::parse(text), text, ContractError::Kind::Validation);
}

}  // namespace

// Each row: the input and either "ok " + the UTC text written back, or the
// description that follows the quoted input in the message.
TEST(TimestampParse, KnownResults) {
    struct Row {
        std::string input;
        std::string result;
    };
    const std::vector<Row> rows = {
        {"2026-07-15T10:00:00Z", "ok 2026-07-15T10:00:00Z"},
        {"2026-07-15T10:00:00+02:00", "ok 2026-07-15T08:00:00Z"},
        {"2026-07-15T10:00:00-02:30", "ok 2026-07-15T12:30:00Z"},
        {"2026-07-15t10:00:00z", "ok 2026-07-15T10:00:00Z"},
        {"2026-07-15T10:00:00-00:00", "ok 2026-07-15T10:00:00Z"},
        {"2026-07-15T10:00:00.500Z", "ok 2026-07-15T10:00:00.5Z"},
        {"2026-07-15T10:00:00.000Z", "ok 2026-07-15T10:00:00Z"},
        {"2026-07-15T10:00:00.1234567891Z", "ok 2026-07-15T10:00:00.123456789Z"},
        {"2026-07-15T10:00:00.999999999999Z", "ok 2026-07-15T10:00:00.999999999Z"},
        {"2026-07-15T10:00:00+23:59", "ok 2026-07-14T10:01:00Z"},
        {"2024-02-29T00:00:00Z", "ok 2024-02-29T00:00:00Z"},
        {"2026-06-30T23:59:60Z", "ok 2026-06-30T23:59:59.999999999Z"},
        {"2026-06-30T23:59:60.5Z", "ok 2026-06-30T23:59:59.999999999Z"},
        {"2026-07-01T01:59:60+02:00", "ok 2026-06-30T23:59:59.999999999Z"},
        {"", "the 'year' component could not be parsed"},
        {" 2026-07-15T10:00:00Z", "the 'year' component could not be parsed"},
        {"26-07-15T10:00:00Z", "the 'year' component could not be parsed"},
        {"+2026-07-15T10:00:00Z", "the 'year' component could not be parsed"},
        {"2026", "a character literal was not valid"},
        {"12026-07-15T10:00:00Z", "a character literal was not valid"},
        {"2026/07/15T10:00:00Z", "a character literal was not valid"},
        {"2026-07-15", "a character literal was not valid"},
        {"2026-07-15 10:00:00Z", "a character literal was not valid"},
        {"2026-07-15T10:00Z", "a character literal was not valid"},
        {"2026-7-15T10:00:00Z", "the 'month' component could not be parsed"},
        {"2026-00-01T00:00:00Z", "the 'month' component could not be parsed"},
        {"2026-07-15T", "the 'hour' component could not be parsed"},
        {"2026-07-15T1:00:00Z", "the 'hour' component could not be parsed"},
        {"2026-07-15T10:00:00.Z", "the 'subsecond' component could not be parsed"},
        {"2026-07-15T10:00:00", "the 'offset hour' component could not be parsed"},
        {"2026-07-15T10:00:00UTC", "the 'offset hour' component could not be parsed"},
        {"2026-07-15T10:00:00,5Z", "the 'offset hour' component could not be parsed"},
        {"2026-07-15T10:00:00+24:00", "the 'offset hour' component could not be parsed"},
        {"2026-07-15T10:00:00+2:00", "the 'offset hour' component could not be parsed"},
        {"2026-07-15T10:00:00+0200", "a character literal was not valid"},
        {"2026-07-15T10:00:00+02", "a character literal was not valid"},
        {"2026-07-15T10:00:00+02:0", "the 'offset minute' component could not be parsed"},
        {"2026-07-15T10:00:00+23:60", "offset minute must be in the range -59..=59"},
        {"2026-07-15T10:00:00+05:99", "offset minute must be in the range -59..=59"},
        {"2026-07-15T10:00:00Z ", "unexpected trailing characters; the end of input was expected"},
        {"2026-07-15T10:00:00ZZ", "unexpected trailing characters; the end of input was expected"},
        {"2026-07-15T10:00:00+02:00:00",
         "unexpected trailing characters; the end of input was expected"},
        {"2026-13-01T00:00:00Z", "month must be in the range 1..=12"},
        {"2026-02-29T00:00:00Z",
         "day must be in the range 1..=28, given values of other parameters"},
        {"2026-02-30T00:00:00Z",
         "day must be in the range 1..=28, given values of other parameters"},
        {"2026-04-31T00:00:00Z",
         "day must be in the range 1..=30, given values of other parameters"},
        {"2026-01-32T00:00:00Z",
         "day must be in the range 1..=31, given values of other parameters"},
        {"2026-01-00T00:00:00Z",
         "day must be in the range 1..=31, given values of other parameters"},
        {"2026-07-15T24:00:00Z", "hour must be in the range 0..=23"},
        {"2026-07-15T23:60:00Z", "minute must be in the range 0..=59"},
        {"2026-07-15T10:00:61Z", "second must be in the range 0..=59"},
        {"2026-07-15T10:00:60Z",
         "second must be in the range 0..=59, given values of other parameters"},
        {"2026-07-15T23:59:60Z",
         "second must be in the range 0..=59, given values of other parameters"},
        {"2026-02-29T00:00:60Z",
         "day must be in the range 1..=28, given values of other parameters"},
        {"2026-07-15\uff3410:00:00Z", "a character literal was not valid"},
    };
    for (const auto& row : rows) {
        const auto r = Timestamp::parse(row.input);
        if (row.result.starts_with("ok ")) {
            ASSERT_TRUE(r) << row.input << ": " << r.error().display();
            EXPECT_EQ("ok " + r->to_string(), row.result) << row.input;
        } else {
            ASSERT_FALSE(r) << row.input;
            EXPECT_EQ(r.error().kind(), ContractError::Kind::Validation);
            EXPECT_EQ(r.error().display(), "validation failed: invalid RFC 3339 timestamp " +
                                               quoted_form(row.input) + ": " + row.result)
                << row.input;
        }
    }
}

TEST(TimestampParse, MessageQuotesTheInput) {
    EXPECT_EQ(parse_error("2026-07-15 10:00:00Z"),
              "validation failed: invalid RFC 3339 timestamp \"2026-07-15 10:00:00Z\": a "
              "character literal was not valid");
    EXPECT_EQ(parse_error("2026-07-15"),
              "validation failed: invalid RFC 3339 timestamp \"2026-07-15\": a character "
              "literal was not valid");
    EXPECT_EQ(parse_error("\"x\"\n"),
              "validation failed: invalid RFC 3339 timestamp \"\\\"x\\\"\\n\": the 'year' "
              "component could not be parsed");
}

TEST(TimestampText, FractionRoundTrips) {
    EXPECT_EQ(at("2026-07-15T08:00:00.500Z").to_string(), "2026-07-15T08:00:00.5Z");
    EXPECT_EQ(at("2026-07-15T08:00:00.5Z").to_string(), "2026-07-15T08:00:00.5Z");
    EXPECT_EQ(at("2026-07-15T08:00:00.000Z").to_string(), "2026-07-15T08:00:00Z");
    EXPECT_EQ(at("2026-07-15T08:00:00.000000001Z").to_string(), "2026-07-15T08:00:00.000000001Z");
    EXPECT_EQ(at("2026-07-15T08:00:00.0102Z").to_string(), "2026-07-15T08:00:00.0102Z");
    EXPECT_EQ(at("2026-07-15T08:00:00.25Z").nanos(), 250'000'000U);
    EXPECT_EQ(at("2026-07-15T08:00:00Z").debug(), "Timestamp(2026-07-15T08:00:00Z)");
}

TEST(TimestampCompare, SameInstantWithDifferentOffsetsIsEqual) {
    const Timestamp utc = at("2026-07-15T08:00:00Z");
    const Timestamp east = at("2026-07-15T10:00:00+02:00");
    const Timestamp west = at("2026-07-15T03:30:00-04:30");
    EXPECT_EQ(utc, east);
    EXPECT_EQ(utc, west);
    EXPECT_EQ(east.to_string(), west.to_string());
    // An offset that crosses midnight, a month and a year.
    EXPECT_EQ(at("2027-01-01T01:00:00+02:00").to_string(), "2026-12-31T23:00:00Z");

    EXPECT_LT(at("2026-07-15T08:00:00.4999Z"), at("2026-07-15T08:00:00.5Z"));
    EXPECT_LT(at("2026-07-15T09:59:59Z"), at("2026-07-15T08:00:00-02:00"));
    EXPECT_GT(at("2026-07-15T08:00:00Z"), at("2026-07-15T09:00:00+02:00"));
}

TEST(TimestampParse, UnixSecondsMatchTheDateTool) {
    // Values from `date -u -d TEXT +%s`.
    EXPECT_EQ(at("1970-01-01T00:00:00Z").seconds_since_epoch(), 0);
    EXPECT_EQ(at("2026-07-15T10:00:00Z").seconds_since_epoch(), 1'784'109'600);
    EXPECT_EQ(at("2000-02-29T12:34:56Z").seconds_since_epoch(), 951'827'696);
    EXPECT_EQ(at("0000-01-01T00:00:00Z").seconds_since_epoch(), -62'167'219'200);
    EXPECT_EQ(at("9999-12-31T23:59:59Z").seconds_since_epoch(), 253'402'300'799);
    // Before the epoch the seconds round towards the past.
    const Timestamp before = at("1969-12-31T23:59:59.25Z");
    EXPECT_EQ(before.seconds_since_epoch(), -1);
    EXPECT_EQ(before.nanos(), 250'000'000U);
    EXPECT_EQ(before.to_string(), "1969-12-31T23:59:59.25Z");
}

TEST(TimestampParse, EdgesOfTheCalendar) {
    // Century rules: 2000 and 0000 are leap years, 2100 is not.
    EXPECT_EQ(at("0000-02-29T00:00:00Z").to_string(), "0000-02-29T00:00:00Z");
    EXPECT_EQ(parse_error("2100-02-29T00:00:00Z"),
              "validation failed: invalid RFC 3339 timestamp \"2100-02-29T00:00:00Z\": day must "
              "be in the range 1..=28, given values of other parameters");

    EXPECT_EQ(at("9999-12-31T23:59:59.999999999Z").to_string(), "9999-12-31T23:59:59.999999999Z");
    EXPECT_EQ(at("9999-12-31T23:59:60Z").to_string(), "9999-12-31T23:59:59.999999999Z");
    EXPECT_EQ(at("9999-12-31T23:59:59+00:01").to_string(), "9999-12-31T23:58:59Z");
    EXPECT_EQ(parse_error("9999-12-31T23:59:59-00:01"),
              "validation failed: invalid RFC 3339 timestamp \"9999-12-31T23:59:59-00:01\": the "
              "instant lies after the year 9999 once normalised to UTC");
    EXPECT_EQ(parse_error("9999-12-31T23:00:00-23:59"),
              "validation failed: invalid RFC 3339 timestamp \"9999-12-31T23:00:00-23:59\": the "
              "instant lies after the year 9999 once normalised to UTC");

    // Before year 0000 there is no RFC 3339 text to write the instant back
    // as: refused like the other end, with the text given.
    EXPECT_EQ(parse_error("0000-01-01T00:00:00+23:59"),
              "validation failed: invalid RFC 3339 timestamp \"0000-01-01T00:00:00+23:59\": the "
              "instant lies before the year 0000 once normalised to UTC");
    EXPECT_EQ(parse_error("0000-01-01T00:00:00.5+00:01"),
              "validation failed: invalid RFC 3339 timestamp \"0000-01-01T00:00:00.5+00:01\": the "
              "instant lies before the year 0000 once normalised to UTC");
    const Timestamp earliest = at("0000-01-01T00:00:00Z");
    EXPECT_EQ(earliest.seconds_since_epoch(), Timestamp::kEarliestUnixSeconds);
    EXPECT_EQ(earliest.to_string(), "0000-01-01T00:00:00Z");
    EXPECT_EQ(at("0000-01-01T23:59:00+23:59").to_string(), "0000-01-01T00:00:00Z");
}

TEST(TimestampUnixSeconds, RangeAndDifference) {
    EXPECT_EQ(Timestamp::from_unix_seconds(1'784'109'600)->to_string(), "2026-07-15T10:00:00Z");
    EXPECT_EQ(Timestamp::from_unix_seconds(0)->to_string(), "1970-01-01T00:00:00Z");
    EXPECT_EQ(Timestamp::from_unix_seconds(0), Timestamp());
    EXPECT_TRUE(Timestamp::from_unix_seconds(Timestamp::kLatestUnixSeconds));
    EXPECT_TRUE(Timestamp::from_unix_seconds(Timestamp::kEarliestUnixSeconds));
    const auto too_late = Timestamp::from_unix_seconds(Timestamp::kLatestUnixSeconds + 1);
    ASSERT_FALSE(too_late);
    EXPECT_EQ(too_late.error().display(),
              "validation failed: Unix time 253402300800 lies outside the representable range "
              "-62167219200..=253402300799");
    EXPECT_FALSE(Timestamp::from_unix_seconds(Timestamp::kEarliestUnixSeconds - 1));

    const Timestamp now = at("2026-07-15T10:05:00Z");
    EXPECT_EQ(whole_seconds_between(at("2026-07-15T10:00:00Z"), now), 300);
    EXPECT_EQ(whole_seconds_between(at("2026-07-15T09:59:59Z"), now), 301);
    EXPECT_EQ(whole_seconds_between(at("2026-07-15T10:05:01Z"), now), -1);
    // Fractions are dropped before subtracting, not after.
    EXPECT_EQ(whole_seconds_between(at("2026-07-15T10:00:00.9Z"), at("2026-07-15T10:00:01.1Z")), 1);
    EXPECT_EQ(
        whole_seconds_between(Timestamp::from_unix_seconds(Timestamp::kEarliestUnixSeconds).value(),
                              at("9999-12-31T23:59:59Z")),
        Timestamp::kLatestUnixSeconds - Timestamp::kEarliestUnixSeconds);
}

TEST(TimestampNow, HasWholeSecondsFromTheSystemClock) {
    const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
    const Timestamp now = zdz::test::now();
    const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
    EXPECT_EQ(now.nanos(), 0U);
    EXPECT_GE(now.seconds_since_epoch(), before);
    EXPECT_LE(now.seconds_since_epoch(), after);
    EXPECT_EQ(*Timestamp::parse(now.to_string()), now);
}
