// Containers: named holders on the token for at most two key pairs (an
// exchange pair, key spec 1, and a signature pair, key spec 2), kept in one
// token file, the container table (one 280-byte record per container), and
// handed to callers as pointers to QXContainer objects that the process-wide
// QXContainerManager owns.
//
// Locking: the token's logical lock is always taken before the manager's
// critical section, never the other way round.  The manager's section guards
// only the list of cached objects and their fields; a caller that is going to
// touch the token must take the logical lock first (the functions below do).
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QXDevice.h"
#include "core/handles.h"

namespace qx::kernel {

// The container table's file identifier in the token's application.
constexpr uint16_t kContainerFileId = 0x0003;
constexpr uint32_t kContainerRecordSize = 280;
// Name field: at most 259 characters and a NUL.
constexpr uint32_t kContainerNameSize = 260;
constexpr uint32_t kMaxContainerNameLength = kContainerNameSize - 1;
// A record is free when its status word is this; 0xFFFFFFFF in a key index
// word means "no key pair".
constexpr uint32_t kContainerFree = 0xFFFFFFFFu;
constexpr uint32_t kNoKeyIndex = 0xFFFFFFFFu;
// The table must stay addressable by the 16-bit file offsets of the read and
// write commands: 234 records end at byte 65520.
constexpr uint32_t kMaxContainerRecords = 234;

// Container types accepted on creation; 8 is also the type of an object whose
// record has not been read yet.
constexpr uint32_t kContainerTypeRsa = 1;
constexpr uint32_t kContainerTypeSm2 = 2;
constexpr uint32_t kContainerTypeUnread = 8;

// Container status words the kernel writes itself.
constexpr uint32_t kContainerStatusCreated = 1;
constexpr uint32_t kContainerStatusKeyBound = 4;

static_assert(std::endian::native == std::endian::little,
              "the container table's words are little-endian and read in place");

#pragma pack(push, 1)
// One record of the container table, exactly as it lies in the file.
struct ContainerRecord {
    char name[kContainerNameSize];
    uint32_t type;
    uint32_t status;
    uint32_t signatureKeyIndex;
    uint32_t exchangeKeyIndex;
    uint32_t spare;

    bool occupied() const { return status != kContainerFree; }
    // The name up to its NUL (at most 260 bytes, even without one).
    std::string name_text() const;
    // True when the record's name field holds exactly `name` and a NUL.
    bool has_name(const std::string& name) const;
};
#pragma pack(pop)
static_assert(sizeof(ContainerRecord) == kContainerRecordSize, "container record size");
static_assert(offsetof(ContainerRecord, name) == 0, "name offset");
static_assert(offsetof(ContainerRecord, type) == 260, "type offset");
static_assert(offsetof(ContainerRecord, status) == 264, "status offset");
static_assert(offsetof(ContainerRecord, signatureKeyIndex) == 268, "signature key index offset");
static_assert(offsetof(ContainerRecord, exchangeKeyIndex) == 272, "exchange key index offset");
static_assert(offsetof(ContainerRecord, spare) == 276, "spare offset");

// MaxContainerCount from the configuration; ERR_INVALID_PARAM when it lies
// outside 1..234.
uint32_t container_capacity(uint32_t& count);

// Reads the whole container table of the device (under its logical lock).
// Returns the file access's status unchanged (callers that must report
// ERR_READ_CONTAINER_FILE map it), or ERR_INVALID_PARAM for a bad capacity.
// Only whole records that the file really holds are returned.
uint32_t read_container_table(const DeviceRecord& device, std::vector<ContainerRecord>& records);

// The container object behind a container handle.  Its layout follows the
// handle convention: the kind tag (1) comes after the name and key fields.
class QXContainer {
public:
    QXContainer() = default;
    virtual ~QXContainer() = default;
    QXContainer(const QXContainer&) = delete;
    QXContainer& operator=(const QXContainer&) = delete;

    QXDeviceTransport* device = nullptr;
    int32_t recordIndex = -1;
    std::atomic<uint32_t> openCount{0};  // interlocked increments and decrements only
    char name[kContainerNameSize] = {};
    uint32_t type = kContainerTypeUnread;
    uint32_t status = kContainerStatusCreated;
    uint32_t signatureKeyIndex = kNoKeyIndex;
    uint32_t exchangeKeyIndex = kNoKeyIndex;
    uint32_t spare = kNoKeyIndex;
    uint32_t kind = static_cast<uint32_t>(HandleKind::Container);
    // The device handle the object was last reached through (live while its
    // device is open: closing a device forgets its containers).
    DeviceRecord* deviceHandle = nullptr;
};

// The fields of a live container, copied under the manager's section.
struct ContainerInfo {
    QXDeviceTransport* device = nullptr;
    DeviceRecord* deviceHandle = nullptr;
    int32_t recordIndex = -1;
    std::string name;
    uint32_t type = kContainerTypeUnread;
    uint32_t status = kContainerStatusCreated;
    uint32_t signatureKeyIndex = kNoKeyIndex;
    uint32_t exchangeKeyIndex = kNoKeyIndex;
    uint32_t spare = kNoKeyIndex;
};

// The fields a record write may change.
struct ContainerFields {
    uint32_t type;
    uint32_t status;
    uint32_t signatureKeyIndex;
    uint32_t exchangeKeyIndex;
    uint32_t spare;
};

// The live object behind a container handle, kept alive for the caller even
// if another thread discards it meanwhile; null for anything that is not a
// live container handle (closed, deleted, discarded, never made).
std::shared_ptr<QXContainer> find_container(const void* handle);

// Copies the fields of a live container; false for a stale or foreign handle.
bool container_info(const void* handle, ContainerInfo& info);

// Applies `change` to the container's fields, then writes its record under
// the logical lock, after checking that the record at its index still holds
// its name.  Returns the write's status; ERR_INVALID_PARAM for a handle that
// is not a live container or an unknown record index, ERR_CONTAINER_NOT_FOUND
// when the record no longer holds this container.
uint32_t write_container_record(const void* handle, const std::function<void(ContainerFields&)>& change);

// Writes record `index` of the device's table as given (under the logical
// lock) and, once written, copies its type, status and key indexes into the
// cached containers of that record.  Returns the write's status.
uint32_t write_table_record(const DeviceRecord& device, uint32_t index, const ContainerRecord& record);

// Removes and destroys every cached container of `device` (every one when
// null); their handles become stale.
void forget_device_containers(const QXDeviceTransport* device);

}  // namespace qx::kernel
