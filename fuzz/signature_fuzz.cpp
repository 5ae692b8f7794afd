#include <cctype>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "check.hpp"
#include "contracts/signing.hpp"

// Signature text: what parses prints as 128 lower-case digits and parses back
// to the same bytes, whatever the case it was read in. Public keys: bytes that
// load keep their value, and verification of whatever the fuzzer gives never
// crashes and never accepts a signature made by no key.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    if (const auto signature = zdz::contracts::Signature::parse(text)) {
        const auto printed = signature->to_string();
        ZDZ_FUZZ_CHECK(printed.size() == 2 * zdz::contracts::kSignatureBytes);
        for (const char c : printed) {
            ZDZ_FUZZ_CHECK(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'));
        }
        const auto again = zdz::contracts::Signature::parse(printed);
        ZDZ_FUZZ_CHECK(again && *again == *signature);
        std::string upper = printed;
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        const auto from_upper = zdz::contracts::Signature::parse(upper);
        ZDZ_FUZZ_CHECK(from_upper && *from_upper == *signature);
    } else {
        ZDZ_FUZZ_CHECK(!signature.error().display().empty());
    }

    constexpr std::size_t kKey = zdz::contracts::kPublicKeyBytes;
    constexpr std::size_t kSignature = zdz::contracts::kSignatureBytes;
    if (size >= kKey + kSignature) {
        const auto key = zdz::contracts::VerifyingKey::from_bytes(std::span(data, kKey));
        if (key) {
            ZDZ_FUZZ_CHECK(std::equal(key->bytes().begin(), key->bytes().end(), data));
            zdz::contracts::Signature::Bytes raw{};
            std::copy(data + kKey, data + kKey + kSignature, raw.begin());
            const auto message = text.substr(kKey + kSignature);
            (void)zdz::contracts::verify_bytes(*key, message, zdz::contracts::Signature(raw));
        }
    }
    return 0;
}
