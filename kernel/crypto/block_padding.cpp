#include "block_padding.h"

#include <openssl/rand.h>

#include <climits>

#include "QXTokenStatus.h"

namespace qx::kernel {

bool random_bytes(uint8_t* out, std::size_t length) {
    while (length > 0) {
        const int n = static_cast<int>(length > INT_MAX ? INT_MAX : length);
        if (RAND_bytes(out, n) != 1) return false;
        out += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

uint32_t apply_padding(uint32_t padding, uint32_t block, std::vector<uint8_t>& data) {
    if (block < 2 || block > 255 || padding > kPadIso9797) return ERR_INVALID_PARAM;
    if (padding == kPadNone) return data.size() % block == 0 ? ERR_OK : ERR_INVALID_PARAM;
    const uint32_t n = block - static_cast<uint32_t>(data.size() % block);
    const std::size_t at = data.size();
    switch (padding) {
    case kPadPkcs7:
        data.insert(data.end(), n, static_cast<uint8_t>(n));
        break;
    case kPadRandom:
        data.resize(at + n - 1);
        if (n > 1 && !random_bytes(data.data() + at, n - 1)) {
            data.resize(at);
            return ERR_INVALID_PARAM;
        }
        data.push_back(static_cast<uint8_t>(n));
        break;
    case kPadZero:
        data.insert(data.end(), n, 0x00);
        break;
    case kPadX923:
        data.insert(data.end(), n - 1, 0x00);
        data.push_back(static_cast<uint8_t>(n));
        break;
    default:  // kPadIso9797
        data.push_back(0x80);
        data.insert(data.end(), n - 1, 0x00);
        break;
    }
    return ERR_OK;
}

uint32_t remove_padding(uint32_t padding, uint32_t block, const uint8_t* data, uint32_t length, uint32_t* kept) {
    if (!kept || (length && !data) || padding > kPadIso9797) return ERR_INVALID_PARAM;
    switch (padding) {
    case kPadNone:
        *kept = length;
        return ERR_OK;
    case kPadPkcs7:
    case kPadRandom:
    case kPadX923: {
        if (length == 0) return ERR_INVALID_PARAM;
        const uint32_t n = data[length - 1];
        // A count of 0 or beyond one block cannot come from our padding: such
        // a block was not enciphered with it (or the key is wrong).
        if (n == 0 || n > block || n > length) return ERR_INVALID_PARAM;
        *kept = length - n;
        return ERR_OK;
    }
    case kPadZero: {
        uint32_t n = length;
        while (n > 0 && data[n - 1] == 0x00) --n;
        *kept = n;
        return ERR_OK;
    }
    default: {  // kPadIso9797: back over the zero run to a 0x80, else keep everything
        uint32_t n = length;
        while (n > 0 && data[n - 1] == 0x00) --n;
        *kept = (n > 0 && data[n - 1] == 0x80) ? n - 1 : length;
        return ERR_OK;
    }
    }
}

}  // namespace qx::kernel
