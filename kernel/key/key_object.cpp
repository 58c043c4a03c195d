#include "key_object.h"

#include <mutex>
#include <new>
#include <unordered_set>

#include "core/kernel_state.h"

namespace qx::kernel {

static_assert(sizeof(void*) != 8 || offsetof(QXKey, tag) == 8, "the handle check reads the tag after the vtable");

bool is_accepted_algorithm(uint32_t algorithm) {
    switch (algorithm) {
        case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 16:
        case 0x100: case 0x200: case 0x300: case 0x400: case 0x500: case 0x600: case 0x700: case 0x800:
        case 0x1100:
        case kAlgSm2: case kAlgRsa:
            return true;
        default:
            return false;
    }
}

QXKey::QXKey(uint32_t alg) : algorithm(alg), cipher(state().soft_alg(), alg) {}

QXKey::~QXKey() = default;  // the key buffer wipes itself

DeviceRecord* QXKey::live_device() const {
    DeviceRecord* record = device_record(deviceHandle);
    if (!record || !record->device || record->device != device) return nullptr;
    return record;
}

void QXKey::bind_device(void* handle) {
    DeviceRecord* record = device_record(handle);
    deviceHandle = record ? handle : nullptr;
    device = record ? record->device : nullptr;
}

uint32_t QXAsymKey::NegotiateTransaction(uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t) {
    return ERR_INVALID_PARAM;
}

namespace {

// The live keys.  The mutex needs no construction or destruction at run time,
// so it is usable whenever the kernel releases its keys (also while the
// library is being unloaded); the set is made with the first key and freed
// when the kernel is released.
std::mutex g_liveMutex;
std::unordered_set<QXKey*>* g_live = nullptr;

bool is_live(QXKey* key) { return g_live && g_live->count(key) != 0; }

}  // namespace

QXKey* adopt_key(std::unique_ptr<QXKey> key) {
    if (!key) return nullptr;
    std::lock_guard lock(g_liveMutex);
    if (!g_live) g_live = new std::unordered_set<QXKey*>;
    g_live->insert(key.get());
    QXKey* raw = key.release();
    register_handle(raw, HandleKind::Key);
    return raw;
}

QXKey* key_from_handle(void* handle) {
    if (!handle || !is_live_handle(handle, HandleKind::Key)) return nullptr;
    std::lock_guard lock(g_liveMutex);
    QXKey* key = static_cast<QXKey*>(handle);
    return is_live(key) ? key : nullptr;
}

bool destroy_key(QXKey* key) {
    if (!key) return false;
    {
        std::lock_guard lock(g_liveMutex);
        if (!is_live(key)) return false;
        g_live->erase(key);
        unregister_handle(key, HandleKind::Key);
    }
    delete key;
    return true;
}

void release_all_keys() {
    std::unordered_set<QXKey*>* all = nullptr;
    {
        std::lock_guard lock(g_liveMutex);
        std::swap(all, g_live);
        if (all)
            for (QXKey* key : *all) unregister_handle(key, HandleKind::Key);
    }
    if (!all) return;
    for (QXKey* key : *all) delete key;
    delete all;
}

std::vector<uint32_t> live_key_slots(const QXDeviceTransport* device) {
    std::vector<uint32_t> slots;
    std::lock_guard lock(g_liveMutex);
    if (!g_live) return slots;
    for (QXKey* key : *g_live) {
        QXAsymKey* asym = as_asym(key);
        if (asym && asym->device == device && asym->slot != kNoSlot && asym->slot != kHostSlot)
            slots.push_back(asym->slot);
    }
    return slots;
}

std::unique_ptr<QXKey> make_asym_key(uint32_t algorithm);  // asym_key.cpp

std::unique_ptr<QXKey> make_key(uint32_t algorithm) {
    try {
        if (algorithm == kAlgRsa || algorithm == kAlgSm2) return make_asym_key(algorithm);
#ifdef QX_KERNEL_SYM_KEYS
        if (is_sym_algorithm(algorithm)) return make_sym_key(algorithm);
#endif
    } catch (const std::bad_alloc&) {
    }
    return nullptr;
}

uint32_t KeyTokenSession::open(const QXKey& key) {
    DeviceRecord* record = key.live_device();
    if (!record) return ERR_DEVICE_IO;
    uint32_t status = lock_.acquire(*record->device);
    if (status != ERR_OK) return status;
    commands_ = std::make_unique<CommandObject>(record->device);
    return ERR_OK;
}

}  // namespace qx::kernel
