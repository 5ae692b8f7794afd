#include <cstddef>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "contracts/ids.hpp"

// Every accepted UUID form prints as the 36-character lower-case hyphenated
// text, which parses back to the same identifier; the bare parser and the
// contract parser agree, the latter adding only its prefix.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    const auto bare = zdz::contracts::parse_uuid_text(text);
    const auto uuid = zdz::contracts::Uuid::parse(text);
    ZDZ_FUZZ_CHECK(bare.has_value() == uuid.has_value());
    if (!uuid) {
        ZDZ_FUZZ_CHECK(uuid.error().display() ==
                       "validation failed: " + std::string(zdz::contracts::kUuidParseFailedPrefix) +
                           bare.error().display());
        return 0;
    }
    ZDZ_FUZZ_CHECK(*bare == *uuid);
    const auto printed = uuid->to_string();
    ZDZ_FUZZ_CHECK(printed.size() == 36);
    for (std::size_t i = 0; i < printed.size(); ++i) {
        const char c = printed[i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        ZDZ_FUZZ_CHECK(hyphen ? c == '-' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')));
    }
    const auto again = zdz::contracts::Uuid::parse(printed);
    ZDZ_FUZZ_CHECK(again && *again == *uuid && again->to_string() == printed);

    const auto device = zdz::contracts::DeviceId::parse(text);
    ZDZ_FUZZ_CHECK(device && device->uuid() == *uuid && device->to_string() == printed);
    ZDZ_FUZZ_CHECK(device->debug() == "DeviceId(" + printed.substr(0, 8) + "\u2026)");
    return 0;
}
