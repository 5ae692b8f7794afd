#pragma once

#include <concepts>

#include "cli/command.hpp"
#include "store/errors.hpp"
#include "trust/errors.hpp"

namespace zdz::cli {

// The kind of a failure worded around a trust::TrustError or a
// store::StoreError: a refusal when it is a trust decision (for a store, its
// signature, its expiry or a trust rule), else an input that cannot be read or
// used. A caller whose step writes or locks says Io itself.
template <class Error>
requires std::same_as<Error, trust::TrustError> || std::same_as<Error, store::StoreError>
inline ErrorKind kind_of(const Error& error) {
    return error.is_refusal() ? ErrorKind::Refused : ErrorKind::Input;
}

}  // namespace zdz::cli
