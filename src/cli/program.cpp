#include "cli/program.hpp"

#include <unistd.h>

#include <iostream>
#include <new>

#include "cli/dispatch.hpp"
#include "cli/grammar/parse.hpp"
#include "contracts/errors.hpp"
#include "encoding/text.hpp"
#include "io/file.hpp"

namespace zdz::cli {

int run_guarded(std::ostream& err, const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        err << "error: out of memory\n";
    } catch (const std::exception& e) {
        err << "error: unexpected failure: " << encoding::terminal_safe(e.what()) << '\n';
    } catch (...) {
        err << "error: unexpected failure\n";
    }
    err.flush();
    return 1;
}

namespace {

int run_command(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto parsed = parse_command_line(args);
    if (auto* early = std::get_if<EarlyExit>(&parsed)) {
        out << early->out;
        err << early->err;
        return early->status;
    }
    const auto result = dispatch(std::get<Cli>(parsed), out);
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
    int status = run_guarded(err, [&] { return run_command(argc, argv, out, err); });
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
