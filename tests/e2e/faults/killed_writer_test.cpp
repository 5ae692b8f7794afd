// promote and withdraw killed at random moments: the store holds what it
// held or the one change more, its audit log agrees with it, and the next
// run goes through.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "e2e/faults/workspace.hpp"
#include "support/kills.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

namespace {

constexpr int kKillRounds = 200;

// The store and its audit log agree after a round: audit-store verifies
// every line and that the last save it records is the store, and every save
// that took effect is there, one committed line per sequence. Returns whether
// the log ends in the line of a save that never took effect.
bool expect_log_agrees(const Workspace& w, int round) {
    const auto audit =
        run({"audit-store", "--store", w.store, "--keystore", w.keystore, "--format", "json"});
    EXPECT_EQ(audit.status, 0) << "round " << round << ": " << audit.err;
    const auto r = run_tool(
        {"jq", "-r",
         R"(([.saves[] | select(.standing == "committed")] | length) == .sequence, .saves[-1].standing)"},
        {.stdin_data = audit.out});
    EXPECT_TRUE(r.out.starts_with("true\n")) << "round " << round << ": " << audit.out;
    return r.out.ends_with("\npending\n");
}

// Kills the run of `args_of(round)` at random moments: after each round the
// store holds, byte for byte, what it held, or `count` (of the entries the
// command adds) is one more; `also` checks the store further after a round.
// Whatever a kill left beside the store, the next run then goes through.
void kill_store_writer(
    const Workspace& w, const std::function<std::vector<std::string>(int round)>& args_of,
    const std::function<std::size_t()>& count,
    const std::function<void(int round)>& also = [](int) {}) {
    std::string before;
    std::size_t count_before = 0;
    int pending = 0;
    kill_at_random(
        kKillRounds,
        [&](int round) {
            before = bytes_of(w.store);
            count_before = count();
            return Invocation{args_of(round), with_passphrase()};
        },
        [&](int status, int round) {
            const auto now_count = count();
            if (status == 0 || now_count != count_before) {
                EXPECT_EQ(now_count, count_before + 1) << "round " << round;
            } else {
                EXPECT_EQ(bytes_of(w.store), before) << "round " << round;
            }
            pending += expect_log_agrees(w, round) ? 1 : 0;
            also(round);
            return now_count != count_before;
        });
    std::cout << "[          ] " << pending
              << " rounds left a logged save that never took effect\n";

    const auto next_count = count();
    const auto next = run(args_of(kKillRounds));
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(count(), next_count + 1);
    expect_log_agrees(w, kKillRounds);
}

}  // namespace

// After each round the store holds the promotions it had, byte for byte, or
// one more.
TEST(FaultInjection, PromoteKilledAtRandomPointsLeavesTheOldOrTheNewStore) {
    Workspace w;
    kill_store_writer(
        w, [&](int) { return w.promote_args(); }, [&] { return w.promotions(w.store); });
}

// Each round withdraws another measurement, so that every run that gets to
// its save changes the store; the promotion history is never touched.
TEST(FaultInjection, WithdrawKilledAtRandomPointsLeavesTheOldOrTheNewStore) {
    Workspace w;
    const auto measurement = [](int round) {
        return zdz::crypto::measure_sha256(std::string_view("recalled-" + std::to_string(round)))
            .to_string();
    };
    kill_store_writer(
        w, [&](int round) { return w.withdraw_args(measurement(round)); },
        [&] { return w.withdrawn(w.store); },
        [&](int round) { EXPECT_EQ(w.promotions(w.store), 1U) << "round " << round; });
}
