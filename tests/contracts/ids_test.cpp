#include "contracts/ids.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/refusal.hpp"

using namespace zdz::contracts;

namespace {

std::string slug_error(const std::string& text) {
    return zdz::test::refusal(Slug::parse(text), text, ContractError::Kind::InvalidIdentifier);
}

const std::string kSample = "67e55044-10b1-426f-9247-bb680e5fe0c8";

}  // namespace

TEST(SlugParse, AcceptsBoundsAndKeepsTextUnchanged) {
    EXPECT_EQ(Slug::parse("a")->text(), "a");
    EXPECT_EQ(Slug::parse("0")->text(), "0");
    EXPECT_EQ(Slug::parse("vask-2-pro")->text(), "vask-2-pro");
    const std::string longest(64, 'z');
    EXPECT_EQ(Slug::parse(longest)->text(), longest);
}

TEST(SlugParse, ChecksRunInOrder) {
    EXPECT_EQ(slug_error(""), "invalid Slug identifier: must not be empty");
    // Length comes before the characters: 65 upper-case bytes report the length.
    EXPECT_EQ(slug_error(std::string(65, 'a')),
              "invalid Slug identifier: must be at most 64 bytes, got 65");
    EXPECT_EQ(slug_error(std::string(65, 'A')),
              "invalid Slug identifier: must be at most 64 bytes, got 65");
    // The length is in bytes: 33 two-byte characters are 66 bytes.
    std::string wide;
    for (int i = 0; i < 33; ++i) {
        wide += "\u00e9";
    }
    EXPECT_EQ(slug_error(wide), "invalid Slug identifier: must be at most 64 bytes, got 66");

    const std::string bad_char =
        "invalid Slug identifier: may contain only lowercase ASCII letters, digits and hyphens";
    EXPECT_EQ(slug_error("Vask"), bad_char);
    EXPECT_EQ(slug_error("a_b"), bad_char);
    EXPECT_EQ(slug_error(" a"), bad_char);
    EXPECT_EQ(slug_error("caf\u00e9"), bad_char);
    EXPECT_EQ(slug_error(std::string("a\0b", 3)), bad_char);
    // Characters come before the hyphen rules.
    EXPECT_EQ(slug_error("-A"), bad_char);

    const std::string edge = "invalid Slug identifier: must not start or end with a hyphen";
    EXPECT_EQ(slug_error("-abc"), edge);
    EXPECT_EQ(slug_error("abc-"), edge);
    EXPECT_EQ(slug_error("-"), edge);
    // Start-or-end comes before the doubled hyphen.
    EXPECT_EQ(slug_error("--a"), edge);

    EXPECT_EQ(slug_error("a--b"), "invalid Slug identifier: must not contain consecutive hyphens");
}

TEST(SlugParse, OrdersByBytes) {
    EXPECT_LT(*Slug::parse("a"), *Slug::parse("a-b"));
    EXPECT_LT(*Slug::parse("a-b"), *Slug::parse("ab"));
    EXPECT_LT(*Slug::parse("9"), *Slug::parse("a"));
    EXPECT_EQ(*Slug::parse("vask"), *Slug::parse("vask"));
}

// Each row: the input and the parser's message, or kOk when it must be accepted.
TEST(UuidParse, KnownMessages) {
    const std::string kOk = "ok";
    const std::string kBadCharacter =
        "invalid character: expected an optional prefix of `urn:uuid:` followed by "
        "[0-9a-fA-F-], found `";
    struct Row {
        std::string input;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"67e55044-10b1-426f-9247-bb680e5fe0c8", kOk},
        {"67E55044-10B1-426F-9247-BB680E5FE0C8", kOk},
        {"67e5504410b1426f9247bb680e5fe0c8", kOk},
        {"{67e55044-10b1-426f-9247-bb680e5fe0c8}", kOk},
        {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8", kOk},
        {"", "invalid length: expected length 32 for simple format, found 0"},
        {"67e55044", "invalid length: expected length 32 for simple format, found 8"},
        {"67e5504410b1426f9247bb680e5fe0c8a",
         "invalid length: expected length 32 for simple format, found 33"},
        {"67e5504410b1426f9247bb680e5fe0cg", kBadCharacter + "g` at 32"},
        {"67e55044-10b1-426f-9247-bb680e5fe0cg", kBadCharacter + "g` at 36"},
        {"g7e55044-10b1-426f-9247-bb680e5fe0c8", kBadCharacter + "g` at 1"},
        {"not-a-uuid", kBadCharacter + "n` at 1"},
        {"67e55044_10b1_426f_9247_bb680e5fe0c8", kBadCharacter + "_` at 9"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c8 ", kBadCharacter + " ` at 37"},
        {"67e55044-10b1-426f-9247-bb680e5f\u00e90c8", kBadCharacter + "\u00e9` at 33"},
        {"URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8", kBadCharacter + "U` at 1"},
        {"{67e55044-10b1-426f-9247-bb680e5fe0cg}", kBadCharacter + "g` at 36"},
        {"{67e55044-10b1-426f-9247-bb680e5fe0c8", kBadCharacter + "{` at 1"},
        {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0cg", kBadCharacter + "g` at 36"},
        {"67e55044-10b1-426f-9247", "invalid group count: expected 5, found 4"},
        {"67e55044-10b1-426f-9247-bb68-0e5fe0c8", "invalid group count: expected 5, found 6"},
        {"67e5504410b1426f9247bb680e5fe0c8-", "invalid group count: expected 5, found 2"},
        {"{67e5504410b1426f9247bb680e5fe0c8}", "invalid group count: expected 5, found 1"},
        {"urn:uuid:67e5504410b1426f9247bb680e5fe0c8", "invalid group count: expected 5, found 1"},
        {"{}", "invalid group count: expected 5, found 1"},
        {"67e5504-410b1-426f-9247-bb680e5fe0c8",
         "invalid group length in group 0: expected 8, found 7"},
        {"67e55044-10b-1426f-9247-bb680e5fe0c8",
         "invalid group length in group 1: expected 4, found 3"},
        {"67e55044-10b1-426f9-247-bb680e5fe0c8",
         "invalid group length in group 2: expected 4, found 5"},
        {"67e55044-10b1-426f-92477-bb680e5fe0c",
         "invalid group length in group 3: expected 4, found 5"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c",
         "invalid group length in group 4: expected 12, found 11"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c8a",
         "invalid group length in group 4: expected 12, found 13"},
        {"{67e55044-10b1-426f-9247-bb680e5fe0c}",
         "invalid group length in group 4: expected 12, found 13"},
        {"{67e55044-10b1-426f-9247-bb680e5fe0c8a}",
         "invalid group length in group 4: expected 12, found 15"},
        {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c",
         "invalid group length in group 4: expected 12, found 20"},
    };
    for (const auto& row : rows) {
        const auto result = parse_uuid_text(row.input);
        if (row.expected == kOk) {
            ASSERT_TRUE(result) << row.input << ": " << result.error().display();
            EXPECT_EQ(result->to_string(), kSample) << row.input;
        } else {
            ASSERT_FALSE(result) << row.input;
            EXPECT_EQ(result.error().display(), row.expected) << row.input;
        }
    }
}

TEST(UuidParse, ContractErrorCarriesParserMessage) {
    const auto r = Uuid::parse("67e55044");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ContractError::Kind::Validation);
    EXPECT_EQ(r.error().display(),
              "validation failed: UUID parsing failed: invalid length: expected length 32 for "
              "simple format, found 8");
}

TEST(UuidParse, BytesFollowTheText) {
    const auto uuid = Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
    ASSERT_TRUE(uuid);
    const Uuid::Bytes expected = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                  0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    EXPECT_EQ(uuid->bytes(), expected);
    EXPECT_EQ(uuid->to_string(), "00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_EQ(Uuid().to_string(), "00000000-0000-0000-0000-000000000000");
    EXPECT_LT(Uuid(), *uuid);
    // A byte that is not UTF-8 still yields a text message.
    EXPECT_EQ(parse_uuid_text("\xff").error().display(),
              "invalid character: expected an optional prefix of `urn:uuid:` followed by "
              "[0-9a-fA-F-], found `\uFFFD` at 1");
}

TEST(UuidNewV4, SetsVersionAndVariantAndDiffers) {
    std::set<Uuid> seen;
    for (int i = 0; i < 64; ++i) {
        const Uuid uuid = Uuid::new_v4();
        const std::string text = uuid.to_string();
        ASSERT_EQ(text.size(), 36U);
        EXPECT_EQ(text[14], '4') << text;
        EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
        EXPECT_EQ(*Uuid::parse(text), uuid);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 64U);
}

TEST(DeviceIdForms, DebugShowsOnlyEightCharacters) {
    const auto id = DeviceId::parse(kSample);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->to_string(), kSample);
    EXPECT_EQ(id->debug(), "DeviceId(67e55044\u2026)");

    for (int i = 0; i < 16; ++i) {
        const DeviceId fresh = DeviceId::new_random();
        const std::string text = fresh.to_string();
        const std::string debug = fresh.debug();
        EXPECT_EQ(debug, "DeviceId(" + text.substr(0, 8) + "\u2026)");
        EXPECT_EQ(debug.find(text.substr(8)), std::string::npos);
    }
    EXPECT_NE(DeviceId::new_random(), DeviceId::new_random());
    EXPECT_EQ(DeviceId::parse("x").error().display(),
              "validation failed: UUID parsing failed: invalid character: expected an optional "
              "prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `x` at 1");
}

// A refusal says what was wrong in fields, not only in its text.
TEST(UuidText, RefusalsCarryTheirKindAndNumbers) {
    using Kind = zdz::contracts::UuidError::Kind;
    const auto group = parse_uuid_text("67e5504-410b1-426f-9247-bb680e5fe0c8").error();
    EXPECT_EQ(group.kind, Kind::InvalidGroupLength);
    EXPECT_EQ(group.group, 0u);
    EXPECT_EQ(group.expected, 8u);
    EXPECT_EQ(group.found, 7u);
    const auto count = parse_uuid_text("67e55044-10b1-426f-9247bb680e5fe0c8").error();
    EXPECT_EQ(count.kind, Kind::InvalidGroupCount);
    EXPECT_EQ(count.found, 4u);
    const auto length = parse_uuid_text("67e5504410b1").error();
    EXPECT_EQ(length.kind, Kind::InvalidLength);
    EXPECT_EQ(length.found, 12u);
    const auto character = parse_uuid_text("67e5504g").error();
    EXPECT_EQ(character.kind, Kind::InvalidCharacter);
    EXPECT_EQ(character.shown, "g");
    EXPECT_EQ(character.position, 8u);
}
