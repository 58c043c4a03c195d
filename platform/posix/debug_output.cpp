// Debugger output, apart from the other services so that a module that only
// traces links nothing else.
#include "qx/platform/system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace qx::platform {

void debug_output(const char* text) {
    if (!text) return;
    const char* sink = std::getenv("QX_DEBUG_OUTPUT");
    if (!sink || !*sink) return;
    int saved = errno;
    if (std::string_view(sink) == "stderr") {
        std::fputs(text, stderr);
    } else if (FILE* f = std::fopen(sink, "a")) {
        std::fputs(text, f);
        std::fclose(f);
    }
    errno = saved;
}

}  // namespace qx::platform
