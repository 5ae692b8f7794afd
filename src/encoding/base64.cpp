#include "encoding/base64.hpp"

#include <sodium.h>

#include <array>

#include "encoding/try.hpp"

namespace zdz::encoding {
namespace {

constexpr char kPad = '=';
constexpr std::size_t kGroupChars = 4;
constexpr std::size_t kGroupBytes = 3;
constexpr std::size_t kMinFinalSymbols = 2;
constexpr int kInvalid = -1;

constexpr std::array<int, 256> make_symbol_table() {
    std::array<int, 256> table{};
    table.fill(kInvalid);
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int>(i);
    }
    return table;
}

constexpr auto kSymbolValue = make_symbol_table();

int symbol_value(char c) {
    return kSymbolValue[static_cast<unsigned char>(c)];
}

Base64Error invalid_symbol(char c, std::size_t offset) {
    return {Base64Error::Kind::InvalidSymbol, static_cast<unsigned char>(c), offset, 0};
}

// Appends the bytes of `count` symbols (2, 3 or 4) packed big-endian.
void append_group(std::vector<std::uint8_t>& out, const int* values, std::size_t count) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < kGroupChars; ++i) {
        bits = (bits << 6) | (i < count ? static_cast<std::uint32_t>(values[i]) : 0U);
    }
    for (std::size_t i = 0; i + 1 < count; ++i) {
        out.push_back(static_cast<std::uint8_t>(bits >> (16 - 8 * i)));
    }
}

using Group = std::array<int, kGroupChars>;

// The full groups before `final_start`, four symbols each.
[[nodiscard]] tl::expected<void, Base64Error> decode_full_groups(std::string_view text,
                                                                 std::size_t final_start,
                                                                 std::vector<std::uint8_t>& out) {
    Group values{};
    for (std::size_t group = 0; group < final_start; group += kGroupChars) {
        for (std::size_t k = 0; k < kGroupChars; ++k) {
            values[k] = symbol_value(text[group + k]);
            if (values[k] == kInvalid) {
                return tl::unexpected(invalid_symbol(text[group + k], group + k));
            }
        }
        append_group(out, values.data(), kGroupChars);
    }
    return {};
}

// The symbols of the final group from `final_start` to the end, with the
// padding after them; at least two symbols, and four with the padding.
[[nodiscard]] tl::expected<std::size_t, Base64Error> final_symbols(std::string_view text,
                                                                   std::size_t final_start,
                                                                   Group& values) {
    std::size_t symbols = 0;
    std::size_t pads = 0;
    std::size_t first_pad = 0;
    for (std::size_t p = final_start; p < text.size(); ++p) {
        if (text[p] == kPad) {
            if (p - final_start < kMinFinalSymbols) {
                return tl::unexpected(invalid_symbol(kPad, p));
            }
            first_pad = pads++ == 0 ? p : first_pad;
            continue;
        }
        if (pads > 0) {
            return tl::unexpected(invalid_symbol(kPad, first_pad));
        }
        values[symbols] = symbol_value(text[p]);
        if (values[symbols++] == kInvalid) {
            return tl::unexpected(invalid_symbol(text[p], p));
        }
    }
    if (symbols < kMinFinalSymbols) {
        return tl::unexpected(Base64Error{Base64Error::Kind::InvalidLength, 0, 0, text.size()});
    }
    if (symbols + pads != kGroupChars) {
        return tl::unexpected(Base64Error{Base64Error::Kind::InvalidPadding, 0, 0, 0});
    }
    return symbols;
}

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), kVariant), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), kVariant);
    out.pop_back();  // the terminating NUL that libsodium writes
    return out;
}

std::string Base64Error::display() const {
    switch (kind) {
        case Kind::InvalidSymbol:
            return "Invalid symbol " + std::to_string(byte) + ", offset " + std::to_string(offset) +
                   ".";
        case Kind::InvalidLastSymbol:
            return "Invalid last symbol " + std::to_string(byte) + ", offset " +
                   std::to_string(offset) + ".";
        case Kind::InvalidLength:
            return "Invalid input length: " + std::to_string(length);
        case Kind::InvalidPadding:
            return "Invalid padding";
    }
    return {};
}

tl::expected<std::vector<std::uint8_t>, Base64Error> base64_decode(std::string_view text) {
    const std::size_t n = text.size();
    if (n == 0) {
        return std::vector<std::uint8_t>{};
    }
    const std::size_t remainder = n % kGroupChars;
    // A lone trailing byte is judged before anything else in the input.
    if (remainder == 1 && text[n - 1] != kPad && symbol_value(text[n - 1]) == kInvalid) {
        return tl::unexpected(invalid_symbol(text[n - 1], n - 1));
    }
    const std::size_t final_start = n - (remainder != 0 ? remainder : kGroupChars);

    std::vector<std::uint8_t> out;
    out.reserve(final_start / kGroupChars * kGroupBytes + kGroupBytes);
    ZDZ_RETURN_IF_ERROR(decode_full_groups(text, final_start, out));
    Group values{};
    ZDZ_TRY(const auto symbols, final_symbols(text, final_start, values));
    // Two symbols carry one byte and leave 4 bits over; three carry two bytes
    // and leave 2. Those bits must be zero for the encoding to be canonical.
    const int unused_mask = symbols == 2 ? 0x0F : symbols == 3 ? 0x03 : 0;
    const std::size_t last = final_start + symbols - 1;
    if ((values[symbols - 1] & unused_mask) != 0) {
        return tl::unexpected(Base64Error{Base64Error::Kind::InvalidLastSymbol,
                                          static_cast<unsigned char>(text[last]), last, 0});
    }
    append_group(out, values.data(), symbols);
    return out;
}

}  // namespace zdz::encoding
