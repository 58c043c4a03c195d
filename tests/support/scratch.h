// Test support: scratch directories removed when the test process ends.
#pragma once

#include <string>

namespace qx::test {

// Removes the directory tree when the process ends.  Best effort: a file that
// cannot be removed is left and the rest still goes.
void remove_tree_at_exit(const std::string& path);

// Registers the removal now, so that it runs after every static object made
// later (libraries loaded from a scratch directory among them) is destroyed.
// Without it the first remove_tree_at_exit call registers it.
void arm_scratch_cleanup();

// A child process started by its test shares the parent's scratch
// directories: the parent owns them, the child removes nothing.
void keep_scratch_trees();

}  // namespace qx::test
