#include "cli/grammar/parse.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace {

using zdz::cli::AuthorizeInstall;
using zdz::cli::Cli;
using zdz::cli::EarlyExit;

std::vector<std::string> authorize(std::vector<std::string> key_options) {
    std::vector<std::string> args{"authorize-install", "--store", "s", "--platform", "vask",
                                  "--measurement",     "m"};
    args.insert(args.end(), key_options.begin(), key_options.end());
    return args;
}

}  // namespace

TEST(OptionGroups, ExactlyOneAlternativeIsTakenNoneOrBothIsAUsageError) {
    const auto keystore = zdz::cli::parse_command_line(authorize({"--keystore", "k"}));
    ASSERT_TRUE(std::holds_alternative<Cli>(keystore));
    const auto& by_keystore = std::get<AuthorizeInstall>(std::get<Cli>(keystore).subcommand);
    EXPECT_EQ(by_keystore.key.keystore, std::optional<std::string>("k"));
    EXPECT_EQ(by_keystore.key.public_key, std::nullopt);

    // An empty value is a value: the option was given.
    const auto public_key = zdz::cli::parse_command_line(authorize({"--public-key="}));
    ASSERT_TRUE(std::holds_alternative<Cli>(public_key));
    const auto& by_public_key = std::get<AuthorizeInstall>(std::get<Cli>(public_key).subcommand);
    EXPECT_EQ(by_public_key.key.keystore, std::nullopt);
    EXPECT_EQ(by_public_key.key.public_key, std::optional<std::string>(""));

    const std::string run_with_help = "Run with --help for more information.\n";
    const auto none = zdz::cli::parse_command_line(authorize({}));
    ASSERT_TRUE(std::holds_alternative<EarlyExit>(none));
    EXPECT_EQ(std::get<EarlyExit>(none).status, 2);
    EXPECT_EQ(std::get<EarlyExit>(none).out, "");
    EXPECT_EQ(std::get<EarlyExit>(none).err,
              "exactly one of --keystore and --public-key is required\n" + run_with_help);

    const auto both =
        zdz::cli::parse_command_line(authorize({"--public-key", "p", "--keystore=k"}));
    ASSERT_TRUE(std::holds_alternative<EarlyExit>(both));
    EXPECT_EQ(std::get<EarlyExit>(both).status, 2);
    EXPECT_EQ(std::get<EarlyExit>(both).err,
              "only one of --keystore and --public-key may be given\n" + run_with_help);

    // Help is asked for before the group is judged; each alternative says so.
    const auto help = zdz::cli::parse_command_line(authorize({"--help"}));
    ASSERT_TRUE(std::holds_alternative<EarlyExit>(help));
    EXPECT_EQ(std::get<EarlyExit>(help).status, 0);
    EXPECT_NE(std::get<EarlyExit>(help).out.find(
                  "signed `--store`. Exactly one of --keystore and\n"
                  "                              --public-key is required\n"),
              std::string::npos)
        << std::get<EarlyExit>(help).out;
}
