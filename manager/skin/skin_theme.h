// The skin engine's portable part: what a theme file says (bitmap names and
// colours), which skin kind a window gets from its class and style, how the
// bitmaps are cut into state rows and nine-part frames, the dialog frame's
// layout and hit-testing, and the window shape (opaque pixel runs of a
// device-independent bitmap with a colour key).  The Win32 face draws with
// these; nothing here touches a window.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::skin {

using Text = std::u16string;
// A colour as the system stores it: red | green << 8 | blue << 16.
using Colour = uint32_t;

constexpr Colour rgb(uint32_t r, uint32_t g, uint32_t b) { return (r & 0xFF) | (g & 0xFF) << 8 | (b & 0xFF) << 16; }
constexpr Colour kDefaultTransparent = rgb(255, 0, 255);

// "R G B" (decimal 0..255, separated by single spaces, tabs or line feeds).
// Empty or malformed text (a missing part, a number over 255, a stray
// character, doubled separators) gives nothing: the caller keeps its default.
std::optional<Colour> parse_colour(std::u16string_view value);

enum class Kind : int { push = 0, check = 1, radio = 2, group = 3, label = 4, edit = 5, frame = 9 };

// The kind of a "Button" from its style's low bits (see the kind table in
// skin_theme.cpp).
Kind button_kind(uint32_t style);

// Which skin a newly created window gets: "#32770" with both caption bits,
// "Button", "Static", "Edit" (class names without regard to case); none for
// every other class (IME windows, OLE helper windows, controls we do not draw).
std::optional<Kind> kind_for_window(std::u16string_view className, uint32_t style);

// ---- the theme file ----

// Looks up [section] key; an absent key gives an empty text.
using ProfileReader = std::function<Text(const char* section, const char* key)>;

struct ThemeColours {
    Colour captionText, captionGrayText, face, transparent, buttonText, buttonDisableText, windowBorder, window;
};

struct Theme {
    // Bitmap paths, empty when the theme names none.
    Text left, top, right, bottom;
    Text buttonMax, buttonMin, buttonClose, buttonRestore, buttonHelp;
    Text pushButton, checkButton, radioButton;
    ThemeColours colours;
};

// Reads every key of the theme at `themePath` through `read`; colours that
// are absent or malformed keep `defaults` (the system colours, and magenta
// for the key).  `editFaceKey` is how the edit skin spells the face key.
Theme read_theme(const ProfileReader& read, const Text& themePath, const ThemeColours& defaults,
                 bool editFaceKey = false);

// The theme file: the program's directory + `skinRelatePath` (empty means
// "Skins\default\") + "theme.ini".
Text theme_path(const Text& programDirectory, const Text& skinRelatePath);

// A bitmap named in the theme is looked for in the theme's own folder: the
// folder up to and including its last separator, "/", then the value's file
// name part.  An empty value stays empty.
Text theme_bitmap_path(const Text& themePath, const Text& value);

// A tiny reader for theme text (UTF-8, "[section]", "key = value", ';'
// comments), for systems without a profile service and for tests.
ProfileReader profile_from_text(std::string_view utf8);

// ---- bitmap layouts ----

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

constexpr int kPushRows = 5;
constexpr int kCheckRows = 8;
constexpr int kCaptionButtonRows = 3;  // normal, hover, pressed
constexpr int kCorner = 4;

// Whether a bitmap is big enough for its layout: `rows` rows of at least one
// pixel, and for nine-part drawing two corners each way.  An undersized
// bitmap leaves its window unskinned rather than drawing garbage.
bool bitmap_fits(int width, int height, int rows, bool ninePart);

struct ButtonState {
    bool disabled = false, pressed = false, hover = false, isDefault = false, checked = false;
};
// Push-button row: 3 disabled, 2 pressed, 1 hover, 4 default, 0 normal.
int push_row(const ButtonState& s);
// Check box and radio row: state 0 normal, 1 hover, 2 pressed, 3 disabled, plus 4 when checked.
int check_row(const ButtonState& s);
// Row `row` of a bitmap of `rows` equal rows.
Rect bitmap_row(int width, int height, int rows, int row);

struct Blit {
    Rect source, target;
};
// Nine-part drawing of `source` into `target`: 4-pixel corners copied, the
// edges and the centre stretched.  Pieces of zero size are left out.
std::vector<Blit> nine_part(const Rect& source, const Rect& target, int corner = kCorner);
// Three-part horizontal drawing (caption strip, bottom border): the left and
// right thirds of the bitmap copied, the middle third stretched.
std::vector<Blit> three_part(const Rect& source, const Rect& target);

// ---- the dialog frame ----

struct FrameMetrics {
    int left = 0, top = 0, right = 0, bottom = 0;  // border widths/heights from the bitmaps
    int buttonWidth = 0, buttonHeight = 0;         // one caption-button image
};

enum class CaptionButton { none, close, maximize, minimize };
enum class Hit { client, caption, left, right, top, bottom, topLeft, topRight, bottomLeft, bottomRight, close,
                 maximize, minimize };

// Caption buttons, right to left, 2 pixels apart, centred in the caption
// strip; which ones exist follows the window's style.
struct CaptionButtons {
    std::optional<Rect> close, maximize, minimize;
};
CaptionButtons caption_buttons(const FrameMetrics& m, int windowWidth, bool hasMax, bool hasMin);

// Hit test in window coordinates; `sizable` turns the borders into resize edges.
Hit hit_test(const FrameMetrics& m, int windowWidth, int windowHeight, int x, int y, const CaptionButtons& buttons,
             bool sizable);

// The client rectangle inside the theme's borders.
Rect client_area(const FrameMetrics& m, int windowWidth, int windowHeight);

// Minimum tracking size: 200 wide and the top plus bottom border tall.
std::pair<int, int> minimum_track_size(const FrameMetrics& m);

// ---- window shape ----

// A device-independent pixel buffer as the system hands it out: rows
// bottom-up, each padded to 4 bytes; 8 bits go through `palette`
// (blue, green, red, reserved per entry).
struct DibView {
    int width = 0, height = 0, bitsPerPixel = 0;
    const uint8_t* bits = nullptr;
    size_t size = 0;  // bytes available at `bits`
    std::vector<uint32_t> palette;
};

size_t dib_stride(int width, int bitsPerPixel);

// Region rectangles grow like the system's region-data buffer: room for one
// rectangle per row at first, then 40 more whenever it is full.
class RegionBuilder {
public:
    explicit RegionBuilder(int rows);
    void add(const Rect& r);
    const std::vector<Rect>& rects() const { return rects_; }
    size_t capacity() const { return capacity_; }
    Rect bounds() const;

private:
    std::vector<Rect> rects_;
    size_t capacity_;
};

// Every maximal run of pixels whose colour differs from `key`, as
// one-pixel-high rectangles in top-down coordinates offset by (dx, dy).
// A buffer too small for its size, or an unsupported depth, gives nothing.
RegionBuilder opaque_runs(const DibView& dib, Colour key, int dx = 0, int dy = 0);

}  // namespace qx::skin
