// The parts of the certificate store service that are the same everywhere:
// store names and the extent of a DER certificate.
#include "qx/platform/cert_store.h"

namespace qx::platform {

bool valid_store_name(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit) return false;
    }
    return true;
}

std::size_t der_certificate_length(const uint8_t* data, std::size_t length) {
    if (!data || length < 2 || data[0] != 0x30) return 0;
    std::size_t header = 2;
    std::size_t content = data[1];
    if (content & 0x80) {
        const std::size_t n = content & 0x7F;
        // Definite lengths only, at most four length bytes, no leading zero.
        if (n == 0 || n > 4 || length < 2 + n || data[2] == 0) return 0;
        content = 0;
        for (std::size_t i = 0; i < n; ++i) content = content << 8 | data[2 + i];
        if (content < 0x80) return 0;
        header += n;
    }
    if (content > length - header) return 0;
    return header + content;
}

}  // namespace qx::platform
