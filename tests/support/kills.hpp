#pragma once

// Killing a command at random moments of its run, to show that whatever
// moment a kill lands on, the file the command replaces is the old one or the
// new one, whole.

#include <functional>
#include <string>
#include <vector>

#include "support/run.hpp"

namespace zdz::test {

// One run of the program: its arguments and how it is started.
struct Invocation {
    std::vector<std::string> args;
    RunOptions options;
};

// The invocation of one round (-1: the run that is timed, not killed).
using PrepareRound = std::function<Invocation(int round)>;
// Judges the files after a round from the exit status: true when the new
// file is in place, false when the old one is.
using JudgeRound = std::function<bool(int status, int round)>;

// Runs the command of round -1 to completion to learn its typical duration,
// then `rounds` times kills it with SIGKILL after a delay spread from the
// start to half as long again as a whole run. The delays come from a seed
// printed before the first round: ZDZ_KILL_SEED=<that number> in the
// environment replays the same delays. Expects at least one kill to land
// before the file changed, and prints how the rounds ended.
void kill_at_random(int rounds, const PrepareRound& prepare, const JudgeRound& judge);

}  // namespace zdz::test
