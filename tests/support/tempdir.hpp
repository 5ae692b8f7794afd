#pragma once

#include <map>
#include <memory>
#include <string>

namespace zdz::test {

// A fresh directory under $TMPDIR, removed with its contents on destruction.
// It cannot be copied: one directory, one owner.
class TempDir {
public:
    TempDir();

    const std::string& path() const { return *path_; }
    std::string file(const std::string& name) const { return path() + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;

private:
    // Removes the directory with everything in it, whatever the permissions
    // a test left on its folders.
    struct RemoveTree {
        void operator()(const std::string* path) const;
    };

    std::unique_ptr<const std::string, RemoveTree> path_;
};

// Every entry of `folder` (not those below it) by name, with its bytes; a
// folder reads as "(a folder)".
std::map<std::string, std::string> files_in(const std::string& folder);

}  // namespace zdz::test
