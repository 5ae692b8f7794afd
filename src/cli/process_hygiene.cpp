#include "cli/process_hygiene.hpp"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>

namespace zdz::cli {

ProcessHygiene protect_process_secrets() {
    ProcessHygiene done;
    done.not_dumpable = ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    const rlimit no_core{0, 0};
    done.no_core_files = ::setrlimit(RLIMIT_CORE, &no_core) == 0;
    done.file_size_limit_reported = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    return done;
}

}  // namespace zdz::cli
