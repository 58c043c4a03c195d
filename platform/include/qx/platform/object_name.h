// Names of named kernel objects (mutexes, shared memory).
#pragma once

#include <string>
#include <string_view>

namespace qx::platform {

// Maps a logical object name (which may hold backslashes, slashes and other
// characters the OS forbids, e.g. a reader name) to a legal OS name.  The
// mapping is deterministic and injective for names of ordinary length, so
// every process that asks for the same logical name gets the same object.
// Windows: '\' and '%' are escaped as %5C and %25.  POSIX: anything outside
// [A-Za-z0-9._-] is escaped as %XX and the result starts with "/qx."; a
// result longer than 200 characters is cut and given a hash of the whole name.
std::string legal_object_name(std::string_view logical_name);

}  // namespace qx::platform
