#include "e2e/faults/workspace.hpp"

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <utility>

#include "encoding/hex.hpp"
#include "store/keystore.hpp"

namespace zdz::test::faults {

namespace fs = std::filesystem;

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

RunOptions with_passphrase() {
    RunOptions options;
    options.env.emplace(kPassphraseVar, kPassphrase);
    return options;
}

RunResult run_argv(const std::vector<std::string>& argv, RunOptions options,
                   std::chrono::milliseconds timeout) {
    options.env.emplace(kPassphraseVar, kPassphrase);
    ChildProcess child(argv, options);
    const auto done = child.wait_for(timeout);
    if (!done) {
        std::string command;
        for (const auto& arg : argv) {
            command += " " + arg;
        }
        ADD_FAILURE() << "no answer within the timeout:" << command;
        child.send(SIGKILL);
        return child.wait();
    }
    return *done;
}

RunResult run(const std::vector<std::string>& args, RunOptions options,
              std::chrono::milliseconds timeout) {
    std::vector<std::string> argv{program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_argv(argv, std::move(options), timeout);
}

RunResult run_behind(std::vector<std::string> launcher, const std::vector<std::string>& args) {
    launcher.push_back(program_path());
    launcher.insert(launcher.end(), args.begin(), args.end());
    return run_argv(launcher);
}

zdz::crypto::VerifyingKey keystore_at(const std::string& path) {
    const auto hex = zdz::test::write_test_keystore(path);
    return *zdz::crypto::VerifyingKey::from_bytes(*zdz::encoding::hex_decode(hex));
}

std::string keygen_failed(const std::string& out, const std::string& temp, std::string_view os) {
    return "error: failed to write keystore to " + out +
           ": local storage operation failed: cannot write " + temp + ": " + std::string(os) + "\n";
}

RunOptions with_fault_shim(std::map<std::string, std::string> env) {
    RunOptions options;
    options.env = std::move(env);
    options.env.emplace("LD_PRELOAD", ZDZ_FAULT_SHIM);
    // A sanitizer runtime linked dynamically would refuse to come after it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env.emplace("ASAN_OPTIONS",
                        std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
    return options;
}

std::string printed_key(const std::string& report) {
    static const std::regex line("\n  verifying_key: ([0-9a-f]{64})\n");
    std::smatch m;
    return std::regex_search(report, m, line) ? m[1].str() : "";
}

std::string recorded_key(const std::string& keystore_text) {
    const auto record = zdz::store::read_keystore_json(keystore_text);
    return record ? record->verifying_key_hex : "";
}

Node node_at(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return {st.st_dev, st.st_ino, st.st_mode, st.st_rdev};
}

}  // namespace zdz::test::faults
