// A folder whose lock cannot be taken: every command that saves the store
// fails before reading it, keygen before writing, and each says the failure
// is the system's.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "e2e/faults/workspace.hpp"

using namespace zdz::test;
using namespace zdz::test::faults;

TEST(FaultInjection, AStoreFolderThatCannotBeLockedIsAnIoFailureOfEverySavingCommand) {
    Workspace w;
    const auto next = w.dir.file("next.json");
    ASSERT_EQ(run(w.keygen_args(next)).status, 0);
    const auto before = bytes_of(w.store);

    auto no_lock = with_fault_shim({{"ZDZ_SHIM_FAIL_FLOCK", "1"}});
    no_lock.env.emplace(kPassphraseVar, kPassphrase);
    const std::string lock_failed = ": local storage operation failed: cannot lock " +
                                    w.dir.path() + ": No locks available (os error 37)\n";
    auto promote = w.promote_args();
    promote.insert(promote.end(), {"--format", "json"});
    const std::vector<std::string> rekey = {
        "rekey-store",  "--store",        w.store, "--keystore",
        w.keystore,     "--new-keystore", next,    "--passphrase-env",
        kPassphraseVar, "--format",       "json"};
    auto keygen = w.keygen_args(w.dir.file("another.json"));
    keygen.insert(keygen.end(), {"--format", "json"});
    // Each in its own words, as when the store does not load; a new keystore
    // as when it cannot be written.
    const std::vector<std::pair<std::vector<std::string>, std::string>> commands = {
        {promote, "error: cannot load existing store " + w.store + lock_failed},
        {rekey, "error: cannot load store " + w.store + lock_failed},
        {keygen, "error: failed to write keystore to " + w.dir.file("another.json") + lock_failed},
    };
    for (const auto& [args, error_line] : commands) {
        const auto r = run(args, no_lock, kQuickTimeout);
        EXPECT_EQ(r.status, 1) << args.front();
        EXPECT_EQ(r.err, error_line) << args.front();
        RunOptions document;
        document.stdin_data = r.out;
        EXPECT_EQ(run_tool({"jq", "-r", ".error.kind"}, document).out, "io\n") << r.out;
    }
    EXPECT_EQ(bytes_of(w.store), before);
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("another.json")));
}
