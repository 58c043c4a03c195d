#include "skin_theme.h"

#include <algorithm>
#include <map>

namespace qx::skin {

namespace {

char16_t lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool same_name(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool is_separator(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }

Text utf8_to_text(std::string_view s) {
    Text out;
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            cp = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            n = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < s.size()) {
            cp = (c & 0x0Fu) << 12 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6 |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            n = 3;
        } else if ((c & 0xF8) == 0xF0 && i + 3 < s.size()) {
            cp = (c & 0x07u) << 18 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12 |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6 | (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
            n = 4;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

}  // namespace

std::optional<Colour> parse_colour(std::u16string_view value) {
    uint32_t parts[3] = {0, 0, 0};
    size_t i = 0;
    for (int p = 0; p < 3; ++p) {
        if (p > 0) {
            if (i >= value.size() || !is_separator(value[i])) return std::nullopt;
            ++i;
        }
        size_t digits = 0;
        uint32_t n = 0;
        while (i < value.size() && value[i] >= u'0' && value[i] <= u'9') {
            n = n * 10 + static_cast<uint32_t>(value[i] - u'0');
            if (n > 255) return std::nullopt;
            ++i;
            ++digits;
        }
        if (digits == 0) return std::nullopt;
        parts[p] = n;
    }
    if (i != value.size()) return std::nullopt;
    return rgb(parts[0], parts[1], parts[2]);
}

Kind button_kind(uint32_t style) {
    const uint32_t s = style & 0xF;
    Kind kind = Kind::push;
    if ((s & 5) == 5 || (s & 6) == 6) {
        kind = Kind::check;  // 3-state check boxes
    } else {
        if ((s & 2) != 0 || (s & 3) == 3) kind = Kind::check;
        if ((s & 4) != 0 || (s & 9) == 9) kind = Kind::radio;
    }
    if ((s & 7) == 7) kind = Kind::group;
    return kind;
}

std::optional<Kind> kind_for_window(std::u16string_view className, uint32_t style) {
    constexpr uint32_t kCaption = 0x00C00000;  // border and title bar bits together
    if (same_name(className, u"#32770")) {
        if ((style & kCaption) == kCaption) return Kind::frame;
        return std::nullopt;
    }
    if (same_name(className, u"Button")) return button_kind(style);
    if (same_name(className, u"Static")) return Kind::label;
    if (same_name(className, u"Edit")) return Kind::edit;
    return std::nullopt;
}

Theme read_theme(const ProfileReader& read, const Text& themePath, const ThemeColours& defaults, bool editFaceKey) {
    Theme t;
    auto bitmap = [&](const char* key) { return theme_bitmap_path(themePath, read("Personality", key)); };
    t.left = bitmap("Left");
    t.top = bitmap("Top");
    t.right = bitmap("Right");
    t.bottom = bitmap("Bottom");
    t.buttonMax = bitmap("ButtonMax");
    t.buttonMin = bitmap("ButtonMin");
    t.buttonClose = bitmap("ButtonClose");
    t.buttonRestore = bitmap("ButtonRestore");
    t.buttonHelp = bitmap("ButtonHelp");
    t.pushButton = bitmap("PushButton");
    t.checkButton = bitmap("CheckButton");
    t.radioButton = bitmap("RadioButton");
    auto colour = [&](const char* key, Colour fallback) {
        return parse_colour(read("Colours", key)).value_or(fallback);
    };
    t.colours.captionText = colour("CaptionText", defaults.captionText);
    t.colours.captionGrayText = colour("CaptionGrayText", defaults.captionGrayText);
    t.colours.face = colour(editFaceKey ? "3DFACE" : "3DFace", defaults.face);
    t.colours.transparent = colour("Transparent", defaults.transparent);
    t.colours.buttonText = colour("ButtonText", defaults.buttonText);
    t.colours.buttonDisableText = colour("ButtonDisableText", defaults.buttonDisableText);
    t.colours.windowBorder = colour("WindowBorder", defaults.windowBorder);
    t.colours.window = colour("Window", defaults.window);
    return t;
}

Text theme_path(const Text& programDirectory, const Text& skinRelatePath) {
    Text relative = skinRelatePath.empty() ? Text(u"Skins\\default\\") : skinRelatePath;
    return programDirectory + relative + u"theme.ini";
}

Text theme_bitmap_path(const Text& themePath, const Text& value) {
    if (value.empty()) return {};
    const auto folderEnd = themePath.find_last_of(u"\\/");
    const Text folder = folderEnd == Text::npos ? Text() : themePath.substr(0, folderEnd + 1);
    const auto nameStart = value.find_last_of(u"\\/");
    const Text name = nameStart == Text::npos ? value : value.substr(nameStart + 1);
    return folder + u"/" + name;
}

ProfileReader profile_from_text(std::string_view utf8) {
    std::map<std::pair<std::string, std::string>, Text> values;
    std::string section;
    if (utf8.size() >= 3 && utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
    while (!utf8.empty()) {
        const auto end = utf8.find('\n');
        std::string_view line = trim(utf8.substr(0, end));
        utf8 = end == std::string_view::npos ? std::string_view() : utf8.substr(end + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            if (close != std::string_view::npos) section = lower_ascii(trim(line.substr(1, close - 1)));
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const auto key = std::make_pair(section, lower_ascii(trim(line.substr(0, eq))));
        if (!values.count(key)) values[key] = utf8_to_text(trim(line.substr(eq + 1)));
    }
    return [values = std::move(values)](const char* section, const char* key) {
        const auto it = values.find({lower_ascii(section), lower_ascii(key)});
        return it == values.end() ? Text() : it->second;
    };
}

bool bitmap_fits(int width, int height, int rows, bool ninePart) {
    if (width <= 0 || height <= 0 || rows <= 0) return false;
    if (height < rows) return false;
    if (ninePart) return width >= 2 * kCorner && height / rows >= 2 * kCorner;
    return true;
}

int push_row(const ButtonState& s) {
    if (s.disabled) return 3;
    if (s.pressed) return 2;
    if (s.hover) return 1;
    if (s.isDefault) return 4;
    return 0;
}

int check_row(const ButtonState& s) {
    const int state = s.disabled ? 3 : s.pressed ? 2 : s.hover ? 1 : 0;
    return state + (s.checked ? 4 : 0);
}

Rect bitmap_row(int width, int height, int rows, int row) {
    if (rows <= 0) return {};
    const int h = height / rows;
    row = std::clamp(row, 0, rows - 1);
    return {0, row * h, width, row * h + h};
}

std::vector<Blit> nine_part(const Rect& s, const Rect& t, int c) {
    std::vector<Blit> out;
    const int sx[4] = {s.left, s.left + c, s.right - c, s.right};
    const int sy[4] = {s.top, s.top + c, s.bottom - c, s.bottom};
    // A target smaller than two corners shares it out between them.
    const int cx = std::min(c, t.width() / 2), cy = std::min(c, t.height() / 2);
    const int tx[4] = {t.left, t.left + cx, t.right - cx, t.right};
    const int ty[4] = {t.top, t.top + cy, t.bottom - cy, t.bottom};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) {
            Blit b{{sx[col], sy[row], sx[col + 1], sy[row + 1]}, {tx[col], ty[row], tx[col + 1], ty[row + 1]}};
            if (b.source.width() > 0 && b.source.height() > 0 && b.target.width() > 0 && b.target.height() > 0)
                out.push_back(b);
        }
    return out;
}

std::vector<Blit> three_part(const Rect& s, const Rect& t) {
    std::vector<Blit> out;
    const int third = s.width() / 3;
    const int end = std::min(third, t.width() / 2);
    const Blit parts[3] = {
        {{s.left, s.top, s.left + end, s.bottom}, {t.left, t.top, t.left + end, t.bottom}},
        {{s.left + third, s.top, s.right - third, s.bottom}, {t.left + end, t.top, t.right - end, t.bottom}},
        {{s.right - end, s.top, s.right, s.bottom}, {t.right - end, t.top, t.right, t.bottom}},
    };
    for (const auto& b : parts)
        if (b.source.width() > 0 && b.source.height() > 0 && b.target.width() > 0 && b.target.height() > 0)
            out.push_back(b);
    return out;
}

CaptionButtons caption_buttons(const FrameMetrics& m, int windowWidth, bool hasMax, bool hasMin) {
    CaptionButtons out;
    if (m.buttonWidth <= 0 || m.buttonHeight <= 0) return out;
    constexpr int kGap = 2;
    const int top = std::max(0, (m.top - m.buttonHeight) / 2);
    int right = windowWidth - m.right - kGap;
    auto place = [&]() {
        Rect r{right - m.buttonWidth, top, right, top + m.buttonHeight};
        right -= m.buttonWidth + kGap;
        return r;
    };
    out.close = place();
    if (hasMax) out.maximize = place();
    if (hasMin) out.minimize = place();
    return out;
}

namespace {
bool inside(const std::optional<Rect>& r, int x, int y) {
    return r && x >= r->left && x < r->right && y >= r->top && y < r->bottom;
}
}  // namespace

Hit hit_test(const FrameMetrics& m, int w, int h, int x, int y, const CaptionButtons& b, bool sizable) {
    if (inside(b.close, x, y)) return Hit::close;
    if (inside(b.maximize, x, y)) return Hit::maximize;
    if (inside(b.minimize, x, y)) return Hit::minimize;
    const bool left = x < m.left, right = x >= w - m.right;
    const bool bottom = y >= h - m.bottom;
    // The caption strip's top pixels resize only a sizable window.
    const bool top = sizable && y < std::min(m.top, 4);
    if (sizable) {
        if (top && left) return Hit::topLeft;
        if (top && right) return Hit::topRight;
        if (bottom && left) return Hit::bottomLeft;
        if (bottom && right) return Hit::bottomRight;
        if (top) return Hit::top;
    }
    if (y < m.top) return Hit::caption;
    if (!sizable && (left || right || bottom)) return Hit::caption;
    if (left) return Hit::left;
    if (right) return Hit::right;
    if (bottom) return Hit::bottom;
    return Hit::client;
}

Rect client_area(const FrameMetrics& m, int w, int h) {
    Rect r{m.left, m.top, w - m.right, h - m.bottom};
    if (r.right < r.left) r.right = r.left;
    if (r.bottom < r.top) r.bottom = r.top;
    return r;
}

std::pair<int, int> minimum_track_size(const FrameMetrics& m) { return {200, m.top + m.bottom}; }

size_t dib_stride(int width, int bitsPerPixel) {
    if (width <= 0 || bitsPerPixel <= 0) return 0;
    return ((static_cast<size_t>(width) * static_cast<size_t>(bitsPerPixel) + 31) / 32) * 4;
}

RegionBuilder::RegionBuilder(int rows) : capacity_(rows > 0 ? static_cast<size_t>(rows) : 0) {
    rects_.reserve(capacity_);
}

void RegionBuilder::add(const Rect& r) {
    if (rects_.size() == capacity_) {
        capacity_ += 40;
        rects_.reserve(capacity_);
    }
    rects_.push_back(r);
}

Rect RegionBuilder::bounds() const {
    if (rects_.empty()) return {};
    Rect b = rects_.front();
    for (const auto& r : rects_) {
        b.left = std::min(b.left, r.left);
        b.top = std::min(b.top, r.top);
        b.right = std::max(b.right, r.right);
        b.bottom = std::max(b.bottom, r.bottom);
    }
    return b;
}

RegionBuilder opaque_runs(const DibView& dib, Colour key, int dx, int dy) {
    RegionBuilder out(dib.height);
    const int bpp = dib.bitsPerPixel;
    if (dib.bits == nullptr || dib.width <= 0 || dib.height <= 0) return out;
    if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return out;
    const size_t stride = dib_stride(dib.width, bpp);
    if (dib.size < stride * static_cast<size_t>(dib.height)) return out;
    if (bpp == 8 && dib.palette.empty()) return out;

    const uint32_t kr = key & 0xFF, kg = key >> 8 & 0xFF, kb = key >> 16 & 0xFF;
    const uint16_t key565 = static_cast<uint16_t>((kr >> 3) << 11 | (kg >> 2) << 5 | (kb >> 3));
    auto opaque = [&](const uint8_t* row, int x) {
        switch (bpp) {
        case 8: {
            const uint8_t index = row[x];
            if (index >= dib.palette.size()) return true;
            const uint32_t q = dib.palette[index];  // blue, green, red, reserved
            return !((q & 0xFF) == kb && (q >> 8 & 0xFF) == kg && (q >> 16 & 0xFF) == kr);
        }
        case 16: {
            const uint16_t p = static_cast<uint16_t>(row[2 * x] | row[2 * x + 1] << 8);
            return p != key565;
        }
        case 24: {
            const uint8_t* p = row + 3 * x;
            return !(p[0] == kb && p[1] == kg && p[2] == kr);
        }
        default: {
            const uint8_t* p = row + 4 * x;
            return !(p[0] == kb && p[1] == kg && p[2] == kr);
        }
        }
    };
    // Rows are stored bottom-up; the region is built top-down.
    for (int y = 0; y < dib.height; ++y) {
        const uint8_t* row = dib.bits + stride * static_cast<size_t>(dib.height - 1 - y);
        int x = 0;
        while (x < dib.width) {
            while (x < dib.width && !opaque(row, x)) ++x;
            const int start = x;
            while (x < dib.width && opaque(row, x)) ++x;
            if (x > start) out.add({start + dx, y + dy, x + dx, y + dy + 1});
        }
    }
    return out;
}

}  // namespace qx::skin
