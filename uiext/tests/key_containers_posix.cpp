// POSIX: PFX files are read in memory; nothing is ever persisted.
#include "key_containers.h"

namespace qx::uiext::test {
std::vector<std::string> persisted_key_containers() { return {}; }
}  // namespace qx::uiext::test
