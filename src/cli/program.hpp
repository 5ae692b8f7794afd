#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "cli/standard_output.hpp"

namespace zdz::cli {

// Runs `body` and returns its status. The last line of defence for a failure
// that escapes as an exception (lower layers return errors as values): an
// allocation that failed is reported as "error: out of memory", any other
// exception as "error: unexpected failure: " + what it says, each with status 1,
// so that the process never aborts.
// `on_failure`, when given, is handed the text of that line after "error: ".
int run_guarded(std::ostream& err, const std::function<int()>& body,
                const std::function<void(const std::string&)>& on_failure = {});

// The whole program after prepare_standard_streams: parse, dispatch, print
// the error line, and check that standard output was written; returns the
// exit status.
int run_main(int argc, char** argv, const StandardStreams& streams);

}  // namespace zdz::cli
