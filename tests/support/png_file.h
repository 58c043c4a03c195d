// A small PNG writer for test screenshots: 8-bit RGB, no filtering,
// the image data in stored (uncompressed) deflate blocks inside a zlib
// stream.  Enough for any image viewer; no compression library needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

uint32_t crc32(const uint8_t* data, std::size_t n, uint32_t crc = 0);
uint32_t adler32(const uint8_t* data, std::size_t n);

// The PNG file of `width` x `height` pixels, `rgb` row after row, 3 bytes a pixel.
std::vector<uint8_t> encode_png(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);
bool write_png(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);

}  // namespace qx::test
