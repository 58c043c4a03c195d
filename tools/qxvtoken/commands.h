// The qxvtoken commands, callable from the program and from its tests.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qx::vtoken::tool {

// Exit codes: 0 done, 1 the operation failed, 2 bad command line.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Runs one command line (without the program name) against the token store
// in `directory`, writing results to `out` and messages to `err`.
int run(const std::vector<std::string>& args, const std::string& directory, std::ostream& out, std::ostream& err);

}  // namespace qx::vtoken::tool
