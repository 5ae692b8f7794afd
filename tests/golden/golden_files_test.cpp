// The checked-in golden files against what the code writes today from the
// same fixed seeds. A failure here means a change altered the bytes of a
// manifest, keystore, store or trust file: files already in the field would
// no longer read, or verify, as they did. Only when that change is meant are
// the files made again, with ZDZ_REGENERATE_GOLDEN=1 (tests/data/README.md).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "encoding/hex.hpp"
#include "support/fixtures.hpp"
#include "support/golden.hpp"
#include "support/independent_keystore.hpp"

namespace fs = std::filesystem;
namespace golden = zdz::test::golden;

namespace {

bool regenerating() {
    const char* value = std::getenv("ZDZ_REGENERATE_GOLDEN");
    return value != nullptr && std::string_view(value) == "1";
}

void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    ASSERT_TRUE(file.flush()) << path;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The lines of `forged` that differ from `original` at the same place, with
// the line count required to be the same.
std::vector<std::string> changed_lines(const std::string& original, const std::string& forged) {
    const auto before = lines_of(original);
    const auto after = lines_of(forged);
    EXPECT_EQ(before.size(), after.size());
    std::vector<std::string> changed;
    for (std::size_t i = 0; i < std::min(before.size(), after.size()); ++i) {
        if (before[i] != after[i]) {
            changed.push_back(after[i]);
        }
    }
    return changed;
}

}  // namespace

TEST(GoldenFiles, TheCodeStillWritesEveryCheckedInByte) {
    std::set<std::string> made;
    for (const auto& [name, bytes] : golden::golden_files()) {
        made.insert(name);
        if (regenerating()) {
            write_file(fs::path(golden::golden_dir()) / name, bytes);
        }
        EXPECT_EQ(golden::read_golden(name), bytes)
            << name << " no longer comes out byte for byte as checked in";
    }
    // A file nobody makes any more would stay checked in, untested.
    for (const auto& entry : fs::recursive_directory_iterator(golden::golden_dir())) {
        if (entry.is_regular_file()) {
            const auto name = fs::relative(entry.path(), golden::golden_dir()).string();
            EXPECT_TRUE(made.contains(name)) << name << " is not made by golden_files()";
        }
    }
}

// Each forgery makes one change, so that its refusal is the refusal of that
// change and nothing else.
TEST(GoldenFiles, EachForgeryChangesOneThing) {
    struct Case {
        std::string forged;
        std::string original;
        std::string changed_line_starts_with;
    };
    const Case cases[] = {
        {"manifest-changed-digit.json", "manifest-sv3.json", R"(    "measurement": "sha256:)"},
        {"manifest-swapped-signature.json", "manifest-sv3.json", R"(  "signature": ")"},
        {"store-resigned-by-other-key.json", "store.json", R"(  "signature": ")"},
        {"keystore-header-edited.json", "keystore.json", R"(    "created_at": ")"},
    };
    for (const auto& c : cases) {
        const auto changed = changed_lines(golden::read_golden(c.original),
                                           golden::read_golden("forged/" + c.forged));
        ASSERT_EQ(changed.size(), 1u) << c.forged;
        EXPECT_TRUE(changed[0].starts_with(c.changed_line_starts_with))
            << c.forged << ": " << changed[0];
    }
    // The swapped signature is a real one: the sv2 manifest's.
    EXPECT_EQ(lines_of(golden::read_golden("forged/manifest-swapped-signature.json")).back(),
              lines_of(golden::read_golden("manifest-sv2.json")).back());
    // The edited store keeps the operator's signature over the original list.
    const auto original = lines_of(golden::read_golden("store.json"));
    const auto edited = lines_of(golden::read_golden("forged/store-withdrawal-removed.json"));
    ASSERT_LT(edited.size(), original.size());
    EXPECT_EQ(edited[edited.size() - 2], original[original.size() - 2]);
}

// The keystore opened without any of the project's keystore, envelope or KDF
// code: its format is what the file says, not what this code happens to read.
TEST(GoldenFiles, TheKeystoreOpensWithLibargon2AndLibsodiumAlone) {
    const auto path = golden::golden_dir() + "/keystore.json";
    EXPECT_EQ(zdz::test::public_key_by_libraries(path, zdz::test::kPassphrase),
              golden::operator_key().verifying_key().to_hex());
    EXPECT_EQ(zdz::test::public_key_by_libraries(path, "another passphrase"),
              "error: the envelope does not open");
    EXPECT_EQ(
        zdz::test::public_key_by_libraries(
            golden::golden_dir() + "/forged/keystore-header-edited.json", zdz::test::kPassphrase),
        "error: the envelope does not open");
}
