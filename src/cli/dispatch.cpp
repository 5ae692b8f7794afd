#include "cli/dispatch.hpp"

#include <unistd.h>

#include <iostream>
#include <new>

#include "cli/demo_command.hpp"
#include "cli/hashes_command.hpp"
#include "cli/key_commands.hpp"
#include "cli/manifest_commands.hpp"
#include "cli/parse.hpp"
#include "cli/registry_commands.hpp"
#include "cli/show_store_command.hpp"
#include "cli/withdraw_command.hpp"
#include "encoding/text.hpp"
#include "io/file.hpp"

namespace zdz::cli {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

CommandResult dispatch(const Cli& cli, std::ostream& out) {
    return std::visit(Overloaded{
                          [&](const Keygen& c) { return run_keygen(c, out); },
                          [&](const ImportHashes& c) { return run_import_hashes(c, out); },
                          [&](const ImportSigners& c) { return run_import_signers(c, out); },
                          [&](const Sign& c) { return run_sign(c, out); },
                          [&](const Verify& c) { return run_verify(c, out); },
                          [&](const Promote& c) { return run_promote(c, out); },
                          [&](const AuthorizeInstall& c) { return run_authorize_install(c, out); },
                          [&](const Withdraw& c) { return run_withdraw(c, out); },
                          [&](const ShowStore& c) { return run_show_store(c, out); },
                          [&](const Demo& c) { return run_demo(c, out); },
                          [&](const ShowKey& c) { return run_show_key(c, out); },
                          [&](const ChangePassphrase& c) { return run_change_passphrase(c, out); },
                          [&](const RekeyStore& c) { return run_rekey_store(c, out); },
                      },
                      cli.subcommand);
}

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
