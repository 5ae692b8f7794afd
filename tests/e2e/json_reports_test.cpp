// --format json on every command, as a pipeline reads it: one document on
// standard output, on success with "ok": true and the members the manual page
// documents, on failure with the kind and the text of the error line, and the
// exit status of the text form.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/grammar/definition.hpp"
#include "cli/json_report.hpp"
#include "support/fixtures.hpp"
#include "support/run.hpp"
#include "support/tempdir.hpp"

using namespace zdz::test;

namespace fs = std::filesystem;

namespace {

const std::string kImage = "vask-install-2026072900.img";
const std::string kOtherImage = "vask-install-2026071500.img";

std::string jq(const std::string& filter, const std::string& json) {
    RunOptions input;
    input.stdin_data = json;
    const auto r = run_tool({"jq", "-c", filter}, input);
    EXPECT_EQ(r.status, 0) << r.err << json;
    return r.out;
}

// Every member path of a document, an array's elements named by the array.
std::set<std::string> json_paths(const std::string& json) {
    const auto lines =
        jq("[paths | map(if type == \"number\" then \"[]\" else \".\" + . end) "
           "| join(\"\") | ltrimstr(\".\") | select(endswith(\"[]\") | not)] | unique | .[]",
           json);
    std::set<std::string> paths;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        paths.insert(line.substr(1, line.size() - 2));
    }
    return paths;
}

// The members documented for a document of a sealed keystore's key, or of a
// token keystore's, leaving out those that only some documents hold.
std::set<std::string> documented(
    std::span<const zdz::cli::JsonMemberDoc> members,
    zdz::cli::JsonMemberDoc::Keystore keystore = zdz::cli::JsonMemberDoc::Keystore::Sealed) {
    using Keystore = zdz::cli::JsonMemberDoc::Keystore;
    std::set<std::string> paths;
    for (const auto& member : members) {
        if (!member.conditional && (member.only == Keystore::Either || member.only == keystore)) {
            paths.emplace(member.path);
        }
    }
    return paths;
}

std::map<std::string, std::set<std::string>> documented_reports() {
    std::map<std::string, std::set<std::string>> reports;
    for (const auto& report : zdz::cli::json_report_docs()) {
        reports[std::string(report.command)] = documented(report.members);
    }
    return reports;
}

class JsonReports : public ::testing::Test {
protected:
    void SetUp() override {
        write_test_keystore(dir.file("ks.json"));
        write_test_keystore(dir.file("next.json"));
        for (const auto& image : {kImage, kOtherImage}) {
            fs::copy_file(source_dir() + "/os/" + image, dir.file(image));
        }
        options.cwd = dir.path();
        options.env = {{kPassphraseVar, kPassphrase}, {"NEW_PASSPHRASE", "another passphrase"}};
    }

    RunResult run(std::vector<std::string> args, bool json = true) const {
        if (json) {
            args.insert(args.end(), {"--format", "json"});
        }
        return run_program(args, options);
    }

    // A success: status 0, nothing on standard error, and the members the
    // manual page documents for the command.
    std::string succeeded(const std::vector<std::string>& args) const {
        const auto r = run(args);
        EXPECT_EQ(r.status, 0) << args.front() << ": " << r.err;
        EXPECT_EQ(r.err, "") << args.front();
        EXPECT_EQ(jq(".ok", r.out), "true\n") << args.front();
        EXPECT_EQ(json_paths(r.out), documented_reports()[args.front()]) << args.front() << r.out;
        return r.out;
    }

    // A failure: the status and error line of the text form, and one document
    // that carries `kind` and that line's text.
    void failed(const std::vector<std::string>& args, const std::string& kind,
                int status = 1) const {
        const auto text = run(args, false);
        const auto r = run(args);
        EXPECT_EQ(r.status, status) << args.front();
        EXPECT_EQ(text.status, status) << args.front();
        EXPECT_EQ(r.err, text.err) << args.front();
        EXPECT_EQ(text.out, "") << args.front();
        EXPECT_EQ(json_paths(r.out), documented(zdz::cli::json_failure_members())) << r.out;
        // A usage error's line has no "error: " of its own.
        const auto first_line = r.err.substr(0, r.err.find('\n'));
        const std::string prefix = status == 2 ? "" : "error: ";
        RunOptions input;
        input.stdin_data = r.out;
        EXPECT_EQ(
            run_tool({"jq", "-r", ".ok, .error.kind, \"" + prefix + "\" + .error.message"}, input)
                .out,
            "false\n" + kind + "\n" + first_line + "\n")
            << args.front();
    }

    std::vector<std::string> sign_args(const std::string& image, const std::string& version,
                                       const std::string& out) const {
        return {"sign",         "--keystore",   "ks.json", "--passphrase-env",
                kPassphraseVar, "--image-file", image,     "--platform",
                "vask",         "--kind",       "install", "--security-version",
                version,        "--out",        out};
    }

    std::vector<std::string> promote_args(const std::string& manifest) const {
        return zdz::test::promote_args(manifest, "signers", "store.json", "ks.json");
    }

    TempDir dir;
    RunOptions options;
};

}  // namespace

// Every command but demo has a documented document.
TEST_F(JsonReports, EveryCommandButDemoIsDocumented) {
    std::set<std::string> commands;
    for (const auto& sub : zdz::cli::subcommand_defs()) {
        commands.emplace(sub.name);
    }
    commands.erase("demo");
    std::set<std::string> reports;
    for (const auto& [command, members] : documented_reports()) {
        reports.insert(command);
        EXPECT_TRUE(members.contains("ok")) << command;
    }
    EXPECT_EQ(reports, commands);
}

// One release run through in JSON, each document against its documentation.
TEST_F(JsonReports, EachSuccessHasItsDocumentedMembers) {
    auto out = succeeded({"keygen", "--out", "release.key", "--passphrase-env", kPassphraseVar,
                          "--principal", "release@ci"});
    EXPECT_EQ(jq("[.keystore, .principal, .kdf.algorithm, .kdf.memory_kib]", out),
              "[\"release.key\",\"release@ci\",\"argon2id\",131072]\n");
    const auto line = jq(".allowed_signers_line", out);

    out = succeeded({"show-key", "--keystore", "release.key", "--principal", "release@ci"});
    EXPECT_EQ(jq(".allowed_signers_line", out), line);
    EXPECT_EQ(jq(".unseal_refused", out), "null\n");
    EXPECT_EQ(jq(".openssh_fingerprint | startswith(\"SHA256:\")", out), "true\n");

    out = succeeded({"change-passphrase", "--keystore", "release.key", "--passphrase-env",
                     kPassphraseVar, "--new-passphrase-env", "NEW_PASSPHRASE"});
    EXPECT_EQ(jq(".keystore", out), "\"release.key\"\n");

    out = succeeded({"import-hashes", "--file", source_dir() + "/os/BASE-IMAGE.sha256"});
    EXPECT_EQ(jq("[.entries[] | select(.file_name == \"" + kImage + "\") | .platform, .kind]", out),
              "[\"vask\",\"install\"]\n");

    const auto shown = run_program(
        {"show-key", "--keystore", "ks.json", "--trust-line", "--principal", "release@ci"},
        options);
    dir.write("signers", shown.out);
    out = succeeded({"import-signers", "--file", "signers"});
    EXPECT_EQ(jq("[.signers[].principal]", out), "[\"release@ci\"]\n");

    auto sign = sign_args(kImage, "2", "v2.json");
    sign.insert(sign.end(), {"--expires-at", "2999-01-01T00:00:00Z"});
    out = succeeded(sign);
    EXPECT_EQ(jq("[.out, .image_file.path, .security_version, .expires_at]", out),
              "[\"v2.json\",\"" + kImage + "\",2,\"2999-01-01T00:00:00Z\"]\n");

    succeeded(
        {"verify", "--manifest", "v2.json", "--signers-file", "signers", "--image-file", kImage});

    out = succeeded(promote_args("v2.json"));
    EXPECT_EQ(jq("[.store, .signed_by, .rollback_floor]", out),
              "[\"store.json\",\"release@ci\",2]\n");

    out = succeeded({"authorize-install", "--store", "store.json", "--keystore", "ks.json",
                     "--platform", "vask", "--image-file", kImage});
    EXPECT_EQ(jq("[.security_version, .image_file.bytes_measured > 0]", out), "[2,true]\n");

    out =
        succeeded({"withdraw", "--store", "store.json", "--keystore", "ks.json", "--passphrase-env",
                   kPassphraseVar, "--platform", "vask", "--image-file", kImage});
    EXPECT_EQ(
        jq("[.newly_withdrawn, .blocks_installs, .times_promoted, (.also_withdrawn | length)]",
           out),
        "[true,true,1,1]\n");

    out = succeeded(
        {"show-store", "--store", "store.json", "--keystore", "ks.json", "--platform", "vask"});
    EXPECT_EQ(jq("[.platforms[0].current.withdrawn]", out), "[true]\n");

    out = succeeded({"rekey-store", "--store", "store.json", "--keystore", "ks.json",
                     "--new-keystore", "next.json", "--passphrase-env", kPassphraseVar});
    EXPECT_EQ(jq(".platform_count", out), "1\n");

    out = succeeded({"refresh-store", "--store", "store.json", "--keystore", "next.json",
                     "--passphrase-env", kPassphraseVar, "--store-expires-at",
                     "2999-01-01T00:00:00Z"});
    EXPECT_EQ(jq("[.sequence, .expires_at, .previous_expires_at]", out),
              "[4,\"2999-01-01T00:00:00Z\",null]\n");

    out = succeeded({"audit-store", "--store", "store.json", "--keystore", "next.json"});
    EXPECT_EQ(jq("[.saves[].command]", out),
              "[\"promote\",\"withdraw\",\"rekey-store\",\"refresh-store\"]\n");
}

// A failure of each command is one document of the documented members, whose
// kind tells a trust decision from a bad input, the system and the command
// line; standard error and the status are those of the text form.
TEST_F(JsonReports, EachFailureIsOneDocumentOfItsKind) {
    dir.write("signers",
              run_program({"show-key", "--keystore", "ks.json", "--trust-line"}, options).out);
    ASSERT_EQ(run(sign_args(kImage, "2", "v2.json"), false).status, 0);
    ASSERT_EQ(run(sign_args(kOtherImage, "1", "v1.json"), false).status, 0);
    ASSERT_EQ(run(promote_args("v2.json"), false).status, 0);
    dir.write("tampered.img", dir.read(kImage) + "x");

    failed({"keygen", "--out", "ks.json", "--passphrase-env", kPassphraseVar}, "input");
    failed({"show-key", "--keystore", "missing.json"}, "input");
    failed({"change-passphrase", "--keystore", "ks.json", "--passphrase-env", "NEW_PASSPHRASE",
            "--new-passphrase-env", kPassphraseVar},
           "input");
    failed({"import-hashes", "--file", "missing.sha256"}, "input");
    failed({"import-signers", "--file", "missing"}, "input");
    failed(sign_args(kImage, "3", "no/such/folder/v3.json"), "io");
    failed({"verify", "--manifest", "v2.json", "--signers-file", "signers", "--image-file",
            "tampered.img"},
           "refused");
    failed(promote_args("v1.json"), "refused");
    failed({"authorize-install", "--store", "store.json", "--keystore", "ks.json", "--platform",
            "vask", "--image-file", kOtherImage},
           "refused");
    failed({"withdraw", "--store", "store.json", "--keystore", "ks.json", "--passphrase-env",
            kPassphraseVar, "--platform", "vsak", "--image-file", kImage},
           "input");
    failed({"show-store", "--store", "missing.json", "--keystore", "ks.json"}, "input");
    failed({"rekey-store", "--store", "store.json", "--keystore", "ks.json", "--new-keystore",
            "ks.json", "--passphrase-env", kPassphraseVar},
           "input");

    // A command line that does not parse keeps its usage text on standard
    // error, and gets its document too.
    failed({"verify", "--signers-file", "signers"}, "usage", 2);
    const auto r = run({"verify", "--manifest", "v2.json", "--bogus", "x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(jq(".error.kind", r.out), "\"usage\"\n");
    // Without --format json a usage error prints nothing on standard output.
    EXPECT_EQ(run({"verify", "--format", "yaml"}, false).out, "");
}
