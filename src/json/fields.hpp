#pragma once

// Converters for record members that hold one of the value types as text, for
// RecordReader::required and ::optional: a string that the type's own parser
// accepts, its refusal placed as record readers place it.

#include <tl/expected.hpp>

#include "contracts/content_hash.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "json/value.hpp"

namespace zdz::json {

// A UUID string; the refusal is "UUID parsing failed: " + the parser's message.
[[nodiscard]] tl::expected<contracts::Uuid, JsonReadError> read_uuid(const JsonValue& value);
[[nodiscard]] tl::expected<contracts::Timestamp, JsonReadError> read_timestamp(
    const JsonValue& value);
[[nodiscard]] tl::expected<contracts::ContentHash, JsonReadError> read_content_hash(
    const JsonValue& value);

}  // namespace zdz::json
