#pragma once

// Shared by the fuzz targets: a property that does not hold stops the run with
// the failed expression, so the crash report says which property broke.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "document_error.hpp"

#define ZDZ_FUZZ_CHECK(condition)                                                                 \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)

namespace zdz::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// What a text read as, the file written from that, and what the file read
// back as.
template <class Value>
struct RoundTrip {
    Value read;
    std::string written;
    Value again;
};

// The round trip of a file format: a text that `read`s is written by `write`
// as a file that reads back, and writing what it read back as gives the same
// bytes. A text that does not read is refused for its syntax or content at a
// place inside it (placed_in) where `refusals_name_a_place`. Returns nothing for a refused text.
template <class Read, class Write>
auto file_round_trip(std::string_view text, Read read, Write write,
                     bool refusals_name_a_place = true)
    -> std::optional<RoundTrip<typename std::invoke_result_t<Read, std::string_view>::value_type>> {
    auto first = read(text);
    if (!first) {
        ZDZ_FUZZ_CHECK(!refusals_name_a_place || placed_in(first.error(), text));
        return std::nullopt;
    }
    std::string written = write(*first);
    auto again = read(written);
    ZDZ_FUZZ_CHECK(again.has_value());
    ZDZ_FUZZ_CHECK(write(*again) == written);
    return RoundTrip<typename std::invoke_result_t<Read, std::string_view>::value_type>{
        std::move(*first), std::move(written), std::move(*again)};
}

}  // namespace zdz::fuzz
