#include "token/token.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "encoding/hex.hpp"
#include "support/refusal.hpp"
#include "support/softhsm.hpp"
#include "token/connection.hpp"
#include "token/objects.hpp"

using namespace zdz::token;
using zdz::crypto::Secret;
using zdz::test::kTokenPin;
using zdz::test::refusal;
using zdz::test::SoftHsmToken;
using Kind = TokenError::Kind;

namespace {

TokenUri parse(const std::string& text) {
    auto uri = TokenUri::parse(text);
    EXPECT_TRUE(uri) << uri.error().display();
    return std::move(*uri);
}

const Secret& pin() {
    static const Secret secret{std::string_view(kTokenPin)};
    return secret;
}

// The signature checked by libsodium alone, apart from this program's crypto/.
bool sodium_verifies(const TokenSignature& signed_by, std::string_view message) {
    return crypto_sign_verify_detached(signed_by.signature.bytes().data(),
                                       reinterpret_cast<const unsigned char*>(message.data()),
                                       message.size(), signed_by.public_key.bytes().data()) == 0;
}

// The public point pkcs11-tool prints for the key it made.
std::string tool_point_hex(const std::string& tool_output) {
    std::smatch match;
    EXPECT_TRUE(
        std::regex_search(tool_output, match, std::regex("EC_POINT: +04 ?20([0-9a-f]{64})")))
        << tool_output;
    return match.size() > 1 ? match[1].str() : "";
}

// A variable of this process's environment for the module to read, while it lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        ::setenv(name, value.c_str(), 1);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() { ::unsetenv(name_); }

private:
    const char* name_;
};

TEST(Token, GeneratedKeySignsWithEd25519) {
    const SoftHsmToken token;
    const auto uri = parse(token.uri("release-2027"));
    const auto key = generate_key(uri, pin());
    ASSERT_TRUE(key) << key.error().display();
    EXPECT_EQ(key->id.size(), 20U);
    EXPECT_EQ(key->token_label, "release");

    {
        const auto signer = TokenSigner::open(uri, pin());
        ASSERT_TRUE(signer) << signer.error().display();
        EXPECT_EQ(signer->public_key(), key->public_key);
        for (const std::string_view message : {"manifest bytes", "", "second message"}) {
            const auto signed_by = signer->sign(message);
            ASSERT_TRUE(signed_by) << signed_by.error().display();
            EXPECT_TRUE(sodium_verifies(*signed_by, message));
            EXPECT_TRUE(check_signature(uri, key->public_key, message, *signed_by));
        }
        // A second connection to the module from this process would wait for
        // the first one's lock for ever.
        EXPECT_EQ(refusal(sign_message(uri, pin(), "nested"), "", Kind::LockFailed),
                  "cannot lock PKCS#11 module /usr/lib/softhsm/libsofthsm2.so: Resource deadlock "
                  "avoided (os error 35)");
    }

    const auto signed_by = sign_message(uri, pin(), "manifest bytes");
    ASSERT_TRUE(signed_by);
    EXPECT_EQ(refusal(check_signature(uri, key->public_key, "other bytes", *signed_by), "",
                      Kind::SignatureInvalid),
              "the signature of the token's key labelled \"release-2027\" does not verify");
    const auto other = zdz::crypto::SigningKey::from_seed(std::array<std::uint8_t, 32>{7});
    EXPECT_EQ(
        check_signature(uri, other.verifying_key(), "manifest bytes", *signed_by).error().kind(),
        Kind::UnexpectedKey);
}

TEST(Token, GeneratedPrivateKeyStaysInTheToken) {
    const SoftHsmToken token;
    const auto uri = parse(token.uri("release-2027"));
    ASSERT_TRUE(generate_key(uri, pin()));

    auto connection = Connection::open(uri, pin(), false);
    ASSERT_TRUE(connection) << connection.error().display();
    const SessionRef session{(*connection)->functions(), (*connection)->session(), "release"};
    const auto pair = find_key_pair(session, "release-2027", std::nullopt);
    ASSERT_TRUE(pair) << pair.error().display();
    const auto value = [&](CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        return *read_attribute(session, object, type);
    };
    using Bytes = std::optional<std::vector<std::uint8_t>>;
    const Bytes yes{{CK_TRUE}};
    const Bytes no{{CK_FALSE}};
    for (const auto type : {CKA_TOKEN, CKA_PRIVATE, CKA_SENSITIVE, CKA_SIGN, CKA_ALWAYS_SENSITIVE,
                            CKA_NEVER_EXTRACTABLE}) {
        EXPECT_EQ(value(pair->private_key, type), yes) << type;
    }
    EXPECT_EQ(value(pair->private_key, CKA_EXTRACTABLE), no);
    EXPECT_EQ(value(pair->private_key, CKA_VALUE), std::nullopt);
    EXPECT_EQ(value(pair->public_key, CKA_TOKEN), yes);
    EXPECT_EQ(value(pair->public_key, CKA_VERIFY), yes);
    EXPECT_EQ(value(pair->public_key, CKA_ID), value(pair->private_key, CKA_ID));
    EXPECT_EQ(value(pair->public_key, CKA_LABEL), value(pair->private_key, CKA_LABEL));
}

TEST(Token, KeyMadeByPkcs11ToolIsFoundByLabel) {
    const SoftHsmToken token;
    // pkcs11-tool writes the curve as the PrintableString "edwards25519" and
    // gives the objects no CKA_ID.
    const auto point = tool_point_hex(token.tool_keypair("EC:edwards25519", "hsm-made"));
    const auto uri = parse(token.uri("hsm-made"));
    const auto key = find_key(uri, pin());
    ASSERT_TRUE(key) << key.error().display();
    EXPECT_EQ(key->public_key.to_hex(), point);
    EXPECT_TRUE(key->id.empty());
    const auto signed_by = sign_message(uri, pin(), "image manifest");
    ASSERT_TRUE(signed_by) << signed_by.error().display();
    EXPECT_TRUE(sodium_verifies(*signed_by, "image manifest"));

    // The same key where the token writes its point as the bare 32 bytes.
    const ScopedEnv raw("ZDZ_PKCS11_SHIM_RAW_EC_POINT", "1");
    const auto through_shim =
        find_key(parse(token.uri("hsm-made", zdz::test::pkcs11_shim_module())), pin());
    ASSERT_TRUE(through_shim) << through_shim.error().display();
    EXPECT_EQ(through_shim->public_key, key->public_key);
}

TEST(Token, RefusesEachFailureWithItsOwnText) {
    const SoftHsmToken token;
    const auto failure = [&](const tl::expected<TokenKey, TokenError>& result, Kind kind) {
        return refusal(result, "", kind);
    };
    const auto found = [&](const std::string& uri) { return find_key(parse(uri), pin()); };
    ASSERT_TRUE(generate_key(parse(token.uri("kept")), pin()));
    const auto kept = found(token.uri("kept"));
    token.tool_keypair("EC:edwards25519", "twice");
    token.tool_keypair("EC:edwards25519", "twice");
    token.tool_keypair("EC:prime256v1", "p256");

    EXPECT_EQ(failure(find_key(parse(token.uri("kept")), Secret(std::string_view("0000"))),
                      Kind::PinIncorrect),
              "the token refused the PIN: it is incorrect (CKR_PIN_INCORRECT)");
    EXPECT_EQ(failure(found("pkcs11:object=kept?module-path=/lib/x86_64-linux-gnu/libc.so.6"),
                      Kind::NotAModule),
              "/lib/x86_64-linux-gnu/libc.so.6 is not a PKCS#11 module: it has no "
              "C_GetFunctionList");
    EXPECT_EQ(failure(found("pkcs11:object=kept?module-path=/nowhere/hsm.so"), Kind::ModuleMissing),
              "cannot load PKCS#11 module /nowhere/hsm.so: /nowhere/hsm.so: cannot open shared "
              "object file: No such file or directory");
    EXPECT_EQ(failure(found("pkcs11:token=other;object=kept?module-path=" +
                            std::string(zdz::test::kSoftHsmModule)),
                      Kind::NoMatchingToken),
              "no token matches pkcs11:token=other;object=kept?module-path=%2Fusr%2Flib%2Fsofthsm%"
              "2Flibsofthsm2.so");
    EXPECT_EQ(failure(found(token.uri("absent")), Kind::KeyNotFound),
              "no private key labelled \"absent\" on token \"release\"");
    EXPECT_EQ(failure(found(token.uri("twice")), Kind::SeveralKeys),
              "2 private keys labelled \"twice\" on token \"release\": name one with id=");
    EXPECT_EQ(failure(found(token.uri("p256")), Kind::KeyNotEd25519),
              "the key labelled \"p256\" is not an Ed25519 key: its key type is CKK_EC");

    EXPECT_EQ(failure(generate_key(parse(token.uri("kept")), pin()), Kind::LabelTaken),
              "a key labelled \"kept\" is already on token \"release\"; it is left as it is");
    EXPECT_EQ(failure(generate_key(parse(token.uri("p256")), pin()), Kind::LabelTaken),
              "a key labelled \"p256\" is already on token \"release\"; it is left as it is");
    const auto still = found(token.uri("kept"));
    ASSERT_TRUE(kept && still);
    EXPECT_EQ(still->public_key, kept->public_key);
    EXPECT_EQ(still->id, kept->id);

    token.add_token("second");
    EXPECT_EQ(
        failure(found("pkcs11:object=kept?module-path=" + std::string(zdz::test::kSoftHsmModule)),
                Kind::SeveralMatchingTokens),
        "2 tokens match pkcs11:object=kept?module-path=%2Fusr%2Flib%2Fsofthsm%2Flibsofthsm2.so: "
        "name one with token= or serial=");
}

TEST(Token, RefusesWhatOnlyAHardwareTokenDoes) {
    // SoftHSM2 neither locks a PIN (it took a dozen wrong PINs and then the
    // right one) nor can be pulled out; the shim module fails its calls.
    const SoftHsmToken token;
    const auto uri = parse(token.uri("release-2027", zdz::test::pkcs11_shim_module()));
    ASSERT_TRUE(generate_key(uri, pin()));
    const auto sign_failure = [&](const std::string& injected, Kind kind) {
        const ScopedEnv fail("ZDZ_PKCS11_SHIM_FAIL", injected);
        auto signer = TokenSigner::open(uri, pin());
        if (!signer) {
            return refusal(signer, injected, kind);
        }
        return refusal(signer->sign("manifest"), injected, kind);
    };
    EXPECT_EQ(sign_failure("C_Login=0xa4", Kind::PinLocked),
              "the token's PIN is locked (CKR_PIN_LOCKED)");
    // The key pair check signs once while the signer opens; the token is gone
    // by the second signature.
    EXPECT_EQ(sign_failure("C_Sign=0x32@2", Kind::TokenRemoved),
              "the token was removed (C_Sign: CKR_DEVICE_REMOVED)");
    EXPECT_EQ(sign_failure("C_FindObjectsInit=0xe0", Kind::TokenRemoved),
              "the token was removed (C_FindObjectsInit: CKR_TOKEN_NOT_PRESENT)");
    EXPECT_EQ(sign_failure("C_SignInit=0xb3@2", Kind::TokenRemoved),
              "the token was removed (C_SignInit: CKR_SESSION_HANDLE_INVALID)");
    EXPECT_EQ(sign_failure("C_Sign=0x5@2", Kind::CallFailed), "C_Sign failed: CKR_GENERAL_ERROR");
    EXPECT_EQ(sign_failure("C_OpenSession=0xb1", Kind::CallFailed),
              "C_OpenSession failed: CKR_SESSION_COUNT");
    // Each failure above left the module finalised and the lock released.
    EXPECT_TRUE(sign_message(uri, pin(), "manifest"));
}

TEST(Token, DefaultModuleIsP11KitsProxy) {
    if (!std::filesystem::exists(system_module_search().config_dir + "/softhsm2.module")) {
        GTEST_SKIP() << "p11-kit does not configure SoftHSM2 on this machine";
    }
    const SoftHsmToken token;
    ASSERT_TRUE(generate_key(parse(token.uri("release-2027")), pin()));
    for (const auto* text : {"pkcs11:token=release;object=release-2027",
                             "pkcs11:token=release;object=release-2027?module-name=softhsm2"}) {
        const auto signed_by = sign_message(parse(text), pin(), "through p11-kit");
        ASSERT_TRUE(signed_by) << text << ": " << signed_by.error().display();
        EXPECT_TRUE(sodium_verifies(*signed_by, "through p11-kit"));
    }
}

// Runs `body` in `count` forked processes that start it at once; their exit
// statuses.
std::vector<int> in_processes(int count, const std::function<int()>& body) {
    int start[2];
    EXPECT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(start[1]);
            char byte = 0;
            const auto started = ::read(start[0], &byte, 1);
            ::_exit(started == 0 ? body() : 99);
        }
        children.push_back(pid);
    }
    ::close(start[0]);
    ::close(start[1]);
    std::vector<int> statuses;
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    return statuses;
}

TEST(Token, ProcessesSigningAtOnceFollowOneAnother) {
    const SoftHsmToken token;
    const auto uri = parse(token.uri("release-2027"));
    const auto key = generate_key(uri, pin());
    ASSERT_TRUE(key);
    const auto statuses = in_processes(4, [&] {
        for (int round = 0; round < 10; ++round) {
            const auto signed_by = sign_message(uri, pin(), "manifest");
            if (!signed_by || !check_signature(uri, key->public_key, "manifest", *signed_by)) {
                return 1;
            }
        }
        return 0;
    });
    EXPECT_EQ(statuses, std::vector<int>(4, 0));
}

TEST(Token, SigningWaitsForTheLockOnTheModuleFile) {
    const SoftHsmToken token;
    const auto uri = parse(token.uri("release-2027"));
    ASSERT_TRUE(generate_key(uri, pin()));
    // The lock object is the module file itself, through whichever link it is
    // named.
    const int held =
        ::open(std::filesystem::canonical(zdz::test::kSoftHsmModule).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // The inherited descriptor shares the parent's lock; only the
        // parent's is to hold it.
        ::close(held);
        ::_exit(sign_message(uri, pin(), "manifest") ? 0 : 1);
    }
    // The child cannot finish while the lock is held here, however long it
    // is given.
    ::usleep(300'000);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0);
    ::close(held);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
