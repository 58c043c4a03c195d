// Skin engine, portable part: colours, kinds, theme reading, layouts and the
// window shape's pixel runs at every depth.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "qx/platform/module.h"
#include "skin_theme.h"

using namespace qx::skin;

TEST(SkinColour, ParsesThreeNumbersAndRefusesEverythingElse) {
    struct Case {
        std::u16string text;
        std::optional<Colour> want;
    } cases[] = {
        {u"255 0 255", rgb(255, 0, 255)},
        {u"1\t2\n3", rgb(1, 2, 3)},
        {u"0 0 0", rgb(0, 0, 0)},
        {u"12 34 56", Colour(12 | 34 << 8 | 56 << 16)},
        {u"", std::nullopt},
        {u"256 0 0", std::nullopt},
        {u"1 2", std::nullopt},
        {u"1 2 3 4", std::nullopt},
        {u"1  2 3", std::nullopt},
        {u" 1 2 3", std::nullopt},
        {u"1,2,3", std::nullopt},
        {u"-1 2 3", std::nullopt},
        {u"99999999999 0 0", std::nullopt},
        {u"red", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_colour(c.text), c.want) << std::string(c.text.begin(), c.text.end());
}

TEST(SkinKind, ButtonStylesAndClasses) {
    // BS_* low bits -> kind
    const Kind want[16] = {Kind::push,  Kind::push,  Kind::check, Kind::check, Kind::radio, Kind::check,
                           Kind::check, Kind::group, Kind::push,  Kind::radio, Kind::check, Kind::radio,
                           Kind::radio, Kind::check, Kind::check, Kind::group};
    for (uint32_t s = 0; s < 16; ++s) EXPECT_EQ(button_kind(0x50010000u | s), want[s]) << s;

    EXPECT_EQ(kind_for_window(u"#32770", 0x00C00000), Kind::frame);
    EXPECT_EQ(kind_for_window(u"#32770", 0x00800000), std::nullopt);  // border only: child pages
    EXPECT_EQ(kind_for_window(u"BUTTON", 7), Kind::group);
    EXPECT_EQ(kind_for_window(u"static", 0), Kind::label);
    EXPECT_EQ(kind_for_window(u"eDiT", 0), Kind::edit);
    EXPECT_EQ(kind_for_window(u"IME", 0), std::nullopt);
    EXPECT_EQ(kind_for_window(u"OleMainThreadWndClass", 0x00C00000), std::nullopt);
    EXPECT_EQ(kind_for_window(u"SysTabControl32", 0), std::nullopt);
}

TEST(SkinTheme, PathsAndReading) {
    EXPECT_EQ(theme_path(u"C:\\P\\", u""), u"C:\\P\\Skins\\default\\theme.ini");
    EXPECT_EQ(theme_path(u"C:\\P\\", u"Skins\\blue\\"), u"C:\\P\\Skins\\blue\\theme.ini");
    EXPECT_EQ(theme_bitmap_path(u"C:\\P\\Skins\\default\\theme.ini", u"sub\\top.bmp"), u"C:\\P\\Skins\\default\\/top.bmp");
    EXPECT_EQ(theme_bitmap_path(u"/p/theme.ini", u"top.bmp"), u"/p//top.bmp");
    EXPECT_EQ(theme_bitmap_path(u"/p/theme.ini", u""), u"");

    const auto read = profile_from_text(
        "\xEF\xBB\xBF; comment\r\n[Personality]\r\nTop = top.bmp\r\nPushButton=x/push.bmp\r\n"
        "[Colours]\r\nCaptionText=1 2 3\r\nTransparent=bad\r\n3DFACE=9 9 9\r\nWindow=\r\n");
    ThemeColours defaults{10, 11, 12, kDefaultTransparent, 14, 15, 16, 17};
    const Theme t = read_theme(read, u"/s/theme.ini", defaults);
    EXPECT_EQ(t.top, u"/s//top.bmp");
    EXPECT_EQ(t.pushButton, u"/s//push.bmp");
    EXPECT_EQ(t.left, u"");  // absent key: nothing to load
    EXPECT_EQ(t.colours.captionText, rgb(1, 2, 3));
    EXPECT_EQ(t.colours.transparent, kDefaultTransparent);  // bad colour keeps the default
    EXPECT_EQ(t.colours.window, 17u);                      // empty keeps the default
    EXPECT_EQ(t.colours.face, rgb(9, 9, 9));               // key names are case-insensitive
    EXPECT_EQ(t.colours.buttonText, 14u);
}

TEST(SkinTheme, ShippedThemeNamesBitmapsThatFitTheirLayouts) {
    const std::string dir = qx::platform::directory_of(qx::platform::executable_path()) + "Skins/default/";
    std::ifstream in(dir + "theme.ini", std::ios::binary);
    ASSERT_TRUE(in) << dir;
    std::stringstream text;
    text << in.rdbuf();
    const Theme t = read_theme(profile_from_text(text.str()), u"x/theme.ini", ThemeColours{});
    EXPECT_EQ(t.colours.transparent, kDefaultTransparent);
    struct Bitmap {
        std::u16string path;
        int rows;
        bool ninePart;
    } bitmaps[] = {{t.pushButton, kPushRows, true},       {t.checkButton, kCheckRows, false},
                   {t.radioButton, kCheckRows, false},    {t.buttonClose, kCaptionButtonRows, false},
                   {t.top, 1, false},                     {t.bottom, 1, false},
                   {t.left, 1, false},                    {t.right, 1, false}};
    for (const auto& b : bitmaps) {
        const std::string name(b.path.begin() + 3, b.path.end());  // after "x//"
        std::ifstream bmp(dir + name, std::ios::binary);
        ASSERT_TRUE(bmp) << name;
        unsigned char h[54] = {};
        bmp.read(reinterpret_cast<char*>(h), 54);
        ASSERT_EQ(h[0], 'B');
        const int width = h[18] | h[19] << 8, height = h[22] | h[23] << 8, bits = h[28];
        EXPECT_EQ(bits, 24) << name;
        EXPECT_TRUE(bitmap_fits(width, height, b.rows, b.ninePart)) << name;
        EXPECT_EQ(height % b.rows, 0) << name;
    }
}

TEST(SkinLayout, RowsAndUndersizedBitmaps) {
    EXPECT_EQ(push_row({}), 0);
    EXPECT_EQ(push_row({.hover = true}), 1);
    EXPECT_EQ(push_row({.pressed = true, .hover = true}), 2);
    EXPECT_EQ(push_row({.disabled = true, .pressed = true}), 3);
    EXPECT_EQ(push_row({.isDefault = true}), 4);
    EXPECT_EQ(check_row({}), 0);
    EXPECT_EQ(check_row({.disabled = true}), 3);
    EXPECT_EQ(check_row({.hover = true, .checked = true}), 5);
    EXPECT_EQ(check_row({.disabled = true, .checked = true}), 7);

    EXPECT_EQ(bitmap_row(24, 110, 5, 3), (Rect{0, 66, 24, 88}));
    EXPECT_EQ(bitmap_row(13, 104, 8, 9), (Rect{0, 91, 13, 104}));  // clamped to the last row

    EXPECT_TRUE(bitmap_fits(8, 40, 5, true));
    EXPECT_FALSE(bitmap_fits(7, 40, 5, true));   // narrower than two corners
    EXPECT_FALSE(bitmap_fits(24, 39, 5, true));  // rows shorter than two corners
    EXPECT_FALSE(bitmap_fits(13, 7, 8, false));  // fewer pixels than rows
    EXPECT_FALSE(bitmap_fits(0, 10, 1, false));
}

TEST(SkinLayout, NinePartCopiesCornersAndStretchesTheRest) {
    const auto parts = nine_part({0, 22, 24, 44}, {10, 10, 110, 40});
    ASSERT_EQ(parts.size(), 9u);
    EXPECT_EQ(parts[0].source, (Rect{0, 22, 4, 26}));
    EXPECT_EQ(parts[0].target, (Rect{10, 10, 14, 14}));
    EXPECT_EQ(parts[4].source, (Rect{4, 26, 20, 40}));
    EXPECT_EQ(parts[4].target, (Rect{14, 14, 106, 36}));
    EXPECT_EQ(parts[8].target, (Rect{106, 36, 110, 40}));
    // A target smaller than the corners: no piece of negative size.
    for (const auto& p : nine_part({0, 0, 24, 22}, {0, 0, 5, 3})) {
        EXPECT_GT(p.target.width(), 0);
        EXPECT_GT(p.target.height(), 0);
    }
    const auto strip = three_part({0, 0, 96, 26}, {0, 0, 400, 26});
    ASSERT_EQ(strip.size(), 3u);
    EXPECT_EQ(strip[1].target, (Rect{32, 0, 368, 26}));
}

TEST(SkinFrame, ButtonsHitTestAndSizes) {
    const FrameMetrics m{5, 26, 5, 5, 20, 18};
    const auto b = caption_buttons(m, 400, false, true);
    ASSERT_TRUE(b.close && b.minimize);
    EXPECT_FALSE(b.maximize);
    EXPECT_EQ(*b.close, (Rect{373, 4, 393, 22}));
    EXPECT_EQ(*b.minimize, (Rect{351, 4, 371, 22}));
    struct Case {
        int x, y;
        bool sizable;
        Hit want;
    } cases[] = {
        {380, 10, false, Hit::close}, {360, 10, false, Hit::minimize}, {100, 10, false, Hit::caption},
        {100, 100, false, Hit::client}, {2, 100, false, Hit::caption},  {2, 100, true, Hit::left},
        {398, 298, true, Hit::bottomRight}, {100, 1, true, Hit::top},   {1, 1, true, Hit::topLeft},
        {100, 297, true, Hit::bottom},
    };
    for (const auto& c : cases) EXPECT_EQ(hit_test(m, 400, 300, c.x, c.y, b, c.sizable), c.want) << c.x << "," << c.y;
    EXPECT_EQ(client_area(m, 400, 300), (Rect{5, 26, 395, 295}));
    EXPECT_EQ(client_area(m, 4, 4), (Rect{5, 26, 5, 26}));
    EXPECT_EQ(minimum_track_size(m), (std::pair<int, int>{200, 31}));
}

namespace {
// A 5x3 picture: row 0 "K.K..", row 1 ".....", row 2 "KKKKK" ('K' = key).
// Built bottom-up at the given depth.
std::vector<uint8_t> picture(int bpp, std::vector<uint32_t>* palette) {
    const char* rows[3] = {"K.K..", ".....", "KKKKK"};
    const size_t stride = dib_stride(5, bpp);
    std::vector<uint8_t> bits(stride * 3, 0);
    if (bpp == 8) *palette = {0x00FF00FF /* magenta: b=FF g=00 r=FF */, 0x00102030};
    for (int y = 0; y < 3; ++y) {
        uint8_t* row = bits.data() + stride * (2 - y);
        for (int x = 0; x < 5; ++x) {
            const bool key = rows[y][x] == 'K';
            switch (bpp) {
            case 8: row[x] = key ? 0 : 1; break;
            case 16: {
                const uint16_t p = key ? 0xF81F : 0x1234;  // magenta in 5-6-5
                row[2 * x] = p & 0xFF;
                row[2 * x + 1] = p >> 8;
                break;
            }
            default: {
                uint8_t* p = row + x * (bpp / 8);
                p[0] = key ? 0xFF : 0x10;  // blue
                p[1] = key ? 0x00 : 0x20;  // green
                p[2] = key ? 0xFF : 0x30;  // red
            }
            }
        }
    }
    return bits;
}
}  // namespace

TEST(SkinRegion, OpaqueRunsAtEveryDepth) {
    for (int bpp : {8, 16, 24, 32}) {
        DibView v;
        const auto bits = picture(bpp, &v.palette);
        v.width = 5;
        v.height = 3;
        v.bitsPerPixel = bpp;
        v.bits = bits.data();
        v.size = bits.size();
        const auto runs = opaque_runs(v, kDefaultTransparent, 10, 100).rects();
        const std::vector<Rect> want = {{11, 100, 12, 101}, {13, 100, 15, 101}, {10, 101, 15, 102}};
        EXPECT_EQ(runs, want) << bpp << " bits";

        v.size = bits.size() - 1;  // a buffer short of its own size is refused
        EXPECT_TRUE(opaque_runs(v, kDefaultTransparent).rects().empty()) << bpp;
    }
    DibView odd;
    std::vector<uint8_t> bits(64);
    odd.width = 2;
    odd.height = 2;
    odd.bitsPerPixel = 4;
    odd.bits = bits.data();
    odd.size = bits.size();
    EXPECT_TRUE(opaque_runs(odd, 0).rects().empty());
}

TEST(SkinRegion, BufferStartsAtOneRectPerRowAndGrowsByForty) {
    RegionBuilder r(3);
    EXPECT_EQ(r.capacity(), 3u);
    for (int i = 0; i < 4; ++i) r.add({i, 0, i + 1, 1});
    EXPECT_EQ(r.capacity(), 43u);
    for (int i = 4; i < 44; ++i) r.add({i, 0, i + 1, 1});
    EXPECT_EQ(r.capacity(), 83u);
    EXPECT_EQ(r.bounds(), (Rect{0, 0, 44, 1}));
}
