#include "qx/platform/console.h"

#include <windows.h>

#include <cstdio>
#include <iostream>

namespace qx::platform {

bool stdin_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool read_secret_line(const std::string& prompt, std::string& line) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    const bool terminal = GetConsoleMode(input, &saved) != 0;
    if (terminal) SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    const bool ok = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        SetConsoleMode(input, saved);
        std::fputs("\n", stderr);
    }
    if (ok && !line.empty() && line.back() == '\r') line.pop_back();
    return ok;
}

}  // namespace qx::platform
