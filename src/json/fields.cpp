#include "json/fields.hpp"

namespace zdz::json {

tl::expected<contracts::Uuid, std::string> parse_uuid_field(std::string_view text) {
    return contracts::parse_uuid_text(text).map_error([](const contracts::UuidError& e) {
        return std::string(contracts::kUuidParseFailedPrefix) + e.display();
    });
}

}  // namespace zdz::json
