// A release key after keygen: show-key prints its trust line again,
// change-passphrase changes the lock but not the key, authorize-install
// decides with the public key alone, and rekey-store moves a registry store
// to a new key without losing a floor. Each is checked against an outside
// reader where there is one (ssh-keygen, libargon2 and libsodium, jq), and
// under the faults that could leave a keystore or a store half changed.

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "contracts/content_hash.hpp"
#include "crypto/digest.hpp"
#include "encoding/hex.hpp"
#include "io/measure.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/fixtures.hpp"
#include "support/independent_keystore.hpp"
#include "support/kills.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"
#include "trust/manifest.hpp"
#include "trust/signers.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;

namespace {

constexpr const char* kNewVar = "ZDZ_TEST_NEW_PASSPHRASE";
const std::string kNewPassphrase = "a new passphrase, longer than the old one";
const std::string kUnsealFailed =
    "signing key could not be unsealed (wrong passphrase or corrupted keystore)";
const std::string kSignatureInvalid =
    "registry snapshot signature does not verify \u2014 the store file is untrusted";
constexpr int kKillRounds = 20;

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::span<const std::uint8_t> span_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

RunOptions passphrases(const std::string& current, const std::string& next = kNewPassphrase) {
    RunOptions options;
    options.env = {{kPassphraseVar, current}, {kNewVar, next}};
    return options;
}

// With the test library preloaded that brings about the faults named in `env`.
RunOptions with_fault_shim(RunOptions options, std::map<std::string, std::string> env) {
    env.emplace("LD_PRELOAD", ZDZ_FAULT_SHIM);
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.emplace("ASAN_OPTIONS",
                std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
    options.env.merge(env);
    return options;
}

std::vector<std::string> change_args(const std::string& keystore) {
    return {"change-passphrase", "--keystore",           keystore, "--passphrase-env",
            kPassphraseVar,      "--new-passphrase-env", kNewVar};
}

std::vector<std::string> rekey_args(const std::string& store, const std::string& keystore,
                                    const std::string& new_keystore) {
    return {"rekey-store", "--store",          store,
            "--keystore",  keystore,           "--new-keystore",
            new_keystore,  "--passphrase-env", kPassphraseVar};
}

std::string last_line(const std::string& text) {
    const auto end = text.size() - (text.ends_with('\n') ? 1 : 0);
    return text.substr(text.rfind('\n', end - 1) + 1, end - text.rfind('\n', end - 1) - 1);
}

zdz::store::SealedSigningKey keystore_at(const std::string& path) {
    zdz::test::write_test_keystore(path);
    return *zdz::store::load_keystore(path);
}

zdz::crypto::SigningKey unsealed(const std::string& path,
                                 const std::string& passphrase = kPassphrase) {
    return *zdz::store::unseal_signing_key(*zdz::store::load_keystore(path), span_of(passphrase),
                                           zdz::test::now());
}

// The "SHA256:..." fingerprint ssh-keygen prints for a key, computed here
// from the key blob with libsodium.
std::string openssh_fingerprint(const zdz::crypto::VerifyingKey& key) {
    std::string blob("\0\0\0\x0bssh-ed25519\0\0\0\x20", 19);
    blob.append(reinterpret_cast<const char*>(key.bytes().data()), key.bytes().size());
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(blob.data()),
                       blob.size());
    std::string text(
        sodium_base64_ENCODED_LEN(digest.size(), sodium_base64_VARIANT_ORIGINAL_NO_PADDING), '\0');
    sodium_bin2base64(text.data(), text.size(), digest.data(), digest.size(),
                      sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
    return "SHA256:" + std::string(text.c_str());
}

// A store for `keystore` with three platforms: a history of two, one with a
// withdrawn image beside its history, one with a withdrawn image alone.
zdz::trust::KnownGoodStore write_store(const std::string& path, const std::string& keystore) {
    using zdz::trust::ImagePlatform;
    const auto image = [](std::string_view name) {
        return zdz::trust::ImageMeasurement{zdz::crypto::measure_sha256(name)};
    };
    zdz::trust::KnownGoodStore store;
    const auto at = zdz::test::now();
    EXPECT_TRUE(store.record_promotion({*ImagePlatform::parse("vask"), image("v1"), 1, at}));
    EXPECT_TRUE(store.record_promotion({*ImagePlatform::parse("vask"), image("v2"), 2, at}));
    EXPECT_TRUE(store.record_promotion({*ImagePlatform::parse("zorn"), image("z7"), 7, at}));
    store.withdraw(*ImagePlatform::parse("zorn"), image("z6"));
    store.withdraw(*ImagePlatform::parse("alder"), image("a1"));
    const auto record = zdz::store::load_keystore(keystore);
    EXPECT_TRUE(zdz::store::save_registry_store(store, path, unsealed(keystore), record->key_id,
                                                zdz::test::now()));
    return store;
}

std::vector<std::string> authorize_args(const std::string& store, const std::string& key_option,
                                        const std::string& key_path, const std::string& platform,
                                        const std::string& measurement) {
    return {"authorize-install", "--store", store,           key_option, key_path,
            "--platform",        platform,  "--measurement", measurement};
}

// Checks that `err` reports the `file` written to `path` as not reading back
// as written (`record` names what the reading found malformed) and the
// previous one as put back.
void expect_put_back(const std::string& err, const std::string& file, const std::string& path,
                     const std::string& record) {
    EXPECT_TRUE(err.starts_with("error: the " + file + " written to " + path +
                                " did not read back as written (" + record + " is malformed: "))
        << err;
    EXPECT_TRUE(err.ends_with("); the previous " + file + " was put back\n")) << err;
}

// Kills the run `invocation(current, next)` at random moments, back and forth
// between two states: after each round the files are in state `current` or
// `next` (as `holds` tells), and in `next` after a run that succeeded. A round
// that reached `next` swaps the two for the following round.
void kill_back_and_forth(std::string current, std::string next,
                         const std::function<Invocation(const std::string& current,
                                                        const std::string& next)>& invocation,
                         const std::function<bool(const std::string& state)>& holds) {
    kill_at_random(
        kKillRounds, [&](int) { return invocation(current, next); },
        [&](int status, int round) {
            const bool now_next = holds(next);
            EXPECT_TRUE(now_next || holds(current)) << "round " << round;
            EXPECT_TRUE(status != 0 || now_next) << "round " << round;
            if (now_next) {
                std::swap(current, next);
            }
            return now_next;
        });
}

}  // namespace

TEST(ShowKey, PrintsThePublicIdentityEndingInATrustLineOthersReadAsTheKey) {
    TempDir dir;
    const auto record = keystore_at(dir.file("k.json"));
    const auto key = *zdz::store::keystore_verifying_key(record);
    const auto files = bytes_of(dir.file("k.json"));
    RunOptions no_passphrase;
    no_passphrase.unset = {kPassphraseVar};
    const auto r = run_program({"show-key", "--keystore", dir.file("k.json")}, no_passphrase);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string line =
        zdz::trust::format_allowed_signers_line("release-operator@tarnelos-workstation", key);
    EXPECT_EQ(r.out, "[ok] keystore: " + dir.file("k.json") + "\n" +
                         "  key_id:        " + record.key_id.to_string() + "\n" +
                         "  verifying_key: " + key.to_hex() + "\n" +
                         "  fingerprint:   " + zdz::crypto::key_fingerprint(key).to_string() +
                         "\n" + "  openssh fp:    " + openssh_fingerprint(key) + "\n" +
                         "  created_at:    " + record.created_at.to_string() + "\n" +
                         "  kdf:           argon2id, 8 MiB, t=1, p=1\n"
                         "(read without the passphrase: the private key stays sealed)\n\n"
                         "allowed_signers line \u2014 append to a real trust file to trust this "
                         "key:\n  " +
                         line + "\n");
    EXPECT_EQ(bytes_of(dir.file("k.json")), files);

    // The last line, appended to a trust file as it is, reads as this key to
    // ssh-keygen and to import-signers.
    dir.write("signers", "# release keys\n" + last_line(r.out) + "\n");
    const auto listed = zdz::test::run_tool({"ssh-keygen", "-l", "-f", dir.file("signers")});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out.rfind("256 " + openssh_fingerprint(key) + " ", 0), 0U) << listed.out;
    EXPECT_EQ(run_program({"import-signers", "--file", dir.file("signers")}).out,
              "release-operator@tarnelos-workstation  fingerprint=" +
                  zdz::crypto::key_fingerprint(key).to_string() + "\n");

    // --trust-line: the bare line alone, under the principal asked for.
    EXPECT_EQ(
        run_program({"show-key", "--keystore", dir.file("k.json"), "--trust-line"}, no_passphrase),
        (RunResult{0, line + "\n", ""}));
    EXPECT_EQ(run_program({"show-key", "--trust-line", "--keystore", dir.file("k.json"),
                           "--principal", "ops@ci"})
                  .out,
              zdz::trust::format_allowed_signers_line("ops@ci", key) + "\n");

    // keygen's principal rule, and the very block keygen ends with.
    const auto keygen = run_program({"keygen", "--out", dir.file("new.json"), "--passphrase-env",
                                     kPassphraseVar, "--principal", "ops@build-7"},
                                    passphrases(kPassphrase));
    ASSERT_EQ(keygen.status, 0) << keygen.err;
    const auto shown =
        run_program({"show-key", "--keystore", dir.file("new.json"), "--principal", "ops@build-7"});
    const auto block = [](const std::string& out) { return out.substr(out.find("\n\n")); };
    EXPECT_EQ(block(shown.out), block(keygen.out));
    EXPECT_NE(shown.out.find("  kdf:           argon2id, 128 MiB, t=3, p=4\n"), std::string::npos);
    // Costs that no unseal accepts are shown as they are, with a warning.
    auto edited = record;
    edited.kdf.m_cost_kib = 4100;
    dir.write("edited.json", zdz::store::write_keystore_json(edited));
    const auto warned = run_program({"show-key", "--keystore", dir.file("edited.json")});
    EXPECT_EQ(warned.status, 0);
    EXPECT_NE(warned.out.find("  kdf:           argon2id, 4100 KiB, t=1, p=1\n  warning:       "
                              "this keystore cannot be unsealed: validation failed: argon2id "
                              "memory cost below the safe floor (8 MiB)\n"),
              std::string::npos)
        << warned.out;
}

TEST(ChangePassphrase, KeepsTheKeyAndChangesOnlyTheLock) {
    TempDir dir;
    const auto k = dir.file("k.json");
    const auto before = keystore_at(k);
    const auto image = zdz::test::source_dir() + "/os/vask-install-2026072900.img";
    const auto sign = [&](const std::string& passphrase, const std::string& out) {
        return run_program({"sign", "--keystore", k, "--passphrase-env", kPassphraseVar,
                            "--image-file", image, "--platform", "vask", "--kind", "install",
                            "--security-version", "2", "--out", dir.file(out)},
                           passphrases(passphrase));
    };
    ASSERT_EQ(sign(kPassphrase, "before.json").status, 0);

    const auto r = run_program(change_args(k), passphrases(kPassphrase));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[ok] passphrase changed: " + k + "\n" +
                         "  key_id:        " + before.key_id.to_string() + "\n" +
                         "  verifying_key: " + before.verifying_key_hex + "\n" +
                         "  kdf:           argon2id, 128 MiB, t=3, p=4\n"
                         "(read back and opened with the new passphrase; the private key was "
                         "never printed)\n");
    const auto after = *zdz::store::load_keystore(k);
    EXPECT_EQ(after.key_id, before.key_id);
    EXPECT_EQ(after.verifying_key_hex, before.verifying_key_hex);
    EXPECT_EQ(after.created_at, before.created_at);
    EXPECT_EQ(after.kdf, zdz::store::KdfParams::keygen_default());
    EXPECT_NE(after.salt_hex, before.salt_hex);
    EXPECT_NE(after.envelope.envelope_id, before.envelope.envelope_id);
    EXPECT_NE(after.envelope.nonce, before.envelope.nonce);
    struct stat st {};
    ASSERT_EQ(::stat(k.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    EXPECT_FALSE(fs::exists(dir.file("k.tmp")));
    // Opened without the project's code, with the new passphrase only.
    EXPECT_EQ(zdz::test::public_key_by_libraries(k, kNewPassphrase), before.verifying_key_hex);
    EXPECT_EQ(zdz::test::public_key_by_libraries(k, kPassphrase).rfind("error: ", 0), 0U);

    const auto old = sign(kPassphrase, "refused.json");
    EXPECT_EQ(old.status, 1);
    EXPECT_EQ(old.err, "error: cannot unseal keystore: " + kUnsealFailed + "\n");
    EXPECT_FALSE(fs::exists(dir.file("refused.json")));
    ASSERT_EQ(sign(kNewPassphrase, "after.json").status, 0);
    // Signed before and after, both verify against the one trust line.
    const auto shown = run_program({"show-key", "--keystore", k});
    dir.write("signers", last_line(shown.out) + "\n");
    for (const auto* manifest : {"before.json", "after.json"}) {
        const auto verified = run_program(
            {"verify", "--manifest", dir.file(manifest), "--signers-file", dir.file("signers")});
        EXPECT_EQ(verified.status, 0) << manifest << ": " << verified.err;
    }
}

TEST(ChangePassphrase, RefusalsAndFaultsLeaveAKeystoreThatOpens) {
    TempDir dir;
    const auto k = dir.file("k.json");
    const auto record = keystore_at(k);
    const auto original = bytes_of(k);
    const auto refused = [&](const RunOptions& options, const std::string& path) {
        const auto r = run_program(change_args(path), options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(bytes_of(k), original) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("k.tmp")));
        return r.err;
    };
    EXPECT_EQ(refused(passphrases("wrong"), k),
              "error: cannot unseal keystore: " + kUnsealFailed + "\n");
    EXPECT_EQ(refused(passphrases(kPassphrase, ""), k),
              std::string("error: environment variable ") + kNewVar + " is set but empty\n");
    fs::create_symlink(k, dir.file("link.json"));
    EXPECT_EQ(refused(passphrases(kPassphrase), dir.file("link.json")),
              "error: cannot change the passphrase of " + dir.file("link.json") +
                  ": it is a symbolic link; name the keystore file itself\n");
    // Costs below the floor: the unseal error, whatever the passphrase.
    auto weak = record;
    weak.kdf.m_cost_kib = 4096;
    dir.write("weak.json", zdz::store::write_keystore_json(weak));
    const auto weak_bytes = bytes_of(dir.file("weak.json"));
    EXPECT_EQ(refused(passphrases(kPassphrase), dir.file("weak.json")),
              "error: cannot unseal keystore: " + kUnsealFailed + "\n");
    EXPECT_EQ(bytes_of(dir.file("weak.json")), weak_bytes);

    // The written file reads back shortened: the previous one is put back.
    const auto truncated =
        with_fault_shim(passphrases(kPassphrase), {{"ZDZ_SHIM_TRUNCATE_FIRST_RENAME", "1"}});
    expect_put_back(refused(truncated, k), "keystore", k, "keystore");
    // And when putting it back fails too, the command says so.
    auto stuck = truncated;
    stuck.env.emplace("ZDZ_SHIM_RENAMES_ALLOWED", "1");
    const auto failed = run_program(change_args(k), stuck);
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(
        failed.err.ends_with("), and the previous keystore could not be put back: local "
                             "storage operation failed: cannot finalize " +
                             k + ": Input/output error (os error 5)\n"))
        << failed.err;
    dir.write("k.json", original);

    // A folder flush that fails after the rename: the new keystore is in
    // place and confirmed, and the command says it may not be durable.
    const auto flush =
        run_program(change_args(k),
                    with_fault_shim(passphrases(kPassphrase), {{"ZDZ_SHIM_FAIL_DIR_FSYNC", "1"}}));
    EXPECT_EQ(flush.status, 1);
    EXPECT_EQ(flush.err, "error: keystore written to " + k +
                             " but it may not be durable: local storage operation failed: "
                             "cannot finalize " +
                             k + ": Input/output error (os error 5)\n");
    EXPECT_EQ(zdz::test::public_key_by_libraries(k, kNewPassphrase), record.verifying_key_hex);
}

TEST(AuthorizeInstallWithPublicKey, DecidesAndReportsAsTheKeystoreDoes) {
    TempDir dir;
    const auto k = dir.file("k.json");
    keystore_at(k);
    write_store(dir.file("store.json"), k);
    dir.write("k.pub", "# the release key\n\n" +
                           last_line(run_program({"show-key", "--keystore", k}).out) + "\n");
    const auto v2 = zdz::crypto::measure_sha256(std::string_view("v2")).to_string();
    const auto v1 = zdz::crypto::measure_sha256(std::string_view("v1")).to_string();
    const std::vector<std::pair<std::string, std::string>> candidates{
        {"vask", v2}, {"vask", v1}, {"zorn", v1}, {"alder", v1}, {"vask", "sha256:abc"}};
    int authorized = 0;
    for (const auto& [platform, measurement] : candidates) {
        const auto by_keystore = run_program(
            authorize_args(dir.file("store.json"), "--keystore", k, platform, measurement));
        const auto by_public_key = run_program(authorize_args(
            dir.file("store.json"), "--public-key", dir.file("k.pub"), platform, measurement));
        EXPECT_EQ(by_public_key.status, by_keystore.status) << platform << " " << measurement;
        EXPECT_EQ(by_public_key.out, by_keystore.out);
        EXPECT_EQ(by_public_key.err, by_keystore.err);
        authorized += by_keystore.status == 0 ? 1 : 0;
    }
    EXPECT_EQ(authorized, 1);

    // The OpenSSH public-key line of the key, as a .pub file holds it (no
    // principal, a comment after the key), checks the store as well; one
    // that ssh-keygen made for another key is read, and refused as that key.
    const auto shown_line = last_line(run_program({"show-key", "--keystore", k}).out);
    dir.write("k-openssh.pub", shown_line.substr(shown_line.find(' ') + 1) + " release@ci\n");
    const auto by_openssh_line = run_program(authorize_args(dir.file("store.json"), "--public-key",
                                                            dir.file("k-openssh.pub"), "vask", v2));
    EXPECT_EQ(by_openssh_line.status, 0) << by_openssh_line.err;
    ASSERT_EQ(zdz::test::run_tool({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C",
                                   "someone@elsewhere", "-f", dir.file("id_ed25519")})
                  .status,
              0);
    EXPECT_EQ(
        run_program(authorize_args(dir.file("store.json"), "--public-key",
                                   dir.file("id_ed25519.pub"), "vask", v2))
            .err,
        "error: cannot load store " + dir.file("store.json") + ": " + kSignatureInvalid + "\n");

    // Another key does not verify the store.
    const auto other = zdz::test::fixed_key(5).verifying_key();
    dir.write("other.pub", zdz::trust::format_allowed_signers_line("x", other) + "\n");
    const auto foreign = run_program(
        authorize_args(dir.file("store.json"), "--public-key", dir.file("other.pub"), "vask", v2));
    EXPECT_EQ(foreign.err, "error: cannot load store " + dir.file("store.json") + ": " +
                               kSignatureInvalid + "\n");

    const auto line = zdz::trust::format_allowed_signers_line("x", other);
    const std::pair<std::string, std::string> refusals[] = {
        {"# nothing but a comment\n", "must hold exactly one allowed_signers entry, found 0"},
        {line + "\n" + line + "\n", "must hold exactly one allowed_signers entry, found 2"},
        {"# a comment\nops ssh-rsa AAAA\n", ""},
    };
    for (const auto& [text, detail] : refusals) {
        dir.write("bad.pub", text);
        const auto r = run_program(authorize_args(dir.file("store.json"), "--public-key",
                                                  dir.file("bad.pub"), "vask", v2));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  detail.empty()
                      ? "error: invalid public key file " + dir.file("bad.pub") +
                            ": trust store entry invalid at line 2: unsupported key type "
                            "\"ssh-rsa\" (only ssh-ed25519 is trusted)\n"
                      : "error: public key file " + dir.file("bad.pub") + " " + detail + "\n");
    }
    EXPECT_EQ(run_program(authorize_args(dir.file("store.json"), "--public-key",
                                         dir.file("none.pub"), "vask", v2))
                  .err,
              "error: cannot read public key file " + dir.file("none.pub") +
                  ": No such file or directory (os error 2)\n");
}

namespace {

// Two keystores, a.json and b.json, and a store signed with the key of a.json.
struct RekeyFiles {
    TempDir dir;
    std::string a = dir.file("a.json");
    std::string b = dir.file("b.json");
    std::string store = dir.file("store.json");
    zdz::store::SealedSigningKey old_record = keystore_at(a);
    zdz::store::SealedSigningKey new_record = keystore_at(b);
    zdz::trust::KnownGoodStore registry = write_store(store, a);
};

class RekeyStore : public ::testing::Test, protected RekeyFiles {};

}  // namespace

TEST_F(RekeyStore, CarriesEveryPlatformOverAndRefusesTheOldKey) {
    const auto jq = [&](const std::string& filter) {
        return zdz::test::run_tool({"jq", "-S", filter, store}).out;
    };
    const auto platforms_before = jq(".payload.platforms");

    const auto r = run_program(rekey_args(store, a, b), passphrases(kPassphrase));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[ok] store re-signed with the new keystore: " + store + "\n" +
                         "  previous key_id:  " + old_record.key_id.to_string() + "\n" +
                         "  new key_id:       " + new_record.key_id.to_string() + "\n" +
                         "  platforms:        3 carried over (histories, rollback floors and "
                         "withdrawn images unchanged)\n");
    EXPECT_EQ(jq(".payload.platforms"), platforms_before);
    EXPECT_EQ(jq(".key_id"), "\"" + new_record.key_id.to_string() + "\"\n");
    const auto loaded = zdz::store::load_registry_store(
        store, *zdz::store::keystore_verifying_key(new_record), zdz::test::now());
    ASSERT_TRUE(loaded && *loaded);
    EXPECT_EQ((*loaded)->platforms(), registry.platforms());
    EXPECT_FALSE(fs::exists(dir.file("store.tmp")));

    // The old keystore is refused by every command that loads the store, the
    // new one serves them.
    const auto v2 = zdz::crypto::measure_sha256(std::string_view("v2")).to_string();
    EXPECT_EQ(run_program(authorize_args(store, "--keystore", a, "vask", v2)).err,
              "error: cannot load store " + store + ": " + kSignatureInvalid + "\n");
    EXPECT_EQ(run_program(authorize_args(store, "--keystore", b, "vask", v2)).status, 0);
    const auto release = zdz::test::fixed_key(7);
    dir.write("signers", zdz::trust::format_allowed_signers_line("rel", release.verifying_key()));
    dir.write("v3.json",
              zdz::test::install_manifest_json(
                  release, "vask", 3, {zdz::crypto::measure_sha256(std::string_view("v3"))}));
    const auto promote = [&](const std::string& keystore) {
        return run_program(
            zdz::test::promote_args(dir.file("v3.json"), dir.file("signers"), store, keystore),
            passphrases(kPassphrase));
    };
    EXPECT_EQ(promote(a).err,
              "error: cannot load existing store " + store + ": " + kSignatureInvalid + "\n");
    const auto promoted = promote(b);
    EXPECT_EQ(promoted.status, 0) << promoted.err;
    EXPECT_NE(promoted.out.find("  rollback floor now:   sv3\n"), std::string::npos);
}

TEST_F(RekeyStore, RefusalsLeaveTheStoreAsItWas) {
    keystore_at(dir.file("c.json"));
    const auto original = bytes_of(store);
    fs::copy_file(a, dir.file("a-copy.json"));
    fs::create_hard_link(a, dir.file("a-hard.json"));
    const auto refused = [&](const std::vector<std::string>& args,
                             const RunOptions& options = passphrases(kPassphrase)) {
        const auto r = run_program(args, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(bytes_of(store), original) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("store.tmp")));
        return r.err;
    };
    EXPECT_EQ(refused(rekey_args(store, a, dir.file("a-hard.json"))),
              "error: --new-keystore " + dir.file("a-hard.json") +
                  " is the same file as --keystore " + a + "\n");
    EXPECT_EQ(refused(rekey_args(store, a, dir.file("a-copy.json"))),
              "error: --new-keystore " + dir.file("a-copy.json") +
                  " holds the same key as --keystore " + a + "\n");
    EXPECT_EQ(refused(rekey_args(dir.file("none.json"), a, b)),
              "error: no store file found at " + dir.file("none.json") + "\n");
    EXPECT_FALSE(fs::exists(dir.file("none.json")));
    // Given a keystore it was not signed with.
    EXPECT_EQ(refused(rekey_args(store, dir.file("c.json"), b)),
              "error: cannot load store " + store + ": " + kSignatureInvalid + "\n");
    EXPECT_EQ(refused(rekey_args(store, a, b), passphrases("wrong")),
              "error: cannot unseal new keystore: " + kUnsealFailed + "\n");
    expect_put_back(refused(rekey_args(store, a, b),
                            with_fault_shim(passphrases(kPassphrase),
                                            {{"ZDZ_SHIM_TRUNCATE_FIRST_RENAME", "1"}})),
                    "store", store, "registry snapshot");

    // Run again once it went through: already done, not "does not verify".
    ASSERT_EQ(run_program(rekey_args(store, a, b), passphrases(kPassphrase)).status, 0);
    const auto rekeyed = bytes_of(store);
    const auto again = run_program(rekey_args(store, a, b), passphrases(kPassphrase));
    EXPECT_EQ(again.err, "error: store " + store +
                             " is already signed with the key of --new-keystore " + b + "\n");
    EXPECT_EQ(bytes_of(store), rekeyed);
}

// ---- killed at random moments ------------------------------------------------

// Run back and forth between two passphrases: after each kill the keystore
// opens, to the same key, with the passphrase it had or the one it was given.
TEST(KeyLifecycleKills, ChangePassphraseLeavesTheOldOrTheNewPassphrase) {
    TempDir dir;
    const auto k = dir.file("k.json");
    const auto key_hex = keystore_at(k).verifying_key_hex;
    const auto opens_with = [&](const std::string& passphrase) {
        const auto record = zdz::store::load_keystore(k);
        if (!record) {
            ADD_FAILURE() << record.error().display();
            return false;
        }
        const auto key =
            zdz::store::unseal_signing_key(*record, span_of(passphrase), zdz::test::now());
        return key && key->verifying_key().to_hex() == key_hex;
    };
    kill_back_and_forth(
        kPassphrase, kNewPassphrase,
        [&](const std::string& current, const std::string& next) {
            return Invocation{change_args(k), passphrases(current, next)};
        },
        opens_with);
}

// Run back and forth between two keystores: after each kill the store loads,
// with the same registry, with the key it had or the one it was given.
TEST(KeyLifecycleKills, RekeyStoreLeavesAStoreSignedWithTheOldOrTheNewKey) {
    const RekeyFiles files;
    const auto loads_with = [&](const std::string& keystore) {
        const auto key = zdz::store::keystore_verifying_key(*zdz::store::load_keystore(keystore));
        const auto loaded = zdz::store::load_registry_store(files.store, *key, zdz::test::now());
        if (loaded && !*loaded) {
            ADD_FAILURE() << "the store is gone";
        }
        return loaded && *loaded && (*loaded)->platforms() == files.registry.platforms();
    };
    kill_back_and_forth(
        files.a, files.b,
        [&](const std::string& current, const std::string& next) {
            return Invocation{rekey_args(files.store, current, next), passphrases(kPassphrase)};
        },
        loads_with);
}
