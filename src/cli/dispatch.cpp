#include "cli/dispatch.hpp"

#include "cli/demo_command.hpp"
#include "cli/hashes_command.hpp"
#include "cli/manifest_commands.hpp"
#include "cli/parse.hpp"
#include "cli/registry_commands.hpp"

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
    return std::visit(
        Overloaded{
            [&](const Keygen& c) { return run_keygen(c, out); },
            [&](const ImportHashes& c) { return run_import_hashes(c, out); },
            [&](const ImportSigners& c) { return run_import_signers(c, out); },
            [&](const Sign& c) { return run_sign(c, out); },
            [&](const Verify& c) { return run_verify(c, out); },
            [&](const Promote& c) { return run_promote(c, out); },
            [&](const AuthorizeInstall& c) { return run_authorize_install(c, out); },
            [&](const Demo& c) { return run_demo(c, out); },
        },
        cli.subcommand);
}

int run_main(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto parsed = parse_command_line(args);
    if (auto* early = std::get_if<EarlyExit>(&parsed)) {
        out << early->out;
        err << early->err;
        out.flush();
        return early->status;
    }
    const auto result = dispatch(std::get<Cli>(parsed), out);
    out.flush();
    if (!result) {
        err << "error: " << result.error().message << '\n';
        err.flush();
        return 1;
    }
    return 0;
}

}  // namespace zdz::cli
