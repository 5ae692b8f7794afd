#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/command.hpp"
#include "cli/grammar/parse.hpp"

namespace {

using namespace zdz::cli;

const std::optional<std::string> kAbsent;

// The record a command line parses into; a usage error fails the test.
template <class Record>
Record parsed(const std::vector<std::string>& args) {
    const auto result = parse_command_line(args);
    const auto* early = std::get_if<EarlyExit>(&result);
    EXPECT_EQ(early, nullptr) << args.at(0) << ": " << (early != nullptr ? early->err : "");
    const auto* cli = std::get_if<Cli>(&result);
    const auto* record = cli != nullptr ? std::get_if<Record>(&cli->subcommand) : nullptr;
    EXPECT_NE(record, nullptr) << args.at(0) << " parsed into another record";
    return record != nullptr ? *record : Record{};
}

}  // namespace

// Every option given a value of its own: each field, read back by name, holds
// the value of its option, so that no option fills a neighbour's field.
TEST(OptionBindings, EachOptionFillsItsOwnField) {
    const auto keygen = parsed<Keygen>(
        {"keygen", "--out", "o", "--passphrase-env", "p", "--principal", "who@host"});
    EXPECT_EQ(keygen.out, "o");
    EXPECT_EQ(keygen.passphrase_env, "p");
    EXPECT_EQ(keygen.principal, "who@host");

    const auto show_key = parsed<ShowKey>({"show-key", "--keystore", "k", "--principal", "w"});
    EXPECT_EQ(show_key.keystore, "k");
    EXPECT_EQ(show_key.principal, "w");

    const auto change =
        parsed<ChangePassphrase>({"change-passphrase", "--keystore", "k", "--new-passphrase-env",
                                  "n", "--passphrase-env", "p"});
    EXPECT_EQ(change.keystore, "k");
    EXPECT_EQ(change.passphrase_env, "p");
    EXPECT_EQ(change.new_passphrase_env, "n");

    EXPECT_EQ(parsed<ImportHashes>({"import-hashes", "--file", "h"}).file, "h");
    EXPECT_EQ(parsed<ImportSigners>({"import-signers", "--file", "s"}).file, "s");

    const auto sign =
        parsed<Sign>({"sign", "--keystore", "k", "--passphrase-env", "p", "--image-file", "i",
                      "--platform", "vask", "--kind", "x", "--security-version", "4294967295",
                      "--out", "o", "--expires-at", "e"});
    EXPECT_EQ(sign.keystore, "k");
    EXPECT_EQ(sign.passphrase_env, "p");
    EXPECT_EQ(sign.image_file, "i");
    EXPECT_EQ(sign.platform, "vask");
    EXPECT_EQ(sign.kind, "x");
    EXPECT_EQ(sign.security_version, 4294967295U);
    EXPECT_EQ(sign.out, "o");
    EXPECT_EQ(sign.expires_at, "e");

    const auto verify = parsed<Verify>({"verify", "--manifest", "m", "--signers-file", "s",
                                        "--image-file", "i", "--format", "json"});
    EXPECT_EQ(verify.manifest, "m");
    EXPECT_EQ(verify.signers_file, "s");
    EXPECT_EQ(verify.image_file, "i");
    EXPECT_EQ(verify.format, OutputFormat::Json);

    const auto promote =
        parsed<Promote>({"promote", "--manifest", "m", "--signers-file", "t", "--store", "s",
                         "--keystore", "k", "--passphrase-env", "p"});
    EXPECT_EQ(promote.manifest, "m");
    EXPECT_EQ(promote.signers_file, "t");
    EXPECT_EQ(promote.store, "s");
    EXPECT_EQ(promote.keystore, "k");
    EXPECT_EQ(promote.passphrase_env, "p");

    const auto authorize =
        parsed<AuthorizeInstall>({"authorize-install", "--store", "s", "--public-key", "pub",
                                  "--platform", "vask", "--image-file", "i"});
    EXPECT_EQ(authorize.store, "s");
    EXPECT_EQ(authorize.keystore, kAbsent);
    EXPECT_EQ(authorize.public_key, "pub");
    EXPECT_EQ(authorize.platform, "vask");
    EXPECT_EQ(authorize.candidate.measurement, kAbsent);
    EXPECT_EQ(authorize.candidate.image_file, "i");

    const auto withdraw =
        parsed<Withdraw>({"withdraw", "--store", "s", "--keystore", "k", "--passphrase-env", "p",
                          "--platform", "vask", "--measurement", "m"});
    EXPECT_EQ(withdraw.store, "s");
    EXPECT_EQ(withdraw.keystore, "k");
    EXPECT_EQ(withdraw.passphrase_env, "p");
    EXPECT_EQ(withdraw.platform, "vask");
    EXPECT_EQ(withdraw.candidate.measurement, "m");
    EXPECT_EQ(withdraw.candidate.image_file, kAbsent);

    const auto show_store = parsed<ShowStore>({"show-store", "--store", "s", "--keystore", "k",
                                               "--platform", "vask", "--format", "text"});
    EXPECT_EQ(show_store.store, "s");
    EXPECT_EQ(show_store.keystore, "k");
    EXPECT_EQ(show_store.public_key, kAbsent);
    EXPECT_EQ(show_store.platform, "vask");
    EXPECT_EQ(show_store.format, OutputFormat::Text);

    const auto rekey = parsed<RekeyStore>({"rekey-store", "--new-keystore", "n", "--store", "s",
                                           "--passphrase-env", "p", "--keystore", "k"});
    EXPECT_EQ(rekey.store, "s");
    EXPECT_EQ(rekey.keystore, "k");
    EXPECT_EQ(rekey.new_keystore, "n");
    EXPECT_EQ(rekey.passphrase_env, "p");

    EXPECT_EQ(parsed<Demo>({"demo", "--sha256-file", "h"}).sha256_file, "h");
}

// An option left out leaves its field at the record's default: no text for an
// optional value, the text report, and the other alternative of a group.
TEST(OptionBindings, AnOptionNotGivenLeavesItsFieldAtItsDefault) {
    const auto keygen = parsed<Keygen>({"keygen", "--out", "o", "--passphrase-env", "p"});
    EXPECT_EQ(keygen.principal, kAbsent);

    const auto verify = parsed<Verify>({"verify", "--manifest", "m"});
    EXPECT_EQ(verify.signers_file, kAbsent);
    EXPECT_EQ(verify.image_file, kAbsent);
    EXPECT_EQ(verify.format, OutputFormat::Text);

    const auto show_store =
        parsed<ShowStore>({"show-store", "--store", "s", "--public-key", "", "--format=json"});
    EXPECT_EQ(show_store.keystore, kAbsent);
    EXPECT_EQ(show_store.public_key, "");
    EXPECT_EQ(show_store.platform, kAbsent);
    EXPECT_EQ(show_store.format, OutputFormat::Json);

    const auto sign = parsed<Sign>({"sign", "--keystore", "k", "--passphrase-env", "p",
                                    "--image-file", "i", "--platform", "vask", "--kind", "x",
                                    "--security-version", "0", "--out", "o"});
    EXPECT_EQ(sign.security_version, 0U);
    EXPECT_EQ(sign.expires_at, kAbsent);

    EXPECT_EQ(parsed<Demo>({"demo"}).sha256_file, kAbsent);
}
