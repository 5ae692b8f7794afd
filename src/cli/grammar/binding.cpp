#include "cli/grammar/binding.hpp"

#include <charconv>

namespace zdz::cli {
namespace {

constexpr std::uint32_t kMaxSecurityVersion = 4294967295U;

}  // namespace

std::optional<std::uint32_t> parse_security_version(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > kMaxSecurityVersion) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> parse_count(const std::string& text) {
    const auto count = parse_security_version(text);
    if (!count || *count == 0) {
        return std::nullopt;
    }
    return count;
}

namespace binding_detail {

void set(std::string& field, const std::string& value) {
    field = value;
}

void set(std::optional<std::string>& field, const std::string& value) {
    field = value;
}

void set(std::uint32_t& field, const std::string& value) {
    field = parse_security_version(value).value_or(0);
}

void set(std::optional<std::uint32_t>& field, const std::string& value) {
    field = parse_count(value);
}

void set(OutputFormat& field, const std::string& value) {
    field = value == "json" ? OutputFormat::Json : OutputFormat::Text;
}

void set(ProgressMode& field, const std::string& value) {
    field = value == "always"  ? ProgressMode::Always
            : value == "never" ? ProgressMode::Never
                               : ProgressMode::Auto;
}

void set(bool& field, const std::string& /*value*/) {
    field = true;
}

}  // namespace binding_detail
}  // namespace zdz::cli
