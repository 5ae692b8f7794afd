#include <cctype>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "check.hpp"
#include "crypto/ed25519.hpp"
#include "envelope/envelope.hpp"

// Signature text: what parses prints as 128 lower-case digits and parses back
// to the same bytes, whatever the case it was read in. Public keys: bytes that
// load keep their value, and verification of whatever the fuzzer gives never
// crashes and never accepts a signature made by no key.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    if (const auto signature = zdz::crypto::Signature::parse(text)) {
        const auto printed = signature->to_string();
        ZDZ_FUZZ_CHECK(printed.size() == 2 * zdz::crypto::kSignatureBytes);
        for (const char c : printed) {
            ZDZ_FUZZ_CHECK(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'));
        }
        const auto again = zdz::crypto::Signature::parse(printed);
        ZDZ_FUZZ_CHECK(again && *again == *signature);
        std::string upper = printed;
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        const auto from_upper = zdz::crypto::Signature::parse(upper);
        ZDZ_FUZZ_CHECK(from_upper && *from_upper == *signature);
    } else {
        ZDZ_FUZZ_CHECK(!signature.error().display().empty());
    }

    constexpr std::size_t kKey = zdz::crypto::kPublicKeyBytes;
    constexpr std::size_t kSignature = zdz::crypto::kSignatureBytes;
    if (size >= kKey + kSignature) {
        const auto key = zdz::crypto::VerifyingKey::from_bytes(std::span(data, kKey));
        if (key) {
            ZDZ_FUZZ_CHECK(std::equal(key->bytes().begin(), key->bytes().end(), data));
            zdz::crypto::Signature::Bytes raw{};
            std::copy(data + kKey, data + kKey + kSignature, raw.begin());
            const auto message = text.substr(kKey + kSignature);
            (void)zdz::crypto::verify_bytes(*key, message, zdz::crypto::Signature(raw));
        }
    }
    return 0;
}
