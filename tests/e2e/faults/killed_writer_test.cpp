// promote and withdraw killed at random moments: the store holds what it
// held or the one change more, and the next run goes through.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "e2e/faults/workspace.hpp"
#include "support/kills.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

namespace {

constexpr int kKillRounds = 30;

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
            also(round);
            return now_count != count_before;
        });

    const auto next_count = count();
    const auto next = run(args_of(kKillRounds));
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(count(), next_count + 1);
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
