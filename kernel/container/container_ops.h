// The container operations behind the container exports.  Arguments are
// checked by the exports; these take the locks (logical lock first, then the
// manager's section) and talk to the token.
#pragma once

#include <cstdint>
#include <string>

#include "container/container.h"

namespace qx::kernel {

// True for a name of 1 to 259 characters.
bool valid_container_name(const char* name);

// Opens `name` on the device: the cached object (refreshed) or a new one,
// open count + 1.  A failed table read is retried after re-authenticating the
// host, three reads at most.
uint32_t open_container(DeviceRecord& device, const std::string& name, QXContainer*& out);

// Creates a container of `type` (1, 2, 4 or 8) in the first free record.
uint32_t create_container(DeviceRecord& device, const std::string& name, uint32_t type, QXContainer*& out);

// Open count - 1; at 0 (or when it already was 0) the object is destroyed.
uint32_t close_container(const void* handle);

// Frees the container's record (280 bytes of 0xFF) and destroys the object.
uint32_t delete_container(const void* handle);
// Opens `name`, then deletes it as above.
uint32_t delete_container_by_name(DeviceRecord& device, const std::string& name);

// Writes the object's fields to its record and copies them into the first
// cached object of the same device and name.
uint32_t update_container(const void* handle);

// One step of an enumeration: *position 0 starts it (re-reading the table).
uint32_t enumerate_containers(DeviceRecord& device, uint32_t typeMask, uint32_t& position, QXContainer*& out);

// Changes a field of a live container (no token access); false for a stale handle.
bool set_container_type(const void* handle, uint32_t type);

}  // namespace qx::kernel
