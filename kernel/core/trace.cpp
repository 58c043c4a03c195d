#include "trace.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/CU8Ini.h"
#include "kernel_state.h"
#include "qx/platform/file_io.h"
#include "qx/platform/system.h"

namespace qx::kernel {

namespace {

// Re-reading Config.ini on every line would cost a file read and parse per
// APDU; the two values are kept while the file's time stamp and size stay the
// same, so an edited (or removed, or added) file still counts at the next line.
struct TraceCache {
    std::mutex mutex;
    bool valid = false;
    std::string path;
    bool exists = false;
    int64_t mtime = 0;
    int64_t size = 0;
    TraceSettings settings;
};

TraceCache& cache() {
    static TraceCache c;
    return c;
}

TraceSettings read_settings(const std::string& path, const std::string& directory) {
    TraceSettings s;
    CU8Ini ini;
    if (ini.LoadFile(path, directory) == 0) {
        s.debug = ini.GetInteger("QXTokenInfo", "Debug", 0);
        s.logFile = ini.GetString("QXTokenInfo", "LogFile", kNameBufferSize, "");
    }
    return s;
}

}  // namespace

TraceSettings current_trace_settings() {
    const std::string path = state().config_path();
    const std::string directory = state().soft_alg_directory();
    int64_t mtime = 0, size = 0;
    bool exists = platform::file_stamp(path, &mtime, &size);
    TraceCache& c = cache();
    std::lock_guard lock(c.mutex);
    if (c.valid && c.path == path && c.exists == exists && c.mtime == mtime && c.size == size) return c.settings;
    c.settings = exists ? read_settings(path, directory) : TraceSettings{};
    c.valid = true;
    c.path = path;
    c.exists = exists;
    c.mtime = mtime;
    c.size = size;
    return c.settings;
}

bool trace_enabled(uint32_t mask) {
    platform::LastErrorKeeper keep;
    return (static_cast<uint32_t>(current_trace_settings().debug) & mask) != 0;
}

std::string hex_text(const uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s(length * 2, '0');
    for (std::size_t i = 0; i < length; ++i) {
        s[2 * i] = digits[data[i] >> 4];
        s[2 * i + 1] = digits[data[i] & 15];
    }
    return s;
}

void vtrace(uint32_t mask, const char* sourceFile, long line, const char* format, va_list args) {
    platform::LastErrorKeeper keep;
    if (!format) return;
    TraceSettings s = current_trace_settings();
    if ((static_cast<uint32_t>(s.debug) & mask) == 0) return;
    if (!sourceFile) sourceFile = "";

    platform::LocalTime t = platform::local_time();
    char when[64];
    std::snprintf(when, sizeof when, "%d/%.2d/%.2d %.2d:%.2d:%.2d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    const int pid = static_cast<int>(platform::process_id());
    const int tid = static_cast<int>(platform::thread_id());

    if (!s.logFile.empty()) {
        std::FILE* f = std::fopen(s.logFile.c_str(), "a");
        if (!f) return;
        std::fprintf(f, "%s %s(%ld): Process(%d)_Thread(%d)-->", when, sourceFile, line, pid, tid);
        std::vfprintf(f, format, args);
        std::fputs("\n", f);
        std::fclose(f);
        return;
    }

    char prefix[5500];
    char message[4096];
    std::snprintf(prefix, sizeof prefix, "%s %s(%ld): Process(%d)_Thread(%d)-->", when, sourceFile, line, pid,
                  tid);
    std::vsnprintf(message, sizeof message, format, args);
    // A message that fills its buffer is cut so that the line end still fits.
    std::size_t m = std::strlen(message);
    if (m > sizeof message - 3) m = sizeof message - 3;
    std::memcpy(message + m, "\r\n", 3);
    std::size_t p = std::strlen(prefix);
    std::size_t room = sizeof prefix - 1 - p;
    std::size_t n = std::strlen(message);
    if (n > room) n = room;
    std::memcpy(prefix + p, message, n);
    prefix[p + n] = '\0';
    platform::debug_output(prefix);
}

void trace(uint32_t mask, const char* sourceFile, long line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vtrace(mask, sourceFile, line, format, args);
    va_end(args);
}

}  // namespace qx::kernel
