#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
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
// the value of its option, so that no option fills a neighbour's field. The
// fields of a record are compared at once, in their order.
TEST(OptionBindings, EachOptionFillsItsOwnField) {
    const auto keygen = parsed<Keygen>(
        {"keygen", "--out", "o", "--passphrase-env", "p", "--principal", "who@host"});
    EXPECT_EQ(std::tie(keygen.out, keygen.passphrase_env, keygen.principal),
              std::make_tuple("o", "p", "who@host"));

    const auto show_key = parsed<ShowKey>({"show-key", "--keystore", "k", "--principal", "w"});
    EXPECT_EQ(std::tie(show_key.keystore, show_key.principal), std::make_tuple("k", "w"));

    const auto change =
        parsed<ChangePassphrase>({"change-passphrase", "--keystore", "k", "--new-passphrase-env",
                                  "n", "--passphrase-env", "p"});
    EXPECT_EQ(std::tie(change.keystore, change.passphrase_env, change.new_passphrase_env),
              std::make_tuple("k", "p", "n"));

    EXPECT_EQ(parsed<ImportHashes>({"import-hashes", "--file", "h"}).file, "h");
    EXPECT_EQ(parsed<ImportSigners>({"import-signers", "--file", "s"}).file, "s");

    const auto sign =
        parsed<Sign>({"sign", "--keystore", "k", "--passphrase-env", "p", "--image-file", "i",
                      "--platform", "vask", "--kind", "x", "--security-version", "4294967295",
                      "--out", "o", "--expires-at", "e"});
    EXPECT_EQ(std::tie(sign.keystore, sign.passphrase_env, sign.image_file, sign.platform,
                       sign.kind, sign.security_version, sign.out, sign.expires_at),
              std::make_tuple("k", "p", "i", "vask", "x", 4294967295U, "o", "e"));

    const auto verify = parsed<Verify>({"verify", "--manifest", "m", "--signers-file", "s",
                                        "--image-file", "i", "--format", "json"});
    EXPECT_EQ(
        std::tie(verify.manifest, verify.signers_file, verify.image_file, verify.report.format),
        std::make_tuple("m", "s", "i", OutputFormat::Json));

    const auto promote =
        parsed<Promote>({"promote", "--manifest", "m", "--signers-file", "t", "--store", "s",
                         "--keystore", "k", "--passphrase-env", "p"});
    EXPECT_EQ(std::tie(promote.manifest, promote.signers_file, promote.store, promote.keystore,
                       promote.passphrase_env),
              std::make_tuple("m", "t", "s", "k", "p"));

    const auto authorize =
        parsed<AuthorizeInstall>({"authorize-install", "--store", "s", "--public-key", "pub",
                                  "--platform", "vask", "--image-file", "i"});
    EXPECT_EQ(std::tie(authorize.store, authorize.key.keystore, authorize.key.public_key,
                       authorize.platform, authorize.candidate.measurement,
                       authorize.candidate.image_file),
              std::make_tuple("s", kAbsent, "pub", "vask", kAbsent, "i"));

    const auto withdraw =
        parsed<Withdraw>({"withdraw", "--store", "s", "--keystore", "k", "--passphrase-env", "p",
                          "--platform", "vask", "--measurement", "m"});
    EXPECT_EQ(
        std::tie(withdraw.store, withdraw.keystore, withdraw.passphrase_env, withdraw.platform,
                 withdraw.candidate.measurement, withdraw.candidate.image_file),
        std::make_tuple("s", "k", "p", "vask", "m", kAbsent));

    const auto show_store = parsed<ShowStore>({"show-store", "--store", "s", "--keystore", "k",
                                               "--platform", "vask", "--format", "text"});
    EXPECT_EQ(std::tie(show_store.store, show_store.key.keystore, show_store.key.public_key,
                       show_store.platform, show_store.format),
              std::make_tuple("s", "k", kAbsent, "vask", OutputFormat::Text));

    const auto rekey = parsed<RekeyStore>({"rekey-store", "--new-keystore", "n", "--store", "s",
                                           "--passphrase-env", "p", "--keystore", "k"});
    EXPECT_EQ(std::tie(rekey.store, rekey.keystore, rekey.new_keystore, rekey.passphrase_env),
              std::make_tuple("s", "k", "n", "p"));

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
    EXPECT_EQ(verify.report.format, OutputFormat::Text);

    const auto show_store =
        parsed<ShowStore>({"show-store", "--store", "s", "--public-key", "", "--format=json"});
    EXPECT_EQ(show_store.key.keystore, kAbsent);
    EXPECT_EQ(show_store.key.public_key, "");
    EXPECT_EQ(show_store.platform, kAbsent);
    EXPECT_EQ(show_store.format, OutputFormat::Json);

    const auto sign = parsed<Sign>({"sign", "--keystore", "k", "--passphrase-env", "p",
                                    "--image-file", "i", "--platform", "vask", "--kind", "x",
                                    "--security-version", "0", "--out", "o"});
    EXPECT_EQ(sign.security_version, 0U);
    EXPECT_EQ(sign.expires_at, kAbsent);

    EXPECT_EQ(parsed<Demo>({"demo"}).sha256_file, kAbsent);
}
