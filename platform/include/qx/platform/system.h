// Small services: debugger output, the thread's last error, identifiers,
// local time, sleeping, the remote-session question.
#pragma once

#include <cstdint>
#include <string>

namespace qx::platform {

// Sends a line to the debugger output.  Windows: OutputDebugStringA.  POSIX:
// nothing unless QX_DEBUG_OUTPUT is set: "stderr" writes to standard error,
// any other value is a file path that the text is appended to.
void debug_output(const char* text);

// The thread's last-error value (Windows GetLastError, POSIX errno).
uint32_t last_error();
void set_last_error(uint32_t value);

// Restores the thread's last-error value when it goes out of scope.
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(last_error()) {}
    ~LastErrorKeeper() { set_last_error(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    uint32_t saved_;
};

uint32_t process_id();
uint32_t thread_id();

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
LocalTime local_time();

void sleep_ms(uint32_t milliseconds);

// Monotonic milliseconds, for time-outs.
uint64_t tick_ms();

// Whether the calling process runs in a remote-desktop session.
// Windows: the remote-session system metric, then the active terminal-services
// sessions whose client protocol is RDP (2).  POSIX: an xrdp session
// (XRDP_SESSION set) or a VNC desktop (VNCDESKTOP set); ssh logins have no
// desktop and are not remote-desktop sessions.
bool is_remote_session();

// A per-user directory for application data (Windows %LOCALAPPDATA%, POSIX
// $XDG_DATA_HOME or ~/.local/share); empty when unknown.
std::string user_data_directory();

// A directory for temporary files, ending without a separator.
std::string temp_directory();

// The value of an environment variable; empty when unset.
std::string environment(const char* name);

}  // namespace qx::platform
