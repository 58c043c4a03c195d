#include "tests/support/qx_test_main.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include "qx/platform/module.h"

namespace qx::test {
namespace {
std::map<std::string, ChildFunction>& registry() {
    static std::map<std::string, ChildFunction> r;
    return r;
}
std::string g_self;
bool g_child = false;

std::mutex& trees_lock() {
    static std::mutex m;
    return m;
}
// Never destroyed: the exit handler reads it after the other statics are gone.
std::set<std::string>& trees() {
    static auto* t = new std::set<std::string>;
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
    std::lock_guard<std::mutex> guard(trees_lock());
    for (const auto& t : trees()) remove_tree(std::filesystem::path(t));
    trees().clear();
}
}  // namespace

void remove_tree_at_exit(const std::string& path) {
    if (g_child || path.empty()) return;
    std::lock_guard<std::mutex> guard(trees_lock());
    trees().insert(path);
}

ChildRegistrar::ChildRegistrar(const char* name, ChildFunction fn) { registry()[name] = fn; }

std::string self_path() { return g_self; }

std::vector<std::string> child_command(const std::string& role, const std::vector<std::string>& args) {
    std::vector<std::string> cmd{g_self, "--qx-child", role};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

}  // namespace qx::test

int main(int argc, char** argv) {
    qx::test::g_self = qx::platform::executable_path();
    if (qx::test::g_self.empty()) qx::test::g_self = argv[0];
    if (argc >= 3 && std::strcmp(argv[1], "--qx-child") == 0) {
        qx::test::g_child = true;
        auto it = qx::test::registry().find(argv[2]);
        if (it == qx::test::registry().end()) {
            std::fprintf(stderr, "unknown child role %s\n", argv[2]);
            return 127;
        }
        std::vector<std::string> args(argv + 3, argv + argc);
        return it->second(args);
    }
    // Registered before the tests run, so it runs after the statics they
    // create (loaded libraries among them) are destroyed.
    std::atexit(qx::test::remove_trees);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
