// ccidsetup: installs the token's CCID driver.  The program shell; the
// installation itself is added when it is built.
#include <cstdio>

int main() {
    std::fputs("ccidsetup: driver installation is not available in this build yet\n", stdout);
    return -1;
}
