// Outside Windows there is no edition, browser or schannel to report.
#include "syscheck.h"

namespace qx::syscheck {

SystemFacts read_system_facts() { return {}; }

}  // namespace qx::syscheck
