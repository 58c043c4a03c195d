#include "monitor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "QXTokenStatus.h"
#include "qx/platform/named_mutex.h"
#include "qx/platform/system.h"
#include "qx/platform/text.h"
#include "shm/p11_slot_area.h"

namespace qx::manager {

namespace {

void log_line(const char* text) { platform::debug_output(text); }

template <typename... A>
void log_format(const char* format, A... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    platform::debug_output(line);
}

// A token label: UTF-16 little-endian bytes on the token, up to a zero
// character, trailing spaces removed.
std::u16string label_text(const uint8_t* bytes, std::size_t length) {
    std::u16string out;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        const auto c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
        if (c == 0) break;
        out.push_back(c);
    }
    while (!out.empty() && out.back() == u' ') out.pop_back();
    return out;
}

// Holds the device's named mutex for at most 8000 ms; the run goes on
// without it when the wait runs out.
class DeviceMutexHold {
public:
    explicit DeviceMutexHold(const std::string& name) : mutex_(platform::NamedMutex::open(name)) {
        held_ = mutex_ && platform::owned(mutex_->lock_for(kDeviceMutexWaitMs));
    }
    ~DeviceMutexHold() {
        if (held_) mutex_->unlock();
    }
    DeviceMutexHold(const DeviceMutexHold&) = delete;
    DeviceMutexHold& operator=(const DeviceMutexHold&) = delete;

private:
    std::unique_ptr<platform::NamedMutex> mutex_;
    bool held_ = false;
};

// Enumerates with the count asked first, so any number of tokens fits.
uint32_t enumerate(const KernelApi& kernel, std::vector<DeviceHandle>* handles) {
    uint32_t count = 0;
    uint32_t rc = kernel.EnumDevice(&count, nullptr);
    for (int attempt = 0; rc == ERR_OK && attempt < 4; ++attempt) {
        // Never an empty array: an enumeration of no token still records the change.
        handles->assign(std::max<uint32_t>(count, 1) + 4, nullptr);
        uint32_t capacity = static_cast<uint32_t>(handles->size());
        rc = kernel.EnumDevice(&capacity, handles->data());
        if (rc == ERR_OK) {
            handles->resize(std::min<std::size_t>(capacity, handles->size()));
            return ERR_OK;
        }
        if (rc != ERR_BUFFER_TOO_SMALL) break;
        count = capacity;  // more tokens arrived meanwhile
        rc = ERR_OK;
    }
    handles->clear();
    return rc == ERR_OK ? ERR_BUFFER_TOO_SMALL : rc;
}

std::vector<uint32_t> device_changes(const KernelApi& kernel, uint32_t* status) {
    uint32_t slots[kChangeCapacity] = {};
    uint32_t count = kChangeCapacity;
    *status = kernel.GetDeviceChange(slots, &count);
    if (*status != ERR_OK) return {};
    return std::vector<uint32_t>(slots, slots + std::min(count, kChangeCapacity));
}

}  // namespace

// ---- SlotManager ----

SlotManager::SlotManager() = default;
SlotManager::~SlotManager() { release(); }

uint32_t SlotManager::initialize(const std::string& providerName) {
    release();
    area_ = p11area::SlotArea::open(providerName);
    if (!area_) return ERR_FAILED;
    area_->initialise();
    return ERR_OK;
}

uint32_t SlotManager::add_slot(uint32_t slot, const std::string& deviceName, const uint8_t* tokenInfo,
                               DeviceHandle device) {
    if (!area_) return ERR_FAILED;
    if (slot >= p11area::kSlots) return kErrSlotRange;
    uint8_t info[p11area::kTokenInfoSize] = {};
    if (tokenInfo) std::memcpy(info, tokenInfo, sizeof info);
    const auto value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(device) & 0xFFFFFFFFu);
    return area_->add_slot(slot, deviceName, value, info) ? ERR_OK : kErrSlotRange;
}

uint32_t SlotManager::clear_slots() {
    if (!area_) return ERR_FAILED;
    log_line("[ ManagerTools ] SlotManagerClearSlotInfo() -> Entry Point\n");
    area_->clear_all_slots();
    return ERR_OK;
}

uint32_t SlotManager::set_slot_changed(uint32_t kind, uint32_t slot) {
    if (slot >= p11area::kSlots || (kind != 1 && kind != 2)) return kErrSlotRange;
    if (!area_) return ERR_FAILED;
    const uint32_t map = kind == 1 ? (slot | p11area::kAddedFlag) : slot;
    log_format(kind == 1 ? "[SlotManagerSetSlotChanged]:ADD->slotmap is %08X\n"
                         : "[SlotManagerSetSlotChanged]:DEL->slotmap is %08X\n",
               map);
    if (!area_->set_slot_changed(kind, slot)) return kErrSlotRange;
    return ERR_OK;
}

std::string SlotManager::device_name(uint32_t slot) const {
    if (!area_ || slot >= p11area::kSlots) return {};
    auto copy = area_->snapshot();
    const char* name = copy->slots[slot].deviceName;
    std::size_t n = 0;
    while (n < sizeof copy->slots[slot].deviceName && name[n] != '\0') ++n;
    while (n > 0 && name[n - 1] == ' ') --n;
    return std::string(name, n);
}

void SlotManager::release() { area_.reset(); }
bool SlotManager::ready() const { return area_ != nullptr; }

// ---- CurrentDevice ----

CurrentDevice::~CurrentDevice() { forget(); }

void CurrentDevice::set_kernel(const KernelApi* kernel) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    kernel_ = kernel;
}

void CurrentDevice::close_locked() {
    if (handle_ && kernel_) kernel_->CloseDevice(handle_);
    handle_ = nullptr;
}

void CurrentDevice::replace(DeviceHandle handle, const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (handle_ && handle_ != handle) close_locked();
    if (!handle || name != name_) ++generation_;
    handle_ = handle;
    name_ = handle ? name : std::string();
}

void CurrentDevice::forget() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!handle_ && name_.empty()) return;
    close_locked();
    name_.clear();
    ++generation_;
}

bool CurrentDevice::present() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return handle_ != nullptr;
}

std::string CurrentDevice::name() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return name_;
}

uint64_t CurrentDevice::generation() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return generation_;
}

bool CurrentDevice::use(const std::function<void(DeviceHandle)>& operation, uint64_t* generation) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (generation) *generation = generation_;
    if (!handle_) return false;
    operation(handle_);
    return true;
}

// ---- WorkerTracker ----

bool WorkerTracker::start(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        ++running_;
    }
    try {
        std::thread([this, job = std::move(work)]() mutable {
            try {
                job();
            } catch (...) {
            }
            job = nullptr;
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
            idle_.notify_all();
        }).detach();
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        idle_.notify_all();
        return false;
    }
    return true;
}

void WorkerTracker::stop_and_wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    idle_.wait(lock, [this] { return running_ == 0; });
}

void WorkerTracker::wait_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return running_ == 0; });
}

std::size_t WorkerTracker::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

// ---- DeviceMonitor ----

DeviceMonitor::DeviceMonitor(const KernelApi& kernel, SlotManager& slots, CurrentDevice& current, MonitorView& view,
                             TextLookup text, WorkerTracker& workers, MonitorSettings settings)
    : kernel_(kernel),
      slots_(slots),
      current_(current),
      view_(view),
      text_(std::move(text)),
      workers_(workers),
      settings_(std::move(settings)) {}

std::string DeviceMonitor::status_key() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return statusKey_;
}

void DeviceMonitor::set_status_key(std::string key) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    statusKey_ = std::move(key);
}

bool DeviceMonitor::start_run(EnumKind kind) {
    return workers_.start([this, kind] { run(kind); });
}

RunReport DeviceMonitor::run(EnumKind kind) {
    RunReport report;
    if (kind == EnumKind::arrival && settings_.arrivalDelayMs) platform::sleep_ms(settings_.arrivalDelayMs);
    log_line("[ ManagerTools ] ThreadEnumDevice() -> Entry Point\n");

    // Every run of this installation, in any process, runs alone.
    auto installation = platform::NamedMutex::open(settings_.providerName);
    platform::NamedMutexLock installationLock(installation.get());

    std::vector<DeviceHandle> handles;
    const uint32_t enumStatus = enumerate(kernel_, &handles);
    const bool enumerated = enumStatus == ERR_OK;
    std::set<uint32_t> present;
    if (!enumerated) {
        current_.forget();
        set_status_key(kStatusEnumError);
    } else {
        report.deviceCount = static_cast<uint32_t>(handles.size());
        log_format("[ ManagerTools ] ThreadEnumDevice() -> dwDevCount = %d\n", static_cast<int>(handles.size()));
        for (DeviceHandle h : handles) {
            uint32_t slot = kNoSlot;
            if (kernel_.GetDeviceSlotNO(h, &slot) == ERR_OK) present.insert(slot);
        }
        if (handles.empty()) {
            current_.forget();
            set_status_key(kStatusNotFound);
            view_.disable_device_controls();
        }
        uint32_t changeStatus = 0;
        const std::vector<uint32_t> changed = device_changes(kernel_, &changeStatus);
        bool list = !handles.empty();
        if (changeStatus == ERR_OK && !changed.empty()) {
            view_.clear_devices();
            slots_.clear_slots();
            // Like the published change words, the notice tells what the run
            // saw: a removal when a changed slot is gone.
            bool removed = kind == EnumKind::removal;
            if (kind != EnumKind::startup) {
                removed = false;
                for (uint32_t slot : changed) removed = removed || present.count(slot) == 0;
            }
            view_.notice(text_ ? text_(removed ? kNoticeRemove : kNoticeInsert) : std::u16string());
            report.listRebuilt = true;
        } else if (changeStatus == ERR_OK) {
            list = false;
        }
        if (list) list_devices(handles, report);
    }

    if (enumerated) kernel_.DestroyEnum();
    report.statusKey = status_key();
    view_.status_text(0, text_ && !report.statusKey.empty() ? text_(report.statusKey) : std::u16string());

    // Publish what changed.  A run only knows what it saw: a changed slot
    // that is present now was added, any other was removed, whatever the
    // event that started the run (overlapping runs otherwise reverse them).
    if (enumerated) {
        uint32_t changeStatus = 0;
        for (uint32_t slot : device_changes(kernel_, &changeStatus)) {
            uint32_t published = static_cast<uint32_t>(kind);
            if (kind != EnumKind::startup) published = present.count(slot) ? 1u : 2u;
            const uint32_t rc = slots_.set_slot_changed(published, slot);
            report.changes.push_back({published, slot, rc});
            if (settings_.cleanUpOnThread) {
                workers_.start([this, published, slot] { clean_up_slot(published, slot); });
            } else {
                clean_up_slot(published, slot);
            }
        }
    }
    return report;
}

void DeviceMonitor::list_devices(const std::vector<DeviceHandle>& handles, RunReport& report) {
    for (std::size_t i = 0; i < handles.size(); ++i) {
        DeviceHandle h = handles[i];
        char name[260] = {};
        if (kernel_.GetDeviceName(h, name) != ERR_OK) {
            set_status_key(kStatusNameError);
            return;
        }
        name[259] = '\0';
        const std::string deviceName(name);
        DeviceMutexHold deviceLock(deviceName);
        if (kernel_.OpenDeviceByHandle(h) != ERR_OK) {
            set_status_key(kStatusConnectError);
            current_.forget();
            return;
        }
        // A device opened here is closed on every path unless it is kept.
        bool keep = false;
        struct Closer {
            const KernelApi& kernel;
            DeviceHandle handle;
            bool& keep;
            ~Closer() {
                if (!keep) kernel.CloseDevice(handle);
            }
        } closer{kernel_, h, keep};

        uint8_t label[32] = {};
        uint32_t labelLength = sizeof label;
        if (kernel_.GetTokenLabel(h, label, &labelLength) != ERR_OK) {
            set_status_key(kStatusNameError);
            return;
        }
        uint32_t slot = kNoSlot;
        if (kernel_.GetDeviceSlotNO(h, &slot) != ERR_OK) return;
        view_.set_device_row(static_cast<uint32_t>(i), slot, label_text(label, std::min<uint32_t>(labelLength, sizeof label)));
        report.listedSlots.push_back(slot);
        uint8_t info[p11area::kTokenInfoSize] = {};
        uint32_t infoLength = sizeof info;
        if (kernel_.GetTokenInfo(h, info, &infoLength) != ERR_OK) return;
        // A slot the area has no record for stays listed but unpublished.
        const bool published = slots_.add_slot(slot, deviceName, info, h) != kErrSlotRange;
        if (!published) set_status_key(kStatusConnectError);
        if (i == 0) {
            current_.replace(h, deviceName);
            // The first token is now the connected device: a key left from an
            // earlier run ("Enum_NotFoundDev" before a plug-in) no longer holds.
            if (published) set_status_key(kStatusConnectSuccess);
            keep = true;
        } else {
            keep = true;
            if (kernel_.CloseDevice(h) != ERR_OK) return;
        }
    }
}

uint32_t DeviceMonitor::unregister_memory_certificates(uint32_t slot) {
    std::vector<uint8_t> buffer(kMemCertBufferSize);
    uint32_t count = 0;
    // The kernel answers 0 for each of the slot's entries and then stops;
    // any other answer ends the walk.
    for (uint32_t first = 1, guard = 0; guard < 64; first = 0, ++guard) {
        uint32_t length = kMemCertBufferSize;
        if (kernel_.ReadMemCert(slot, buffer.data(), &length, first) != ERR_OK) break;
        if (length > 0 && length <= kMemCertBufferSize) {
            kernel_.UnRegUserCert(buffer.data(), length);
            ++count;
        }
    }
    return count;
}

void DeviceMonitor::clean_up_slot(uint32_t kind, uint32_t slot) {
    if (settings_.configLoads && !settings_.configLoads()) return;
    if (kind != 2) return;
    if (slot != kNoSlot) {
        std::lock_guard<std::mutex> lock(memCertMutex_);
        unregister_memory_certificates(slot);
        kernel_.ClearMemInfo(slot);
    }
    if (!current_.present()) view_.status_text(1, u"SN:");
}

void DeviceMonitor::with_mem_cert_lock(const std::function<void()>& walk) {
    std::lock_guard<std::mutex> lock(memCertMutex_);
    walk();
}

void DeviceMonitor::unregister_all_memory_certificates() {
    std::vector<DeviceHandle> handles;
    if (enumerate(kernel_, &handles) != ERR_OK) return;
    for (DeviceHandle h : handles) {
        uint32_t slot = kNoSlot;
        if (kernel_.GetDeviceSlotNO(h, &slot) != ERR_OK) continue;
        std::lock_guard<std::mutex> lock(memCertMutex_);
        unregister_memory_certificates(slot);
        kernel_.ClearMemInfo(slot);
    }
    kernel_.DestroyEnum();
}

}  // namespace qx::manager
