#include <cstddef>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "crypto/ed25519.hpp"
#include "encoding/text.hpp"
#include "trust/signers.hpp"

// Every signer read from a trust file prints as a line that reads back as the
// same signer, and the printed lines together read back as the same list. A
// validity window that was read holds at least one instant.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = zdz::fuzz::as_text(data, size);
    if (!zdz::encoding::is_valid_utf8(text)) {
        return 0;  // the command refuses such files before parsing
    }
    const auto signers = zdz::trust::parse_allowed_signers(text);
    if (!signers) {
        (void)signers.error().display();
        return 0;
    }
    ZDZ_FUZZ_CHECK(!signers->empty());
    std::string printed;
    for (const auto& signer : *signers) {
        ZDZ_FUZZ_CHECK(!signer.principal.empty() && signer.principal.front() != '#');
        ZDZ_FUZZ_CHECK(!signer.valid_after || !signer.valid_before ||
                       *signer.valid_after < *signer.valid_before);
        ZDZ_FUZZ_CHECK(!signer.valid_after || signer.valid_at(*signer.valid_after));
        const auto line = zdz::trust::format_allowed_signers_line(signer.principal, signer.key);
        const auto again = zdz::trust::parse_allowed_signers(line);
        ZDZ_FUZZ_CHECK(again && again->size() == 1);
        ZDZ_FUZZ_CHECK(again->front().principal == signer.principal);
        ZDZ_FUZZ_CHECK(again->front().key == signer.key);
        (void)zdz::crypto::key_fingerprint(signer.key).to_string();
        printed += line + "\n";
    }
    const auto all = zdz::trust::parse_allowed_signers(printed);
    ZDZ_FUZZ_CHECK(all && all->size() == signers->size());
    for (std::size_t i = 0; i < all->size(); ++i) {
        ZDZ_FUZZ_CHECK((*all)[i].principal == (*signers)[i].principal);
        ZDZ_FUZZ_CHECK((*all)[i].key == (*signers)[i].key);
    }
    return 0;
}
