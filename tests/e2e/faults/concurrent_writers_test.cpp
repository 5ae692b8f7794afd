// Writers started together onto one file follow one another: each keygen
// reports the file it installed, and no withdrawal or promotion is lost.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "contracts/content_hash.hpp"
#include "e2e/faults/workspace.hpp"

namespace fs = std::filesystem;
using namespace zdz::test;
using namespace zdz::test::faults;

namespace {

using namespace std::chrono_literals;

constexpr auto kConcurrentTimeout = 300s;
constexpr int kConcurrentKeygens = 8;
constexpr int kConcurrentRounds = 3;

}  // namespace

// Keygens started together onto one --out each install their own file, one
// after the other: every report describes the file its own rename put in
// place, and the key left on disk is one that a report printed. Each rename
// is delayed, to leave a concurrent writer time to interfere.
TEST(FaultInjection, ConcurrentKeygensOnOneOutEachReportTheFileTheyInstalled) {
    Workspace w;
    const auto out = w.dir.file("shared.json");
    for (int round = 0; round < kConcurrentRounds; ++round) {
        const auto installed = w.dir.file("installed-" + std::to_string(round));
        fs::create_directory(installed);
        auto options = with_fault_shim(
            {{"ZDZ_SHIM_RENAME_DELAY_MS", "100"}, {"ZDZ_SHIM_RENAME_COPY_DIR", installed}});
        options.env.emplace(kPassphraseVar, kPassphrase);
        std::vector<std::string> argv{program_path()};
        const auto args = w.keygen_args(out);
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::unique_ptr<ChildProcess>> children;
        for (int i = 0; i < kConcurrentKeygens; ++i) {
            children.push_back(std::make_unique<ChildProcess>(argv, options));
        }
        std::set<std::string> reported;
        for (auto& child : children) {
            const auto pid = child->pid();
            const auto done = child->wait_for(kConcurrentTimeout);
            ASSERT_TRUE(done) << "round " << round << ": a keygen gave no answer";
            EXPECT_EQ(done->status, 0) << "round " << round << ": " << done->err;
            if (done->status != 0) {
                continue;
            }
            const auto key = printed_key(done->out);
            reported.insert(key);
            EXPECT_EQ(recorded_key(bytes_of(installed + "/" + std::to_string(pid))), key)
                << "round " << round << ": the report is not what this keygen installed";
        }
        EXPECT_EQ(reported.size(), static_cast<std::size_t>(kConcurrentKeygens))
            << "round " << round;
        EXPECT_EQ(reported.count(recorded_key(bytes_of(out))), 1U)
            << "round " << round << ": the key on disk was printed by no keygen";
        EXPECT_FALSE(fs::exists(fs::symlink_status(w.dir.file("shared.tmp"))));
    }
}

// Withdrawals and promotions started together against one store follow one
// another under the store's folder lock: none of their changes is lost. Each
// rename is delayed, to leave a concurrent writer time to interfere.
TEST(FaultInjection, ConcurrentWithdrawalsAndPromotionsAreAllKept) {
    constexpr int kEach = 4;
    Workspace w;
    const auto signer = zdz::test::fixed_key(0x42);
    const auto manifest_of = [&](int i) {
        std::string name = "m";
        name += std::to_string(i);
        name += ".json";
        return w.dir.file(name);
    };
    for (int i = 0; i < kEach; ++i) {
        std::ofstream(manifest_of(i)) << zdz::test::install_manifest_json(
            signer, "platform-" + std::to_string(i), 1,
            {zdz::crypto::measure_sha256(std::string_view("image-" + std::to_string(i)))});
    }
    for (int round = 0; round < kConcurrentRounds; ++round) {
        auto options = with_fault_shim({{"ZDZ_SHIM_RENAME_DELAY_MS", "50"}});
        options.env.emplace(kPassphraseVar, kPassphrase);
        const auto withdrawn = [&](int i) {
            return zdz::crypto::measure_sha256(std::string_view("recalled-" +
                                                                std::to_string(round) + "-" +
                                                                std::to_string(i)))
                .to_string();
        };
        std::vector<std::unique_ptr<ChildProcess>> children;
        for (int i = 0; i < kEach; ++i) {
            auto promote = w.promote_args();
            promote[2] = manifest_of(i);
            for (const auto& args : {promote, w.withdraw_args(withdrawn(i))}) {
                std::vector<std::string> argv{program_path()};
                argv.insert(argv.end(), args.begin(), args.end());
                children.push_back(std::make_unique<ChildProcess>(argv, options));
            }
        }
        for (auto& child : children) {
            const auto done = child->wait_for(kConcurrentTimeout);
            ASSERT_TRUE(done) << "round " << round << ": a command gave no answer";
            EXPECT_EQ(done->status, 0) << "round " << round << ": " << done->err;
        }
        const auto loaded =
            zdz::store::load_registry_store(w.store, w.operator_key, zdz::test::now());
        ASSERT_TRUE(loaded && loaded->has_value());
        const auto& registry = **loaded;
        EXPECT_EQ(registry.platforms().size(), static_cast<std::size_t>(kEach + 1));
        const auto& vask = registry.platforms().at(*zdz::trust::ImagePlatform::parse("vask"));
        for (int i = 0; i < kEach; ++i) {
            EXPECT_TRUE(
                vask.withdrawn.contains({*zdz::contracts::ContentHash::parse(withdrawn(i))}))
                << "round " << round << ", withdrawal " << i;
            const auto platform =
                *zdz::trust::ImagePlatform::parse("platform-" + std::to_string(i));
            EXPECT_EQ(registry.history(platform).size(), static_cast<std::size_t>(round + 1))
                << "round " << round << ", " << platform.text();
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(w.dir.file("store.tmp"))));
    }
}
