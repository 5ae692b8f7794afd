#include "support/softhsm.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

namespace zdz::test {
namespace {

constexpr const char* kConfigVar = "SOFTHSM2_CONF";

}  // namespace

std::string pkcs11_shim_module() {
    return ZDZ_PKCS11_SHIM;
}

SoftHsmToken::SoftHsmToken(std::string label) : label_(std::move(label)) {
    std::filesystem::create_directory(dir_.file("tokens"));
    config_ = dir_.file("softhsm2.conf");
    dir_.write("softhsm2.conf", "directories.tokendir = " + dir_.file("tokens") +
                                    "\nobjectstore.backend = file\nlog.level = ERROR\n");
    if (const char* previous = std::getenv(kConfigVar); previous != nullptr) {
        previous_config_ = previous;
    }
    ::setenv(kConfigVar, config_.c_str(), 1);
    add_token(label_);
}

SoftHsmToken::~SoftHsmToken() {
    if (previous_config_) {
        ::setenv(kConfigVar, previous_config_->c_str(), 1);
    } else {
        ::unsetenv(kConfigVar);
    }
}

std::map<std::string, std::string> token_sanitizer_env() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":fast_unwind_on_malloc=0"},
            {"LSAN_OPTIONS", "suppressions=" + std::string(ZDZ_SOURCE_DIR) +
                                 "/tests/support/token_leaks.supp:print_suppressions=0"}};
}

std::map<std::string, std::string> SoftHsmToken::env() const {
    auto env = token_sanitizer_env();
    env[kConfigVar] = config_;
    return env;
}

std::map<std::string, std::string> SoftHsmToken::env_with_pin(const std::string& pin) const {
    auto env = this->env();
    env[kTokenPinVar] = pin;
    return env;
}

void SoftHsmToken::add_token(const std::string& label) const {
    const auto result = run_tool({"softhsm2-util", "--init-token", "--free", "--label", label,
                                  "--so-pin", kTokenSoPin, "--pin", kTokenPin},
                                 {.env = env()});
    EXPECT_EQ(result.status, 0) << "softhsm2-util --init-token: " << result.err;
}

std::string SoftHsmToken::uri(const std::string& object, const std::string& module) const {
    return "pkcs11:token=" + label_ + ";object=" + object + "?module-path=" + module;
}

std::vector<std::string> SoftHsmToken::keygen_args(const std::string& object,
                                                   const std::string& out,
                                                   const std::string& principal) const {
    return {"keygen",           "--pkcs11",   uri(object),   "--out",  out,
            "--passphrase-env", kTokenPinVar, "--principal", principal};
}

RunResult SoftHsmToken::pkcs11_tool(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"pkcs11-tool", "--module", kSoftHsmModule, "--token-label",
                                  label_,        "--login",  "--pin",        kTokenPin};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv, {.env = env()});
}

std::string SoftHsmToken::tool_keypair(const std::string& key_type,
                                       const std::string& object) const {
    const auto result = pkcs11_tool({"--keypairgen", "--key-type", key_type, "--label", object});
    EXPECT_EQ(result.status, 0) << "pkcs11-tool --keypairgen: " << result.err;
    return result.out;
}

}  // namespace zdz::test
