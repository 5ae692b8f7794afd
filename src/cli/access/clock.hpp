#pragma once

#include <tl/expected.hpp>

#include "cli/command.hpp"
#include "contracts/time.hpp"

namespace zdz::cli {

// The system clock for a command: a clock that no timestamp can hold is the
// command's error, reported before anything is written.
[[nodiscard]] inline tl::expected<contracts::Timestamp, CommandError> read_clock() {
    return contracts::Timestamp::read_system_clock().map_error(
        [](const contracts::ClockError& e) { return fail_io(e.display()); });
}

}  // namespace zdz::cli
