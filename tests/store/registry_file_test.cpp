#include "store/registry_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>

#include "contracts/content_hash.hpp"
#include "crypto/digest.hpp"
#include "support/fixtures.hpp"
#include "support/tempdir.hpp"

using namespace zdz::store;
using namespace zdz::contracts;
using namespace zdz::crypto;
using namespace zdz::test;
using namespace zdz::trust;

namespace {

const Timestamp kNow = *Timestamp::parse("2026-08-01T00:00:00Z");
const std::string kSignatureInvalid =
    "registry snapshot signature does not verify \xE2\x80\x94 the store file is untrusted";

ImagePlatform platform(std::string_view text) {
    return *ImagePlatform::parse(text);
}
ImageMeasurement sha256_of(std::string_view text) {
    return {zdz::crypto::measure_sha256(text)};
}
ImageMeasurement blake3_of(std::string_view text) {
    return {zdz::crypto::measure_blake3(text)};
}
Timestamp day(int n) {
    return *Timestamp::from_unix_seconds(1'784'000'000 + n * 86'400);
}

PersistedPromotion promotion(std::string_view image, std::uint32_t version, int on_day) {
    return {sha256_of(image), version, day(on_day)};
}

// Writes `body` signed as save_registry_store would, or under another context.
void write_signed(const TempDir& dir, const std::string& name, RegistrySnapshotBody body,
                  const SigningKey& key, std::string context = std::string(kRegistryContext)) {
    const auto envelope = zdz::envelope::sign_envelope(key, Uuid::new_v4(), kNow, std::nullopt,
                                                       {std::move(context)}, std::move(body));
    ASSERT_TRUE(envelope);
    dir.write(name, zdz::envelope::write_envelope_json(*envelope));
}

std::string load_error(const std::string& path, const SigningKey& key = fixed_key(1)) {
    const auto loaded = load_registry_store(path, key.verifying_key(), kNow);
    if (!loaded) {
        return loaded.error().display();
    }
    return *loaded ? "loaded" : "absent";
}

KnownGoodStore load(const std::string& path, const SigningKey& key = fixed_key(1)) {
    auto loaded = load_registry_store(path, key.verifying_key(), kNow);
    EXPECT_TRUE(loaded && *loaded) << (loaded ? "absent" : loaded.error().display());
    return loaded && *loaded ? std::move(**loaded) : KnownGoodStore{};
}

// "sha256:ABC..." from "sha256:abc...".
std::string upper_hex(const std::string& hash_text) {
    std::string out = hash_text;
    for (auto i = out.find(':') + 1; i < out.size(); ++i) {
        out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[i])));
    }
    return out;
}

void replace_once(std::string& text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

}  // namespace

TEST(RegistryFile, SavedStoreLoadsBackEqualInItsWrittenLayout) {
    TempDir dir;
    KnownGoodStore store;
    ASSERT_TRUE(store.record_promotion({platform("vask"), sha256_of("one"), 1, day(1)}));
    ASSERT_TRUE(store.record_promotion({platform("vask"), sha256_of("two"), 2, day(2)}));
    ASSERT_TRUE(store.record_promotion({platform("alder"), sha256_of("five"), 5, day(3)}));
    store.withdraw(platform("vask"), sha256_of("bad"));
    store.withdraw(platform("vask"), blake3_of("bad"));
    const auto key = fixed_key(1);
    const auto key_id = Uuid::new_v4();
    ASSERT_TRUE(save_registry_store(store, dir.file("store.json"), key, key_id, kNow));

    const auto text = dir.read("store.json");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '}');
    // One promotion in a platform's history, as the file lays it out.
    const auto entry = [](std::string_view image, int version, const Timestamp& promoted_at) {
        return "          {\n"
               "            \"measurement\": \"" +
               sha256_of(image).to_string() +
               "\",\n"
               "            \"security_version\": " +
               std::to_string(version) +
               ",\n"
               "            \"promoted_at\": \"" +
               promoted_at.to_string() +
               "\"\n"
               "          }";
    };
    // Platforms in byte order, history as recorded, BLAKE3 before SHA-256.
    const std::string payload =
        "  \"payload\": {\n"
        "    \"format_version\": 1,\n"
        "    \"exported_at\": \"2026-08-01T00:00:00Z\",\n"
        "    \"platforms\": [\n"
        "      {\n"
        "        \"platform\": \"alder\",\n"
        "        \"history\": [\n" +
        entry("five", 5, day(3)) +
        "\n"
        "        ],\n"
        "        \"revoked\": []\n"
        "      },\n"
        "      {\n"
        "        \"platform\": \"vask\",\n"
        "        \"history\": [\n" +
        entry("one", 1, day(1)) + ",\n" + entry("two", 2, day(2)) +
        "\n"
        "        ],\n"
        "        \"revoked\": [\n"
        "          \"" +
        blake3_of("bad").to_string() +
        "\",\n"
        "          \"" +
        sha256_of("bad").to_string() +
        "\"\n"
        "        ]\n"
        "      }\n"
        "    ]\n"
        "  },\n";
    EXPECT_NE(text.find(payload), std::string::npos) << text;

    const auto envelope = zdz::envelope::read_signed_envelope_json<RegistrySnapshotBody>(text);
    ASSERT_TRUE(envelope) << envelope.error().display();
    EXPECT_EQ(envelope->key_id, key_id);
    EXPECT_EQ(envelope->created_at, envelope->payload.exported_at);
    EXPECT_EQ(envelope->associated_data,
              zdz::envelope::EnvelopeContext{std::string(kRegistryContext)});
    EXPECT_FALSE(envelope->expires_at);
    EXPECT_FALSE(envelope->previous_hash);
    EXPECT_EQ(load(dir.file("store.json"), key), store);
}

TEST(RegistryFile, OnlyAPathThatDoesNotExistIsAnAbsentStore) {
    TempDir dir;
    dir.write("file", "x");
    EXPECT_EQ(load_error(dir.file("missing.json")), "absent");
    EXPECT_EQ(load_error(dir.file("file/store.json")), "absent");

    ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0755), 0);
    EXPECT_EQ(load_error(dir.file("dir")), "local storage operation failed: cannot read " +
                                               dir.file("dir") + ": Is a directory (os error 21)");
    // A FIFO with no writer must be refused, not waited on.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(load_error(dir.file("fifo")), "local storage operation failed: cannot read " +
                                                dir.file("fifo") + ": not a regular file");
    EXPECT_EQ(load_error("/dev/zero"),
              "local storage operation failed: cannot read /dev/zero: not a regular file");
    dir.write("latin1.json", "{\"a\": \"\xE9\"}");
    EXPECT_EQ(load_error(dir.file("latin1.json")), "local storage operation failed: cannot read " +
                                                       dir.file("latin1.json") +
                                                       ": stream did not contain valid UTF-8");

    // Paths that cannot be looked up are not absent stores either.
    ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
    EXPECT_EQ(load_error(dir.file("loop-a")),
              "local storage operation failed: cannot read " + dir.file("loop-a") +
                  ": Too many levels of symbolic links (os error 40)");
    const auto long_name = dir.file(std::string(300, 'n'));
    EXPECT_EQ(load_error(long_name), "local storage operation failed: cannot read " + long_name +
                                         ": File name too long (os error 36)");

    if (::geteuid() != 0) {
        // A store we may not look at is not an empty one.
        ASSERT_EQ(::mkdir(dir.file("sealed").c_str(), 0755), 0);
        dir.write("sealed/store.json", "{}");
        ASSERT_EQ(::chmod(dir.file("sealed").c_str(), 0600), 0);
        EXPECT_EQ(load_error(dir.file("sealed/store.json")),
                  "local storage operation failed: cannot read " + dir.file("sealed/store.json") +
                      ": Permission denied (os error 13)");
        ASSERT_EQ(::chmod(dir.file("sealed").c_str(), 0755), 0);
        ASSERT_EQ(::chmod(dir.file("sealed/store.json").c_str(), 0), 0);
        EXPECT_EQ(load_error(dir.file("sealed/store.json")),
                  "local storage operation failed: cannot read " + dir.file("sealed/store.json") +
                      ": Permission denied (os error 13)");
    }
}

TEST(RegistryFile, SignatureCoversTheTypedRecordNotTheFileBytes) {
    TempDir dir;
    const auto key = fixed_key(1);
    RegistrySnapshotBody body{1, kNow, {}};
    body.platforms.push_back({platform("vask"), {promotion("one", 1, 1)}, {}, {}});
    body.platforms.back().revoked.insert(sha256_of("b"));
    body.platforms.back().revoked.insert(sha256_of("a"));
    write_signed(dir, "store.json", body, key);
    const auto text = dir.read("store.json");

    // Upper-case hex, a reversed and repeated revoked list and extra white
    // space are normalised before the signature is checked.
    auto relaxed = text;
    const auto a = sha256_of("a").to_string();
    const auto b = sha256_of("b").to_string();
    const auto& low = std::min(a, b);
    const auto& high = std::max(a, b);
    replace_once(relaxed, "\"" + low + "\",\n          \"" + high + "\"",
                 "\"" + high + "\" , \"" + upper_hex(low) + "\",\n\n \"" + low + "\"");
    replace_once(relaxed, "\"platform\": \"vask\",", "\"platform\"  :\t\"vask\" ,\n");
    dir.write("relaxed.json", relaxed);
    EXPECT_EQ(load_error(dir.file("relaxed.json")), "loaded");

    auto tampered = text;
    const auto digit = tampered.find(sha256_of("one").to_string()) + 7;
    tampered[digit] = tampered[digit] == '0' ? '1' : '0';
    dir.write("tampered.json", tampered);
    EXPECT_EQ(load_error(dir.file("tampered.json")), kSignatureInvalid);

    EXPECT_EQ(load_error(dir.file("store.json"), fixed_key(2)), kSignatureInvalid);
    write_signed(dir, "other-context.json", body, key, "tarnelos:signing-key:v1");
    EXPECT_EQ(load_error(dir.file("other-context.json")), kSignatureInvalid);
    const auto expired = zdz::envelope::sign_envelope(key, Uuid::new_v4(), day(0), day(1),
                                                      {std::string(kRegistryContext)}, body);
    dir.write("expired.json", zdz::envelope::write_envelope_json(*expired));
    // An expiry the signature vouches for is said as such; an expiry added
    // to a store signed without one is a forgery like any other change.
    EXPECT_EQ(load_error(dir.file("expired.json")),
              "registry store expired at " + day(1).to_string() + " (refresh-store renews it)");
    auto unsigned_expiry = text;
    unsigned_expiry.insert(unsigned_expiry.find("  \"associated_data\""),
                           "  \"expires_at\": \"" + day(1).to_string() + "\",\n");
    dir.write("unsigned-expiry.json", unsigned_expiry);
    EXPECT_EQ(load_error(dir.file("unsigned-expiry.json")), kSignatureInvalid);
}

TEST(RegistryFile, ReplayAppliesTheRollbackRule) {
    TempDir dir;
    const auto key = fixed_key(1);
    const auto vask = platform("vask");

    RegistrySnapshotBody falling{1, kNow, {}};
    falling.platforms.push_back({vask, {promotion("two", 2, 1), promotion("one", 1, 2)}, {}, {}});
    write_signed(dir, "falling.json", falling, key);
    EXPECT_EQ(load_error(dir.file("falling.json")),
              "image security version 1 is below the rollback floor 2 for platform vask");
    EXPECT_EQ(rebuild_registry(falling).error(),
              StoreError(TrustError::below_rollback_floor("vask", 1, 2)));

    // A platform listed twice continues the same history under the same rule.
    RegistrySnapshotBody twice{1, kNow, {}};
    twice.platforms.push_back({vask, {promotion("a", 1, 1), promotion("b", 1, 2)}, {}, {}});
    twice.platforms.push_back({platform("alder"), {}, {}, {}});
    twice.platforms.back().revoked.insert(sha256_of("gone"));
    twice.platforms.push_back({vask, {promotion("c", 2, 3)}, {}, {}});
    write_signed(dir, "twice.json", twice, key);
    const auto store = load(dir.file("twice.json"));
    EXPECT_EQ(store.rollback_floor(vask), 2u);
    ASSERT_EQ(store.history(vask).size(), 3u);
    EXPECT_EQ(store.history(vask)[2].measurement, sha256_of("c"));
    EXPECT_EQ(store.authorize_install(vask, sha256_of("c"))->security_version, 2u);
    const auto& alder = store.platforms().at(platform("alder"));
    EXPECT_EQ(alder.rollback_floor, 0u);
    EXPECT_FALSE(alder.current);
    EXPECT_TRUE(alder.withdrawn.contains(sha256_of("gone")));

    twice.platforms.push_back({vask, {promotion("d", 1, 4)}, {}, {}});
    EXPECT_EQ(rebuild_registry(twice).error(),
              StoreError(TrustError::below_rollback_floor("vask", 1, 2)));

    // A withdrawn measurement in the history loads, and then blocks installs.
    RegistrySnapshotBody withdrawn{1, kNow, {}};
    withdrawn.platforms.push_back({vask, {promotion("one", 1, 1)}, {}, {}});
    withdrawn.platforms.back().revoked.insert(sha256_of("one"));
    const auto rebuilt = rebuild_registry(withdrawn);
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(
        rebuilt->authorize_install(vask, sha256_of("one")).error().display(),
        "image measurement " + sha256_of("one").to_string() + " was withdrawn for platform vask");
}

TEST(RegistryFile, MalformedFilesNameTheMemberAndItsPlace) {
    TempDir dir;
    RegistrySnapshotBody body{1, kNow, {}};
    body.platforms.push_back({platform("vask"), {promotion("one", 1, 1)}, {}, {}});
    write_signed(dir, "store.json", body, fixed_key(1));
    const auto text = dir.read("store.json");
    // Plain views only: GCC 12 misreports arrays of aggregates holding strings.
    struct Edit {
        std::string_view from;
        std::string_view to;
        std::string_view expected;  // after "registry snapshot is malformed: "
    };
    // Lines of the written file: 10 format_version, 14 platform, 17
    // measurement, 18 security_version, 20 end of the promotion, 22 revoked.
    constexpr Edit edits[] = {
        {"\"format_version\": 1,\n    \"exported",
         "\"format_version\": 1,\n    \"extra\": 1,\n    \"exported",
         "unknown field `extra`, expected one of `format_version`, `exported_at`, `platforms`, "
         "`sequence` at "
         "line 11 column 11"},
        {"\"revoked\": []", "\"revoked\": [], \"x\": 0",
         "unknown field `x`, expected one of `platform`, `history`, `revoked`, `min_signers` at "
         "line 22 column "
         "26"},
        {"\"security_version\": 1,", "\"security_version\": 1, \"signer\": 0,",
         "unknown field `signer`, expected one of `measurement`, `security_version`, "
         "`promoted_at`, "
         "`image_kind` at line 18 column 43"},
        {"\"security_version\": 1,", "", "missing field `security_version` at line 20 column 11"},
        {"\"platform\": \"vask\"", "\"platform\": \"Vask\"",
         "invalid Slug identifier: may contain only lowercase ASCII letters, digits and hyphens "
         "at line 14 column 26"},
    };
    for (const auto& edit : edits) {
        auto edited = text;
        replace_once(edited, std::string(edit.from), std::string(edit.to));
        dir.write("edited.json", edited);
        EXPECT_EQ(load_error(dir.file("edited.json")),
                  "registry snapshot is malformed: " + std::string(edit.expected))
            << edit.to;
    }
    dir.write("trailing.json", text + "x");
    EXPECT_EQ(load_error(dir.file("trailing.json")),
              "registry snapshot is malformed: trailing characters at line 27 column 2");
}

TEST(RegistryFile, FailedSaveLeavesThePreviousFile) {
    TempDir dir;
    KnownGoodStore store;
    ASSERT_TRUE(store.record_promotion({platform("vask"), sha256_of("one"), 1, day(1)}));
    const auto key = fixed_key(1);
    ASSERT_TRUE(save_registry_store(store, dir.file("store.json"), key, Uuid::new_v4(), kNow));
    const auto before = dir.read("store.json");
    ASSERT_TRUE(store.record_promotion({platform("vask"), sha256_of("two"), 2, day(2)}));

    ASSERT_EQ(::mkdir(dir.file("store.tmp").c_str(), 0755), 0);
    auto saved = save_registry_store(store, dir.file("store.json"), key, Uuid::new_v4(), kNow);
    EXPECT_EQ(saved.error().display(), "local storage operation failed: cannot write " +
                                           dir.file("store.tmp") +
                                           ": Is a directory (os error 21)");
    EXPECT_EQ(dir.read("store.json"), before);

    ASSERT_EQ(::mkdir(dir.file("occupied").c_str(), 0755), 0);
    saved = save_registry_store(store, dir.file("occupied"), key, Uuid::new_v4(), kNow);
    EXPECT_EQ(saved.error().display(), "local storage operation failed: cannot finalize " +
                                           dir.file("occupied") + ": Is a directory (os error 21)");
}
