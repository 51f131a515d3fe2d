// A temporary directory tree of one test: made under /tmp with a name of its own, removed with
// everything in it, even what the test made unreadable or unenterable.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace temptree {

// A new empty directory /tmp/PREFIX.XXXXXX, its canonical path.
inline std::filesystem::path Make(const std::string& prefix) {
    std::string name = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + name);
    }
    return std::filesystem::canonical(name);
}

// Gives the owner back every permission below `root`, then removes it; nothing when empty.
inline void Remove(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    if (root.empty()) {
        return;
    }
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (const auto& entry : fs::recursive_directory_iterator(root, ignored)) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root, ignored);
}

} // namespace temptree
