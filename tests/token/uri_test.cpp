#include "token/uri.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/refusal.hpp"
#include "support/tempdir.hpp"
#include "token/objects.hpp"

using namespace zdz::token;
using zdz::test::refusal;

namespace {

TEST(TokenUri, ReadsLabelIdAndWritesTextWithoutPin) {
    const auto uri = TokenUri::parse(
        "pkcs11:token=release;object=release%202027;id=%01%ff?module-path=/opt/hsm.so");
    ASSERT_TRUE(uri) << uri.error().display();
    EXPECT_EQ(uri->label(), "release 2027");
    EXPECT_EQ(uri->id(), (std::vector<std::uint8_t>{0x01, 0xff}));
    EXPECT_EQ(*uri->module_file(), "/opt/hsm.so");
    // p11-kit's own form, which reads back as itself.
    EXPECT_EQ(uri->text(),
              "pkcs11:token=release;id=%01%FF;object=release%202027?module-path=%2Fopt%2Fhsm.so");
    EXPECT_EQ(TokenUri::parse(uri->text())->text(), uri->text());
}

TEST(TokenUri, RefusesPinsUnknownAttributesAndUrisWithoutKey) {
    for (const auto* text : {"pkcs11:token=t;object=k?pin-value=1234",
                             "pkcs11:token=t;object=k?pin-source=file:/etc/pin"}) {
        EXPECT_EQ(refusal(TokenUri::parse(text), text, TokenError::Kind::UriHoldsPin),
                  "the PKCS#11 URI holds a PIN (pin-value or pin-source): the PIN is never part "
                  "of the URI");
    }
    const std::pair<const char*, const char*> refused[] = {
        {"https://hsm/k", "invalid PKCS#11 URI \"https://hsm/k\": URI scheme must be 'pkcs11:'"},
        {"pkcs11:object=%zz",
         "invalid PKCS#11 URI \"pkcs11:object=%zz\": URI encoding invalid "
         "or corrupted"},
        {"pkcs11:token=t",
         "invalid PKCS#11 URI \"pkcs11:token=t\": it names no key: object=LABEL is missing or "
         "empty"},
        {"pkcs11:object=",
         "invalid PKCS#11 URI \"pkcs11:object=\": it names no key: object=LABEL is missing or "
         "empty"},
        {"pkcs11:tokne=t;object=k",
         "invalid PKCS#11 URI \"pkcs11:tokne=t;object=k\": it has a "
         "path attribute that RFC 7512 does not define"},
        {"pkcs11:object=k?module-name=../x",
         "invalid PKCS#11 URI \"pkcs11:object=k?module-name=../x\": module-name is a name, not "
         "a path"},
    };
    for (const auto& [text, message] : refused) {
        EXPECT_EQ(refusal(TokenUri::parse(text), text, TokenError::Kind::UriInvalid), message);
    }
}

TEST(TokenUri, ModuleFileFromPathNameOrProxy) {
    const zdz::test::TempDir dir;
    std::filesystem::create_directory(dir.file("configs"));
    dir.write("configs/relative.module", "# comment\nmodule: librel.so\ncritical: no\n");
    dir.write("configs/absolute.module", "module:/opt/abs.so\n");
    dir.write("configs/disabled.module", "module:\n");
    const ModuleSearch search{"/proxy.so", dir.file("configs"), "/p11/modules"};
    const auto file = [&](const std::string& query) {
        const auto uri = TokenUri::parse("pkcs11:object=k" + query);
        const auto module = uri->module_file(search);
        return module ? *module : module.error().display();
    };
    EXPECT_EQ(file(""), "/proxy.so");
    EXPECT_EQ(file("?module-path=" + dir.path() + "&module-name=hsm"), dir.path() + "/hsm.so");
    EXPECT_EQ(file("?module-name=relative"), "/p11/modules/librel.so");
    EXPECT_EQ(file("?module-name=absolute"), "/opt/abs.so");
    EXPECT_EQ(file("?module-name=disabled"),
              "cannot load PKCS#11 module module-name=disabled: " + dir.file("configs") +
                  "/disabled.module names no module file");
    EXPECT_EQ(file("?module-name=none"),
              "cannot load PKCS#11 module module-name=none: p11-kit configures no module of "
              "that name (no " +
                  dir.file("configs") + "/none.module)");
    EXPECT_EQ(file("?module-path=" + dir.path()),
              "cannot load PKCS#11 module " + dir.path() +
                  ": it is a directory, and the URI has no module-name");
}

TEST(TokenObjects, Ed25519ParamsPointsAndReturnCodeNames) {
    using Bytes = std::vector<std::uint8_t>;
    EXPECT_TRUE(is_ed25519_params(Bytes{0x06, 0x03, 0x2b, 0x65, 0x70}));
    EXPECT_TRUE(is_ed25519_params(
        Bytes{0x13, 0x0c, 'e', 'd', 'w', 'a', 'r', 'd', 's', '2', '5', '5', '1', '9'}));
    EXPECT_FALSE(is_ed25519_params(Bytes{0x06, 0x03, 0x2b, 0x65, 0x71}));  // Ed448
    EXPECT_FALSE(
        is_ed25519_params(Bytes{0x13, 0x0a, 'e', 'd', 'w', 'a', 'r', 'd', 's', '4', '4', '8'}));

    Bytes der{0x04, 0x20};
    der.insert(der.end(), 32, 0xab);
    const Bytes raw(der.begin() + 2, der.end());
    EXPECT_EQ(ed25519_point(der)->at(31), 0xab);
    EXPECT_EQ(ed25519_point(raw), ed25519_point(der));
    EXPECT_FALSE(ed25519_point(Bytes(der.begin(), der.end() - 1)));
    Bytes wrong_tag = der;
    wrong_tag[0] = 0x03;
    EXPECT_FALSE(ed25519_point(wrong_tag));

    EXPECT_EQ(return_code_name(0x5), "CKR_GENERAL_ERROR");
    EXPECT_EQ(return_code_name(0x80000005UL), "CKR_VENDOR_DEFINED+0x5");
    EXPECT_EQ(return_code_name(0x12345), "CKR 0x12345");
}

}  // namespace
