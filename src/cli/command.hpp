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

// What kind of failure an error is: the `kind` of the JSON document of a
// failure, for a pipeline to tell a refusal from a mistyped path.
enum class ErrorKind {
    // A trust decision: a signature that does not verify, an expired
    // manifest, the rollback floor, a withdrawn image, an image that is not
    // the current known-good one.
    Refused,
    // A file or value that cannot be read or parsed, or that the command
    // refuses to use as given.
    Input,
    // The operating system: a write, a lock, the clock, memory.
    Io,
    // The command line.
    Usage,
};

// A handler's failure: one fully worded message, without a trailing newline,
// and its kind.
struct CommandError {
    std::string message;
    ErrorKind kind = ErrorKind::Input;
};

// The one way a handler words its failure: an input that cannot be used,
// unless `kind` says otherwise.
inline CommandError fail(std::string message, ErrorKind kind = ErrorKind::Input) {
    return CommandError{std::move(message), kind};
}

// A trust decision against the input.
inline CommandError refuse(std::string message) {
    return fail(std::move(message), ErrorKind::Refused);
}

// A failure of the operating system.
inline CommandError fail_io(std::string message) {
    return fail(std::move(message), ErrorKind::Io);
}

// What a handler returns: its report is written, or the error that says why
// not.
using CommandResult = tl::expected<void, CommandError>;

// How a command that can report in JSON reports.
enum class OutputFormat { Text, Json };

// Whether a command that measures an image draws its progress on standard
// error: Auto when standard error is a terminal and the report is text.
enum class ProgressMode { Auto, Always, Never };

// How a command that measures images reports: in which format, and whether
// it draws its progress meanwhile.
struct MeasuringReport {
    OutputFormat format = OutputFormat::Text;
    ProgressMode progress = ProgressMode::Auto;
};

struct Keygen {
    std::string out;
    std::string passphrase_env;
    std::optional<std::string> principal;
    // Replace an --out that exists; without it an existing --out is refused.
    bool force = false;
    // The PKCS#11 URI of a token to hold the key: the key pair is made in
    // the token (or, with existing_key, found there) and --out refers to it.
    std::optional<std::string> pkcs11;
    bool existing_key = false;
    OutputFormat format = OutputFormat::Text;
};

struct ImportHashes {
    std::string file;
    OutputFormat format = OutputFormat::Text;
};

struct ImportSigners {
    std::string file;
    OutputFormat format = OutputFormat::Text;
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
    MeasuringReport report;
};

struct Verify {
    std::string manifest;
    std::optional<std::string> signers_file;
    std::optional<std::string> image_file;
    // How many distinct trusted keys must have signed; 1 when not given.
    std::optional<std::uint32_t> min_signers;
    MeasuringReport report;
};

// Adds the keystore's signature to a manifest another key signed.
struct Approve {
    std::string manifest;
    std::string signers_file;
    std::string keystore;
    std::string passphrase_env;
    std::optional<std::string> image_file;
    OutputFormat format = OutputFormat::Text;
};

// Signs one manifest for each image a build's hash manifest lists.
struct SignRelease {
    std::string hashes;
    std::string keystore;
    std::string passphrase_env;
    std::uint32_t security_version = 0;
    std::string out_dir;
    std::optional<std::string> platform;
    std::optional<std::string> expires_at;
    MeasuringReport report;
};

// Checks each image a build's hash manifest lists against its manifest.
struct VerifyRelease {
    std::string hashes;
    std::string manifests_dir;
    std::optional<std::string> signers_file;
    std::optional<std::uint32_t> min_signers;
    MeasuringReport report;
};

struct Promote {
    std::string manifest;
    std::optional<std::string> signers_file;
    std::string store;
    std::string keystore;
    std::string passphrase_env;
    // At least this many signers, and at least the platform's recorded minimum.
    std::optional<std::uint32_t> min_signers;
    // The new store's expiry; without it the store keeps the one it has.
    std::optional<std::string> store_expires_at;
    // Where the last store accepted here is remembered (replay detection).
    std::optional<std::string> checkpoint;
    OutputFormat format = OutputFormat::Text;
};

// The candidate image of authorize-install and withdraw: exactly one of a
// measurement text and an image file to measure (the parser sees to that).
struct CandidateImage {
    std::optional<std::string> measurement;
    std::optional<std::string> image_file;
};

// The key a registry store is checked with: exactly one of a keystore, whose
// recorded public key is read without its passphrase, and a public-key file
// (the parser sees to that).
struct StoreKey {
    std::optional<std::string> keystore;
    std::optional<std::string> public_key;
};

struct AuthorizeInstall {
    std::string store;
    StoreKey key;
    std::string platform;
    CandidateImage candidate;
    std::optional<std::string> checkpoint;
    MeasuringReport report;
};

struct Withdraw {
    std::string store;
    std::string keystore;
    std::string passphrase_env;
    std::string platform;
    CandidateImage candidate;
    // Allow a platform the store does not hold yet.
    bool new_platform = false;
    std::optional<std::string> store_expires_at;
    std::optional<std::string> checkpoint;
    MeasuringReport report;
};

struct ShowStore {
    std::string store;
    StoreKey key;
    std::optional<std::string> platform;
    std::optional<std::string> checkpoint;
    OutputFormat format = OutputFormat::Text;
};

// Verifies a store's audit log and shows its history.
struct AuditStore {
    std::string store;
    StoreKey key;
    OutputFormat format = OutputFormat::Text;
};

// Signs the same registry again with a new expiry.
struct RefreshStore {
    std::string store;
    std::string keystore;
    std::string passphrase_env;
    std::string store_expires_at;
    OutputFormat format = OutputFormat::Text;
};

// Records how many trusted signers a promotion on a platform needs.
struct SetPolicy {
    std::string store;
    std::string keystore;
    std::string passphrase_env;
    std::string platform;
    std::uint32_t min_signers = 1;
    // Allow a platform the store does not hold yet.
    bool new_platform = false;
    std::optional<std::string> store_expires_at;
    OutputFormat format = OutputFormat::Text;
};

struct Demo {
    std::optional<std::string> sha256_file;
};

struct ShowKey {
    std::string keystore;
    std::optional<std::string> principal;
    // The allowed_signers line alone.
    bool trust_line = false;
    OutputFormat format = OutputFormat::Text;
};

struct ChangePassphrase {
    std::string keystore;
    std::string passphrase_env;
    std::string new_passphrase_env;
    OutputFormat format = OutputFormat::Text;
};

struct RekeyStore {
    std::string store;
    std::string keystore;
    std::string new_keystore;
    std::string passphrase_env;
    std::optional<std::string> store_expires_at;
    OutputFormat format = OutputFormat::Text;
};

using Subcommand =
    std::variant<Keygen, ShowKey, ChangePassphrase, ImportHashes, ImportSigners, Sign, Verify,
                 Approve, SignRelease, VerifyRelease, Promote, AuthorizeInstall, Withdraw,
                 SetPolicy, ShowStore, AuditStore, RekeyStore, RefreshStore, Demo>;

struct Cli {
    Subcommand subcommand;
};

}  // namespace zdz::cli
