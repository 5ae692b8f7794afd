#pragma once

namespace zdz::cli {

// What protect_process_secrets managed to put in place.
struct ProcessHygiene {
    bool not_dumpable = false;
    bool no_core_files = false;
    bool file_size_limit_reported = false;
};

// Called by every command that handles the passphrase or the signing key, before
// the passphrase is read; lasts for the rest of the process:
// - the process becomes non-dumpable: no core file is written for it, and
//   processes of the same user can neither attach to it nor read its memory or
//   its environment (which holds the passphrase) through /proc;
// - its core-file limit is set to zero, for systems where a core is written by
//   a helper that ignores the dumpable flag;
// - SIGXFSZ is ignored, so that a write beyond a file-size limit fails with
//   EFBIG and is reported like any other write error, instead of killing the
//   process halfway through a file (and dumping a core).
// Each step that the system refuses is skipped: none of them is a reason not
// to run the command.
ProcessHygiene protect_process_secrets();

}  // namespace zdz::cli
