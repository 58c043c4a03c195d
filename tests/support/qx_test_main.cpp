#include "tests/support/qx_test_main.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "qx/platform/module.h"

namespace qx::test {
namespace {
std::map<std::string, ChildFunction>& registry() {
    static std::map<std::string, ChildFunction> r;
    return r;
}
std::string g_self;
}  // namespace

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
        qx::test::keep_scratch_trees();
        auto it = qx::test::registry().find(argv[2]);
        if (it == qx::test::registry().end()) {
            std::fprintf(stderr, "unknown child role %s\n", argv[2]);
            return 127;
        }
        std::vector<std::string> args(argv + 3, argv + argc);
        return it->second(args);
    }
    // Armed before the tests run, so the removal comes after the statics they
    // create (loaded libraries among them) are destroyed.
    qx::test::arm_scratch_cleanup();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
