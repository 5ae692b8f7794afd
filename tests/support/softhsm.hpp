#pragma once

// A SoftHSM2 token of a test's own: a fresh token directory with its own
// softhsm2.conf, initialised with softhsm2-util, and named in this
// process's SOFTHSM2_CONF for as long as the fixture lives, so that neither
// the test nor the program it starts ever sees a token of the system.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/run.hpp"
#include "support/tempdir.hpp"

namespace zdz::test {

inline constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";
inline constexpr const char* kTokenPin = "4711-0815";
inline constexpr const char* kTokenSoPin = "so-pin-1234";
// Where the program reads the PIN from in the tests (--passphrase-env).
inline constexpr const char* kTokenPinVar = "ZDZ_TEST_TOKEN_PIN";

// The PKCS#11 module of tests/support/pkcs11_shim.c: SoftHSM2 with failures
// on request.
std::string pkcs11_shim_module();

// What a child that loads SoftHSM2 needs under the sanitizers: SoftHSM2's own
// leak in C_Sign suppressed, with the full stacks the suppression matches.
// Empty of effect in a build without them.
std::map<std::string, std::string> token_sanitizer_env();

class SoftHsmToken {
public:
    // Initialises a token labelled `label` with kTokenPin and kTokenSoPin.
    explicit SoftHsmToken(std::string label = "release");
    SoftHsmToken(const SoftHsmToken&) = delete;
    SoftHsmToken& operator=(const SoftHsmToken&) = delete;
    // Puts SOFTHSM2_CONF back as it was.
    ~SoftHsmToken();

    const std::string& label() const { return label_; }
    // SOFTHSM2_CONF for a child process, and token_sanitizer_env().
    std::map<std::string, std::string> env() const;
    // env() and `pin` in kTokenPinVar.
    std::map<std::string, std::string> env_with_pin(const std::string& pin = kTokenPin) const;

    // Initialises one more token in the same directory.
    void add_token(const std::string& label) const;

    // pkcs11:token=LABEL;object=OBJECT?module-path=MODULE
    std::string uri(const std::string& object, const std::string& module = kSoftHsmModule) const;

    // The arguments of keygen for a key made in this token as `object`, its
    // keystore written to `out` and trusted as `principal`, the PIN read from
    // kTokenPinVar.
    std::vector<std::string> keygen_args(const std::string& object, const std::string& out,
                                         const std::string& principal) const;

    // OpenSC's pkcs11-tool on this token, logged in with kTokenPin.
    RunResult pkcs11_tool(const std::vector<std::string>& args) const;

    // pkcs11-tool --keypairgen --key-type TYPE --label LABEL (TYPE
    // "EC:edwards25519", "EC:prime256v1"); returns its output, which lists
    // the public point.
    std::string tool_keypair(const std::string& key_type, const std::string& object) const;

private:
    TempDir dir_;
    std::string label_;
    std::string config_;
    std::optional<std::string> previous_config_;
};

}  // namespace zdz::test
