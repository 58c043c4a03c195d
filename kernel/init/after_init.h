// What a freshly initialised token must not inherit from its former life in
// this slot: the certificates registered from it, its cached PINs and
// certificates in shared memory, and the containers cached for its device.
//
// The certificate and container parts of the kernel install their step here
// (set_after_init_steps); until a part is present, there is nothing of its
// kind cached, so its step has nothing to do.
#pragma once

#include <cstdint>

#include "QXDevice.h"

namespace qx::kernel {

struct AfterInitSteps {
    // Unregisters from the user's certificate store every certificate still
    // held in the slot's certificate cache.
    uint32_t (*unregister_slot_certificates)(uint32_t slot) = nullptr;
    // Forgets the containers cached for the device.
    void (*forget_device_containers)(QXDeviceTransport& device) = nullptr;
};
// Installs the non-empty steps of `steps`; the others stay as they are.
void set_after_init_steps(const AfterInitSteps& steps);
// The steps in force (a part installing its own keeps the others').
AfterInitSteps after_init_steps();

// Runs the steps in order: certificates out of the store, the slot's shared
// memory cleared (PIN and certificate cells), cached containers forgotten.
// Called without the token's logical lock: the first two take the shared
// memory's lock, which is always taken before a logical lock.
void after_initialisation(QXDeviceTransport& device);

}  // namespace qx::kernel
