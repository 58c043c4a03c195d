// Named mutexes of the kernel, kept open per name for the life of the process
// (creating and closing a mutex for every APDU would cost more than the APDU's
// own host work).  Ownership is still taken and released around each use.
#pragma once

#include <string>

#include "qx/platform/named_mutex.h"

namespace qx::kernel {

// The process's mutex object for a logical name; null when it cannot be created.
platform::NamedMutex* named_mutex(const std::string& logicalName);

}  // namespace qx::kernel
