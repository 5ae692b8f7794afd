#include "json/fields.hpp"

#include "contracts/content_hash.hpp"
#include "json/record.hpp"

namespace zdz::json {

tl::expected<contracts::Uuid, JsonReadError> read_uuid(const JsonValue& value) {
    static const auto convert = as_token("a UUID string", [](std::string_view text) {
        return contracts::parse_uuid_text(text).map_error([](const contracts::UuidError& e) {
            return std::string(contracts::kUuidParseFailedPrefix) + e.display();
        });
    });
    return convert(value);
}

tl::expected<contracts::Timestamp, JsonReadError> read_timestamp(const JsonValue& value) {
    static const auto convert = as_validated_text(contracts::Timestamp::parse);
    return convert(value);
}

tl::expected<contracts::ContentHash, JsonReadError> read_content_hash(const JsonValue& value) {
    static const auto convert = as_validated_text(contracts::ContentHash::parse);
    return convert(value);
}

}  // namespace zdz::json
