#include "qx/platform/system.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "qx/platform/detail/escape.h"
#include "qx/platform/object_name.h"

namespace qx::platform {

namespace {
bool posix_legal(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}
}  // namespace

std::string legal_object_name(std::string_view logical_name) {
    return detail::escape_name(logical_name, "/qx.", posix_legal);
}

uint32_t last_error() { return static_cast<uint32_t>(errno); }
void set_last_error(uint32_t value) { errno = static_cast<int>(value); }

uint32_t process_id() { return static_cast<uint32_t>(getpid()); }
uint32_t thread_id() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

LocalTime local_time() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                     static_cast<int>(ts.tv_nsec / 1000000)};
}

void sleep_ms(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint64_t tick_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool is_remote_session() {
    const char* xrdp = std::getenv("XRDP_SESSION");
    const char* vnc = std::getenv("VNCDESKTOP");
    return (xrdp && *xrdp) || (vnc && *vnc);
}

std::string user_data_directory() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') return x;
    if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/share";
    return {};
}

std::string temp_directory() {
    if (const char* t = std::getenv("TMPDIR"); t && *t) {
        std::string s = t;
        while (s.size() > 1 && s.back() == '/') s.pop_back();
        return s;
    }
    return "/tmp";
}

std::string environment(const char* name) {
    const char* v = name ? std::getenv(name) : nullptr;
    return v ? v : "";
}

}  // namespace qx::platform
