#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "json/canonical.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

// The reader under the file writer and the canonical writer: a document that
// reads prints as a file that reads back to the same tree (member order,
// duplicates and number kinds included), and its canonical form, when it has
// one, is itself a document whose canonical form is the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto round_trip = zdz::fuzz::file_round_trip(
        zdz::fuzz::as_text(data, size),
        [](std::string_view text) {
            auto tree = zdz::json::read_json(text);
            // Any text is refused for its syntax alone: no record judges it.
            ZDZ_FUZZ_CHECK(tree || tree.error().kind == zdz::json::DocumentError::Kind::Syntax);
            return tree;
        },
        [](const zdz::json::JsonValue& tree) { return zdz::json::to_pretty_json(tree); });
    if (!round_trip) {
        return 0;
    }
    const auto& tree = round_trip->read;
    ZDZ_FUZZ_CHECK(round_trip->again == tree);

    const auto canonical = zdz::json::canonical_json(tree);
    if (!canonical) {
        return 0;
    }
    const auto reread = zdz::json::read_json(*canonical);
    ZDZ_FUZZ_CHECK(reread.has_value());
    const auto recanonical = zdz::json::canonical_json(*reread);
    ZDZ_FUZZ_CHECK(recanonical && *recanonical == *canonical);
    return 0;
}
