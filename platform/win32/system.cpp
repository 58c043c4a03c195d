#include "qx/platform/system.h"

#include <windows.h>
#include <wtsapi32.h>

#include "qx/platform/detail/escape.h"
#include "qx/platform/object_name.h"

namespace qx::platform {

namespace {
bool win_legal(char c) { return c != '\\'; }
}  // namespace

std::string legal_object_name(std::string_view logical_name) {
    return detail::escape_name(logical_name, "", win_legal);
}

uint32_t last_error() { return GetLastError(); }
void set_last_error(uint32_t value) { SetLastError(value); }

uint32_t process_id() { return GetCurrentProcessId(); }
uint32_t thread_id() { return GetCurrentThreadId(); }

LocalTime local_time() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

void sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

uint64_t tick_ms() { return GetTickCount64(); }

bool is_remote_session() {
    if (GetSystemMetrics(SM_REMOTESESSION) != 0) return true;
    PWTS_SESSION_INFOA sessions = nullptr;
    DWORD count = 0;
    bool remote = false;
    if (WTSEnumerateSessionsA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        for (DWORD i = 0; i < count && !remote; ++i) {
            if (sessions[i].State != WTSActive) continue;
            LPSTR data = nullptr;
            DWORD bytes = 0;
            if (WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, sessions[i].SessionId, WTSClientProtocolType,
                                            &data, &bytes)) {
                if (data && bytes >= sizeof(USHORT) && *reinterpret_cast<USHORT*>(data) == 2) remote = true;
                WTSFreeMemory(data);
            }
        }
        WTSFreeMemory(sessions);
    }
    return remote;
}

std::string environment(const char* name) {
    if (!name) return {};
    char buf[32768];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return {};
    return std::string(buf, n);
}

std::string user_data_directory() { return environment("LOCALAPPDATA"); }

std::string temp_directory() {
    char buf[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof buf, buf);
    if (n == 0 || n > sizeof buf) return ".";
    std::string s(buf, n);
    while (s.size() > 3 && (s.back() == '\\' || s.back() == '/')) s.pop_back();
    return s;
}

}  // namespace qx::platform
