#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "contracts/content_hash.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "json/fields.hpp"
#include "json/reader.hpp"
#include "json/record.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"
#include "support/run.hpp"
#include "support/sanitizers.hpp"

using namespace zdz::contracts;
using namespace zdz::json;

namespace {

// ---- small records shaped like the system's own ------------------------------

enum class Algorithm { Argon2id };
enum class Kind { Install, OtaUpdate };

constexpr std::array<std::pair<std::string_view, Algorithm>, 1> kArgon2id{{
    {"argon2id", Algorithm::Argon2id},
}};
constexpr std::array<std::pair<std::string_view, Algorithm>, 1> kXChaCha{{
    {"xchacha20-poly1305", Algorithm::Argon2id},
}};
constexpr std::array<std::pair<std::string_view, Kind>, 2> kKinds{{
    {"install", Kind::Install},
    {"ota_update", Kind::OtaUpdate},
}};

struct Kdf {
    Algorithm algorithm{};
    std::uint32_t m_cost_kib = 0;
    std::uint32_t t_cost = 0;
    std::uint32_t parallelism = 0;
};
constexpr auto describe(Type<Kdf>) {
    return record<Kdf>("KdfParams", required("algorithm", &Kdf::algorithm, variant(kArgon2id)),
                       required("m_cost_kib", &Kdf::m_cost_kib, u32),
                       required("t_cost", &Kdf::t_cost, u32),
                       required("parallelism", &Kdf::parallelism, u32));
}

struct Envelope {
    Algorithm algorithm{};
    std::vector<std::uint8_t> nonce;
};
constexpr auto describe(Type<Envelope>) {
    return record<Envelope>("EncryptedEnvelope",
                            required("algorithm", &Envelope::algorithm, variant(kXChaCha)),
                            required("nonce", &Envelope::nonce, sequence(u8)));
}

struct Keystore {
    std::uint32_t format_version = 0;
    Uuid key_id;
    std::string verifying_key_hex;
    Timestamp created_at;
    Kdf kdf;
    std::string salt_hex;
    Envelope envelope;
};
constexpr auto describe(Type<Keystore>) {
    using R = Keystore;
    return record<R>(
        "SealedSigningKey", required("format_version", &R::format_version, u32),
        required("key_id", &R::key_id, uuid),
        required("verifying_key_hex", &R::verifying_key_hex, plain_text),
        required("created_at", &R::created_at, timestamp), required("kdf", &R::kdf, nested),
        required("salt_hex", &R::salt_hex, plain_text), required("envelope", &R::envelope, nested));
}

struct ManifestBody {
    Kind image_kind{};
    Timestamp issued_at;
};
constexpr auto describe(Type<ManifestBody>) {
    return record<ManifestBody>("ImageManifestBody",
                                required("image_kind", &ManifestBody::image_kind, variant(kKinds)),
                                required("issued_at", &ManifestBody::issued_at, timestamp));
}

struct Manifest {
    ManifestBody body;
    std::string signature;
};
constexpr auto describe(Type<Manifest>) {
    return record<Manifest>("UnverifiedImageManifest", required("body", &Manifest::body, nested),
                            required("signature", &Manifest::signature, plain_text));
}

// A member name as a template argument.
template <std::size_t N>
struct Name {
    char text[N]{};
    constexpr Name(const char (&name)[N]) { std::copy_n(name, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// The codec of a one-member record, as a type.
struct U16 {
    static constexpr auto codec = u16;
};
struct U32 {
    static constexpr auto codec = u32;
};
struct Text {
    static constexpr auto codec = plain_text;
};
struct KindText {
    static constexpr auto codec = variant(kKinds);
};
struct UuidText {
    static constexpr auto codec = uuid;
};
struct TimestampText {
    static constexpr auto codec = timestamp;
};

// A record of one member `N` read by `C::codec`.
template <class T, Name N, class C>
struct Single {
    T value{};
};
template <class T, Name N, class C>
constexpr auto describe(Type<Single<T, N, C>>) {
    return record<Single<T, N, C>>("Single", required(N.view(), &Single<T, N, C>::value, C::codec));
}

// A record whose two members may both be absent.
struct Two {
    std::optional<std::uint32_t> first;
    std::optional<std::uint32_t> second;
};
constexpr auto describe(Type<Two>) {
    return record<Two>("Two", optional("first", &Two::first, u32),
                       optional("second", &Two::second, u32));
}

struct Pair {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
};
constexpr auto describe(Type<Pair>) {
    return record<Pair>("Pair", required("a", &Pair::a, u32), required("b", &Pair::b, u32));
}

struct Optionals {
    std::optional<std::string> expires_at;
    std::vector<std::uint8_t> associated_data;
};
constexpr auto describe(Type<Optionals>) {
    return record<Optionals>(
        "Envelope", optional("expires_at", &Optionals::expires_at, plain_text),
        defaulted("associated_data", &Optionals::associated_data, sequence(u8)));
}

const auto hash_list = sequence(content_hash);

// What reading a document as R says: "ok" or the refusal.
template <class R>
std::string outcome(std::string_view text) {
    auto r = read_record<R>(text);
    return r ? "ok" : r.error().display();
}

// The same for a document that is a list of content hashes.
std::string hashes_outcome(std::string_view text) {
    auto r = read_document<std::vector<ContentHash>>(text, hash_list);
    return r ? "ok" : r.error().display();
}

template <class R>
std::optional<DocumentError> error_of(std::string_view text) {
    auto r = read_record<R>(text);
    return r ? std::nullopt : std::optional<DocumentError>(r.error());
}

using Read = std::function<std::string(std::string_view)>;

template <class R>
Read reader() {
    return outcome<R>;
}

// A document and what a reader says of it ("ok" or the refusal).
struct Case {
    std::string text;
    std::string message;
};

void expect_outcomes(const Read& read, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.text), c.message) << c.text;
    }
}

const std::string kKeystoreNames =
    "one of `format_version`, `key_id`, `verifying_key_hex`, `created_at`, `kdf`, `salt_hex`, "
    "`envelope`";
const std::string kHash = "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A keystore laid out as the system writes it; line numbers below refer to it.
std::string pretty_keystore() {
    return "{\n"                                                        // 1
           "  \"format_version\": 1,\n"                                 // 2
           "  \"key_id\": \"67e55044-10b1-426f-9247-bb680e5fe0c8\",\n"  // 3
           "  \"verifying_key_hex\": \"ab\",\n"                         // 4
           "  \"created_at\": \"2026-07-15T08:00:00Z\",\n"              // 5
           "  \"kdf\": {\n"                                             // 6
           "    \"algorithm\": \"argon2id\",\n"                         // 7
           "    \"m_cost_kib\": 131072,\n"                              // 8
           "    \"t_cost\": 3,\n"                                       // 9
           "    \"parallelism\": 4\n"                                   // 10
           "  },\n"                                                     // 11
           "  \"salt_hex\": \"cd\",\n"                                  // 12
           "  \"envelope\": {\n"                                        // 13
           "    \"algorithm\": \"xchacha20-poly1305\",\n"               // 14
           "    \"nonce\": [\n"                                         // 15
           "      1,\n"                                                 // 16
           "      2\n"                                                  // 17
           "    ]\n"                                                    // 18
           "  }\n"                                                      // 19
           "}";                                                         // 20
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

}  // namespace

TEST(JsonReaderMessages, SyntaxAndEndOfInput) {
    expect_outcomes(
        reader<Keystore>(),
        {
            {"", "EOF while parsing a value at line 1 column 0"},
            {"  \n ", "EOF while parsing a value at line 2 column 1"},
            {"{", "EOF while parsing an object at line 1 column 1"},
            {"{\"format_version\":1", "EOF while parsing an object at line 1 column 19"},
            {"{\"format_version\":1,", "EOF while parsing a value at line 1 column 20"},
            {"{\"form", "EOF while parsing a string at line 1 column 6"},
            {"{\"format_version\":1]", "expected `,` or `}` at line 1 column 20"},
            {"{\"format_version\":12ab}", "expected `,` or `}` at line 1 column 21"},
            {"{\"format_version\":}", "expected value at line 1 column 19"},
            {"{\"format_version\":+1}", "expected value at line 1 column 19"},
            {"{\"format_version\": tru}", "expected ident at line 1 column 23"},
            {"{\"format_version\":nul}", "expected ident at line 1 column 22"},
            {"{\"format_version\": 01}", "invalid number at line 1 column 21"},
            {"{\"format_version\":1.}", "invalid number at line 1 column 21"},
            {"{'a': 1}", "key must be a string at line 1 column 2"},
            {"{\"key_id\": \"\\x\"}", "invalid escape at line 1 column 14"},
            {"{\"format_version\": 1, \"key_id\": \"a\tb\"}",
             "control character (\\u0000-\\u001F) found while parsing a string at line 1 column "
             "35"},
            {"{\"k\\u12G4\":1}", "invalid escape at line 1 column 9"},
            {"{\"key_id\": \"\\ud800\"}", "unexpected end of hex escape at line 1 column 19"},
            {"{\"key_id\":\"\\udc00\"}",
             "lone leading surrogate in hex escape at line 1 column 17"},
            {"{\"key_id\":\"\\ud800\\u0041\"}",
             "lone leading surrogate in hex escape at line 1 column 23"},
            {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        });
}

TEST(JsonReaderMessages, RecordLevelCompact) {
    // Each reader with the documents it is given and what it says of them.
    const std::vector<std::pair<Read, std::vector<Case>>> readers = {
        {reader<Keystore>(),
         {
             {"{}", "missing field `format_version` at line 1 column 2"},
             {"{\"format_version\":1}", "missing field `key_id` at line 1 column 20"},
             {"{\"format_version\":1}\n", "missing field `key_id` at line 1 column 20"},
             {"{\"zzz\": 1, \"format_version\": 1}",
              "unknown field `zzz`, expected " + kKeystoreNames + " at line 1 column 6"},
             {"{\"format_version\":1,\"zzz\":1}",
              "unknown field `zzz`, expected " + kKeystoreNames + " at line 1 column 25"},
             {"{\"format_version\":1,\"zzz\" : 1}",
              "unknown field `zzz`, expected " + kKeystoreNames + " at line 1 column 26"},
             {"{\"k\xC3\xA9y\": 1}",
              "unknown field `k\xC3\xA9y`, expected " + kKeystoreNames + " at line 1 column 7"},
             // The key is judged before the syntax error after its value is met.
             {"{\"a\":1 \"b\":2}",
              "unknown field `a`, expected " + kKeystoreNames + " at line 1 column 4"},
             {"{\"format_version\":1,\"format_version\":2}",
              "duplicate field `format_version` at line 1 column 36"},
         }},
        {reader<Kdf>(),
         {{"{\"algorithm\":\"argon2id\",\"m_cost_kib\":1,\"t_cost\":1}",
           "missing field `parallelism` at line 1 column 50"}}},
        {reader<Single<std::uint32_t, "only", U32>>(),
         {{"{\"x\":1}", "unknown field `x`, expected `only` at line 1 column 4"}}},
        {reader<Two>(),
         {{"{\"x\":1}", "unknown field `x`, expected `first` or `second` at line 1 column 4"}}},
        {reader<Single<std::uint32_t, "u", U32>>(),
         {
             {"{\"u\":\"3\"}", "invalid type: string \"3\", expected u32 at line 1 column 8"},
             {"{\"u\":\"a\\\"b\\n\"}",
              "invalid type: string \"a\\\"b\\n\", expected u32 at line 1 column 13"},
             {"{\"u\":1.0}", "invalid type: floating point `1.0`, expected u32 at line 1 column 8"},
             {"{\"u\":1e3}",
              "invalid type: floating point `1000.0`, expected u32 at line 1 column 8"},
             {"{\"u\":4294967296}",
              "invalid value: integer `4294967296`, expected u32 at line 1 column 15"},
             {"{\"u\":-1}", "invalid value: integer `-1`, expected u32 at line 1 column 7"},
             {"{\"u\":1E400}", "number out of range at line 1 column 10"},
         }},
        {reader<Single<std::string, "s", Text>>(),
         {
             {"{\"s\":3}", "invalid type: integer `3`, expected a string at line 1 column 6"},
             {"{\"s\":null}", "invalid type: null, expected a string at line 1 column 9"},
             {"{\"s\":{}}", "invalid type: map, expected a string at line 1 column 5"},
             {"{\"s\":[]}", "invalid type: sequence, expected a string at line 1 column 5"},
         }},
        {reader<Single<std::uint16_t, "x", U16>>(),
         {{"{\"x\":70000}", "invalid value: integer `70000`, expected u16 at line 1 column 10"}}},
        {reader<Single<Kind, "k", KindText>>(),
         {{"{\"k\":\"Install\"}",
           "unknown variant `Install`, expected `install` or `ota_update` at line 1 column 14"}}},
        {reader<Single<Uuid, "id", UuidText>>(),
         {
             {"{\"id\":7}", "invalid type: integer `7`, expected a UUID string at line 1 column 7"},
             {"{\"id\":[1,2]}",
              "invalid type: sequence, expected a UUID string at line 1 column 6"},
         }},
        {reader<Single<Timestamp, "created_at", TimestampText>>(),
         {{"{\"created_at\":\"x\"}",
           "validation failed: invalid RFC 3339 timestamp \"x\": the 'year' component could not "
           "be parsed at line 1 column 18"}}},
        {hashes_outcome,
         {
             {"[\"x\",\"" + kHash + "\"]",
              "validation failed: content hash must be 'algorithm:hex', got \"x\" at line 1 "
              "column 5"},
             {"[\"x\" , \"" + kHash + "\"]",
              "validation failed: content hash must be 'algorithm:hex', got \"x\" at line 1 "
              "column 7"},
             {"[\"sha256:abc\",\"" + kHash + "\"]",
              "validation failed: content hash digest must be 64 hex characters, got 3 at line 1 "
              "column 14"},
             {"[\"md5:00\"]", "unknown or rejected algorithm: md5 at line 1 column 10"},
         }},
    };
    for (const auto& [read, cases] : readers) {
        expect_outcomes(read, cases);
    }
}

TEST(JsonReaderMessages, PrettyKeystorePositions) {
    const auto doc = pretty_keystore();
    ASSERT_EQ(outcome<Keystore>(doc), "ok");
    EXPECT_EQ(outcome<Keystore>(doc + "x"), "trailing characters at line 20 column 2");
    EXPECT_EQ(outcome<Keystore>(doc + "\n \t\r\n"), "ok");

    const auto without_key_id =
        replaced(doc, "  \"key_id\": \"67e55044-10b1-426f-9247-bb680e5fe0c8\",\n", "");
    EXPECT_EQ(outcome<Keystore>(without_key_id), "missing field `key_id` at line 19 column 1");
    EXPECT_EQ(outcome<Keystore>(without_key_id + "\n"),
              "missing field `key_id` at line 19 column 1");
    // Edits of the document and what the reader then says, by line and column.
    struct Edit {
        std::string from;
        std::string to;
        std::string message;
    };
    const std::vector<Edit> edits = {
        {"    \"t_cost\": 3,\n", "", "missing field `t_cost` at line 10 column 3"},
        {"\"parallelism\": 4\n", "\"parallelism\": 4,\n    \"salt\": 1\n",
         "unknown field `salt`, expected one of `algorithm`, `m_cost_kib`, `t_cost`, "
         "`parallelism` at line 11 column 10"},
        {"  \"salt_hex\"", "  \"key_id\": \"x\",\n  \"salt_hex\"",
         "duplicate field `key_id` at line 12 column 10"},
        {"e0c8\"", "e0cg\"",
         "UUID parsing failed: invalid character: expected an optional prefix of "
         "`urn:uuid:` followed by [0-9a-fA-F-], found `g` at 36 at line 3 column 50"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c8", "67e55044",
         "UUID parsing failed: invalid length: expected length 32 for simple format, found "
         "8 at line 3 column 22"},
        {"2026-07-15T08:00:00Z", "2026-07-15 08:00:00Z",
         "validation failed: invalid RFC 3339 timestamp \"2026-07-15 08:00:00Z\": a "
         "character literal was not valid at line 5 column 38"},
        {"xchacha20-poly1305", "aes-gcm",
         "unknown variant `aes-gcm`, expected `xchacha20-poly1305` at line 14 column 26"},
        {"131072", "4294967296",
         "invalid value: integer `4294967296`, expected u32 at line 8 column 28"},
        {"131072", "\"8\"", "invalid type: string \"8\", expected u32 at line 8 column 21"},
        {"131072", "[]", "invalid type: sequence, expected u32 at line 8 column 18"},
        {"\"kdf\": {", "\"kdf\": \"x\", \"y\": {",
         "invalid type: string \"x\", expected struct KdfParams at line 6 column 12"},
        {"      2\n", "      256\n",
         "invalid value: integer `256`, expected u8 at line 17 column 9"},
        {"\"parallelism\": 4\n", "\"parallelism\": 4,\n", "trailing comma at line 11 column 3"},
        {"\"salt_hex\":", "\"salt_hex\"", "expected `:` at line 12 column 14"},
    };
    for (const auto& e : edits) {
        EXPECT_EQ(outcome<Keystore>(replaced(doc, e.from, e.to)), e.message) << e.to;
    }
}

TEST(JsonReaderMessages, PrettyManifestPositions) {
    const std::string doc =
        "{\n"
        "  \"body\": {\n"
        "    \"image_kind\": \"install\",\n"
        "    \"issued_at\": \"2026-07-15T08:00:00Z\"\n"
        "  },\n"
        "  \"signature\": \"00\"\n"
        "}";
    ASSERT_EQ(outcome<Manifest>(doc), "ok");
    EXPECT_EQ(outcome<Manifest>(replaced(doc, "\"install\"", "\"update\"")),
              "unknown variant `update`, expected `install` or `ota_update` at line 3 column 26");
    EXPECT_EQ(outcome<Manifest>(replaced(doc, "08:00:00Z", "08:00:00")),
              "validation failed: invalid RFC 3339 timestamp \"2026-07-15T08:00:00\": the 'offset "
              "hour' component could not be parsed at line 5 column 3");
    EXPECT_EQ(outcome<Manifest>(replaced(doc, "\"00\"\n", "\"00\",\n  \"extra\": 1\n")),
              "unknown field `extra`, expected `body` or `signature` at line 7 column 9");
    EXPECT_EQ(hashes_outcome("[\n  \"x\",\n  \"" + kHash + "\"\n]"),
              "validation failed: content hash must be 'algorithm:hex', got \"x\" at line 3 "
              "column 2");
    EXPECT_EQ(hashes_outcome("[\n  \"" + kHash + "\",\n  \"x\"\n]"),
              "validation failed: content hash must be 'algorithm:hex', got \"x\" at line 4 "
              "column 1");
}

// What the tree reader says of a document: "ok" or its fault.
std::string tree_outcome(std::string_view text) {
    auto r = read_json(text);
    return r ? std::string("ok") : r.error().display();
}

TEST(JsonReader, MoreSyntaxPositions) {
    const auto message = tree_outcome;
    EXPECT_EQ(message("[1,]"), "trailing comma at line 1 column 4");
    EXPECT_EQ(message("{\"a\":1 , }"), "trailing comma at line 1 column 10");
    EXPECT_EQ(message("["), "EOF while parsing a list at line 1 column 1");
    EXPECT_EQ(message("[1"), "EOF while parsing a list at line 1 column 2");
    EXPECT_EQ(message("[1,"), "EOF while parsing a value at line 1 column 3");
    EXPECT_EQ(message("[tr"), "EOF while parsing a value at line 1 column 3");
    EXPECT_EQ(message("[1 2]"), "expected `,` or `]` at line 1 column 4");
    EXPECT_EQ(message("[-x]"), "invalid number at line 1 column 3");
    EXPECT_EQ(message("[1e+]"), "invalid number at line 1 column 5");
    EXPECT_EQ(message("01"), "invalid number at line 1 column 2");
    EXPECT_EQ(message("[1e999]"), "number out of range at line 1 column 6");
    EXPECT_EQ(message("[10e308]"), "number out of range at line 1 column 7");
    EXPECT_EQ(message("{\"a\" 1}"), "expected `:` at line 1 column 6");
    EXPECT_EQ(message("{\"a\":1,2}"), "key must be a string at line 1 column 8");
    EXPECT_EQ(message("{} {}"), "trailing characters at line 1 column 4");
    EXPECT_EQ(message("\"a\nb\""),
              "control character (\\u0000-\\u001F) found while parsing a "
              "string at line 2 column 0");
    EXPECT_EQ(message(std::string("[\"a\0\"]", 6)),
              "control character (\\u0000-\\u001F) found "
              "while parsing a string at line 1 column 4");
    EXPECT_EQ(message(std::string("[1]\0", 4)), "trailing characters at line 1 column 4");
    EXPECT_EQ(message("[\"\\u12\"]"), "invalid escape at line 1 column 8");
    EXPECT_EQ(message("[\"\\u12"), "EOF while parsing a string at line 1 column 6");
    EXPECT_EQ(message("[\"\\ud800\\x\"]"), "unexpected end of hex escape at line 1 column 10");
    EXPECT_EQ(message("[\"\\udc00\\x\"]"),
              "lone leading surrogate in hex escape at line 1 column 8");
    EXPECT_EQ(message("[\"\xC3\"]"), "invalid unicode code point at line 1 column 3");
    EXPECT_EQ(message("\r\n[x]"), "expected value at line 2 column 2");

    std::string deep(127, '[');
    deep += std::string(127, ']');
    EXPECT_EQ(message(deep), "ok");
    deep = std::string(128, '[') + std::string(128, ']');
    EXPECT_EQ(message(deep), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonReader, KeepsNumberKindsMembersAndOffsets) {
    const std::string text =
        " {\"b\": 18446744073709551615, \"a\": -9223372036854775808, \"a\": 18446744073709551616,"
        " \"z\": -0, \"s\": \"\\u00e9\\ud83d\\ude00\\/\"}";
    auto v = read_json(text);
    ASSERT_TRUE(v) << v.error().display();
    ASSERT_EQ(v->members().size(), 5U);
    const auto& m = v->members();
    EXPECT_EQ(m[0].key, "b");
    EXPECT_EQ(m[0].value.kind(), JsonKind::Uint);
    EXPECT_EQ(m[0].value.as_uint64(), 18446744073709551615ULL);
    EXPECT_EQ(m[1].value.kind(), JsonKind::Int);
    EXPECT_EQ(m[1].value.as_int64(), INT64_MIN);
    EXPECT_EQ(m[2].key, "a");  // the duplicate stays, in place
    EXPECT_EQ(m[2].value.kind(), JsonKind::Double);
    EXPECT_EQ(m[2].value.as_double(), 18446744073709551616.0);
    EXPECT_EQ(m[3].value.kind(), JsonKind::Double);
    EXPECT_TRUE(std::signbit(m[3].value.as_double()));
    EXPECT_EQ(m[4].value.as_string(), "\xC3\xA9\xF0\x9F\x98\x80/");
}

// The cursor knows where each token stands as it reads it.
TEST(JsonCursor, PlacesEachToken) {
    const std::string text = " {\"b\": 18446744073709551615 , \"s\": [\"\\u00e9\"]}";
    JsonCursor in(text);
    JsonCursor::Next next{};
    bool more = false;
    ASSERT_TRUE(in.value(next));
    EXPECT_EQ(next, JsonCursor::Next::Object);
    EXPECT_EQ(in.value_begin(), 1U);
    ASSERT_TRUE(in.open() && in.next_member(more) && more);
    EXPECT_EQ(in.key(), "b");
    EXPECT_EQ(in.key_end(), text.find("\"b\"") + 3);
    ASSERT_TRUE(in.colon() && in.value(next));
    EXPECT_EQ(in.scalar().kind, JsonKind::Uint);
    EXPECT_EQ(in.scalar().begin, text.find("1844"));
    EXPECT_EQ(in.scalar().end, text.find(" ,"));
    // In an object a refusal of the value waits for the closing brace only.
    EXPECT_EQ(in.settled(in.scalar().end), text.find(" ,") + 1);
    ASSERT_TRUE(in.next_member(more) && more && in.colon() && in.value(next));
    EXPECT_EQ(next, JsonCursor::Next::Array);
    ASSERT_TRUE(in.open() && in.next_item(more) && more && in.value(next));
    EXPECT_EQ(in.scalar().text, "\xC3\xA9");
    EXPECT_EQ(in.scalar().begin, text.find("\"\\u00e9"));
    // In an array it takes the closing bracket.
    EXPECT_EQ(in.settled(in.scalar().end), text.size() - 1);
    ASSERT_TRUE(in.next_item(more) && !more && in.next_member(more) && !more);
    EXPECT_EQ(in.closed_at(), text.size());
    EXPECT_TRUE(in.finish());
}

TEST(JsonRecordReader, ReportsTheFirstProblemInDocumentOrder) {
    expect_outcomes(reader<Pair>(),
                    {
                        // Declared a then b; the document has b first.
                        {"{\"b\":\"x\",\"a\":\"y\"}",
                         "invalid type: string \"x\", expected u32 at line 1 column 8"},
                        // A bad value before a bad key wins, and the other way round.
                        {"{\"a\":\"y\",\"zz\":1}",
                         "invalid type: string \"y\", expected u32 at line 1 column 8"},
                        {"{\"zz\":1,\"a\":\"y\"}",
                         "unknown field `zz`, expected `a` or `b` at line 1 column 5"},
                        // Missing members: the first in declaration order, at the closing
                        // brace.
                        {"{ }", "missing field `a` at line 1 column 3"},
                        // A broken document never reports a missing member of the
                        // cut-short object.
                        {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
                        {"{\"a\":[1,", "invalid type: sequence, expected u32 at line 1 column 5"},
                    });
}

TEST(JsonRecordReader, OptionalMembersAndNull) {
    const auto read = [](std::string_view text) {
        return read_record<Optionals>(text).map([](const Optionals& r) {
            return r.expires_at.value_or("-") + "/" +
                   (r.associated_data.empty() ? "-" : std::to_string(r.associated_data.size()));
        });
    };
    EXPECT_EQ(read("{}").value(), "-/-");
    EXPECT_EQ(read("{\"expires_at\":null}").value(), "-/-");
    EXPECT_EQ(read("{\"expires_at\":\"t\",\"associated_data\":[1,2]}").value(), "t/2");
    EXPECT_EQ(read("{\"associated_data\":null}").error().display(),
              "invalid type: null, expected a sequence at line 1 column 23");
    // A record given as a list of its values, or an enumeration as an object,
    // is refused.
    expect_outcomes(reader<Kdf>(),
                    {
                        {"[\"argon2id\",1,1,1]",
                         "invalid type: sequence, expected struct KdfParams at line 1 column 0"},
                        {"{\"algorithm\":{\"argon2id\":null}}",
                         "invalid type: map, expected a string at line 1 column 13"},
                        {"{\"algorithm\":5}", "expected value at line 1 column 14"},
                    });
}

// Callers branch on the kind: a document that is not JSON and one that is
// JSON but not the record must not be taken for each other, even where the
// texts look alike.
TEST(JsonDocumentError, TellsSyntaxFaultsFromRefusalsAndPlacesThem) {
    using K = DocumentError::Kind;
    struct Case {
        std::string text;
        std::function<std::optional<DocumentError>(std::string_view)> read;
        K kind;
        std::string message;
        std::size_t offset, line, column;
    };
    const auto read_keystore = error_of<Keystore>;
    const auto read_kdf = error_of<Kdf>;
    const auto read_u = error_of<Single<std::uint32_t, "u", U32>>;
    const auto doc = pretty_keystore();
    const auto no_t_cost = replaced(doc, "    \"t_cost\": 3,\n", "");
    const std::vector<Case> cases = {
        {doc + "x", read_keystore, K::Syntax, "trailing characters", doc.size() + 1, 20, 2},
        {no_t_cost, read_keystore, K::Refused, "missing field `t_cost`", no_t_cost.find("  },") + 3,
         10, 3},
        {"  \n ", read_keystore, K::Syntax, "EOF while parsing a value", 4, 2, 1},
        {"{\"format_version\":1", read_keystore, K::Syntax, "EOF while parsing an object", 19, 1,
         19},
        // The key is refused before the syntax error behind it is met.
        {"{\"a\":1 \"b\":2}", read_keystore, K::Refused,
         "unknown field `a`, expected " + kKeystoreNames, 4, 1, 4},
        // A number too large for any reader is a syntax fault; one too large
        // for the member, a refusal.
        {"{\"u\":1E400}", read_u, K::Syntax, "number out of range", 10, 1, 10},
        {"{\"u\":4294967296}", read_u, K::Refused,
         "invalid value: integer `4294967296`, expected u32", 15, 1, 15},
        // Worded as the syntax fault is, but the document is JSON.
        {"{\"algorithm\":5}", read_kdf, K::Refused, "expected value", 14, 1, 14},
    };
    for (const auto& c : cases) {
        const auto r = c.read(c.text);
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(*r, (DocumentError{c.kind, c.message, c.offset, c.line, c.column}))
            << c.text << "\n"
            << r->display();
    }
    // Without a record reader every failure is a syntax fault.
    const auto tree = read_json("{\"a\":1 \"b\":2}");
    ASSERT_FALSE(tree);
    EXPECT_EQ(tree.error(), (DocumentError{K::Syntax, "expected `,` or `}`", 8, 1, 8}));
}

// Running out of memory while a document is read is reported, not thrown, and
// is not placed in the text.
TEST(JsonDocumentError, OutOfMemoryIsItsOwnKind) {
#ifdef ZDZ_ADDRESS_SANITIZER
    GTEST_SKIP() << "the sanitizer runtime cannot run under an address-space limit";
#else
    std::string text = "[";
    for (int i = 0; i < 4'000'000; ++i) {
        text += "{},";
    }
    text += "{}]";
    // A child process whose address space cannot hold the tree: 4 million
    // values do not fit in 64 MiB.
    const int status = zdz::test::exit_status_under_address_limit(64U << 20, [&text] {
        const auto tree = read_json(text);
        if (tree) {
            return 1;
        }
        const bool reported = tree.error().kind == DocumentError::Kind::OutOfMemory &&
                              tree.error().line == 0 &&
                              tree.error().display() == "not enough memory to read the document";
        return reported ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << "1: read, 2: another error, 3: setrlimit failed";
#endif
}

TEST(JsonFloatText, ShortestRoundTripInTwoNotations) {
    EXPECT_EQ(float_text(1.0), "1.0");
    EXPECT_EQ(float_text(-0.0), "-0.0");
    EXPECT_EQ(float_text(1000.0), "1000.0");
    EXPECT_EQ(float_text(0.00001), "0.00001");
    EXPECT_EQ(float_text(1e15), "1000000000000000.0");
    EXPECT_EQ(float_text(1e16), "1e16");
    EXPECT_EQ(float_text(18446744073709551616.0), "1.8446744073709552e19");
    EXPECT_EQ(float_text(-1.5e-7), "-1.5e-7");
    EXPECT_EQ(float_text(5e-324), "5e-324");
    EXPECT_EQ(float_text(0.1), "0.1");
    EXPECT_EQ(float_text(123.456), "123.456");
}

TEST(JsonPrettyWriter, FileLayout) {
    auto v = JsonValue::object({
        {"name", JsonValue::string("a\"b\\c/\xC3\xA9")},
        {"n", JsonValue::uint64(4294967296U)},
        {"neg", JsonValue::int64(-5)},
        {"empty_list", JsonValue::array()},
        {"empty_map", JsonValue::object()},
        {"list", JsonValue::array({JsonValue::boolean(true), JsonValue()})},
    });
    const std::string expected =
        "{\n"
        "  \"name\": \"a\\\"b\\\\c/\xC3\xA9\",\n"
        "  \"n\": 4294967296,\n"
        "  \"neg\": -5,\n"
        "  \"empty_list\": [],\n"
        "  \"empty_map\": {},\n"
        "  \"list\": [\n"
        "    true,\n"
        "    null\n"
        "  ]\n"
        "}";
    EXPECT_EQ(to_pretty_json(v), expected);
    EXPECT_EQ(read_json(expected).value(), v);

    EXPECT_EQ(to_pretty_json(JsonValue::array({JsonValue::uint64(18446744073709551615ULL),
                                               JsonValue::string("\x01\x1f\b\x7f")})),
              "[\n  18446744073709551615,\n  \"\\u0001\\u001F\\b\x7f\"\n]");

    // jq lays files out the same way (it adds a final newline).
    zdz::test::RunOptions options;
    options.stdin_data = to_pretty_json(v);
    auto jq = zdz::test::run_tool({"jq", "."}, options);
    EXPECT_EQ(jq.status, 0);
    EXPECT_EQ(jq.out, expected + "\n");
}

// Where a number stops fitting: a double beyond the largest one, a zero whose
// exponent reaches beyond any double's (fewer places for each digit after the
// point), and an integer part too long to gather, whatever exponent follows.
TEST(JsonReader, NumbersAtTheEdgeOfTheRange) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[0e309]", "number out of range at line 1 column 6"},
        {"[0.0e309]", "ok"},
        {"[0.0e310]", "number out of range at line 1 column 8"},
        {"[-0e400]", "number out of range at line 1 column 7"},
        {"[0e-99999]", "ok"},
        {"[1" + std::string(309, '0') + "e-10]", "number out of range at line 1 column 315"},
        {"[9" + std::string(300, '0') + "e-10]", "ok"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(tree_outcome(text), message) << text;
    }
    EXPECT_EQ(read_json(cases.back().first)->items()[0].as_double(), 9e290);
}

// Strings are read in runs of plain bytes: whatever the length of the run
// before it, an escape, a control character, a character that is not ASCII
// and a byte that is not UTF-8 are each met where they stand.
TEST(JsonReader, StringsAfterRunsOfPlainBytes) {
    for (std::size_t n = 0; n <= 20; ++n) {
        const std::string run(n, 'a');
        const auto column = std::to_string(n + 3);
        EXPECT_EQ(read_json("[\"" + run + "\\n\\u00e9" + run + "\"]")->items()[0].as_string(),
                  run + "\n\xC3\xA9" + run);
        EXPECT_EQ(read_json("[\"" + run + "\xC3\xA9" + run + "\"]")->items()[0].as_string(),
                  run + "\xC3\xA9" + run);
        EXPECT_EQ(tree_outcome("[\"" + run + "\x01" + run + "\"]"),
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                  "column " +
                      column);
        EXPECT_EQ(tree_outcome("[\"" + run + "\xC3(" + run + "\"]"),
                  "invalid unicode code point at line 1 column " + column);
        EXPECT_EQ(tree_outcome("[\"" + run + "\\q\"]"),
                  "invalid escape at line 1 column " + std::to_string(n + 4));
        EXPECT_EQ(tree_outcome("[\"" + run),
                  "EOF while parsing a string at line 1 column " + std::to_string(n + 2));
    }
}

// The writer follows the description: members in declaration order in the
// file, by name in the canonical bytes; an enumeration as its text.
TEST(JsonRecordWriter, WritesWhatTheDescriptionSays) {
    const Kdf kdf{Algorithm::Argon2id, 8192, 1, 4};
    EXPECT_EQ(write_record_file(kdf),
              "{\n  \"algorithm\": \"argon2id\",\n  \"m_cost_kib\": 8192,\n  \"t_cost\": 1,\n"
              "  \"parallelism\": 4\n}");
    EXPECT_EQ(canonical_record(kdf).value(),
              "{\"algorithm\":\"argon2id\",\"m_cost_kib\":8192,\"parallelism\":4,\"t_cost\":1}");
    EXPECT_EQ(canonical_record(Optionals{}).value(), "{\"associated_data\":[]}");
    EXPECT_EQ(write_record_file(Optionals{}), "{}");
    EXPECT_EQ(write_record_file(Optionals{"t", {1}}),
              "{\n  \"expires_at\": \"t\",\n  \"associated_data\": [\n    1\n  ]\n}");
    // A value outside the enumeration's list, made only by a cast.
    EXPECT_EQ(write_record_file(Single<Kind, "k", KindText>{static_cast<Kind>(7)}),
              "{\n  \"k\": \"\"\n}");
}
