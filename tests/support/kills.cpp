#include "support/kills.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <thread>

namespace zdz::test {
namespace {

constexpr const char* kSeedVar = "ZDZ_KILL_SEED";

std::uint32_t kill_seed() {
    if (const char* given = std::getenv(kSeedVar); given != nullptr && *given != '\0') {
        return static_cast<std::uint32_t>(std::strtoul(given, nullptr, 10));
    }
    return std::random_device{}();
}

}  // namespace

void kill_at_random(int rounds, const PrepareRound& prepare, const JudgeRound& judge) {
    const auto seed = kill_seed();
    std::cout << "[          ] kill delays from seed " << seed << " (" << kSeedVar << "=" << seed
              << " replays them)\n";
    SCOPED_TRACE("kill delays from seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(0.0, 1.0);

    const auto first = prepare(-1);
    const auto start = std::chrono::steady_clock::now();
    const auto whole = run_program(first.args, first.options);
    const auto typical = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_TRUE(judge(whole.status, -1));

    int old_kept = 0;
    int new_in_place = 0;
    int finished = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto run = prepare(round);
        std::vector<std::string> argv{program_path()};
        argv.insert(argv.end(), run.args.begin(), run.args.end());
        ChildProcess child(argv, run.options);
        std::this_thread::sleep_for(std::chrono::duration_cast<std::chrono::microseconds>(
            typical * 1.5 * ((round + jitter(random)) / rounds)));
        child.send(SIGKILL);
        const int status = child.wait().status;
        const bool replaced = judge(status, round);
        ++(status == 0 ? finished : replaced ? new_in_place : old_kept);
    }
    std::cout << "[          ] " << rounds << " rounds: " << old_kept
              << " killed with the old file in place, " << new_in_place << " with the new one, "
              << finished << " finished\n";
    EXPECT_GT(old_kept, 0);
}

}  // namespace zdz::test
