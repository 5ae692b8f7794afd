#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "document_error.hpp"
#include "json/canonical.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

// The reader under the file writer and the canonical writer: a document that
// reads prints as a file that reads back to the same tree (member order,
// duplicates and number kinds included), and its canonical form, when it has
// one, is itself a document whose canonical form is the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    const auto tree = zdz::json::read_json(text);
    if (!tree) {
        ZDZ_FUZZ_CHECK(zdz::fuzz::placed_in(tree.error(), text));
        ZDZ_FUZZ_CHECK(tree.error().kind == zdz::json::DocumentError::Kind::Syntax);
        return 0;
    }
    const auto printed = zdz::json::to_pretty_json(*tree);
    const auto again = zdz::json::read_json(printed);
    ZDZ_FUZZ_CHECK(again.has_value());
    ZDZ_FUZZ_CHECK(*again == *tree);
    ZDZ_FUZZ_CHECK(zdz::json::to_pretty_json(*again) == printed);

    const auto canonical = zdz::json::canonical_json(*tree);
    if (!canonical) {
        return 0;
    }
    const auto reread = zdz::json::read_json(*canonical);
    ZDZ_FUZZ_CHECK(reread.has_value());
    const auto recanonical = zdz::json::canonical_json(*reread);
    ZDZ_FUZZ_CHECK(recanonical && *recanonical == *canonical);
    return 0;
}
