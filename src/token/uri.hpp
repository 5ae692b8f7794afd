#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "token/errors.hpp"

// p11-kit's parsed URI (p11-kit/uri.h), kept out of this header so that its
// users need not see the PKCS#11 types.
struct p11_kit_uri;

namespace zdz::token {

// Where a module named in a URI is looked for: p11-kit's own places, read
// from p11-kit's pkg-config file when the program is built.
struct ModuleSearch {
    // The module loaded when the URI names none: p11-kit's proxy, which
    // loads the modules the system configures.
    std::string proxy_module;
    // p11-kit's module configuration files, NAME.module for module-name=NAME.
    std::string config_dir;
    // Where p11-kit looks for a module its configuration names by a
    // relative path.
    std::string module_dir;
};

// p11-kit's places on this system.
const ModuleSearch& system_module_search();

// An RFC 7512 PKCS#11 URI that names one key, as p11-kit's parser reads it:
// `pkcs11:token=release;object=release-2027`, with the query attributes
// module-path and module-name choosing the module. It never holds a PIN.
// Move-only.
class TokenUri {
public:
    // Refuses what p11-kit cannot parse, a path attribute it does not know (a
    // misspelt "tokne=" would otherwise match every token), a URI without
    // object=, and one that holds pin-value or pin-source.
    [[nodiscard]] static tl::expected<TokenUri, TokenError> parse(std::string_view text);

    TokenUri(TokenUri&&) noexcept = default;
    TokenUri& operator=(TokenUri&&) noexcept = default;
    TokenUri(const TokenUri&) = delete;
    TokenUri& operator=(const TokenUri&) = delete;
    ~TokenUri() = default;

    // The URI in p11-kit's own formatting, for the keystore file: it parses
    // back to the same URI and holds no PIN.
    const std::string& text() const { return text_; }
    // The key's CKA_LABEL (object=).
    const std::string& label() const { return label_; }
    // The key's CKA_ID (id=), when the URI names one.
    const std::optional<std::vector<std::uint8_t>>& id() const { return id_; }

    // The slot (slot-id=), when the URI names one.
    const std::optional<unsigned long>& slot_id() const { return slot_id_; }

    // The file of the module to load:
    // - module-path naming a file: that file;
    // - module-path naming a directory: NAME.so in it, NAME from module-name;
    // - module-name alone: the module p11-kit configures under that name (the
    //   "module:" line of NAME.module, a relative path taken in module_dir);
    // - neither: the proxy module.
    [[nodiscard]] tl::expected<std::string, TokenError> module_file(
        const ModuleSearch& search = system_module_search()) const;

    // The parsed URI for p11-kit's matching functions.
    const p11_kit_uri* parsed() const { return uri_.get(); }

private:
    struct Free {
        void operator()(p11_kit_uri* uri) const;
    };

    TokenUri() = default;

    std::unique_ptr<p11_kit_uri, Free> uri_;
    std::string text_;
    std::string label_;
    std::optional<std::vector<std::uint8_t>> id_;
    std::optional<unsigned long> slot_id_;
    std::string module_path_;
    std::string module_name_;
};

}  // namespace zdz::token
