#pragma once

// Shared by the fuzz targets of whole-document readers: a document that is
// not read is refused for its syntax or its content, never for want of memory
// on a fuzz input, and the failure is placed inside the text it came from.

#include <string>
#include <string_view>

#include "json/reader.hpp"

namespace zdz::fuzz {

inline bool placed_in(const json::DocumentError& error, std::string_view text) {
    using Kind = json::DocumentError::Kind;
    return (error.kind == Kind::Syntax || error.kind == Kind::Refused) &&
           error.offset <= text.size() && error.line >= 1 && error.column <= error.offset &&
           error.display() == error.message + " at line " + std::to_string(error.line) +
                                  " column " + std::to_string(error.column);
}

}  // namespace zdz::fuzz
