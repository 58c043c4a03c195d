// Device monitoring: the slot manager over the slot-list area, the current
// device and its single owner, the worker threads, and the enumeration run
// (ThreadEnumDevice) with its slot clean-up.  What the run shows goes
// through MonitorView: the Win32 shell sends its dialog messages, the POSIX
// monitor writes debug lines.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "QXTokenKernel.h"
#include "kernel_binding.h"
#include "startup.h"

namespace qx::p11area {
class SlotArea;
}

namespace qx::manager {

constexpr uint32_t kErrSlotRange = 19;   // slot not publishable / unknown kind
constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr uint32_t kChangeCapacity = 16; // the kernel reports at most 16 changed slots
constexpr uint32_t kDeviceMutexWaitMs = 8000;
constexpr uint32_t kArrivalDelayMs = 2000;
constexpr uint32_t kMemCertBufferSize = 4096;

// Status and notice keys of the language file.
constexpr char kStatusEnumError[] = "Enum_EnumDevError";
constexpr char kStatusNotFound[] = "Enum_NotFoundDev";
constexpr char kStatusNameError[] = "Enum_GetDevNameError";
constexpr char kStatusConnectError[] = "ConnectDevError";
constexpr char kStatusConnectSuccess[] = "ConnectDevSuccess";
constexpr char kNoticeInsert[] = "DevInsert";
constexpr char kNoticeRemove[] = "DevRemove";

// ---- the slot manager (the tool is the area's only writer) ----

class SlotManager {
public:
    SlotManager();
    ~SlotManager();
    SlotManager(const SlotManager&) = delete;
    SlotManager& operator=(const SlotManager&) = delete;

    // SlotManagerInitialize: creates or opens the area of `providerName`,
    // writes the header, clears the slots and frees every process entry.
    uint32_t initialize(const std::string& providerName);
    // SlotManagerAddSlotInfo; 19 for a slot of 4 or more (nothing written).
    uint32_t add_slot(uint32_t slot, const std::string& deviceName, const uint8_t* tokenInfo, DeviceHandle device);
    // SlotManagerClearSlotInfo.
    uint32_t clear_slots();
    // SlotManagerSetSlotChanged: kind 1 added, 2 removed; 19 otherwise or for a slot of 4 or more.
    uint32_t set_slot_changed(uint32_t kind, uint32_t slot);
    // The device name published for `slot`, up to its NUL, trailing spaces removed.
    std::string device_name(uint32_t slot) const;
    void release();
    bool ready() const;
    p11area::SlotArea* area() const { return area_.get(); }

private:
    std::unique_ptr<p11area::SlotArea> area_;
};

// ---- the current device: one owner, closed once, never under an operation ----

class CurrentDevice {
public:
    explicit CurrentDevice(const KernelApi* kernel = nullptr) : kernel_(kernel) {}
    ~CurrentDevice();
    CurrentDevice(const CurrentDevice&) = delete;
    CurrentDevice& operator=(const CurrentDevice&) = delete;

    void set_kernel(const KernelApi* kernel);
    // Makes an open handle the current device; the previous one, if another,
    // is closed (after any operation on it has finished).
    void replace(DeviceHandle handle, const std::string& name);
    // Closes and forgets the current device.
    void forget();
    bool present() const;
    std::string name() const;
    // Changes with every replace or forget: a listing made from one device
    // can tell that the device has changed since.
    uint64_t generation() const;
    // Runs `operation` with the handle while nobody can close it; false (not
    // run) without a current device.  `generation` (when given) receives the
    // device's generation.
    bool use(const std::function<void(DeviceHandle)>& operation, uint64_t* generation = nullptr);

private:
    void close_locked();
    const KernelApi* kernel_;
    mutable std::recursive_mutex mutex_;
    DeviceHandle handle_ = nullptr;
    std::string name_;
    uint64_t generation_ = 0;
};

// ---- worker threads that shutdown waits for ----

class WorkerTracker {
public:
    ~WorkerTracker() { stop_and_wait(); }
    // Runs `work` on a new thread; false (not run) once stopping has begun.
    bool start(std::function<void()> work);
    // Refuses new threads and waits until the running ones have ended.
    void stop_and_wait();
    // Waits until no thread runs (new ones stay allowed).
    void wait_idle();
    std::size_t running() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::size_t running_ = 0;
    bool stopping_ = false;
};

// ---- what a run shows ----

class MonitorView {
public:
    virtual ~MonitorView() = default;
    // Device-list message, operation 0.
    virtual void clear_devices() = 0;
    // Device-list message, operation 1: row `row` shows `label`, item data `slot`.
    virtual void set_device_row(uint32_t row, uint32_t slot, const std::u16string& label) = 0;
    // Device-controls message with 0.
    virtual void disable_device_controls() = 0;
    // Notice message (tray balloon).
    virtual void notice(const std::u16string& text) = 0;
    // Status-text message: line 0 status, line 1 serial number.
    virtual void status_text(uint32_t line, const std::u16string& text) = 0;
};

// Localized text of a key.
using TextLookup = std::function<std::u16string(std::string_view key)>;

// ---- the enumeration run and the slot clean-up ----

struct MonitorSettings {
    std::string providerName = kDefaultProviderName;  // names the installation mutex
    uint32_t arrivalDelayMs = kArrivalDelayMs;        // wait before an arrival run
    // Clean-up step 1 (Config.ini loads); null counts as loaded.
    std::function<bool()> configLoads;
    // Slot clean-up on its own thread (true) or inside the run (false).
    bool cleanUpOnThread = true;
};

struct PublishedChange {
    uint32_t kind;    // as published: 1 added, 2 removed (0 at start-up: nothing published)
    uint32_t slot;
    uint32_t result;  // SlotManagerSetSlotChanged's answer
};

struct RunReport {
    uint32_t deviceCount = 0;
    std::vector<uint32_t> listedSlots;  // rows in order
    std::string statusKey;
    std::vector<PublishedChange> changes;
    bool listRebuilt = false;
};

class DeviceMonitor {
public:
    DeviceMonitor(const KernelApi& kernel, SlotManager& slots, CurrentDevice& current, MonitorView& view,
                  TextLookup text, WorkerTracker& workers, MonitorSettings settings);

    // ThreadEnumDevice(kind) on the calling thread.  Apart from start-up, the
    // kind only decides the wait before an arrival run: the notice and the
    // published change words follow what the run finds.
    RunReport run(EnumKind kind);
    // The same on a tracked worker thread; false when shutting down.
    bool start_run(EnumKind kind);

    // The slot clean-up of one published change (kind as published).
    void clean_up_slot(uint32_t kind, uint32_t slot);
    // Unregisters the memory certificates of every token (on quit).
    void unregister_all_memory_certificates();
    // Runs `walk` holding the process's one memory-certificate lock: the
    // kernel keeps a single read position per process, so every walk over
    // QXToken_ReadMemCert (the monitor's and any page's) runs inside it.
    void with_mem_cert_lock(const std::function<void()>& walk);

    std::string status_key() const;
    void set_status_key(std::string key);

private:
    void list_devices(const std::vector<DeviceHandle>& handles, RunReport& report);
    uint32_t unregister_memory_certificates(uint32_t slot);

    const KernelApi& kernel_;
    SlotManager& slots_;
    CurrentDevice& current_;
    MonitorView& view_;
    TextLookup text_;
    WorkerTracker& workers_;
    MonitorSettings settings_;
    mutable std::mutex statusMutex_;
    std::string statusKey_;
    std::mutex memCertMutex_;  // the kernel's read position is per process
};

}  // namespace qx::manager
