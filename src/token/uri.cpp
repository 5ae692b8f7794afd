#include "token/uri.hpp"

#include <p11-kit/uri.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "encoding/text.hpp"
#include "io/file.hpp"

namespace zdz::token {
namespace {

// p11-kit's formatting of `uri`, or "" where it cannot format it.
std::string formatted(p11_kit_uri* uri) {
    char* text = nullptr;
    if (p11_kit_uri_format(uri, P11_KIT_URI_FOR_ANY, &text) != P11_KIT_URI_OK || text == nullptr) {
        return {};
    }
    std::string result(text);
    std::free(text);  // NOLINT(cppcoreguidelines-no-malloc): p11-kit allocates it
    return result;
}

std::string attribute_text(p11_kit_uri* uri, CK_ATTRIBUTE_TYPE type) {
    const CK_ATTRIBUTE* attribute = p11_kit_uri_get_attribute(uri, type);
    if (attribute == nullptr || attribute->pValue == nullptr) {
        return {};
    }
    return std::string(static_cast<const char*>(attribute->pValue), attribute->ulValueLen);
}

std::string text_or_empty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

bool is_directory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The value of the "module:" line of a p11-kit module configuration file
// (lines "name: value", "#" comments), or nullopt when it has none.
std::optional<std::string> configured_module(std::string_view config) {
    encoding::LineReader lines(config);
    std::optional<std::string> module;
    while (const auto line = lines.next()) {
        const auto colon = line->find(':');
        if (line->substr(0, 1) == "#" || colon == std::string_view::npos) {
            continue;
        }
        if (encoding::trim_unicode_whitespace(line->substr(0, colon)) == "module") {
            module = std::string(encoding::trim_unicode_whitespace(line->substr(colon + 1)));
        }
    }
    return module;
}

}  // namespace

const ModuleSearch& system_module_search() {
    static const ModuleSearch search{ZDZ_P11_PROXY_MODULE, ZDZ_P11_MODULE_CONFIGS,
                                     ZDZ_P11_MODULE_PATH};
    return search;
}

void TokenUri::Free::operator()(p11_kit_uri* uri) const {
    p11_kit_uri_free(uri);
}

tl::expected<TokenUri, TokenError> TokenUri::parse(std::string_view text) {
    const std::string input(text);
    const auto refuse = [&](std::string reason) {
        return tl::unexpected(TokenError::uri_invalid(input, std::move(reason)));
    };
    if (input.find('\0') != std::string::npos) {
        return refuse("it holds a NUL byte");
    }
    TokenUri uri;
    uri.uri_.reset(p11_kit_uri_new());
    if (!uri.uri_) {
        return refuse(p11_kit_uri_message(P11_KIT_URI_NO_MEMORY));
    }
    p11_kit_uri* parsed = uri.uri_.get();
    const int result = p11_kit_uri_parse(input.c_str(), P11_KIT_URI_FOR_ANY, parsed);
    if (result != P11_KIT_URI_OK) {
        return refuse(p11_kit_uri_message(result));
    }
    if (p11_kit_uri_get_pin_value(parsed) != nullptr ||
        p11_kit_uri_get_pin_source(parsed) != nullptr) {
        return tl::unexpected(TokenError::uri_holds_pin());
    }
    if (p11_kit_uri_any_unrecognized(parsed) != 0) {
        return refuse("it has a path attribute that RFC 7512 does not define");
    }
    uri.label_ = attribute_text(parsed, CKA_LABEL);
    if (uri.label_.empty()) {
        return refuse("it names no key: object=LABEL is missing or empty");
    }
    if (const CK_ATTRIBUTE* id = p11_kit_uri_get_attribute(parsed, CKA_ID); id != nullptr) {
        const auto* bytes = static_cast<const std::uint8_t*>(id->pValue);
        uri.id_.emplace(bytes, bytes + (bytes != nullptr ? id->ulValueLen : 0));
    }
    const CK_SLOT_ID slot = p11_kit_uri_get_slot_id(parsed);
    if (slot != static_cast<CK_SLOT_ID>(-1)) {
        uri.slot_id_ = slot;
    }
    uri.module_path_ = text_or_empty(p11_kit_uri_get_module_path(parsed));
    uri.module_name_ = text_or_empty(p11_kit_uri_get_module_name(parsed));
    if (uri.module_name_.find('/') != std::string::npos || uri.module_name_.starts_with('.')) {
        return refuse("module-name is a name, not a path");
    }
    uri.text_ = formatted(parsed);
    if (uri.text_.empty()) {
        return refuse(p11_kit_uri_message(P11_KIT_URI_NO_MEMORY));
    }
    return uri;
}

tl::expected<std::string, TokenError> TokenUri::module_file(const ModuleSearch& search) const {
    if (!module_path_.empty()) {
        if (!is_directory(module_path_)) {
            return module_path_;
        }
        if (module_name_.empty()) {
            return tl::unexpected(TokenError::module_missing(
                module_path_, "it is a directory, and the URI has no module-name"));
        }
        return module_path_ + "/" + module_name_ + ".so";
    }
    if (module_name_.empty()) {
        return search.proxy_module;
    }
    const auto config_file = search.config_dir + "/" + module_name_ + ".module";
    const auto missing = [&](std::string reason) {
        return tl::unexpected(
            TokenError::module_missing("module-name=" + module_name_, std::move(reason)));
    };
    const auto config = io::read_file_text(config_file);
    if (!config) {
        if (config.error().kind == io::IoError::Kind::Os && config.error().code == ENOENT) {
            return missing("p11-kit configures no module of that name (no " + config_file + ")");
        }
        return missing("cannot read " + config_file + ": " + config.error().display());
    }
    const auto module = configured_module(*config);
    if (!module || module->empty()) {
        return missing(config_file + " names no module file");
    }
    return module->starts_with('/') ? *module : search.module_dir + "/" + *module;
}

}  // namespace zdz::token
