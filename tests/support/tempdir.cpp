#include "support/tempdir.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace zdz::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zdz-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_.reset(new std::string(std::move(pattern)));
}

void TempDir::RemoveTree::operator()(const std::string* path) const {
    std::error_code ec;
    // Restore permissions a test may have taken away, then remove everything.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(*path, ec)) {
        if (entry.is_directory(ec)) {
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
    }
    std::filesystem::remove_all(*path, ec);
    delete path;
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream f(file(name), std::ios::binary | std::ios::trunc);
    f << content;
}

std::string TempDir::read(const std::string& name) const {
    std::ifstream f(file(name), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::map<std::string, std::string> files_in(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_directory()) {
            files[entry.path().filename().string()] = "(a folder)";
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] =
            std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

}  // namespace zdz::test
