#include "after_init.h"

#include <mutex>

#include "core/shared_area.h"

namespace qx::kernel {

namespace {
std::mutex g_mutex;
AfterInitSteps g_steps;
}  // namespace

void set_after_init_steps(const AfterInitSteps& steps) {
    std::lock_guard<std::mutex> lock(g_mutex);
    // Each part installs its own step; a step left empty keeps the one in force.
    if (steps.unregister_slot_certificates) g_steps.unregister_slot_certificates = steps.unregister_slot_certificates;
    if (steps.forget_device_containers) g_steps.forget_device_containers = steps.forget_device_containers;
}

AfterInitSteps after_init_steps() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_steps;
}

void after_initialisation(QXDeviceTransport& device) {
    AfterInitSteps steps;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        steps = g_steps;
    }
    const uint32_t slot = device.slotNumber;
    if (steps.unregister_slot_certificates) steps.unregister_slot_certificates(slot);
    // Slots outside the shared area's four have nothing cached there.
    if (slot < kAreaSlots && kernel_area_open()) slot_clear(slot);
    if (steps.forget_device_containers) steps.forget_device_containers(device);
}

}  // namespace qx::kernel
