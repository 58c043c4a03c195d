// Block paddings of the symmetric ciphers that run on the token (the key's
// padding value 0 to 5), and the host's random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx::kernel {

constexpr uint32_t kPadNone = 0, kPadPkcs7 = 1, kPadRandom = 2, kPadZero = 3, kPadX923 = 4, kPadIso9797 = 5;

// Pads `data` to a multiple of `block` (2 to 255).  Values 1 to 5 always add
// 1 to `block` bytes; 0 adds nothing and wants aligned data.  ERR_INVALID_PARAM
// for an unknown value, a bad block size, ragged data with value 0, or when
// the random bytes cannot be had.
uint32_t apply_padding(uint32_t padding, uint32_t block, std::vector<uint8_t>& data);

// The length of `data` without its padding.  Values 1, 2 and 4 need
// 1 <= last byte <= min(block, length); ERR_INVALID_PARAM otherwise.
uint32_t remove_padding(uint32_t padding, uint32_t block, const uint8_t* data, uint32_t length, uint32_t* kept);

// Bytes from the operating system's generator (through libcrypto); false when
// none can be had.  Nothing here is seeded from the clock.
bool random_bytes(uint8_t* out, std::size_t length);

}  // namespace qx::kernel
