#include "store/kdf.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/hex.hpp"
#include "json/record.hpp"
#include "json/writer.hpp"
#include "support/run.hpp"
#include "support/sanitizers.hpp"

using zdz::contracts::ContractError;
using zdz::store::derive_kek;
using zdz::store::KdfParams;

namespace {

std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

const std::vector<std::uint8_t> kSalt16 = bytes_of("0123456789abcdef");

// The cheapest parameters the floors allow, so accepted cases derive quickly.
KdfParams floor_params() {
    return KdfParams{"argon2id", 8192, 1, 1};
}

std::string derive_hex(const std::string& passphrase, const std::string& salt,
                       const KdfParams& params) {
    auto kek = derive_kek(bytes_of(passphrase), bytes_of(salt), params);
    EXPECT_TRUE(kek) << (kek ? "" : kek.error().display());
    return kek ? zdz::encoding::hex_encode(kek->bytes()) : "";
}

// The independent Argon2 command-line tool; its -m takes log2 of the KiB.
std::string argon2_tool_hex(const std::string& passphrase, const std::string& salt,
                            unsigned log2_kib, std::uint32_t t_cost, std::uint32_t lanes) {
    zdz::test::RunOptions options;
    options.stdin_data = passphrase;
    auto result = zdz::test::run_tool(
        {"argon2", salt, "-id", "-v", "13", "-m", std::to_string(log2_kib), "-t",
         std::to_string(t_cost), "-p", std::to_string(lanes), "-l", "32", "-r"},
        options);
    EXPECT_EQ(result.status, 0) << result.err;
    std::string out = result.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

}  // namespace

TEST(KdfParams, KeygenDefault) {
    EXPECT_EQ(KdfParams::keygen_default(), (KdfParams{"argon2id", 131072, 3, 4}));
}

TEST(KdfParams, JsonWrittenInDeclarationOrderAndReadBack) {
    const std::string text = zdz::store::write_kdf_params_json(KdfParams::keygen_default());
    EXPECT_EQ(text,
              "{\n  \"algorithm\": \"argon2id\",\n  \"m_cost_kib\": 131072,\n  \"t_cost\": 3,\n"
              "  \"parallelism\": 4\n}");
    EXPECT_EQ(zdz::store::read_kdf_params_json(text), KdfParams::keygen_default());
    // Members in any order; the algorithm is read as it is and judged on use.
    EXPECT_EQ(zdz::store::read_kdf_params_json(
                  R"({"parallelism":0,"t_cost":4294967295,"m_cost_kib":0,"algorithm":"Argon2i"})"),
              (KdfParams{"Argon2i", 0, 4294967295U, 0}));
}

TEST(KdfParams, JsonReadingIsStrict) {
    const auto error = [](const std::string& text) {
        auto r = zdz::store::read_kdf_params_json(text);
        EXPECT_FALSE(r) << text;
        return r ? std::string() : r.error().display();
    };
    const std::string all =
        R"("algorithm":"argon2id","m_cost_kib":8192,"t_cost":1,"parallelism":1)";
    EXPECT_EQ(error(R"({"algorithm":"argon2id","m_cost_kib":1,"t_cost":1})"),
              "missing field `parallelism` at line 1 column 50");
    EXPECT_EQ(error("{" + all + R"(,"salt":1})"),
              "unknown field `salt`, expected one of `algorithm`, `m_cost_kib`, `t_cost`, "
              "`parallelism` at line 1 column 75");
    EXPECT_EQ(error(R"({"t_cost":1,"t_cost":2})"), "duplicate field `t_cost` at line 1 column 20");
    EXPECT_EQ(error(R"({"m_cost_kib":4294967296})"),
              "invalid value: integer `4294967296`, expected u32 at line 1 column 24");
    EXPECT_EQ(error(R"({"t_cost":-1})"),
              "invalid value: integer `-1`, expected u32 at line 1 column 12");
    EXPECT_EQ(error(R"({"t_cost":1.0})"),
              "invalid type: floating point `1.0`, expected u32 at line 1 column 13");
    EXPECT_EQ(error(R"({"algorithm":3})"),
              "invalid type: integer `3`, expected a string at line 1 column 14");
    EXPECT_EQ(error(R"("x")"),
              "invalid type: string \"x\", expected struct KdfParams at line 1 column 3");
    EXPECT_EQ(error("{" + all + "}x"), "trailing characters at line 1 column 70");
}

TEST(DeriveKek, ChecksRunInOrderAndFirstFailureWins) {
    struct Costs {
        std::string_view algorithm;
        std::uint32_t m_cost_kib;
        std::uint32_t t_cost;
        std::uint32_t parallelism;
        std::size_t salt_size;
    };
    // Each outcome with the parameters that meet it; an empty text: the
    // derivation succeeds. Limits that would be costly to derive with are
    // shown to pass their own check by a short salt, which is checked last.
    const std::vector<std::pair<std::string, std::vector<Costs>>> outcomes = {
        {"",
         {{"argon2id", 8192, 1, 1, 16},
          {"argon2id", 8192, 1, 16, 16},
          {"argon2id", 8192, 1, 1, 1000}}},
        {"unknown or rejected algorithm: Argon2id", {{"Argon2id", 0, 0, 0, 16}}},
        {"unknown or rejected algorithm: argon2i", {{"argon2i", 8192, 1, 1, 16}}},
        {"unknown or rejected algorithm: argon2id ", {{"argon2id ", 8192, 1, 1, 16}}},
        {"unknown or rejected algorithm: ", {{"", 8192, 1, 1, 16}}},
        {"validation failed: argon2id memory cost below the safe floor (8 MiB)",
         {{"argon2id", 8191, 1, 1, 16}, {"argon2id", 0, 0, 1, 0}}},
        {"validation failed: argon2id iteration or parallelism cost below the floor",
         {{"argon2id", 8192, 0, 1, 16},
          {"argon2id", 8192, 1, 0, 16},
          {"argon2id", 1048577, 0, 17, 16}}},
        {"validation failed: argon2id memory cost above the safe ceiling (1 GiB)",
         {{"argon2id", 1048577, 1, 1, 16}, {"argon2id", 1048577, 17, 17, 0}}},
        {"validation failed: argon2id iteration or parallelism cost above the safe ceiling",
         {{"argon2id", 8192, 17, 1, 16}, {"argon2id", 8192, 1, 17, 0}}},
        {"validation failed: kdf salt must be at least 16 bytes, got 15",
         {{"argon2id", 1048576, 16, 16, 15}}},
        {"validation failed: kdf salt must be at least 16 bytes, got 0",
         {{"argon2id", 8192, 1, 1, 0}}},
    };
    for (const auto& [expected, costs] : outcomes) {
        for (const auto& c : costs) {
            const KdfParams params{std::string(c.algorithm), c.m_cost_kib, c.t_cost, c.parallelism};
            const std::vector<std::uint8_t> salt(c.salt_size, 0x5a);
            auto kek = derive_kek(bytes_of("passphrase"), salt, params);
            const std::string label = params.algorithm + " m=" + std::to_string(params.m_cost_kib) +
                                      " t=" + std::to_string(params.t_cost) +
                                      " p=" + std::to_string(params.parallelism) +
                                      " salt=" + std::to_string(c.salt_size);
            if (expected.empty()) {
                ASSERT_TRUE(kek) << label << ": " << kek.error().display();
                EXPECT_EQ(kek->size(), 32U) << label;
            } else {
                ASSERT_FALSE(kek) << label;
                EXPECT_EQ(kek.error().display(), expected) << label;
            }
            // The check of the costs alone agrees with the derivation on every
            // refusal but the salt's.
            const auto usable = check_kdf_params(params);
            const bool salt_refusal = expected.find("kdf salt") != std::string::npos;
            if (expected.empty() || salt_refusal) {
                EXPECT_TRUE(usable) << label << ": " << usable.error().display();
            } else {
                ASSERT_FALSE(usable) << label;
                EXPECT_EQ(usable.error().display(), expected) << label;
            }
        }
    }
    auto unknown = derive_kek({}, kSalt16, KdfParams{"scrypt", 8192, 1, 1});
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error(), ContractError::unsupported_algorithm("scrypt"));
}

TEST(DeriveKek, MatchesTheArgon2CommandLineTool) {
    struct Case {
        std::string_view passphrase;
        std::string_view salt;
        unsigned log2_kib;
        std::uint32_t t_cost;
        std::uint32_t lanes;
    };
    // The passphrase is raw bytes: a trailing newline and non-ASCII bytes are kept.
    const Case cases[] = {
        {"correct horse battery staple", "zdz-known-salt-01", 13, 1, 1},
        {"correct horse battery staple", "zdz-known-salt-01", 13, 2, 4},
        {"p\xc3\xa4ssw\xc3\xb6rd\n", "another salt of 27 bytes..", 13, 3, 4},
        {"x", "sixteen-byte-slt", 14, 1, 16},
    };
    for (const auto& c : cases) {
        const KdfParams params{"argon2id", 1U << c.log2_kib, c.t_cost, c.lanes};
        const std::string passphrase(c.passphrase);
        const std::string salt(c.salt);
        const std::string expected =
            argon2_tool_hex(passphrase, salt, c.log2_kib, c.t_cost, c.lanes);
        EXPECT_EQ(expected.size(), 64U);
        EXPECT_EQ(derive_hex(passphrase, salt, params), expected)
            << "m=2^" << c.log2_kib << " t=" << c.t_cost << " p=" << c.lanes;
    }
}

TEST(DeriveKek, DeterministicAndSensitiveToEveryInput) {
    const std::string salt(16, 's');
    const std::string base = derive_hex("pass", salt, floor_params());
    EXPECT_EQ(derive_hex("pass", salt, floor_params()), base);

    KdfParams more_memory = floor_params();
    more_memory.m_cost_kib = 8196;
    KdfParams more_passes = floor_params();
    more_passes.t_cost = 2;
    KdfParams more_lanes = floor_params();
    more_lanes.parallelism = 2;
    const std::vector<std::string> variants = {
        derive_hex("pasS", salt, floor_params()),
        derive_hex("pass", std::string(15, 's') + "t", floor_params()),
        derive_hex("pass", salt, more_memory),
        derive_hex("pass", salt, more_passes),
        derive_hex("pass", salt, more_lanes),
        derive_hex("", salt, floor_params()),
    };
    for (const auto& v : variants) {
        EXPECT_EQ(v.size(), 64U);
        EXPECT_NE(v, base);
    }
    EXPECT_NE(derive_hex("", salt, floor_params()),
              derive_hex(std::string(1, '\0'), salt, floor_params()));
}

TEST(DeriveKek, Argon2FailureIsAnEncryptionError) {
#ifdef ZDZ_ADDRESS_SANITIZER
    GTEST_SKIP() << "the sanitizer runtime cannot run under an address-space limit";
#else
    // A child process whose address space cannot hold the 1 GiB the
    // parameters ask for: Argon2 reports the allocation failure.
    const int status = zdz::test::exit_status_under_address_limit(64U << 20, [] {
        auto kek = derive_kek(bytes_of("pass"), kSalt16, KdfParams{"argon2id", 1048576, 1, 1});
        if (kek) {
            return 1;
        }
        return kek.error() == ContractError::encryption() ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << "1: derived, 2: other error, 3: setrlimit failed";
#endif
}
