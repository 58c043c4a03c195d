// Opening, authenticating and closing devices, shared by the device exports
// and the exports of other parts that work on an open device.
#pragma once

#include <cstdint>
#include <string>

#include "core/handles.h"

namespace qx::kernel {

// The authentication a device gets when it is opened (and on request): under
// the token's logical lock, SELECT of the application directory 3F01, then
// external authentication with key identifier 0 under the token's derived ADF
// external-authentication key and the configured SKAlg algorithm.  Returns
// ERR_OK or the failing step's status (ERR_INVALID_PARAM for an unusable
// record, ERR_SELECT_FILE / ERR_FILE_NOT_FOUND, ERR_GET_CHALLENGE,
// ERR_EXTERNAL_AUTH, a lock or transport status).
uint32_t authenticate_device(DeviceRecord& device);

// Closes the device behind a live device record under the kernel lock: the
// transport's close, then, for a record the kernel owns, the transport object
// and the record are destroyed.  Returns the transport's close status.
uint32_t close_device(DeviceRecord& device);
// The same for a caller that already holds the kernel lock.
uint32_t close_device_locked(DeviceRecord& device);

}  // namespace qx::kernel
