// Test support: child processes that run a named function of the test binary.
//
// A test spawns its own executable with "--qx-child NAME ARGS..."; the shared
// main() below runs the function registered under NAME instead of the tests
// and exits with its return value.  This works the same natively (fork/exec)
// and under Wine (CreateProcess).
#pragma once

#include <string>
#include <vector>

#include "tests/support/scratch.h"

namespace qx::test {

using ChildFunction = int (*)(const std::vector<std::string>& args);

struct ChildRegistrar {
    ChildRegistrar(const char* name, ChildFunction fn);
};

// Path of the running test executable.
std::string self_path();

// The command line that runs this executable as a child with the given role
// and arguments; start it with qx::platform::ChildProcess::spawn.
std::vector<std::string> child_command(const std::string& role, const std::vector<std::string>& args);


}  // namespace qx::test

#define QX_TEST_CHILD(name)                                                          \
    static int qx_child_##name(const std::vector<std::string>& args);               \
    static ::qx::test::ChildRegistrar qx_child_reg_##name(#name, &qx_child_##name); \
    static int qx_child_##name([[maybe_unused]] const std::vector<std::string>& args)
