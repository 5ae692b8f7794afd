#include "cli/report.hpp"

#include <string>

#include "encoding/text.hpp"
#include "trust/signers.hpp"

namespace zdz::cli {
namespace {

constexpr std::uint32_t kKibPerMib = 1024;

}  // namespace

std::string kdf_text(const store::KdfParams& kdf) {
    const std::string memory = kdf.m_cost_kib % kKibPerMib == 0
                                   ? std::to_string(kdf.m_cost_kib / kKibPerMib) + " MiB"
                                   : std::to_string(kdf.m_cost_kib) + " KiB";
    return encoding::terminal_safe_excerpt(kdf.algorithm, encoding::kMessageExcerptChars) + ", " +
           memory + ", t=" + std::to_string(kdf.t_cost) + ", p=" + std::to_string(kdf.parallelism);
}

std::string allowed_signers_block(std::string_view principal, const crypto::VerifyingKey& key) {
    return "\n"
           "allowed_signers line \u2014 append to a real trust file to trust this key:\n"
           "  " +
           trust::format_allowed_signers_line(principal, key) + "\n";
}

std::string measured_file_text(const std::string& path, std::uint64_t bytes) {
    return path + " (" + std::to_string(bytes) + " bytes measured)";
}

}  // namespace zdz::cli
