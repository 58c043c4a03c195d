// Block padding: adding it before encryption, removing it after decryption.
// Removal trusts the count it finds (the removed bytes are not checked) but
// never removes more than the data holds.
#include "crypto_library.h"
#include "objects.h"

#include <cstring>

namespace qx::softalg {

bool padding_known(uint32_t padding) {
    return padding <= QXSA_PAD_ISO9797_M2;
}

bool pad_block(uint32_t padding, uint8_t* block, size_t tail, size_t block_size) {
    const size_t k = block_size - tail;  // 1 .. block_size
    uint8_t* pad = block + tail;
    switch (padding) {
        case QXSA_PAD_PKCS5:
            std::memset(pad, static_cast<int>(k), k);
            return true;
        case QXSA_PAD_ISO10126: {
            // Random filler from the library's secure generator, then the count.
            CryptoLibrary* lib = CryptoLibrary::instance();
            if (lib == nullptr || !lib->random_bytes(pad, k - 1)) {
                return false;
            }
            pad[k - 1] = static_cast<uint8_t>(k);
            return true;
        }
        case QXSA_PAD_ZERO:
            std::memset(pad, 0, k);
            return true;
        case QXSA_PAD_X923:
            std::memset(pad, 0, k - 1);
            pad[k - 1] = static_cast<uint8_t>(k);
            return true;
        case QXSA_PAD_ISO9797_M2:
            pad[0] = 0x80;
            std::memset(pad + 1, 0, k - 1);
            return true;
        default:
            return false;
    }
}

bool unpad_length(uint32_t padding, const uint8_t* data, size_t length, size_t* remaining) {
    switch (padding) {
        case QXSA_PAD_NONE:
            *remaining = length;
            return true;
        case QXSA_PAD_PKCS5:
        case QXSA_PAD_ISO10126:
        case QXSA_PAD_X923: {
            if (length == 0) {
                return false;
            }
            const size_t count = data[length - 1];
            if (count > length) {
                return false;
            }
            *remaining = length - count;
            return true;
        }
        case QXSA_PAD_ZERO: {
            size_t n = length;
            while (n > 0 && data[n - 1] == 0x00) {
                --n;
            }
            *remaining = n;
            return true;
        }
        case QXSA_PAD_ISO9797_M2: {
            // Over the trailing zeros to a 0x80 marker; a marker in the very
            // first byte, or any other byte, means there is nothing to remove.
            size_t i = length;
            while (i > 0 && data[i - 1] == 0x00) {
                --i;
            }
            if (i >= 2 && data[i - 1] == 0x80) {
                *remaining = i - 1;
            } else {
                *remaining = length;
            }
            return true;
        }
        default:
            return false;
    }
}

}  // namespace qx::softalg
