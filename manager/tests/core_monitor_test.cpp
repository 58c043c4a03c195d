// Enumeration runs over a fake kernel table with the real slot-list area:
// rows, published slots and changes, the current device, clean-up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "QXTokenStatus.h"
#include "fake_kernel.h"
#include "monitor.h"
#include "qx/platform/system.h"
#include "shm/p11_slot_area.h"

namespace qx::manager {
namespace {

using test::FakeKernel;
using test::FakeToken;

struct RecordingView : MonitorView {
    std::vector<std::pair<uint32_t, std::u16string>> rows;  // (slot, label) by row
    int clears = 0, disables = 0;
    std::vector<std::u16string> notices, statuses, serials;
    void clear_devices() override {
        ++clears;
        rows.clear();
    }
    void set_device_row(uint32_t row, uint32_t slot, const std::u16string& label) override {
        if (rows.size() <= row) rows.resize(row + 1);
        rows[row] = {slot, label};
    }
    void disable_device_controls() override { ++disables; }
    void notice(const std::u16string& t) override { notices.push_back(t); }
    void status_text(uint32_t line, const std::u16string& t) override {
        (line == 0 ? statuses : serials).push_back(t);
    }
};

class MonitorRun : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> n{0};
        provider = "QX Manager Test " + std::to_string(platform::process_id()) + "-" + std::to_string(n++);
        ASSERT_EQ(slots.initialize(provider), 0u);
        api = kernel.api();
        current.set_kernel(&api);
        MonitorSettings s;
        s.providerName = provider;
        s.arrivalDelayMs = 0;
        s.cleanUpOnThread = false;
        monitor = std::make_unique<DeviceMonitor>(
            api, slots, current, view, [](std::string_view k) { return std::u16string(k.begin(), k.end()); },
            workers, s);
        // Another process watching the slot list.
        entry = slots.area()->register_process(platform::process_id() + 1);
        ASSERT_GE(entry, 0);
    }
    void TearDown() override {
        monitor.reset();
        current.forget();
    }
    void add(const std::string& name, uint32_t slot) { kernel.tokens.push_back({name, slot, "label " + name}); }
    uint32_t slot_map() const { return p11area::load32(slots.area()->snapshot()->processes[entry].slotMap); }
    bool published(uint32_t slot) const { return slots.area()->snapshot()->slots[slot].present == 1; }
    // Devices opened by a run are closed again unless kept as the current one.
    void expect_only_current_open() {
        std::set<std::size_t> want;
        for (std::size_t i = 0; i < kernel.tokens.size(); ++i)
            if (current.present() && current.name() == kernel.tokens[i].name) want.insert(i);
        EXPECT_EQ(kernel.openTokens, want);
    }

    FakeKernel kernel;
    KernelApi api{};
    std::string provider;
    SlotManager slots;
    CurrentDevice current;
    WorkerTracker workers;
    RecordingView view;
    std::unique_ptr<DeviceMonitor> monitor;
    int entry = -1;
};

TEST_F(MonitorRun, TwoTokensAreListedPublishedAndTheFirstBecomesCurrent) {
    add("Quorvantix VToken CCID a", 0);
    add("Quorvantix VToken CCID b", 1);
    const RunReport r = monitor->run(EnumKind::startup);
    EXPECT_EQ(kernel.countQueries, 1);  // count first, then the handles
    EXPECT_EQ(r.deviceCount, 2u);
    ASSERT_EQ(view.rows.size(), 2u);
    // Room for 32 bytes of UTF-16: the first 16 characters.
    EXPECT_EQ(view.rows[1], (std::pair<uint32_t, std::u16string>{1, u"label Quorvantix"}));
    EXPECT_EQ(view.notices, std::vector<std::u16string>{u"DevInsert"});
    EXPECT_TRUE(published(0));
    EXPECT_TRUE(published(1));
    EXPECT_EQ(slots.device_name(1), "Quorvantix VToken CCID b");
    EXPECT_EQ(slots.area()->snapshot()->slots[1].tokenInfo[0], 'B');
    EXPECT_EQ(current.name(), "Quorvantix VToken CCID a");
    expect_only_current_open();
    EXPECT_EQ(kernel.destroys, 1);
    // Start-up publishes no change word.
    EXPECT_EQ(slot_map(), p11area::kNothingChanged);
    ASSERT_EQ(r.changes.size(), 2u);
    EXPECT_EQ(r.changes[0].result, kErrSlotRange);

    // A run that finds no change leaves the list alone.
    const RunReport again = monitor->run(EnumKind::arrival);
    EXPECT_FALSE(again.listRebuilt);
    EXPECT_EQ(view.clears, 1);
    EXPECT_EQ(kernel.opens, 2);
}

TEST_F(MonitorRun, RemovingTokensUnpublishesCleansAndFinallyClosesTheCurrentDevice) {
    add("a", 0);
    add("b", 1);
    monitor->run(EnumKind::startup);
    kernel.memCerts[1] = {{1, 2, 3}, {}, {4, 5}};
    kernel.tokens[1].present = false;
    RunReport r = monitor->run(EnumKind::removal);
    EXPECT_TRUE(r.listRebuilt);
    EXPECT_EQ(view.rows.size(), 1u);
    EXPECT_FALSE(published(1));
    EXPECT_EQ(slot_map(), 1u);  // removed: no bit 24
    EXPECT_EQ(kernel.unregistered, (std::vector<std::vector<uint8_t>>{{1, 2, 3}, {4, 5}}));
    EXPECT_EQ(kernel.cleared, std::vector<uint32_t>{1});
    EXPECT_TRUE(view.serials.empty());  // a current device remains

    kernel.tokens[0].present = false;
    const int closes = kernel.closes;
    r = monitor->run(EnumKind::removal);
    EXPECT_EQ(view.clears, 3);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_FALSE(current.present());
    EXPECT_EQ(kernel.closes, closes + 1);
    EXPECT_TRUE(kernel.openTokens.empty());
    EXPECT_EQ(view.disables, 1);
    EXPECT_EQ(r.statusKey, kStatusNotFound);
    EXPECT_EQ(view.notices.back(), u"DevRemove");
    EXPECT_EQ(slot_map(), 0u);
    EXPECT_EQ(view.serials, std::vector<std::u16string>{u"SN:"});
}

// The status line follows the run: none found, then a plug-in connects the
// first token, then a first token the area cannot publish is an error.
TEST_F(MonitorRun, StatusKeyFollowsWhatTheRunConnected) {
    RunReport r = monitor->run(EnumKind::startup);
    EXPECT_EQ(r.statusKey, kStatusNotFound);
    add("a", 0);
    r = monitor->run(EnumKind::arrival);
    EXPECT_EQ(r.statusKey, kStatusConnectSuccess);
    EXPECT_EQ(view.statuses.back(), u"ConnectDevSuccess");
    EXPECT_TRUE(current.present());

    kernel.tokens.clear();
    monitor->run(EnumKind::removal);
    add("far", 6);
    r = monitor->run(EnumKind::arrival);
    EXPECT_EQ(r.statusKey, kStatusConnectError);
}

TEST_F(MonitorRun, SlotsBeyondTheAreaAreListedButNotPublished) {
    for (uint32_t s = 0; s < 4; ++s) add("t" + std::to_string(s), s);
    monitor->run(EnumKind::startup);
    add("fifth", 4);
    RunReport r = monitor->run(EnumKind::arrival);
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0].slot, 4u);
    EXPECT_EQ(r.changes[0].result, kErrSlotRange);
    EXPECT_EQ(slot_map(), p11area::kNothingChanged);
    EXPECT_EQ(view.rows.size(), 5u);
    EXPECT_EQ(r.statusKey, kStatusConnectError);
    EXPECT_EQ(slots.area()->snapshot()->slotCount, 8u);  // the count keeps counting (4 + 4)
    expect_only_current_open();

    // Eleven tokens arriving at once: every one listed, the first four published.
    kernel.tokens.clear();
    monitor->run(EnumKind::removal);
    for (uint32_t s = 0; s < 11; ++s) add("many" + std::to_string(s), s);
    r = monitor->run(EnumKind::arrival);
    EXPECT_EQ(r.deviceCount, 11u);
    EXPECT_EQ(view.rows.size(), 11u);
    ASSERT_EQ(r.changes.size(), 11u);
    for (const PublishedChange& c : r.changes) EXPECT_EQ(c.result, c.slot < 4 ? 0u : kErrSlotRange) << c.slot;
    EXPECT_EQ(slot_map(), 3u | p11area::kAddedFlag);  // the last publishable one
    expect_only_current_open();
}

TEST_F(MonitorRun, FailuresEndTheLoopButCloseWhatWasOpened) {
    add("a", 0);
    add("b", 1);
    add("c", 2);
    kernel.tokens[1].failLabel = true;
    RunReport r = monitor->run(EnumKind::startup);
    EXPECT_EQ(r.statusKey, kStatusNameError);
    EXPECT_TRUE(published(0));
    EXPECT_FALSE(published(1));
    EXPECT_FALSE(published(2));
    expect_only_current_open();
    EXPECT_EQ(kernel.destroys, 1);

    kernel.tokens.push_back({"d", 3, "d"});
    kernel.tokens[0].failOpen = true;
    r = monitor->run(EnumKind::arrival);
    EXPECT_EQ(r.statusKey, kStatusConnectError);
    EXPECT_FALSE(current.present());
    EXPECT_TRUE(kernel.openTokens.empty());

    kernel.failEnum = true;
    r = monitor->run(EnumKind::arrival);
    EXPECT_EQ(r.statusKey, kStatusEnumError);
    EXPECT_TRUE(r.changes.empty());
    EXPECT_EQ(kernel.destroys, 2);  // nothing to destroy after a failed enumeration
}

TEST_F(MonitorRun, ChangesArePublishedByWhatTheRunSawNotByItsKind) {
    add("a", 0);
    monitor->run(EnumKind::startup);
    add("b", 2);
    RunReport r = monitor->run(EnumKind::removal);  // a removal run that finds an arrival
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0].kind, 1u);
    EXPECT_EQ(slot_map(), 2u | p11area::kAddedFlag);
    EXPECT_TRUE(kernel.cleared.empty());  // nothing to clean for an added slot
    EXPECT_EQ(view.notices.back(), u"DevInsert");

    kernel.tokens[1].present = false;
    r = monitor->run(EnumKind::arrival);  // an arrival run that finds a removal
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0].kind, 2u);
    EXPECT_EQ(slot_map(), 2u);
    EXPECT_EQ(kernel.cleared, std::vector<uint32_t>{2});
    EXPECT_EQ(view.notices.back(), u"DevRemove");
}

TEST_F(MonitorRun, MemoryCertificateWalkStopsAtAnyOtherAnswer) {
    add("a", 0);
    monitor->run(EnumKind::startup);
    kernel.memCertAnswer = ERR_INVALID_PARAM;
    kernel.tokens[0].present = false;
    monitor->run(EnumKind::removal);
    EXPECT_EQ(kernel.memCertReads, 1);
    EXPECT_TRUE(kernel.unregistered.empty());
    EXPECT_EQ(kernel.cleared, std::vector<uint32_t>{0});

    // On quit every present token's certificates go.
    kernel.memCertAnswer = 0;
    kernel.tokens[0].present = true;
    kernel.memCerts[0] = {{9}};
    monitor->unregister_all_memory_certificates();
    EXPECT_EQ(kernel.unregistered, std::vector<std::vector<uint8_t>>{{9}});
}

// Another walk (the system check's) holds the lock the monitor's clean-up
// needs: the clean-up reads nothing until that walk is over.
TEST_F(MonitorRun, CleanUpWaitsForAWalkHoldingTheMemoryCertificateLock) {
    add("a", 0);
    monitor->run(EnumKind::startup);
    kernel.memCerts[0] = {{7}};
    std::thread cleanUp;
    monitor->with_mem_cert_lock([&] {
        cleanUp = std::thread([&] { monitor->clean_up_slot(2, 0); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(kernel.memCertReads, 0) << "the clean-up read while another walk held the lock";
    });
    cleanUp.join();
    EXPECT_GE(kernel.memCertReads, 1);
    EXPECT_EQ(kernel.unregistered, std::vector<std::vector<uint8_t>>{{7}});
    EXPECT_EQ(kernel.cleared, std::vector<uint32_t>{0});
}

TEST_F(MonitorRun, CleanUpThreadsAreWaitedForAndRefusedAfterStop) {
    MonitorSettings s;
    s.providerName = provider;
    s.arrivalDelayMs = 0;
    std::atomic<int> configReads{0};
    s.configLoads = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ++configReads;
        return true;
    };
    DeviceMonitor threaded(api, slots, current, view, nullptr, workers, s);
    add("a", 0);
    add("b", 1);
    threaded.run(EnumKind::startup);
    workers.stop_and_wait();  // shutdown: every clean-up has finished
    EXPECT_EQ(configReads, 2);
    EXPECT_EQ(workers.running(), 0u);
    EXPECT_FALSE(threaded.start_run(EnumKind::arrival));
}

TEST(ManagerCurrentDevice, ClosedOnceAndNeverUnderAnOperation) {
    FakeKernel kernel;
    kernel.tokens = {{"a", 0, "a"}, {"b", 1, "b"}};
    const KernelApi api = kernel.api();
    CurrentDevice current(&api);
    api.OpenDeviceByHandle(kernel.handle_of(0));
    current.replace(kernel.handle_of(0), "a");
    const uint64_t g = current.generation();
    current.replace(kernel.handle_of(0), "a");  // the same device again
    EXPECT_EQ(current.generation(), g);
    EXPECT_EQ(kernel.closes, 0);

    std::atomic<bool> inside{false}, done{false};
    std::thread op([&] {
        current.use([&](DeviceHandle) {
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            done = true;
        });
    });
    while (!inside) std::this_thread::yield();
    current.forget();  // waits for the operation
    EXPECT_TRUE(done);
    op.join();
    EXPECT_EQ(kernel.closes, 1);
    current.forget();
    EXPECT_EQ(kernel.closes, 1);
    EXPECT_NE(current.generation(), g);
    EXPECT_FALSE(current.use([](DeviceHandle) { FAIL(); }));
}

}  // namespace
}  // namespace qx::manager
