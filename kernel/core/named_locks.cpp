#include "named_locks.h"

#include <map>
#include <memory>
#include <mutex>

namespace qx::kernel {

platform::NamedMutex* named_mutex(const std::string& logicalName) {
    static std::mutex guard;
    static std::map<std::string, std::unique_ptr<platform::NamedMutex>> table;
    std::lock_guard lock(guard);
    auto it = table.find(logicalName);
    if (it != table.end()) return it->second.get();
    auto m = platform::NamedMutex::open(logicalName);
    if (!m) return nullptr;
    return table.emplace(logicalName, std::move(m)).first->second.get();
}

}  // namespace qx::kernel
