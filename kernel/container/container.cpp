#include "container/container.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "QXTokenStatus.h"
#include "container/container_ops.h"
#include "core/commands.h"
#include "core/kernel_state.h"
#include "core/logical_lock.h"
#include "device/device_open.h"
#include "init/after_init.h"

namespace qx::kernel {

namespace {

// Open reads the table at most this often, re-authenticating after each failure.
constexpr int kOpenAttempts = 3;

std::size_t bounded_length(const char* text) {
    return static_cast<std::size_t>(std::find(text, text + kContainerNameSize, '\0') - text);
}

// Copies a name into a 260-byte field: at most 259 characters, NUL-padded.
void copy_name(char (&field)[kContainerNameSize], const std::string& name) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name.data(), std::min<std::size_t>(name.size(), kMaxContainerNameLength));
}

ContainerRecord free_record() {
    ContainerRecord r;
    std::memset(&r, 0xFF, sizeof r);
    return r;
}

ContainerRecord record_of(const QXContainer& c) {
    ContainerRecord r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.name, c.name, kMaxContainerNameLength);
    r.type = c.type;
    r.status = c.status;
    r.signatureKeyIndex = c.signatureKeyIndex;
    r.exchangeKeyIndex = c.exchangeKeyIndex;
    r.spare = c.spare;
    return r;
}

void fill_from(QXContainer& c, const ContainerRecord& r, int32_t index) {
    c.recordIndex = index;
    c.type = r.type;
    c.status = r.status;
    c.signatureKeyIndex = r.signatureKeyIndex;
    c.exchangeKeyIndex = r.exchangeKeyIndex;
    c.spare = r.spare;
}

std::string object_name(const QXContainer& c) { return std::string(c.name, bounded_length(c.name)); }

std::string device_name(const QXDeviceTransport& device) {
    const char* n = device.deviceName;
    return std::string(n, static_cast<std::size_t>(std::find(n, n + QXDEV_NAME_SIZE, '\0') - n));
}

uint32_t read_record(QXDeviceTransport* device, uint32_t index, ContainerRecord& out) {
    FileCommands files(device);
    uint32_t read = 0;
    const uint32_t rc = files.read_file(kContainerFileId, index * kContainerRecordSize, kContainerRecordSize,
                                        reinterpret_cast<uint8_t*>(&out), &read);
    if (rc != ERR_OK) return rc;
    return read == kContainerRecordSize ? ERR_OK : ERR_READ_CONTAINER_FILE;
}

uint32_t write_record(QXDeviceTransport* device, uint32_t index, const ContainerRecord& record) {
    FileCommands files(device);
    return files.write_file(kContainerFileId, index * kContainerRecordSize, reinterpret_cast<const uint8_t*>(&record),
                            kContainerRecordSize);
}

uint32_t read_table(QXDeviceTransport* device, uint32_t capacity, std::vector<ContainerRecord>& records) {
    records.clear();
    std::vector<ContainerRecord> table(capacity);
    std::memset(table.data(), 0, table.size() * sizeof(ContainerRecord));
    FileCommands files(device);
    uint32_t read = 0;
    const uint32_t rc = files.read_file(kContainerFileId, 0, capacity * kContainerRecordSize,
                                        reinterpret_cast<uint8_t*>(table.data()), &read);
    if (rc != ERR_OK) return rc;
    // A table file shorter than the configured capacity holds fewer records;
    // the zeroed rest must not pass for occupied records with empty names.
    table.resize(read / kContainerRecordSize);
    records = std::move(table);
    return ERR_OK;
}

// The enumeration position last handed out for a device, and where that
// position has moved to since entries before it left the list.
struct EnumCursor {
    const QXDeviceTransport* device;
    uint32_t handedOut;
    uint32_t adjusted;
};

// The process's container cache.  Every member is used under section().
class QXContainerManager {
public:
    static QXContainerManager& instance() {
        static QXContainerManager m;
        return m;
    }
    std::mutex& section() { return mutex_; }

    std::shared_ptr<QXContainer> live(const void* handle) const {
        if (!is_live_handle(handle, HandleKind::Container)) return nullptr;
        for (const auto& c : list_) {
            if (c.get() == handle) return c;
        }
        return nullptr;
    }
    std::shared_ptr<QXContainer> find(const QXDeviceTransport* device, const std::string& name) const {
        for (const auto& c : list_) {
            if (c->device == device && object_name(*c) == name) return c;
        }
        return nullptr;
    }
    std::size_t size() const { return list_.size(); }
    const std::shared_ptr<QXContainer>& at(std::size_t i) const { return list_[i]; }

    void append(std::shared_ptr<QXContainer> c) {
        register_handle(c.get(), HandleKind::Container);
        list_.push_back(std::move(c));
    }
    void remove_at(std::size_t i) {
        unregister_handle(list_[i].get(), HandleKind::Container);
        list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(i));
        for (EnumCursor& cursor : cursors_) {
            if (i < cursor.adjusted) --cursor.adjusted;
        }
    }
    void remove(const QXContainer* c) {
        for (std::size_t i = 0; i < list_.size(); ++i) {
            if (list_[i].get() == c) {
                remove_at(i);
                return;
            }
        }
    }
    // Removes the objects `doomed` accepts; returns how many stood before `position`.
    template <typename Pred>
    uint32_t remove_if(Pred doomed, uint32_t position = 0) {
        uint32_t before = 0;
        for (std::size_t i = list_.size(); i-- > 0;) {
            if (!doomed(*list_[i])) continue;
            if (i < position) ++before;
            remove_at(i);
        }
        return before;
    }

    // The position to continue an enumeration of `device` from, given the
    // position the caller holds.
    uint32_t continue_from(const QXDeviceTransport* device, uint32_t position) const {
        for (const EnumCursor& cursor : cursors_) {
            if (cursor.device == device && cursor.handedOut == position) return cursor.adjusted;
        }
        return position;
    }
    void set_cursor(const QXDeviceTransport* device, uint32_t position) {
        for (EnumCursor& cursor : cursors_) {
            if (cursor.device == device) {
                cursor.handedOut = cursor.adjusted = position;
                return;
            }
        }
        cursors_.push_back({device, position, position});
    }
    void drop_cursors(const QXDeviceTransport* device) {
        std::erase_if(cursors_, [&](const EnumCursor& c) { return device == nullptr || c.device == device; });
    }

private:
    QXContainerManager() = default;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<QXContainer>> list_;
    std::vector<EnumCursor> cursors_;
};

QXContainerManager& manager() { return QXContainerManager::instance(); }

// Token initialisation forgets the device's containers; installed once when
// the container code is linked in, keeping any other step already set.
const bool g_stepInstalled = [] {
    AfterInitSteps steps = after_init_steps();
    steps.forget_device_containers = [](QXDeviceTransport& device) { forget_device_containers(&device); };
    set_after_init_steps(steps);
    return true;
}();

// The live object behind `handle` with the device's logical lock and the
// manager's section held, in that order.
struct LockedContainer {
    LogicalLock lock;
    std::unique_lock<std::mutex> section;
    std::shared_ptr<QXContainer> object;
    uint32_t status = ERR_INVALID_PARAM;

    explicit LockedContainer(const void* handle) {
        std::shared_ptr<QXContainer> first = find_container(handle);
        if (!first || !first->device) return;
        status = lock.acquire(*first->device);
        if (status != ERR_OK) return;
        section = std::unique_lock(manager().section());
        // It may have been discarded while the lock was awaited.
        object = manager().live(handle);
        status = object ? ERR_OK : ERR_INVALID_PARAM;
    }
};

// Checks that the record at the object's index still holds its name; the
// manager's section and the logical lock are held.
uint32_t check_record_name(const QXContainer& c, uint32_t capacity) {
    if (c.recordIndex < 0 || static_cast<uint32_t>(c.recordIndex) >= capacity) return ERR_INVALID_PARAM;
    ContainerRecord current;
    const uint32_t rc = read_record(c.device, static_cast<uint32_t>(c.recordIndex), current);
    if (rc != ERR_OK) return ERR_READ_CONTAINER_FILE;
    return current.has_name(object_name(c)) ? ERR_OK : ERR_CONTAINER_NOT_FOUND;
}

// One attempt of open with the logical lock and the section held.
uint32_t open_locked(DeviceRecord& device, const std::string& name, uint32_t capacity, QXContainer*& out) {
    std::shared_ptr<QXContainer> cached = manager().find(device.device, name);
    ContainerRecord record;
    int32_t index = -1;
    if (cached && cached->recordIndex >= 0 && static_cast<uint32_t>(cached->recordIndex) < capacity) {
        // The record may have been deleted or reused by another process
        // since: only trust the index when it still holds this name.
        if (read_record(device.device, static_cast<uint32_t>(cached->recordIndex), record) != ERR_OK)
            return ERR_READ_CONTAINER_FILE;
        if (record.has_name(name)) index = cached->recordIndex;
    }
    if (index < 0) {
        std::vector<ContainerRecord> table;
        if (read_table(device.device, capacity, table) != ERR_OK) return ERR_READ_CONTAINER_FILE;
        for (std::size_t i = 0; i < table.size() && index < 0; ++i) {
            if (table[i].has_name(name)) {
                index = static_cast<int32_t>(i);
                record = table[i];
            }
        }
        if (index < 0) return ERR_CONTAINER_NOT_FOUND;
    }
    if (cached) {
        fill_from(*cached, record, index);
        cached->deviceHandle = &device;
        ++cached->openCount;
        out = cached.get();
        return ERR_OK;
    }
    auto created = std::make_shared<QXContainer>();
    created->device = device.device;
    created->deviceHandle = &device;
    copy_name(created->name, name);
    fill_from(*created, record, index);
    created->openCount = 1;
    out = created.get();
    manager().append(std::move(created));
    return ERR_OK;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string ContainerRecord::name_text() const { return std::string(name, bounded_length(name)); }

bool ContainerRecord::has_name(const std::string& text) const {
    return text.size() < kContainerNameSize && std::memcmp(name, text.data(), text.size()) == 0 &&
           name[text.size()] == '\0';
}

uint32_t container_capacity(uint32_t& count) {
    const int32_t configured = state().config().maxContainerCount;
    if (configured < 1 || static_cast<uint32_t>(configured) > kMaxContainerRecords) return ERR_INVALID_PARAM;
    count = static_cast<uint32_t>(configured);
    return ERR_OK;
}

uint32_t read_container_table(const DeviceRecord& device, std::vector<ContainerRecord>& records) {
    records.clear();
    if (!device.device) return ERR_INVALID_PARAM;
    uint32_t capacity = 0;
    uint32_t rc = container_capacity(capacity);
    if (rc != ERR_OK) return rc;
    LogicalLock lock;
    rc = lock.acquire(*device.device);
    if (rc != ERR_OK) return rc;
    return read_table(device.device, capacity, records);
}

std::shared_ptr<QXContainer> find_container(const void* handle) {
    std::lock_guard section(manager().section());
    return manager().live(handle);
}

bool container_info(const void* handle, ContainerInfo& info) {
    std::lock_guard section(manager().section());
    std::shared_ptr<QXContainer> c = manager().live(handle);
    if (!c) return false;
    info.device = c->device;
    info.deviceHandle = c->deviceHandle;
    info.recordIndex = c->recordIndex;
    info.name = object_name(*c);
    info.type = c->type;
    info.status = c->status;
    info.signatureKeyIndex = c->signatureKeyIndex;
    info.exchangeKeyIndex = c->exchangeKeyIndex;
    info.spare = c->spare;
    return true;
}

uint32_t write_container_record(const void* handle, const std::function<void(ContainerFields&)>& change) {
    uint32_t capacity = 0;
    uint32_t rc = container_capacity(capacity);
    if (rc != ERR_OK) return rc;
    LockedContainer locked(handle);
    if (locked.status != ERR_OK) return locked.status;
    QXContainer& c = *locked.object;
    if (change) {
        ContainerFields f{c.type, c.status, c.signatureKeyIndex, c.exchangeKeyIndex, c.spare};
        change(f);
        c.type = f.type;
        c.status = f.status;
        c.signatureKeyIndex = f.signatureKeyIndex;
        c.exchangeKeyIndex = f.exchangeKeyIndex;
        c.spare = f.spare;
    }
    rc = check_record_name(c, capacity);
    if (rc != ERR_OK) return rc;
    return write_record(c.device, static_cast<uint32_t>(c.recordIndex), record_of(c));
}

uint32_t write_table_record(const DeviceRecord& device, uint32_t index, const ContainerRecord& record) {
    if (!device.device) return ERR_INVALID_PARAM;
    uint32_t capacity = 0;
    uint32_t rc = container_capacity(capacity);
    if (rc != ERR_OK) return rc;
    if (index >= capacity) return ERR_INVALID_PARAM;
    LogicalLock lock;
    rc = lock.acquire(*device.device);
    if (rc != ERR_OK) return rc;
    rc = write_record(device.device, index, record);
    if (rc != ERR_OK) return rc;
    std::lock_guard section(manager().section());
    for (std::size_t i = 0; i < manager().size(); ++i) {
        QXContainer& c = *manager().at(i);
        if (c.device == device.device && c.recordIndex == static_cast<int32_t>(index))
            fill_from(c, record, static_cast<int32_t>(index));
    }
    return ERR_OK;
}

void forget_device_containers(const QXDeviceTransport* device) {
    std::lock_guard section(manager().section());
    manager().remove_if([&](const QXContainer& c) { return device == nullptr || c.device == device; });
    manager().drop_cursors(device);
}

// ---------------------------------------------------------------------------

bool valid_container_name(const char* name) {
    if (!name) return false;
    const std::size_t n = bounded_length(name);
    return n > 0 && n <= kMaxContainerNameLength;
}

uint32_t open_container(DeviceRecord& device, const std::string& name, QXContainer*& out) {
    out = nullptr;
    if (!device.device || name.empty() || name.size() > kMaxContainerNameLength) return ERR_INVALID_PARAM;
    uint32_t capacity = 0;
    uint32_t rc = container_capacity(capacity);
    if (rc != ERR_OK) return rc;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        {
            LogicalLock lock;
            rc = lock.acquire(*device.device);
            if (rc != ERR_OK) return rc;
            std::lock_guard section(manager().section());
            rc = open_locked(device, name, capacity, out);
        }
        if (rc != ERR_READ_CONTAINER_FILE) return rc;
        // The token may have lost the host's authentication; restore it and read again.
        if (authenticate_device(device) != ERR_OK) return ERR_READ_CONTAINER_FILE;
    }
    return ERR_READ_CONTAINER_FILE;
}

uint32_t create_container(DeviceRecord& device, const std::string& name, uint32_t type, QXContainer*& out) {
    out = nullptr;
    if (!device.device || name.empty() || name.size() > kMaxContainerNameLength) return ERR_INVALID_PARAM;
    if (type != 1 && type != 2 && type != 4 && type != 8) return ERR_INVALID_PARAM;
    uint32_t capacity = 0;
    uint32_t rc = container_capacity(capacity);
    if (rc != ERR_OK) return rc;
    const bool namesMayRepeat = state().config().isDezoRivov != 0;

    // Check, choice of the record and write under one logical lock, so that
    // no other process can take the record or the name in between.
    LogicalLock lock;
    rc = lock.acquire(*device.device);
    if (rc != ERR_OK) return rc;
    std::lock_guard section(manager().section());
    std::vector<ContainerRecord> table;
    rc = read_table(device.device, capacity, table);
    if (rc != ERR_OK) return rc;
    if (!namesMayRepeat) {
        for (const ContainerRecord& r : table) {
            if (r.has_name(name)) return ERR_CONTAINER_EXISTS;
        }
    }
    auto freeRecord = std::find_if(table.begin(), table.end(), [](const ContainerRecord& r) { return !r.occupied(); });
    if (freeRecord == table.end()) return ERR_CONTAINER_FULL;

    auto created = std::make_shared<QXContainer>();
    created->device = device.device;
    created->deviceHandle = &device;
    copy_name(created->name, name);
    created->recordIndex = static_cast<int32_t>(freeRecord - table.begin());
    created->type = type;
    created->status = kContainerStatusCreated;
    rc = write_record(device.device, static_cast<uint32_t>(created->recordIndex), record_of(*created));
    if (rc != ERR_OK) return rc;
    created->openCount = 1;
    out = created.get();
    manager().append(std::move(created));
    return ERR_OK;
}

uint32_t close_container(const void* handle) {
    std::lock_guard section(manager().section());
    std::shared_ptr<QXContainer> c = manager().live(handle);
    if (!c) return ERR_INVALID_PARAM;
    // An object from an enumeration has open count 0: closing it destroys it
    // rather than wrapping the count round.
    uint32_t count = c->openCount.load();
    while (count > 0 && !c->openCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 1) manager().remove(c.get());
    return ERR_OK;
}

uint32_t delete_container(const void* handle) {
    uint32_t capacity = 0;
    uint32_t rc = container_capacity(capacity);
    if (rc != ERR_OK) return rc;
    LockedContainer locked(handle);
    if (locked.status != ERR_OK) return locked.status;
    QXContainer& c = *locked.object;
    // Never wipe a record that meanwhile holds another container.
    rc = check_record_name(c, capacity);
    if (rc != ERR_OK) return rc;
    if (write_record(c.device, static_cast<uint32_t>(c.recordIndex), free_record()) != ERR_OK)
        return ERR_INVALID_PARAM;
    manager().remove(&c);
    return ERR_OK;
}

uint32_t delete_container_by_name(DeviceRecord& device, const std::string& name) {
    if (!device.device) return ERR_INVALID_PARAM;
    // Held across open and delete (the lock is recursive for this thread).
    LogicalLock lock;
    uint32_t rc = lock.acquire(*device.device);
    if (rc != ERR_OK) return rc;
    QXContainer* opened = nullptr;
    rc = open_container(device, name, opened);
    if (rc != ERR_OK) return rc;
    return delete_container(opened);
}

uint32_t update_container(const void* handle) {
    uint32_t rc = write_container_record(handle, nullptr);
    if (rc != ERR_OK) return rc;
    std::lock_guard section(manager().section());
    std::shared_ptr<QXContainer> c = manager().live(handle);
    if (!c) return ERR_OK;
    std::shared_ptr<QXContainer> cached = manager().find(c->device, object_name(*c));
    if (cached && cached != c) fill_from(*cached, record_of(*c), c->recordIndex);
    return ERR_OK;
}

uint32_t enumerate_containers(DeviceRecord& device, uint32_t typeMask, uint32_t& position, QXContainer*& out) {
    out = nullptr;
    if (!device.device) return ERR_INVALID_PARAM;
    QXContainerManager& m = manager();
    if (position == 0) {
        uint32_t capacity = 0;
        uint32_t rc = container_capacity(capacity);
        if (rc != ERR_OK) return rc;
        LogicalLock lock;
        rc = lock.acquire(*device.device);
        if (rc != ERR_OK) return rc;
        std::lock_guard section(m.section());
        m.remove_if([&](const QXContainer& c) { return c.device == device.device; });
        m.drop_cursors(device.device);
        std::vector<ContainerRecord> table;
        // An unreadable table is not the same as an empty one.
        if (read_table(device.device, capacity, table) != ERR_OK) return ERR_READ_CONTAINER_FILE;
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (!table[i].occupied()) continue;
            auto c = std::make_shared<QXContainer>();
            c->device = device.device;
            c->deviceHandle = &device;
            copy_name(c->name, table[i].name_text());
            fill_from(*c, table[i], static_cast<int32_t>(i));
            const bool match = out == nullptr && (c->type & typeMask) != 0;
            if (match) out = c.get();
            m.append(std::move(c));
            if (match) position = static_cast<uint32_t>(m.size());
        }
        if (!out) return ERR_NO_CONTAINER;
        m.set_cursor(device.device, position);
        return ERR_OK;
    }

    std::lock_guard section(m.section());
    uint32_t from = m.continue_from(device.device, position);
    // Objects of an earlier opening of the same token are stale.
    const std::string deviceName = device_name(*device.device);
    from -= m.remove_if(
        [&](const QXContainer& c) {
            return c.device && c.device != device.device && device_name(*c.device) == deviceName;
        },
        from);
    for (std::size_t i = from; i < m.size(); ++i) {
        const auto& c = m.at(i);
        if (c->device == device.device && (c->type & typeMask) != 0) {
            out = c.get();
            position = static_cast<uint32_t>(i + 1);
            m.set_cursor(device.device, position);
            return ERR_OK;
        }
    }
    return ERR_NO_CONTAINER;
}

bool set_container_type(const void* handle, uint32_t type) {
    std::lock_guard section(manager().section());
    std::shared_ptr<QXContainer> c = manager().live(handle);
    if (!c) return false;
    c->type = type;
    return true;
}

}  // namespace qx::kernel
