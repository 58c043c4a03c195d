// A PNG writer for test screenshots: 8-bit RGB rows, filter 0, the image in
// stored deflate blocks inside a zlib stream (no compression library needed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

// `rgb` holds height rows of width * 3 bytes.  Empty for a size mismatch.
std::vector<uint8_t> png_encode(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);
bool png_write(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);

}  // namespace qx::test
