#include <cstdint>
#include <cstdio>

#include "qx/platform/detail/escape.h"

namespace qx::platform::detail {
namespace {

// FNV-1a, 64 bits: only used to keep over-long names distinct once cut.
uint64_t fnv1a(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

std::string escape_name(std::string_view name, std::string_view prefix, bool (*legal)(char)) {
    std::string out(prefix);
    for (char c : name) {
        if (c != '%' && legal(c)) {
            out += c;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
            out += buf;
        }
    }
    constexpr size_t kMax = 200;
    if (out.size() > kMax) {
        char buf[20];
        std::snprintf(buf, sizeof buf, "~%016llx", static_cast<unsigned long long>(fnv1a(name)));
        out.resize(kMax - 17);
        out += buf;
    }
    return out;
}

}  // namespace qx::platform::detail
