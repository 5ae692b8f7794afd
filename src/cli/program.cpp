#include "cli/program.hpp"

#include <unistd.h>

#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/dispatch.hpp"
#include "cli/grammar/parse.hpp"
#include "cli/json_report.hpp"
#include "contracts/errors.hpp"
#include "encoding/text.hpp"
#include "io/file.hpp"

namespace zdz::cli {

int run_guarded(std::ostream& err, const std::function<int()>& body,
                const std::function<void(const std::string&)>& on_failure) {
    std::string message;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        message = "out of memory";
    } catch (const std::exception& e) {
        message = "unexpected failure: " + encoding::terminal_safe(e.what());
    } catch (...) {
        message = "unexpected failure";
    }
    if (on_failure) {
        on_failure(message);
    }
    err << "error: " << message << '\n';
    err.flush();
    return 1;
}

namespace {

constexpr int kUsageStatus = 2;

// The first line of a usage error's text, without an "error: " of its own.
std::string usage_message(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    constexpr std::string_view kPrefix = "error: ";
    if (line.starts_with(kPrefix)) {
        line.erase(0, kPrefix.size());
    }
    return line;
}

int run_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    auto parsed = parse_command_line(args);
    if (auto* early = std::get_if<EarlyExit>(&parsed)) {
        out << early->out;
        if (early->status == kUsageStatus && json_requested(args)) {
            out << json_failure_text(fail(usage_message(early->err), ErrorKind::Usage));
        }
        err << early->err;
        return early->status;
    }
    const auto& cli = std::get<Cli>(parsed);
    const auto result = dispatch(cli, out);
    if (!result && output_format(cli) == OutputFormat::Json) {
        out << json_failure_text(result.error());
    }
    // The report first, then any error line: in one stream (2>&1) they read
    // in the order they happened.
    out.flush();
    if (!result) {
        err << "error: " << result.error().message << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

int run_main(int argc, char** argv, const StandardStreams& streams) {
    DescriptorOutput out_buffer(STDOUT_FILENO, streams.output_error);
    std::ostream out(&out_buffer);
    auto& err = std::cerr;
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    // A failure that escapes as an exception is a JSON document too, where
    // one was asked for.
    const auto report_failure = [&](const std::string& message) {
        if (json_requested(args)) {
            out << json_failure_text(fail_io(message));
            out.flush();
        }
    };
    int status = run_guarded(
        err, [&] { return run_command(args, out, err); }, report_failure);
    // Every byte of the report must have reached standard output: a report
    // lost to a full disk, a closed descriptor or a closed pipe is a failure,
    // even where the command's own work (a saved store) is done. A command
    // that failed already has its one error line.
    if (const int error = out_buffer.finish(); error != 0 && status == 0) {
        err << "error: cannot write standard output: " << contracts::os_error_text(error) << '\n';
        status = 1;
    }
    err.flush();
    return status;
}

}  // namespace zdz::cli
