#pragma once

#include <tl/expected.hpp>
#include <utility>

// The one way an error is carried up: a step that fails returns its error
// from the enclosing function, which converts it to its own error type as a
// hand-written `return tl::unexpected(e)` would.
//
//   ZDZ_TRY(const auto key, load_key(path));   // key is the value
//   ZDZ_RETURN_IF_ERROR(check_inputs(cmd));     // the value, if any, is not needed
//
// The expected result is held by value for the rest of the scope, so an
// lvalue given as `expr` is copied, never moved from.
#define ZDZ_TRY(decl, expr) ZDZ_TRY_WITH(decl, expr, ZDZ_TRY_NAME(zdz_try_, __LINE__))
#define ZDZ_RETURN_IF_ERROR(expr) ZDZ_RETURN_IF_ERROR_WITH(expr, ZDZ_TRY_NAME(zdz_try_, __LINE__))

#define ZDZ_TRY_NAME(prefix, line) ZDZ_TRY_JOIN(prefix, line)
#define ZDZ_TRY_JOIN(prefix, line) prefix##line
// `result` is a name made by ZDZ_TRY_NAME and `decl` a declaration: neither can
// stand in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define ZDZ_TRY_WITH(decl, expr, result)                  \
    auto result = (expr);                                 \
    if (!result) {                                        \
        return tl::unexpected(std::move(result).error()); \
    }                                                     \
    decl = *std::move(result)
#define ZDZ_RETURN_IF_ERROR_WITH(expr, result)                \
    do {                                                      \
        if (auto result = (expr); !result) {                  \
            return tl::unexpected(std::move(result).error()); \
        }                                                     \
    } while (false)
// NOLINTEND(bugprone-macro-parentheses)
