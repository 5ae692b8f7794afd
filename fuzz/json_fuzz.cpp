#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "contracts/canonical.hpp"
#include "contracts/json.hpp"

// The reader under the file writer and the canonical writer: a document that
// reads prints as a file that reads back to the same tree (member order,
// duplicates and number kinds included), and its canonical form, when it has
// one, is itself a document whose canonical form is the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    const auto tree = zdz::contracts::read_json(text);
    if (!tree) {
        ZDZ_FUZZ_CHECK(tree.error().find(" at line ") != std::string::npos);
        return 0;
    }
    const auto printed = zdz::contracts::to_pretty_json(*tree);
    const auto again = zdz::contracts::read_json(printed);
    ZDZ_FUZZ_CHECK(again.has_value());
    ZDZ_FUZZ_CHECK(*again == *tree);
    ZDZ_FUZZ_CHECK(zdz::contracts::to_pretty_json(*again) == printed);

    const auto canonical = zdz::contracts::canonical_json(*tree);
    if (!canonical) {
        return 0;
    }
    const auto reread = zdz::contracts::read_json(*canonical);
    ZDZ_FUZZ_CHECK(reread.has_value());
    const auto recanonical = zdz::contracts::canonical_json(*reread);
    ZDZ_FUZZ_CHECK(recanonical && *recanonical == *canonical);
    return 0;
}
