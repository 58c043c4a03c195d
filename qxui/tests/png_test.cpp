// The screenshot PNG writer: its checksums against published values, and the
// stored deflate blocks of an image larger than one block.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/png_file.h"

namespace {

using namespace qx::test;

uint32_t be32(const std::vector<uint8_t>& b, std::size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

TEST(Png, ChecksumsMatchKnownValues) {
    struct Case {
        const char* text;
        uint32_t crc, adler;
    };
    const Case cases[] = {{"", 0x00000000u, 0x00000001u},
                          {"123456789", 0xCBF43926u, 0x091E01DEu},
                          {"Wikipedia", 0xADAAC02Eu, 0x11E60398u},
                          {"IEND", 0xAE426082u, 0x02D70121u}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto* p = reinterpret_cast<const uint8_t*>(c.text);
        EXPECT_EQ(c.crc, crc32(p, std::strlen(c.text)));
        EXPECT_EQ(c.adler, adler32(p, std::strlen(c.text)));
    }
    // A long run of 0xFF keeps the Adler sums below their modulus.
    const std::vector<uint8_t> ones(100000, 0xFF);
    EXPECT_EQ(0x149A302Cu, adler32(ones.data(), ones.size()));
}

TEST(Png, ChunksAndStoredBlocksAreWellFormed) {
    // 200 x 120 RGB: 120 rows of 601 bytes = 72120 bytes, two stored blocks.
    const uint32_t w = 200, h = 120;
    std::vector<uint8_t> rgb(w * h * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7);
    const std::vector<uint8_t> png = encode_png(w, h, rgb);
    ASSERT_GT(png.size(), 8u + 25u + 12u + 12u);
    EXPECT_EQ(0, std::memcmp(png.data(), "\x89PNG\r\n\x1A\n", 8));
    std::size_t at = 8;
    std::vector<std::string> types;
    std::vector<uint8_t> idat;
    while (at + 12 <= png.size()) {
        const uint32_t n = be32(png, at);
        const std::string type(png.begin() + at + 4, png.begin() + at + 8);
        types.push_back(type);
        EXPECT_EQ(crc32(png.data() + at + 4, n + 4), be32(png, at + 8 + n)) << type;
        if (type == "IHDR") {
            EXPECT_EQ(w, be32(png, at + 8));
            EXPECT_EQ(h, be32(png, at + 12));
        }
        if (type == "IDAT") idat.assign(png.begin() + at + 8, png.begin() + at + 8 + n);
        at += 12 + n;
    }
    EXPECT_EQ(png.size(), at);
    EXPECT_EQ((std::vector<std::string>{"IHDR", "IDAT", "IEND"}), types);

    // zlib header, stored blocks with LEN and its complement, then Adler-32.
    ASSERT_GE(idat.size(), 6u);
    EXPECT_EQ(0, (idat[0] * 256 + idat[1]) % 31) << "zlib header check";
    std::vector<uint8_t> raw;
    std::size_t p = 2;
    int blocks = 0;
    for (bool last = false; !last;) {
        ASSERT_LE(p + 5, idat.size());
        last = idat[p] & 1;
        EXPECT_EQ(0, idat[p] & 6) << "stored block";
        const uint16_t len = static_cast<uint16_t>(idat[p + 1] | idat[p + 2] << 8);
        const uint16_t nlen = static_cast<uint16_t>(idat[p + 3] | idat[p + 4] << 8);
        EXPECT_EQ(0xFFFF, len ^ nlen);
        raw.insert(raw.end(), idat.begin() + p + 5, idat.begin() + p + 5 + len);
        p += 5 + len;
        ++blocks;
    }
    EXPECT_EQ(2, blocks);
    EXPECT_EQ(idat.size(), p + 4);
    EXPECT_EQ(adler32(raw.data(), raw.size()), be32(idat, p));
    ASSERT_EQ(h * (w * 3 + 1), raw.size());
    for (uint32_t y = 0; y < h; ++y) {
        EXPECT_EQ(0, raw[y * (w * 3 + 1)]) << "filter byte of row " << y;
        EXPECT_EQ(0, std::memcmp(&raw[y * (w * 3 + 1) + 1], &rgb[y * w * 3], w * 3));
    }
    EXPECT_FALSE(write_png("unused.png", w, h, std::vector<uint8_t>(5))) << "pixel count must match";
}

}  // namespace
