// The history of a registry store, as its writers leave it and its readers
// check it: numbered saves chained by the hash of the store before, the
// signed audit log beside the store, the checkpoint that refuses a store put
// back or forked, and the expiry that refresh-store renews. Every hash is
// checked against one computed by jq and sha256sum, not by the program.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/fixtures.hpp"
#include "support/golden.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

using namespace zdz::test;
namespace fs = std::filesystem;

namespace {

// `text` with the first `from` in it replaced by `to`.
std::string with_replaced(const std::string& text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from << " in " << text;
    return at == std::string::npos ? text : text.substr(0, at) + to + text.substr(at + from.size());
}

// "v3", the name of image 3 and of its manifest.
std::string version_name(int version) {
    std::string name = "v";
    name += std::to_string(version);
    return name;
}

class StoreHistory : public ::testing::Test {
protected:
    void SetUp() override {
        write_test_keystore(dir.file("release.key"));
        write_test_keystore(dir.file("next.key"));
        dir.write("signers", run_program({"show-key", "--keystore", dir.file("release.key"),
                                          "--principal", "release@ci", "--trust-line"})
                                 .out);
        for (int version = 1; version <= 4; ++version) {
            const auto name = version_name(version);
            dir.write(name + ".img", "image " + name);
            EXPECT_EQ(run(sign_args(dir.file("release.key"), dir.file(name + ".img"),
                                    std::to_string(version), dir.file(name + ".json")))
                          .status,
                      0);
        }
    }

    RunResult run(std::vector<std::string> args) const {
        return run_program(args, {.env = {{kPassphraseVar, kPassphrase}}});
    }

    // Promotes the manifest of image `version` into `store`.
    RunResult promote(int version, const std::string& store = "store.json",
                      std::vector<std::string> extra = {}) const {
        auto args = promote_args(dir.file(version_name(version) + ".json"), dir.file("signers"),
                                 dir.file(store), dir.file("release.key"));
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }

    RunResult authorize(const std::string& store, int version,
                        const std::string& checkpoint = "checkpoint.json") const {
        return run_program({"authorize-install", "--store", dir.file(store), "--keystore",
                            dir.file("release.key"), "--platform", "vask", "--image-file",
                            dir.file(version_name(version) + ".img"), "--checkpoint",
                            dir.file(checkpoint)});
    }

    RunResult audit(const std::string& key = "release.key",
                    const std::string& store = "store.json") const {
        return run_program(
            {"audit-store", "--store", dir.file(store), "--keystore", dir.file(key)});
    }

    // jq's answer to `filter` on the file `name`.
    std::string jq(const std::string& filter, const std::string& name) const {
        const auto r = run_tool({"jq", "-r", filter, dir.file(name)});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out.substr(0, r.out.find_last_not_of('\n') + 1);
    }

    // The content hash of a store as its signature covers it: the envelope
    // without its signature, absent members as null, in canonical form.
    std::string signed_hash(const std::string& name) const {
        const auto r = run_tool(
            {"sh", "-c",
             "jq -cS 'del(.signature) | .expires_at //= null | .previous_hash //= null' \"$0\" "
             "| tr -d '\\n' | sha256sum",
             dir.file(name)});
        EXPECT_EQ(r.status, 0) << r.err;
        return "sha256:" + r.out.substr(0, 64);
    }

    std::vector<std::string> log_lines(const std::string& name = "store.log") const {
        std::vector<std::string> lines;
        std::istringstream in(dir.read(name));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    void write_log(const std::vector<std::string>& lines) const {
        std::string text;
        for (const auto& line : lines) {
            text += line + "\n";
        }
        dir.write("store.log", text);
    }

    TempDir dir;
};

TEST_F(StoreHistory, EverySaveIsNumberedChainedAndLogged) {
    const std::string key = dir.file("release.key");
    const std::string store = dir.file("store.json");
    const std::vector<std::vector<std::string>> saves{
        {},  // promotes v1, below
        {},  // promotes v2
        {"withdraw", "--store", store, "--keystore", key, "--passphrase-env", kPassphraseVar,
         "--platform", "vask", "--image-file", dir.file("v1.img")},
        {"set-policy", "--store", store, "--keystore", key, "--passphrase-env", kPassphraseVar,
         "--platform", "vask", "--min-signers", "2"},
        {"rekey-store", "--store", store, "--keystore", key, "--new-keystore", dir.file("next.key"),
         "--passphrase-env", kPassphraseVar},
        {"refresh-store", "--store", store, "--keystore", dir.file("next.key"), "--passphrase-env",
         kPassphraseVar, "--store-expires-at", "2999-01-01T00:00:00Z"},
    };
    for (std::size_t i = 0; i < saves.size(); ++i) {
        const auto r = i < 2 ? promote(static_cast<int>(i) + 1) : run(saves[i]);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto sequence = std::to_string(i + 1);
        const auto copy = "store." + sequence + ".json";
        fs::copy_file(store, dir.file(copy));
        EXPECT_EQ(jq(".payload.sequence", copy), sequence);
        EXPECT_EQ(jq(".previous_hash", copy),
                  i == 0 ? "null" : signed_hash("store." + std::to_string(i) + ".json"));
        // The log's line for this save names the store it wrote.
        const auto lines = log_lines();
        ASSERT_EQ(lines.size(), i + 1);
        dir.write("line.json", lines.back());
        EXPECT_EQ(jq(".sequence", "line.json"), sequence);
        EXPECT_EQ(jq(".store_hash", "line.json"), signed_hash(copy));
    }
    EXPECT_EQ(jq(".expires_at", "store.json"), "2999-01-01T00:00:00Z");

    // show-store names the sequence and the hash an independent tool finds.
    const auto shown =
        run_program({"show-store", "--store", store, "--keystore", dir.file("next.key")});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_TRUE(shown.out.starts_with(
        "[ok] store verified: " + store + "\n  sequence:          6\n  store hash:        " +
        signed_hash("store.json") + "\n  expires at:        2999-01-01T00:00:00Z\n"))
        << shown.out;

    // The audit crosses the rekey: the first four lines are checked with the
    // key the store had then.
    const auto audited = run_program(
        {"audit-store", "--store", store, "--keystore", dir.file("next.key"), "--format", "json"});
    ASSERT_EQ(audited.status, 0) << audited.err;
    dir.write("audit.json", audited.out);
    EXPECT_EQ(
        jq("[.saves[] | \"\\(.sequence) \\(.command) \\(.standing)\"] | join(\",\")", "audit.json"),
        "1 promote committed,2 promote committed,3 withdraw committed,"
        "4 set-policy committed,5 rekey-store committed,6 refresh-store committed");
    EXPECT_EQ(jq(".store_hash", "audit.json"), signed_hash("store.json"));
    // The old key no longer verifies the store, so it cannot audit it.
    EXPECT_EQ(audit().status, 1);
}

// A store saved before stores were numbered (no sequence, no log) reads as
// sequence 0: its next save is 1, chained to it, and begins the log.
TEST_F(StoreHistory, AStoreSavedBeforeSequencesContinuesTheChain) {
    for (const auto* name : {"store.json", "keystore.json"}) {
        fs::copy_file(golden::golden_dir() + "/" + name,
                      dir.file(name == std::string("store.json") ? "store.json" : "golden.key"));
    }
    const auto before = signed_hash("store.json");
    auto r = audit("golden.key");
    EXPECT_EQ(r,
              (RunResult{0,
                         "[ok] no save of " + dir.file("store.json") +
                             " is logged yet\n  store:          " + dir.file("store.json") +
                             ", sequence 0, " + before + "\n  log begins at:  its next save, in " +
                             dir.file("store.log") + "\n",
                         ""}));
    r = run({"refresh-store", "--store", dir.file("store.json"), "--keystore",
             dir.file("golden.key"), "--passphrase-env", kPassphraseVar, "--store-expires-at",
             "2999-01-01T00:00:00Z"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(jq(".payload.sequence", "store.json"), "1");
    EXPECT_EQ(jq(".previous_hash", "store.json"), before);
    r = audit("golden.key");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n  log begins at:  sequence 1, on a store saved before stores kept a "
                         "log (" +
                         before + ")\n  saves logged:   1\n"),
              std::string::npos)
        << r.out;
}

// A reader's checkpoint refuses a store older than the last it accepted, and
// one of the same sequence with other content, however validly signed.
TEST_F(StoreHistory, TheCheckpointRefusesAReplayAndAForkAndFollowsANewerStore) {
    ASSERT_EQ(promote(1).status, 0);
    fs::copy_file(dir.file("store.json"), dir.file("old.json"));
    fs::copy_file(dir.file("store.log"), dir.file("old.log"));
    ASSERT_EQ(promote(2).status, 0);

    // First use trusts the store found, and says so.
    auto r = authorize("store.json", 2);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("  checkpoint:        " + dir.file("checkpoint.json") +
                                " created at sequence 2 (first use: the store found is "
                                "trusted)\n"))
        << r.out;
    EXPECT_EQ(jq(".sequence", "checkpoint.json"), "2");
    EXPECT_EQ(jq(".store_hash", "checkpoint.json"), signed_hash("store.json"));

    // The old copy put back: its rollback floor would let v1 in again.
    const auto checkpoint = dir.read("checkpoint.json");
    r = authorize("old.json", 1);
    EXPECT_EQ(r, (RunResult{1, "",
                            "error: store sequence 1 is older than the last one seen here, 2 "
                            "(checkpoint " +
                                dir.file("checkpoint.json") + ")\n"}));
    EXPECT_EQ(dir.read("checkpoint.json"), checkpoint);
    // A writer is refused it too, before anything is written.
    r = promote(3, "old.json", {"--checkpoint", dir.file("checkpoint.json")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: store sequence 1 is older than the last one seen here, 2 (checkpoint " +
                  dir.file("checkpoint.json") + ")\n");
    EXPECT_EQ(jq(".payload.sequence", "old.json"), "1");

    // A fork: the old copy saved again by its own writer, so sequence 2 twice.
    ASSERT_EQ(promote(3, "old.json").status, 0);
    r = authorize("old.json", 3);
    EXPECT_EQ(r, (RunResult{1, "",
                            "error: store sequence 2 is " + signed_hash("old.json") +
                                ", but the store seen here at that sequence was " +
                                signed_hash("store.json") + " (checkpoint " +
                                dir.file("checkpoint.json") + "): the store has forked\n"}));

    // The same store again, then a newer one: the checkpoint follows.
    r = authorize("store.json", 2);
    EXPECT_TRUE(r.out.ends_with(" at sequence 2, as seen before\n")) << r.out;
    r = promote(3, "store.json", {"--checkpoint", dir.file("checkpoint.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("  checkpoint:           " + dir.file("checkpoint.json") +
                                " advanced from sequence 2 to 3\n"))
        << r.out;
    EXPECT_EQ(jq(".store_hash", "checkpoint.json"), signed_hash("store.json"));
    EXPECT_EQ(authorize("store.json", 3).status, 0);

    // A checkpoint that is not one is refused, not taken for a first use.
    dir.write("bad.json", "{}");
    r = authorize("store.json", 3, "bad.json");
    EXPECT_EQ(r, (RunResult{1, "",
                            "error: checkpoint " + dir.file("bad.json") +
                                " is malformed: missing field `format_version` at line 1 column "
                                "2\n"}));
    EXPECT_EQ(dir.read("bad.json"), "{}");
}

// Any line changed, removed, moved or added is found, and the break named by
// its line; so is a log signed by a key the store never had.
TEST_F(StoreHistory, AnyChangeToTheLogIsFoundAtItsLine) {
    for (int version = 1; version <= 3; ++version) {
        ASSERT_EQ(promote(version).status, 0);
    }
    const auto lines = log_lines();
    ASSERT_EQ(lines.size(), 3U);
    ASSERT_EQ(audit().status, 0);
    const auto refused = [&](const std::string& reason) {
        return RunResult{1, "", "error: audit log " + dir.file("store.log") + reason + "\n"};
    };

    auto changed = lines;
    changed[1] = with_replaced(lines[1], "\"security_version\":2", "\"security_version\":1");
    write_log(changed);
    EXPECT_EQ(audit(), refused(" line 3 does not link to line 2 (a line was changed, removed or "
                               "moved)"));

    changed = lines;
    changed[2] = with_replaced(lines[2], "\"time\":\"2", "\"time\":\"1");
    write_log(changed);
    EXPECT_EQ(audit(), refused(" line 3 is not signed with the store's key of its time"));

    write_log({lines[0], lines[2]});
    EXPECT_EQ(audit(), refused(" line 2 does not link to line 1 (a line was changed, removed or "
                               "moved)"));
    write_log({lines[1], lines[0], lines[2]});
    EXPECT_EQ(audit(), refused(" line 1 links to a line before it that the log does not hold"));
    write_log({lines[0], lines[1]});
    EXPECT_EQ(audit().err.find("error: audit log " + dir.file("store.log") +
                               " line 2 saved sequence 2 ("),
              0U);

    // A line of another store's log, signed by another key, appended: it
    // does not link; nor does a whole log of that store verify here.
    ASSERT_EQ(
        run({"keygen", "--out", dir.file("other.key"), "--passphrase-env", kPassphraseVar}).status,
        0);
    fs::create_directory(dir.file("other"));
    const auto other = run(promote_args(dir.file("v1.json"), dir.file("signers"),
                                        dir.file("other/store.json"), dir.file("other.key")));
    ASSERT_EQ(other.status, 0) << other.err;
    const auto foreign = log_lines("other/store.log");
    write_log({lines[0], lines[1], lines[2], foreign[0]});
    EXPECT_EQ(audit(),
              refused(" line 4 does not link to line 3 (a line was changed, removed or moved)"));
    write_log(foreign);
    EXPECT_EQ(audit(), refused(" line 1 is not signed with the store's key of its time"));

    // The log as it was verifies again.
    write_log(lines);
    EXPECT_EQ(audit().status, 0);
}

// A store past its expiry is refused by every reader with the time it
// expired; refresh-store renews it, and a frozen copy stays expired.
TEST_F(StoreHistory, AnExpiredStoreIsRefusedUntilRefreshed) {
    const auto now = zdz::test::now().seconds_since_epoch();
    const auto soon = *zdz::contracts::Timestamp::from_unix_seconds(now + 3600);
    ASSERT_EQ(promote(1, "store.json", {"--store-expires-at", soon.to_string()}).status, 0);
    EXPECT_EQ(jq(".expires_at", "store.json"), soon.to_string());
    fs::copy_file(dir.file("store.json"), dir.file("frozen.json"));
    const auto later = [&](std::vector<std::string> args) {
        std::string at = "@";
        at += std::to_string(now + 7200);
        args.insert(args.begin(), {"faketime", at, program_path()});
        return run_tool(args, {.env = {{kPassphraseVar, kPassphrase}}});
    };
    const auto install =
        authorize_args(dir.file("store.json"), dir.file("release.key"), dir.file("v1.img"));
    auto r = later(install);
    EXPECT_EQ(r, (RunResult{1, "",
                            "error: cannot load store " + dir.file("store.json") +
                                ": registry store expired at " + soon.to_string() +
                                " (refresh-store renews it)\n"}));
    r = later({"refresh-store", "--store", dir.file("store.json"), "--keystore",
               dir.file("release.key"), "--passphrase-env", kPassphraseVar, "--store-expires-at",
               "2999-01-01T00:00:00Z"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  expires at:   2999-01-01T00:00:00Z (was " + soon.to_string() + ")\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(later(install).status, 0);
    auto frozen = install;
    frozen[2] = dir.file("frozen.json");
    EXPECT_EQ(later(frozen).status, 1);
    EXPECT_EQ(later({"audit-store", "--store", dir.file("store.json"), "--keystore",
                     dir.file("release.key")})
                  .status,
              0);
}

// What a crash leaves, made by hand: a logged save whose store never took
// its place (the old store put back under the new line) is shown as pending
// and superseded by the next save; a line cut off part way is dropped by the
// next append. Neither is ever a committed line.
TEST_F(StoreHistory, ASaveThatNeverTookEffectIsSupersededAndATornLineCutOff) {
    ASSERT_EQ(promote(1).status, 0);
    fs::copy_file(dir.file("store.json"), dir.file("before.json"));
    ASSERT_EQ(promote(2).status, 0);
    fs::copy_file(dir.file("before.json"), dir.file("store.json"),
                  fs::copy_options::overwrite_existing);
    auto r = audit();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n     (line 2: this save never took effect; the next save supersedes "
                         "it)\n"),
              std::string::npos)
        << r.out;

    ASSERT_EQ(promote(3).status, 0);
    dir.write("store.log", dir.read("store.log") + R"({"command":"promote","key_id":)");
    r = audit("release.key");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n     (line 2: this save never took effect; the next line supersedes "
                         "it)\n  2  "),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(
        r.out.ends_with("note: the log ends in an incomplete line that an interrupted save "
                        "left; the next save removes it\n"))
        << r.out;

    ASSERT_EQ(promote(4).status, 0);
    const auto lines = log_lines();
    ASSERT_EQ(lines.size(), 4U);
    dir.write("line.json", lines.back());
    EXPECT_EQ(jq(".sequence", "line.json"), "3");
    r = run_program({"audit-store", "--store", dir.file("store.json"), "--keystore",
                     dir.file("release.key"), "--format", "json"});
    dir.write("audit.json", r.out);
    EXPECT_EQ(jq("([.saves[].standing] | join(\",\")), .torn_tail", "audit.json"),
              "committed,superseded,committed,committed\nfalse");
}

}  // namespace
