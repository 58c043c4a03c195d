// The kernel's diagnostic trace.  The Debug mask and LogFile of Config.ini
// decide whether and where a line goes; both are looked up again on every
// call, so editing the file takes effect without a restart.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace qx::kernel {

constexpr uint32_t kTraceCalls = 256;
constexpr uint32_t kTraceTransport = 1024;
constexpr uint32_t kTraceApdu = 2048;

#if defined(__GNUC__)
#define QX_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define QX_PRINTF_LIKE(f, a)
#endif

// Writes one line when `mask` shares a bit with Debug.  Never fails and keeps
// the thread's last-error value.
void trace(uint32_t mask, const char* sourceFile, long line, const char* format, ...) QX_PRINTF_LIKE(4, 5);
void vtrace(uint32_t mask, const char* sourceFile, long line, const char* format, va_list args);

// Whether a line of `mask` would be written now (lets callers skip costly formatting).
bool trace_enabled(uint32_t mask);

// The two trace settings as currently in force.
struct TraceSettings {
    int32_t debug = 0;
    std::string logFile;
};
TraceSettings current_trace_settings();

// Uppercase hexadecimal text of bytes.
std::string hex_text(const uint8_t* data, std::size_t length);

}  // namespace qx::kernel
