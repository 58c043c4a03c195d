#include "qx/platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace qx::platform {

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

bool read_secret_line(const std::string& prompt, std::string& line) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios saved{};
    const bool terminal = stdin_is_terminal() && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (ok && !line.empty() && line.back() == '\r') line.pop_back();
    return ok;
}

}  // namespace qx::platform
