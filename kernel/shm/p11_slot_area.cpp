#include "p11_slot_area.h"

#include <algorithm>
#include <cstring>

namespace qx::p11area {

namespace {

void put_text(char* field, std::size_t size, const char* text, char pad) {
    std::memset(field, pad, size);
    std::memcpy(field, text, std::min(size, std::strlen(text)));
}

constexpr char kSlotDescription[] = "The Cryptographic Device";
constexpr char kSlotManufacturer[] = "Quorvantix Co.,Ltd.";

}  // namespace

uint32_t load32(const uint8_t (&b)[4]) {
    return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

void store32(uint8_t (&b)[4], uint32_t value) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::unique_ptr<SlotArea> SlotArea::open(const std::string& providerName) {
    auto lock = platform::NamedMutex::open(providerName + "_GLOBAL_P11_SHARED_MEMORY_LOCK");
    if (!lock) return nullptr;
    auto memory = platform::SharedMemory::open(providerName + "_GLOBAL_P11_SLOT_MANAGER_SHARED_MEMORY_x64", kAreaSize);
    if (!memory || memory->size() < kAreaSize) return nullptr;
    return std::unique_ptr<SlotArea>(new SlotArea(std::move(memory), std::move(lock)));
}

void SlotArea::clear_slot(SlotRecord& r, uint32_t slot) {
    store32(r.slotNumber, slot);
    std::memset(r.deviceName, ' ', sizeof r.deviceName);
    store32(r.toolValue, 0);
    r.present = 0;
    put_text(r.description, sizeof r.description, kSlotDescription, '\0');
    put_text(r.manufacturer, sizeof r.manufacturer, kSlotManufacturer, '\0');
    store32(r.flags, 2);
    std::memset(r.versions, 0, sizeof r.versions);
    std::memset(r.areas, ' ', sizeof r.areas);
}

void SlotArea::initialise() {
    platform::NamedMutexLock held(lock_.get());
    AreaLayout& a = view();
    a.slotCount = 0;
    a.libraryVersion[0] = 2;
    a.libraryVersion[1] = 20;
    put_text(a.manufacturer, sizeof a.manufacturer, "QX", ' ');
    store32(a.flags, 0);
    put_text(a.description, sizeof a.description, "QUORVANTIX PKCS11 LIBRARY", ' ');
    a.implementationVersion[0] = 1;
    a.implementationVersion[1] = 1;
    for (uint32_t s = 0; s < kSlots; ++s) clear_slot(a.slots[s], s);
    for (ProcessEntry& e : a.processes) {
        std::memset(&e, 0, sizeof e);
        store32(e.slotMap, kNothingChanged);
    }
}

bool SlotArea::add_slot(uint32_t slot, const std::string& deviceName, uint32_t toolValue,
                        const uint8_t (&tokenInfo)[kTokenInfoSize]) {
    if (slot >= kSlots) return false;
    platform::NamedMutexLock held(lock_.get());
    AreaLayout& a = view();
    SlotRecord& r = a.slots[slot];
    store32(r.slotNumber, slot);
    std::memset(r.deviceName, ' ', sizeof r.deviceName);
    std::memcpy(r.deviceName, deviceName.data(), std::min(deviceName.size(), sizeof r.deviceName));
    store32(r.toolValue, toolValue);
    r.present = 1;
    put_text(r.description, sizeof r.description, kSlotDescription, '\0');
    put_text(r.manufacturer, sizeof r.manufacturer, kSlotManufacturer, '\0');
    store32(r.flags, 3);
    const uint8_t versions[4] = {1, 0, 1, 0};
    std::memcpy(r.versions, versions, sizeof versions);
    std::memcpy(r.tokenInfo, tokenInfo, sizeof r.tokenInfo);
    ++a.slotCount;
    return true;
}

void SlotArea::clear_all_slots() {
    platform::NamedMutexLock held(lock_.get());
    for (uint32_t s = 0; s < kSlots; ++s) clear_slot(view().slots[s], s);
}

bool SlotArea::set_slot_changed(uint32_t kind, uint32_t slot) {
    if (slot >= kSlots || (kind != 1 && kind != 2)) return false;
    const uint32_t map = kind == 1 ? (slot | kAddedFlag) : slot;
    platform::NamedMutexLock held(lock_.get());
    for (ProcessEntry& e : view().processes) store32(e.slotMap, e.inUse ? map : kNothingChanged);
    return true;
}

int SlotArea::register_process(uint32_t processId) {
    platform::NamedMutexLock held(lock_.get());
    ProcessEntry* free = nullptr;
    int freeIndex = -1;
    for (uint32_t i = 0; i < kProcessEntries; ++i) {
        ProcessEntry& e = view().processes[i];
        if (e.inUse && load32(e.processId) == processId) return static_cast<int>(i);
        if (!e.inUse && !free) {
            free = &e;
            freeIndex = static_cast<int>(i);
        }
    }
    if (!free) return -1;
    free->inUse = 1;
    store32(free->processId, processId);
    store32(free->slotMap, kNothingChanged);
    return freeIndex;
}

void SlotArea::unregister_process(uint32_t processId) {
    platform::NamedMutexLock held(lock_.get());
    for (ProcessEntry& e : view().processes) {
        if (e.inUse && load32(e.processId) == processId) {
            std::memset(&e, 0, sizeof e);
            store32(e.slotMap, kNothingChanged);
        }
    }
}

std::unique_ptr<AreaLayout> SlotArea::snapshot() const {
    auto copy = std::make_unique<AreaLayout>();
    platform::NamedMutexLock held(lock_.get());
    std::memcpy(copy.get(), &view(), sizeof(AreaLayout));
    return copy;
}

}  // namespace qx::p11area
