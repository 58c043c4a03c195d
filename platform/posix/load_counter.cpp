// POSIX load counter: a table of (process, start time, count) in shared
// memory under a named mutex.  Rows of processes that are gone (or whose
// identifier now belongs to a younger process) are dropped before counting.
#include "qx/platform/load_counter.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "qx/platform/named_mutex.h"
#include "qx/platform/shared_memory.h"

namespace qx::platform {
namespace {

constexpr int kRows = 4096;

struct Row {
    int32_t pid;
    int32_t count;
    uint64_t start_time;
};

struct Table {
    Row rows[kRows];
};

// Start time of a process in clock ticks since boot (field 22 of /proc/PID/stat).
uint64_t start_time_of(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');
    if (!p) return 0;
    // After ") " come fields 3, 4, ...; the start time is field 22.
    unsigned long long value = 0;
    int field = 2;
    for (const char* q = p + 1; *q; ++q) {
        if (*q == ' ') {
            ++field;
            if (field == 22) {
                value = std::strtoull(q + 1, nullptr, 10);
                break;
            }
        }
    }
    return value;
}

bool alive(const Row& r) {
    if (r.pid <= 0) return false;
    if (kill(r.pid, 0) != 0 && errno != EPERM) return false;
    return start_time_of(r.pid) == r.start_time;
}

// The shared objects of one counter stay open for the life of the process so
// that the table outlives any single user.
struct Counter {
    std::unique_ptr<NamedMutex> mutex;
    std::unique_ptr<SharedMemory> memory;
};

std::mutex g_lock;

Counter* counter(const std::string& name) {
    // Released at exit or when the library holding it is unloaded.
    static std::map<std::string, Counter> counters;
    auto& c = counters[name];
    if (!c.mutex) c.mutex = NamedMutex::open("loadcount." + name);
    if (!c.memory) c.memory = SharedMemory::open("loadcount." + name, sizeof(Table));
    if (!c.mutex || !c.memory) return nullptr;
    return &c;
}

int32_t change(const std::string& name, int delta) {
    std::lock_guard<std::mutex> process_lock(g_lock);
    Counter* c = counter(name);
    if (!c) return -1;
    NamedMutexLock lock(c->mutex.get());
    if (!lock.owns()) return -1;
    auto* t = static_cast<Table*>(c->memory->data());
    const int32_t me = static_cast<int32_t>(getpid());
    const uint64_t my_start = start_time_of(me);
    Row* mine = nullptr;
    Row* free_row = nullptr;
    int32_t total = 0;
    for (Row& r : t->rows) {
        if (r.pid == me && r.start_time == my_start) {
            mine = &r;
            continue;
        }
        if (r.pid != 0 && !alive(r)) r = Row{};
        if (r.pid == 0) {
            if (!free_row) free_row = &r;
            continue;
        }
        total += r.count;
    }
    if (delta != 0) {
        if (!mine && delta > 0 && free_row) {
            mine = free_row;
            *mine = Row{me, 0, my_start};
        }
        if (mine) {
            mine->count += delta;
            if (mine->count <= 0) *mine = Row{};
        }
    }
    if (mine && mine->pid != 0) total += mine->count;
    return total;
}

}  // namespace

int32_t load_counter_increment(const std::string& name) { return change(name, +1); }
int32_t load_counter_decrement(const std::string& name) { return change(name, -1); }
int32_t load_counter_value(const std::string& name) { return change(name, 0); }

}  // namespace qx::platform
