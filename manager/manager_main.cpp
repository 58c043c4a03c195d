// QXUKMgrSvr: the key manager tool.  The program shell; start-up, device
// monitoring and the pages are added as they are built.
#include <cstdio>

int main() {
    std::fputs("QXUKMgrSvr: the key manager tool is not available in this build yet\n", stderr);
    return 1;
}
