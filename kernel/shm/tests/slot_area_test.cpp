// The manager tool's slot-list area: its bytes where other processes read
// them, slots added and cleared, change flags published to process entries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qx/platform/system.h"
#include "shm/p11_slot_area.h"

namespace qx::p11area {
namespace {

std::string provider(const char* name) { return "SlotArea " + std::to_string(platform::process_id()) + " " + name; }

const uint8_t* bytes(const std::unique_ptr<AreaLayout>& a) { return reinterpret_cast<const uint8_t*>(a.get()); }

uint32_t u32_at(const uint8_t* p) {
    uint8_t b[4];
    std::memcpy(b, p, 4);
    return load32(b);
}

TEST(SlotArea, InitialisedHeaderAndClearedSlotsSitAtTheirOffsets) {
    auto area = SlotArea::open(provider("init"));
    ASSERT_TRUE(area);
    area->initialise();
    auto snap = area->snapshot();
    const uint8_t* p = bytes(snap);
    EXPECT_EQ(0, p[0]);
    EXPECT_EQ(2, p[1]);
    EXPECT_EQ(20, p[2]);
    EXPECT_EQ(std::string("QX") + std::string(30, ' '), std::string(reinterpret_cast<const char*>(p + 3), 32));
    EXPECT_EQ(0u, u32_at(p + 35));
    EXPECT_EQ(std::string("QUORVANTIX PKCS11 LIBRARY       "), std::string(reinterpret_cast<const char*>(p + 39), 32));
    EXPECT_EQ(1, p[71]);
    EXPECT_EQ(1, p[72]);
    for (uint32_t s = 0; s < kSlots; ++s) {
        const uint8_t* r = p + 76 + 12824 * s;
        EXPECT_EQ(s, u32_at(r));
        EXPECT_EQ(std::string(256, ' '), std::string(reinterpret_cast<const char*>(r + 4), 256));
        EXPECT_EQ(0, r[264]);
        EXPECT_STREQ("The Cryptographic Device", reinterpret_cast<const char*>(r + 265));
        EXPECT_STREQ("Quorvantix Co.,Ltd.", reinterpret_cast<const char*>(r + 329));
        EXPECT_EQ(2u, u32_at(r + 361));
        EXPECT_EQ(' ', r[529]);
        EXPECT_EQ(' ', r[8723 + 4096]);
    }
    for (uint32_t e = 0; e < kProcessEntries; e += 333) {
        const uint8_t* entry = p + 51376 + 40 * e;
        EXPECT_EQ(0, entry[0]);
        EXPECT_EQ(kNothingChanged, u32_at(entry + 8));
    }
}

TEST(SlotArea, SlotsAddedAndClearedAndChangesPublishedToProcessesInUse) {
    auto area = SlotArea::open(provider("slots"));
    ASSERT_TRUE(area);
    area->initialise();
    uint8_t info[kTokenInfoSize];
    for (uint32_t i = 0; i < sizeof info; ++i) info[i] = static_cast<uint8_t>(i);
    EXPECT_FALSE(area->add_slot(4, "x", 1, info));
    ASSERT_TRUE(area->add_slot(2, "Quorvantix VToken CCID a", 0xCAFE, info));
    auto snap = area->snapshot();
    const uint8_t* r = bytes(snap) + 76 + 12824 * 2;
    EXPECT_EQ(1, bytes(snap)[0]);
    EXPECT_EQ(2u, u32_at(r));
    EXPECT_EQ("Quorvantix VToken CCID a ", std::string(reinterpret_cast<const char*>(r + 4), 25));
    EXPECT_EQ(0xCAFEu, u32_at(r + 260));
    EXPECT_EQ(1, r[264]);
    EXPECT_EQ(3u, u32_at(r + 361));
    EXPECT_EQ(0, std::memcmp(r + 365, "\x01\x00\x01\x00", 4));
    EXPECT_EQ(0, std::memcmp(r + 369, info, sizeof info));

    // Change flags reach the entries in use only.
    EXPECT_EQ(0, area->register_process(111));
    EXPECT_EQ(1, area->register_process(222));
    EXPECT_EQ(0, area->register_process(111));
    EXPECT_FALSE(area->set_slot_changed(3, 1));
    EXPECT_FALSE(area->set_slot_changed(1, 4));
    ASSERT_TRUE(area->set_slot_changed(1, 2));
    snap = area->snapshot();
    const uint8_t* entries = bytes(snap) + 51376;
    EXPECT_EQ(111u, u32_at(entries + 4));
    EXPECT_EQ(2u | kAddedFlag, u32_at(entries + 8));
    EXPECT_EQ(2u | kAddedFlag, u32_at(entries + 40 + 8));
    EXPECT_EQ(kNothingChanged, u32_at(entries + 80 + 8));
    area->unregister_process(111);
    ASSERT_TRUE(area->set_slot_changed(2, 3));
    snap = area->snapshot();
    entries = bytes(snap) + 51376;
    EXPECT_EQ(kNothingChanged, u32_at(entries + 8));
    EXPECT_EQ(3u, u32_at(entries + 40 + 8));

    // Clearing keeps the count and the token information.
    area->clear_all_slots();
    snap = area->snapshot();
    r = bytes(snap) + 76 + 12824 * 2;
    EXPECT_EQ(1, bytes(snap)[0]);
    EXPECT_EQ(0, r[264]);
    EXPECT_EQ(0u, u32_at(r + 260));
    EXPECT_EQ(2u, u32_at(r + 361));
    EXPECT_EQ(0u, u32_at(r + 365));
    EXPECT_EQ(' ', r[4]);
    EXPECT_EQ(0, std::memcmp(r + 369, info, sizeof info));

    // A second opener of the same name sees the same area.
    auto again = SlotArea::open(provider("slots"));
    ASSERT_TRUE(again);
    EXPECT_EQ(1, again->snapshot()->slotCount);
}

}  // namespace
}  // namespace qx::p11area
