#pragma once

#include "cli/command.hpp"
#include "store/errors.hpp"
#include "trust/errors.hpp"

namespace zdz::cli {

// The kind of a failure worded around `error`: a refusal when it is a trust
// decision, else an input that cannot be read or used. A caller whose step
// writes or locks says Io itself.
inline ErrorKind kind_of(const trust::TrustError& error) {
    return error.is_refusal() ? ErrorKind::Refused : ErrorKind::Input;
}

// The same for a keystore or a registry store: a refusal when its signature,
// its expiry or a trust rule refused it.
inline ErrorKind kind_of(const store::StoreError& error) {
    return error.is_refusal() ? ErrorKind::Refused : ErrorKind::Input;
}

}  // namespace zdz::cli
