// The slot-list area that the manager tool publishes for other processes:
// library information, four slot records and per-process slot-change flags.
// Only the manager tool writes it; the kernel itself never maps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qx/platform/named_mutex.h"
#include "qx/platform/shared_memory.h"

namespace qx::p11area {

constexpr std::size_t kAreaSize = 91376;
constexpr uint32_t kSlots = 4;
constexpr uint32_t kProcessEntries = 1000;
constexpr uint32_t kTokenInfoSize = 160;
constexpr uint32_t kTextAreaSize = 4097;
constexpr uint32_t kNothingChanged = 0xFFFFFFFF;
constexpr uint32_t kAddedFlag = 0x1000000;

// Byte layout shared with every reader of the area: never reorder or resize.
// Multi-byte numbers are little-endian and unaligned; read and write them
// with load32 / store32.
#pragma pack(push, 1)
struct SlotRecord {
    uint8_t slotNumber[4];
    char deviceName[256];
    uint8_t toolValue[4];
    uint8_t present;
    char description[64];
    char manufacturer[32];
    uint8_t flags[4];
    uint8_t versions[4];  // hardware major, minor, firmware major, minor
    uint8_t tokenInfo[kTokenInfoSize];
    char areas[3][kTextAreaSize];
    uint8_t reserved[4];
};
struct ProcessEntry {
    uint8_t inUse;
    uint8_t reserved1[3];
    uint8_t processId[4];
    uint8_t slotMap[4];  // kNothingChanged, or slot number | kAddedFlag for an added slot
    uint8_t reserved2[28];
};
struct AreaLayout {
    uint8_t slotCount;
    uint8_t libraryVersion[2];
    char manufacturer[32];
    uint8_t flags[4];
    char description[32];
    uint8_t implementationVersion[2];
    uint8_t reserved1[3];
    SlotRecord slots[kSlots];
    uint8_t reserved2[4];
    ProcessEntry processes[kProcessEntries];
};
#pragma pack(pop)

static_assert(offsetof(SlotRecord, slotNumber) == 0);
static_assert(offsetof(SlotRecord, deviceName) == 4);
static_assert(offsetof(SlotRecord, toolValue) == 260);
static_assert(offsetof(SlotRecord, present) == 264);
static_assert(offsetof(SlotRecord, description) == 265);
static_assert(offsetof(SlotRecord, manufacturer) == 329);
static_assert(offsetof(SlotRecord, flags) == 361);
static_assert(offsetof(SlotRecord, versions) == 365);
static_assert(offsetof(SlotRecord, tokenInfo) == 369);
static_assert(offsetof(SlotRecord, areas) == 529);
static_assert(offsetof(SlotRecord, areas) + kTextAreaSize == 4626);
static_assert(offsetof(SlotRecord, areas) + 2 * kTextAreaSize == 8723);
static_assert(sizeof(SlotRecord) == 12824);
static_assert(offsetof(ProcessEntry, inUse) == 0);
static_assert(offsetof(ProcessEntry, processId) == 4);
static_assert(offsetof(ProcessEntry, slotMap) == 8);
static_assert(sizeof(ProcessEntry) == 40);
static_assert(offsetof(AreaLayout, slotCount) == 0);
static_assert(offsetof(AreaLayout, libraryVersion) == 1);
static_assert(offsetof(AreaLayout, manufacturer) == 3);
static_assert(offsetof(AreaLayout, flags) == 35);
static_assert(offsetof(AreaLayout, description) == 39);
static_assert(offsetof(AreaLayout, implementationVersion) == 71);
static_assert(offsetof(AreaLayout, slots) == 76);
static_assert(offsetof(AreaLayout, slots) + sizeof(SlotRecord) == 76 + 12824);
static_assert(offsetof(AreaLayout, processes) == 51376);
static_assert(sizeof(AreaLayout) == kAreaSize);

uint32_t load32(const uint8_t (&bytes)[4]);
void store32(uint8_t (&bytes)[4], uint32_t value);

// The mapped area and its lock.  Every operation takes the lock.
class SlotArea {
public:
    // Creates or opens the area of `providerName` and its lock; null on failure.
    static std::unique_ptr<SlotArea> open(const std::string& providerName);

    // Writes the library information, clears every slot and frees every process entry.
    void initialise();
    // Fills slot `slot` (0 to 3) as present and counts it; false for another slot.
    bool add_slot(uint32_t slot, const std::string& deviceName, uint32_t toolValue,
                  const uint8_t (&tokenInfo)[kTokenInfoSize]);
    // Clears all four slot records (the slot count stays).
    void clear_all_slots();
    // Publishes a change of `slot` (kind 1 added, 2 removed) to every process
    // entry in use; free entries get kNothingChanged.  False for a slot above 3
    // or another kind.
    bool set_slot_changed(uint32_t kind, uint32_t slot);
    // Takes (or finds) the entry of a process: its index, or -1 when all are in use.
    int register_process(uint32_t processId);
    // Frees a process's entry.
    void unregister_process(uint32_t processId);

    // A copy of the area, taken under the lock.
    std::unique_ptr<AreaLayout> snapshot() const;

private:
    SlotArea(std::unique_ptr<platform::SharedMemory> memory, std::unique_ptr<platform::NamedMutex> lock)
        : memory_(std::move(memory)), lock_(std::move(lock)) {}
    AreaLayout& view() const { return *static_cast<AreaLayout*>(memory_->data()); }
    static void clear_slot(SlotRecord& record, uint32_t slot);

    std::unique_ptr<platform::SharedMemory> memory_;
    std::unique_ptr<platform::NamedMutex> lock_;
};

}  // namespace qx::p11area
