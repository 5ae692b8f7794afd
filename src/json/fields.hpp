#pragma once

// Codecs for record members that hold one of the value types as text: a
// string that the type's own parser accepts, its refusal placed as record
// readers place it (json/record.hpp).

#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "contracts/content_hash.hpp"
#include "contracts/errors.hpp"
#include "contracts/ids.hpp"
#include "contracts/time.hpp"
#include "json/record.hpp"

namespace zdz::json {

// The text form of a value type, for codecs.
template <class T>
std::string to_text(const T& value) {
    return value.to_string();
}

// A UUID; the refusal is "UUID parsing failed: " + the parser's message.
[[nodiscard]] tl::expected<contracts::Uuid, std::string> parse_uuid_field(std::string_view text);

using UuidCodec = ValidatedCodec<contracts::Uuid, std::string>;
inline constexpr UuidCodec uuid{parse_uuid_field, to_text<contracts::Uuid>, "a UUID string",
                                UuidCodec::Refusal::AfterString};
inline constexpr auto timestamp =
    validated(&contracts::Timestamp::parse, &to_text<contracts::Timestamp>);
inline constexpr auto content_hash =
    validated(&contracts::ContentHash::parse, &to_text<contracts::ContentHash>);

}  // namespace zdz::json
