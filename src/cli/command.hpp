#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <utility>
#include <variant>

namespace zdz::cli {

inline constexpr const char* kProgramName = "zeduzaredoz";
// The project version of CMakeLists.txt, handed to the build of this layer.
inline constexpr const char* kVersion = ZDZ_VERSION;
inline constexpr const char* kDefaultPrincipal = "release-operator@tarnelos-workstation";
inline constexpr const char* kDefaultSignersFile = "../os/allowed_signers";
inline constexpr const char* kDefaultSha256File = "../os/BASE-IMAGE.sha256";

// A handler's failure: one fully worded message, without a trailing newline.
struct CommandError {
    std::string message;
};

// The one way a handler words its failure.
inline CommandError fail(std::string message) {
    return CommandError{std::move(message)};
}

// What a handler returns: its report is written, or the error that says why
// not.
using CommandResult = tl::expected<void, CommandError>;

// How a command that can report in JSON reports.
enum class OutputFormat { Text, Json };

struct Keygen {
    std::string out;
    std::string passphrase_env;
    std::optional<std::string> principal;
};

struct ImportHashes {
    std::string file;
};

struct ImportSigners {
    std::string file;
};

struct Sign {
    std::string keystore;
    std::string passphrase_env;
    std::string image_file;
    std::string platform;
    std::string kind;
    std::uint32_t security_version = 0;
    std::string out;
    std::optional<std::string> expires_at;
};

struct Verify {
    std::string manifest;
    std::optional<std::string> signers_file;
    std::optional<std::string> image_file;
    OutputFormat format = OutputFormat::Text;
};

struct Promote {
    std::string manifest;
    std::optional<std::string> signers_file;
    std::string store;
    std::string keystore;
    std::string passphrase_env;
};

// The candidate image of authorize-install and withdraw: exactly one of a
// measurement text and an image file to measure (the parser sees to that).
struct CandidateImage {
    std::optional<std::string> measurement;
    std::optional<std::string> image_file;
};

struct AuthorizeInstall {
    std::string store;
    // Exactly one of the two, as the parser enforces.
    std::optional<std::string> keystore;
    std::optional<std::string> public_key;
    std::string platform;
    CandidateImage candidate;
};

struct Withdraw {
    std::string store;
    std::string keystore;
    std::string passphrase_env;
    std::string platform;
    CandidateImage candidate;
};

struct ShowStore {
    std::string store;
    // Exactly one of the two, as the parser enforces.
    std::optional<std::string> keystore;
    std::optional<std::string> public_key;
    std::optional<std::string> platform;
    OutputFormat format = OutputFormat::Text;
};

struct Demo {
    std::optional<std::string> sha256_file;
};

struct ShowKey {
    std::string keystore;
    std::optional<std::string> principal;
};

struct ChangePassphrase {
    std::string keystore;
    std::string passphrase_env;
    std::string new_passphrase_env;
};

struct RekeyStore {
    std::string store;
    std::string keystore;
    std::string new_keystore;
    std::string passphrase_env;
};

using Subcommand =
    std::variant<Keygen, ShowKey, ChangePassphrase, ImportHashes, ImportSigners, Sign, Verify,
                 Promote, AuthorizeInstall, Withdraw, ShowStore, RekeyStore, Demo>;

struct Cli {
    Subcommand subcommand;
};

}  // namespace zdz::cli
