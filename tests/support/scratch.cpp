#include "tests/support/scratch.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

namespace qx::test {
namespace {

struct Trees {
    std::mutex lock;
    std::set<std::string> paths;
    bool keep = false;
    bool armed = false;
};

// Never destroyed: the exit handler reads it after the other statics are gone.
Trees& trees() {
    static auto* t = new Trees;
    return *t;
}

void remove_tree(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(path, ec))) {
        std::vector<std::filesystem::path> entries;
        for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            entries.push_back(it->path());
        for (const auto& e : entries) remove_tree(e);
    }
    std::filesystem::remove(path, ec);
}

void remove_trees() {
    Trees& t = trees();
    std::lock_guard<std::mutex> guard(t.lock);
    if (!t.keep)
        for (const auto& p : t.paths) remove_tree(std::filesystem::path(p));
    t.paths.clear();
}

void arm_locked(Trees& t) {
    if (!t.armed) t.armed = std::atexit(remove_trees) == 0;
}

}  // namespace

void remove_tree_at_exit(const std::string& path) {
    Trees& t = trees();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.keep || path.empty()) return;
    arm_locked(t);
    t.paths.insert(path);
}

void arm_scratch_cleanup() {
    Trees& t = trees();
    std::lock_guard<std::mutex> guard(t.lock);
    arm_locked(t);
}

void keep_scratch_trees() {
    Trees& t = trees();
    std::lock_guard<std::mutex> guard(t.lock);
    t.keep = true;
    t.paths.clear();
}

}  // namespace qx::test
