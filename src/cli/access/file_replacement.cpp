#include "cli/access/file_replacement.hpp"

namespace zdz::cli {

CommandError not_durable(std::string_view noun, const std::string& path, std::string_view detail) {
    return fail_io(std::string(noun) + " written to " + path +
                   " but it may not be durable: " + std::string(detail));
}

CommandError replacement_failure(std::string_view noun_view, const std::string& path,
                                 const store::ReplacementError& error) {
    using Kind = store::ReplacementError::Kind;
    const std::string noun(noun_view);
    const std::string detail = error.error ? error.error->display() : std::string();
    const std::string unconfirmed = "the " + noun + " written to " + path +
                                    " did not read back as written (" + error.unconfirmed + ")";
    switch (error.kind) {
        case Kind::NotWritten:
            return fail_io("failed to write " + noun + " to " + path + ": " + detail +
                           "; the previous " + noun + " is unchanged");
        case Kind::PutBack:
            return fail_io(unconfirmed + "; the previous " + noun + " was put back");
        case Kind::NotPutBack:
            return fail_io(unconfirmed + ", and the previous " + noun +
                           " could not be put back: " + detail);
        case Kind::NotDurable:
            break;
    }
    return not_durable(noun, path, detail);
}

}  // namespace zdz::cli
