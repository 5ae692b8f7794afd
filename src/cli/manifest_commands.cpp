#include "cli/manifest_commands.hpp"

namespace zdz::cli {

CommandResult run_keygen(const Keygen&, std::ostream&) {
    return tl::unexpected(CommandError{"the keygen command is not available yet"});
}
CommandResult run_import_signers(const ImportSigners&, std::ostream&) {
    return tl::unexpected(CommandError{"the import-signers command is not available yet"});
}
CommandResult run_sign(const Sign&, std::ostream&) {
    return tl::unexpected(CommandError{"the sign command is not available yet"});
}
CommandResult run_verify(const Verify&, std::ostream&) {
    return tl::unexpected(CommandError{"the verify command is not available yet"});
}

}  // namespace zdz::cli
