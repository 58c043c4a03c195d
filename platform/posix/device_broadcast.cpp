// No desktop broadcast exists here: monitors poll the token store instead.
#include "qx/platform/device_broadcast.h"

namespace qx::platform {

void broadcast_device_change(bool, const std::string&) {}

}  // namespace qx::platform
