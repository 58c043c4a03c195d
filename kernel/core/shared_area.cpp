#include "shared_area.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <shared_mutex>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "kernel_state.h"
#include "lifecycle.h"
#include "qx/platform/load_counter.h"
#include "qx/platform/named_mutex.h"
#include "qx/platform/shared_memory.h"
#include "qx/platform/system.h"

namespace qx::kernel {

namespace {

struct KernelArea {
    // Shared by every user of the view, exclusive while it is opened or closed.
    std::shared_mutex mutex;
    std::unique_ptr<platform::SharedMemory> memory;
    std::unique_ptr<platform::NamedMutex> lock;
    uint32_t row = 0;
};

KernelArea& the_area() {
    static KernelArea a;
    return a;
}

KernelAreaLayout* view_of(const KernelArea& a) {
    return a.memory ? static_cast<KernelAreaLayout*>(a.memory->data()) : nullptr;
}

void clear_pins(ProcessRow& row) {
    for (PinCell& cell : row.pins) secure_zero(&cell, sizeof cell);
}

}  // namespace

uint32_t open_kernel_area(const std::string& providerName) {
    KernelArea& a = the_area();
    std::unique_lock guard(a.mutex);
    // Opening again (a caller repeating InitQXToken) starts from scratch.
    if (a.memory) {
        platform::NamedMutexLock held(a.lock.get());
        clear_pins(view_of(a)->rows[a.row]);
        view_of(a)->rows[a.row].processId = 0;
    }
    a.memory.reset();
    a.lock.reset();

    auto lock = platform::NamedMutex::open(providerName + "_GLOBAL_TOKEN_KERNEL_SHM_LOCK");
    if (!lock) return ERR_NO_MEMORY;
    platform::NamedMutexLock held(lock.get());
    if (!held.owns()) return ERR_NO_MEMORY;

    auto memory = platform::SharedMemory::open(providerName + "_GLOBAL_CSP_SLOT_MANAGER_SHARED_MEMORY_x64",
                                               kKernelAreaSize);
    if (!memory || memory->size() < kKernelAreaSize) return ERR_NO_MEMORY;
    auto* view = static_cast<KernelAreaLayout*>(memory->data());

    const bool first = platform::load_counter_value(load_counter_name()) == 1;
    if (first) std::memset(view->certs, 0, sizeof view->certs);

    const uint32_t pid = platform::process_id();
    const bool keepOthers = state().config().cachePin == 2;
    for (ProcessRow& row : view->rows) {
        // With CachePIN 2 a cached PIN survives other processes starting; only
        // the first process, or a leftover row of an earlier process with our
        // identifier, loses it.
        if (!keepOthers || first || row.processId == pid) clear_pins(row);
    }

    uint32_t mine = kProcessRows;
    for (uint32_t r = 0; r < kProcessRows && mine == kProcessRows; ++r)
        if (view->rows[r].processId == pid) mine = r;
    for (uint32_t r = 0; r < kProcessRows && mine == kProcessRows; ++r)
        if (view->rows[r].processId == 0) mine = r;
    // Every row taken: without a row this process could neither cache nor
    // clean up after itself, so the area is not opened.
    if (mine == kProcessRows) return ERR_NO_MEMORY;
    view->rows[mine].processId = pid;

    a.row = mine;
    a.memory = std::move(memory);
    a.lock = std::move(lock);
    return ERR_OK;
}

uint32_t close_kernel_area() {
    KernelArea& a = the_area();
    std::unique_lock guard(a.mutex);
    if (a.memory) {
        platform::NamedMutexLock held(a.lock.get());
        ProcessRow& row = view_of(a)->rows[a.row];
        clear_pins(row);
        row.processId = 0;
    }
    a.memory.reset();
    a.lock.reset();
    a.row = 0;
    return ERR_OK;
}

bool kernel_area_open() {
    KernelArea& a = the_area();
    std::shared_lock guard(a.mutex);
    return a.memory != nullptr;
}

KernelAreaAccess::KernelAreaAccess() : status_(ERR_INVALID_HANDLE) {
    KernelArea& a = the_area();
    a.mutex.lock_shared();
    if (!a.memory || !a.lock) return;
    if (!platform::owned(a.lock->lock())) {
        status_ = ERR_NO_MEMORY;
        return;
    }
    locked_ = true;
    view_ = view_of(a);
    row_ = a.row;
    status_ = ERR_OK;
}

KernelAreaAccess::~KernelAreaAccess() {
    KernelArea& a = the_area();
    if (locked_) a.lock->unlock();
    a.mutex.unlock_shared();
}

namespace {

CertCell* cert_cell(KernelAreaLayout& view, uint32_t slot, uint32_t index) {
    return &view.certs[slot][index - 1];
}

uint32_t cell_length(const CertCell& cell) { return (uint32_t{cell.lengthHigh} << 8) | cell.lengthLow; }

}  // namespace

uint32_t pin_cache_write(uint32_t slot, const uint8_t* data, uint32_t length) {
    KernelAreaAccess access;
    if (access.status() != ERR_OK) return access.status();
    if (slot >= kAreaSlots) return ERR_INVALID_PARAM;
    if (length > kPinMaxData) return ERR_BUFFER_TOO_SMALL;
    if (length && !data) return ERR_INVALID_PARAM;
    PinCell& cell = access.area().rows[access.row()].pins[slot];
    secure_zero(&cell, sizeof cell);
    cell.length = static_cast<uint8_t>(length);
    if (length) std::memcpy(cell.data, data, length);
    return ERR_OK;
}

uint32_t pin_cache_read(uint32_t slot, uint8_t* out, uint32_t* length, uint32_t mode) {
    KernelAreaAccess access;
    if (access.status() != ERR_OK) return access.status();
    if (slot >= kAreaSlots || !length || !out) return ERR_INVALID_PARAM;
    const PinCell* cell = nullptr;
    if (mode == 1) {
        cell = &access.area().rows[access.row()].pins[slot];
    } else if (mode == 2) {
        for (const ProcessRow& row : access.area().rows) {
            if (row.pins[slot].length != 0) {
                cell = &row.pins[slot];
                break;
            }
        }
    } else {
        return ERR_INVALID_PARAM;
    }
    if (*length < kPinReadMinimum) {
        *length = kPinReadMinimum;
        return ERR_BUFFER_TOO_SMALL;
    }
    if (!cell || cell->length == 0) return ERR_NOT_FOUND;
    const uint32_t n = cell->length;
    if (*length < n) {
        *length = n;
        return ERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, cell->data, n);
    *length = n;
    return ERR_OK;
}

uint32_t cert_cache_read(uint32_t slot, uint32_t index, uint8_t* out, uint32_t* length) {
    KernelAreaAccess access;
    if (access.status() != ERR_OK) return access.status();
    if (slot >= kAreaSlots || !length) return ERR_INVALID_PARAM;
    if (index < 1 || index > kCertEntries) return ERR_NOT_FOUND;
    if (!out || *length < kCertMaxData) {
        *length = kCertMaxData;
        return ERR_BUFFER_TOO_SMALL;
    }
    const CertCell& cell = *cert_cell(access.area(), slot, index);
    // A cell written by a faulty peer never makes us copy past the cell.
    const uint32_t n = std::min(cell_length(cell), kCertMaxData);
    std::memcpy(out, cell.data, n);
    *length = n;
    return ERR_OK;
}

uint32_t cert_cache_write(uint32_t slot, uint32_t index, const uint8_t* data, uint32_t length) {
    KernelAreaAccess access;
    if (access.status() != ERR_OK) return access.status();
    if (slot >= kAreaSlots || index < 1 || index > kCertEntries) return ERR_INVALID_PARAM;
    if (length == 0 || !data) return ERR_INVALID_PARAM;
    if (length > kCertMaxData) return ERR_BUFFER_TOO_SMALL;
    CertCell& cell = *cert_cell(access.area(), slot, index);
    std::memset(&cell, 0, sizeof cell);
    cell.lengthHigh = static_cast<uint8_t>(length >> 8);
    cell.lengthLow = static_cast<uint8_t>(length);
    std::memcpy(cell.data, data, length);
    return ERR_OK;
}

uint32_t cert_cache_delete(uint32_t slot, uint32_t index, const uint8_t* data, uint32_t length) {
    KernelAreaAccess access;
    if (access.status() != ERR_OK) return access.status();
    if (slot >= kAreaSlots || index < 1 || index > kCertEntries) return ERR_INVALID_PARAM;
    if (length && !data) return ERR_INVALID_PARAM;
    CertCell& cell = *cert_cell(access.area(), slot, index);
    if (length <= kCertMaxData && cell_length(cell) == length &&
        (length == 0 || std::memcmp(cell.data, data, length) == 0))
        std::memset(&cell, 0, sizeof cell);
    return ERR_OK;
}

uint32_t slot_clear(uint32_t slot) {
    KernelAreaAccess access;
    if (access.status() != ERR_OK) return access.status();
    if (slot >= kAreaSlots) return ERR_INVALID_PARAM;
    for (ProcessRow& row : access.area().rows) secure_zero(&row.pins[slot], sizeof row.pins[slot]);
    std::memset(access.area().certs[slot], 0, sizeof access.area().certs[slot]);
    return ERR_OK;
}

}  // namespace qx::kernel
