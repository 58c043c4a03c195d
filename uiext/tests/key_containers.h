// The key containers the system's cryptography service keeps for the user
// (what a PFX import may leave behind).  Empty where there is no such service.
#pragma once

#include <string>
#include <vector>

namespace qx::uiext::test {
std::vector<std::string> persisted_key_containers();
}
