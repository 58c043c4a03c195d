// The kernel's shared-memory area: a certificate cache per slot and, per
// process and slot, a cache of enciphered PINs.  Every process that loads the
// kernel maps the same area; a named lock serialises every access to it (and
// also device enumeration and opening).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::kernel {

constexpr std::size_t kKernelAreaSize = 0x11A000;
constexpr uint32_t kAreaSlots = 4;
constexpr uint32_t kCertEntries = 16;
constexpr uint32_t kCertCellSize = 2048;
constexpr uint32_t kCertMaxData = kCertCellSize - 2;
constexpr uint32_t kProcessRows = 1000;
constexpr uint32_t kProcessRowSize = 1024;
constexpr uint32_t kPinCellSize = 255;
constexpr uint32_t kPinMaxData = kPinCellSize - 1;
// The buffer a PIN-cache read must at least offer.
constexpr uint32_t kPinReadMinimum = 252;

// The byte layout of the area, shared with every other process (and every
// other build of the kernel): never reorder or resize.
#pragma pack(push, 1)
struct CertCell {
    uint8_t lengthHigh;  // length of the certificate, high byte first; 0: empty
    uint8_t lengthLow;
    uint8_t data[kCertMaxData];
};
struct PinCell {
    uint8_t length;  // 0: empty
    uint8_t data[kPinMaxData];
};
struct ProcessRow {
    uint32_t processId;  // 0: free row
    PinCell pins[kAreaSlots];
};
struct KernelAreaLayout {
    CertCell certs[kAreaSlots][kCertEntries];  // slot s, entry i (1..16) at certs[s][i - 1]
    ProcessRow rows[kProcessRows];
    uint8_t tail[kKernelAreaSize - kAreaSlots * kCertEntries * kCertCellSize - kProcessRows * kProcessRowSize];
};
#pragma pack(pop)

static_assert(sizeof(CertCell) == kCertCellSize);
static_assert(offsetof(CertCell, lengthHigh) == 0);
static_assert(offsetof(CertCell, lengthLow) == 1);
static_assert(offsetof(CertCell, data) == 2);
static_assert(sizeof(PinCell) == kPinCellSize);
static_assert(offsetof(PinCell, length) == 0);
static_assert(offsetof(PinCell, data) == 1);
static_assert(sizeof(ProcessRow) == kProcessRowSize);
static_assert(offsetof(ProcessRow, processId) == 0);
static_assert(offsetof(ProcessRow, pins) == 4);
static_assert(offsetof(KernelAreaLayout, certs) == 0x00000);
static_assert(offsetof(KernelAreaLayout, rows) == 0x20000);
static_assert(offsetof(KernelAreaLayout, rows) + 5 * sizeof(ProcessRow) == 0x20000 + 1024 * 5);
static_assert(sizeof(KernelAreaLayout) == kKernelAreaSize);

// Opens (or creates) the area and its lock for `providerName`, resets what a
// new process must not inherit (first process: the certificate cache; PIN
// cells as `CachePIN` says) and takes this process's row.  ERR_NO_MEMORY when
// the lock or the area cannot be had or every process row is taken.
uint32_t open_kernel_area(const std::string& providerName);
// Clears this process's row and releases the view and lock.  Returns ERR_OK.
uint32_t close_kernel_area();
// Whether the area is open in this process.
bool kernel_area_open();

// Holds the kernel lock (and keeps the area mapped) for a scope.  `status()`
// is ERR_OK when held, ERR_INVALID_HANDLE when the area is not open.
class KernelAreaAccess {
public:
    KernelAreaAccess();
    ~KernelAreaAccess();
    KernelAreaAccess(const KernelAreaAccess&) = delete;
    KernelAreaAccess& operator=(const KernelAreaAccess&) = delete;

    uint32_t status() const { return status_; }
    KernelAreaLayout& area() const { return *view_; }
    // This process's row index.
    uint32_t row() const { return row_; }

private:
    uint32_t status_;
    KernelAreaLayout* view_ = nullptr;
    uint32_t row_ = 0;
    bool locked_ = false;
};

// The cache operations, each under the kernel lock.  All return
// ERR_INVALID_HANDLE when the area is not open and ERR_INVALID_PARAM for a
// slot above 3.

// Writes this process's PIN cell of `slot`; more than 254 bytes: ERR_BUFFER_TOO_SMALL.
uint32_t pin_cache_write(uint32_t slot, const uint8_t* data, uint32_t length);
// Mode 1: this process's cell; mode 2: the first non-empty cell of the slot in
// any row.  *length below 252: ERR_BUFFER_TOO_SMALL (with 252 written back);
// an empty cell: ERR_NOT_FOUND.
uint32_t pin_cache_read(uint32_t slot, uint8_t* out, uint32_t* length, uint32_t mode);
// Entry 1..16 (others: ERR_NOT_FOUND); *length below 2046: ERR_BUFFER_TOO_SMALL;
// an empty cell gives *length 0 and ERR_OK.
uint32_t cert_cache_read(uint32_t slot, uint32_t index, uint8_t* out, uint32_t* length);
// Length 1..2046 (0: ERR_INVALID_PARAM, more: ERR_BUFFER_TOO_SMALL).
uint32_t cert_cache_write(uint32_t slot, uint32_t index, const uint8_t* data, uint32_t length);
// Empties the cell only when it holds exactly these bytes.
uint32_t cert_cache_delete(uint32_t slot, uint32_t index, const uint8_t* data, uint32_t length);
// Empties the slot's PIN cell in every row and its 16 certificate cells.
uint32_t slot_clear(uint32_t slot);

}  // namespace qx::kernel
