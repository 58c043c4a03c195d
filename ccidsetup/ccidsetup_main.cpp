// ccidsetup: installs the token's CCID driver from "usbccid.inf" beside the
// program and reports the outcome in one line on standard output.
#include <cstdio>

#include "installer.h"

int main() {
    std::string line;
    const int status = qx::ccid::run_installer(qx::ccid::system_setup_api(), line);
    std::fputs(line.empty() ? "Error 00000008 in ccidsetup\n" : line.c_str(), stdout);
    std::fflush(stdout);
    return status;
}
