// The skin engine's Win32 face.  Everything runs on the thread that
// installed the hook; the skin objects live in one list, newest first.
#include "skin_win32.h"

#include <ole2.h>
#include <olectl.h>

#include <algorithm>
#include <cstdio>
#include <list>
#include <memory>
#include <string>

#include "config/CU8Ini.h"
#include "language.h"
#include "qx/platform/system.h"
#include "qx/platform/wide_file.h"
#include "skin_theme.h"

namespace qx::skin {

namespace {

const wchar_t kObjectProperty[] = L"QXSkinObject";

const wchar_t* W(const Text& t) { return reinterpret_cast<const wchar_t*>(t.c_str()); }

void log(const char* text) { platform::debug_output(text); }

struct Bitmap {
    HBITMAP handle = nullptr;
    int width = 0, height = 0;
    Bitmap() = default;
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    ~Bitmap() {
        if (handle) DeleteObject(handle);
    }
    explicit operator bool() const { return handle != nullptr; }
};

// Any picture the system's loader reads, kept as our own bitmap.
bool load_picture(const Text& path, Bitmap* out) {
    if (path.empty()) return false;
    const auto bytes = platform::read_wide_file(path);
    if (!bytes || bytes->empty()) return false;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes->size());
    if (!memory) return false;
    void* p = GlobalLock(memory);
    std::copy(bytes->begin(), bytes->end(), static_cast<uint8_t*>(p));
    GlobalUnlock(memory);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
        GlobalFree(memory);
        return false;
    }
    IPicture* picture = nullptr;
    const HRESULT hr = OleLoadPicture(stream, static_cast<LONG>(bytes->size()), FALSE, IID_IPicture,
                                      reinterpret_cast<void**>(&picture));
    stream->Release();
    if (FAILED(hr) || !picture) return false;
    OLE_HANDLE handle = 0;
    short type = 0;
    HBITMAP copy = nullptr;
    if (SUCCEEDED(picture->get_Type(&type)) && type == PICTYPE_BITMAP && SUCCEEDED(picture->get_Handle(&handle)))
        copy = static_cast<HBITMAP>(CopyImage(reinterpret_cast<HBITMAP>(static_cast<uintptr_t>(handle)), IMAGE_BITMAP,
                                              0, 0, LR_CREATEDIBSECTION));
    picture->Release();
    if (!copy) return false;
    BITMAP info{};
    GetObjectW(copy, sizeof(info), &info);
    out->handle = copy;
    out->width = info.bmWidth;
    out->height = info.bmHeight;
    return true;
}

Colour system_colour(int index) { return static_cast<Colour>(GetSysColor(index)); }

ThemeColours system_defaults() {
    return {system_colour(COLOR_CAPTIONTEXT), system_colour(COLOR_INACTIVECAPTIONTEXT), system_colour(COLOR_3DFACE),
            kDefaultTransparent,              system_colour(COLOR_BTNTEXT),              system_colour(COLOR_GRAYTEXT),
            system_colour(COLOR_WINDOWFRAME), system_colour(COLOR_WINDOW)};
}

Text g_themePath;
HHOOK g_hook = nullptr;

Theme read_theme_file(bool editFaceKey) {
    auto read = [](const char* section, const char* key) {
        wchar_t buffer[1000] = {};
        const std::wstring s(section, section + std::char_traits<char>::length(section));
        const std::wstring k(key, key + std::char_traits<char>::length(key));
        GetPrivateProfileStringW(s.c_str(), k.c_str(), L"", buffer, 1000, W(g_themePath));
        return Text(reinterpret_cast<const char16_t*>(buffer));
    };
    return read_theme(read, g_themePath, system_defaults(), editFaceKey);
}

RECT to_win(const Rect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }

// Draws `source` of `bitmap` into `target`, leaving pixels of `key` out.
void draw_keyed(HDC dc, HDC memory, const Bitmap& bitmap, const Rect& source, const Rect& target, Colour key) {
    if (!bitmap || source.width() <= 0 || source.height() <= 0 || target.width() <= 0 || target.height() <= 0) return;
    HGDIOBJ old = SelectObject(memory, bitmap.handle);
    TransparentBlt(dc, target.left, target.top, target.width(), target.height(), memory, source.left, source.top,
                   source.width(), source.height(), key);
    SelectObject(memory, old);
}

// Draws without a key (the window shape is computed from these pixels).
void draw_plain(HDC dc, HDC memory, const Bitmap& bitmap, const Rect& source, const Rect& target) {
    if (!bitmap || source.width() <= 0 || source.height() <= 0 || target.width() <= 0 || target.height() <= 0) return;
    HGDIOBJ old = SelectObject(memory, bitmap.handle);
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchBlt(dc, target.left, target.top, target.width(), target.height(), memory, source.left, source.top,
               source.width(), source.height(), SRCCOPY);
    SelectObject(memory, old);
}

void fill(HDC dc, const RECT& r, Colour c) {
    HBRUSH brush = CreateSolidBrush(c);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
}

// ---- skin objects ----

class SkinObject {
public:
    SkinObject(HWND window, Kind kind) : window_(window), kind_(kind) {}
    virtual ~SkinObject() = default;
    SkinObject(const SkinObject&) = delete;
    SkinObject& operator=(const SkinObject&) = delete;

    HWND window() const { return window_; }
    Kind kind() const { return kind_; }

    bool subclass() {
        SetPropW(window_, kObjectProperty, this);
        previous_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SkinObject::dispatch)));
        if (!previous_) RemovePropW(window_, kObjectProperty);
        return previous_ != nullptr;
    }
    // Gives the window its own procedure back (when nobody subclassed it after us).
    virtual void detach() {
        if (!previous_) return;
        if (IsWindow(window_)) {
            if (GetWindowLongPtrW(window_, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&SkinObject::dispatch))
                SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
            RemovePropW(window_, kObjectProperty);
            InvalidateRect(window_, nullptr, TRUE);
        }
        previous_ = nullptr;
    }

    static LRESULT CALLBACK dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    virtual LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) { return previous(message, wParam, lParam); }
    LRESULT previous(UINT message, WPARAM wParam, LPARAM lParam) {
        return CallWindowProcW(previous_, window_, message, wParam, lParam);
    }

    HWND window_;
    Kind kind_;
    WNDPROC previous_ = nullptr;
};

std::list<std::unique_ptr<SkinObject>>& objects() {
    static std::list<std::unique_ptr<SkinObject>> list;
    return list;
}

void forget(SkinObject* object) {
    auto& list = objects();
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->get() == object) {
            list.erase(it);
            return;
        }
}

LRESULT CALLBACK SkinObject::dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* object = static_cast<SkinObject*>(GetPropW(window, kObjectProperty));
    if (!object) return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        WNDPROC previous = object->previous_;
        object->detach();
        forget(object);
        return CallWindowProcW(previous, window, message, wParam, lParam);
    }
    return object->handle(message, wParam, lParam);
}

// ---- the dialog frame ----

class FrameSkin : public SkinObject {
public:
    using SkinObject::SkinObject;

    bool load() {
        theme_ = read_theme_file(false);
        // The first bitmap that cannot be loaded (or does not fit its
        // layout) leaves the window with the system's look.
        struct Entry {
            const Text* path;
            Bitmap* bitmap;
            int rows;
        } entries[] = {{&theme_.left, &left_, 1},          {&theme_.top, &top_, 1},
                       {&theme_.right, &right_, 1},        {&theme_.bottom, &bottom_, 1},
                       {&theme_.buttonClose, &close_, kCaptionButtonRows},
                       {&theme_.buttonMax, &max_, kCaptionButtonRows},
                       {&theme_.buttonMin, &min_, kCaptionButtonRows},
                       {&theme_.buttonRestore, &restore_, kCaptionButtonRows}};
        for (auto& e : entries)
            if (!load_picture(*e.path, e.bitmap) || !bitmap_fits(e.bitmap->width, e.bitmap->height, e.rows, false))
                return false;
        metrics_ = {left_.width, top_.height, right_.width, bottom_.height, close_.width,
                    close_.height / kCaptionButtonRows};
        font_ = CreateFontW(-12, 6, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                            CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"\x5B8B\x4F53");
        faceBrush_ = CreateSolidBrush(theme_.colours.face);
        return true;
    }

    bool attach() {
        RECT client{};
        GetClientRect(window_, &client);
        keepClient_ = {client.right - client.left, client.bottom - client.top};
        if (!subclass()) return false;
        const LONG_PTR style = GetWindowLongPtrW(window_, GWL_STYLE);
        SetWindowLongPtrW(window_, GWL_STYLE, style & ~static_cast<LONG_PTR>(WS_CAPTION));
        SetWindowPos(window_, nullptr, 0, 0, 0, 0,
                     SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return true;
    }

    void detach() override {
        if (IsWindow(window_)) {
            const LONG_PTR style = GetWindowLongPtrW(window_, GWL_STYLE);
            SetWindowLongPtrW(window_, GWL_STYLE, style | WS_CAPTION);
            SetWindowRgn(window_, nullptr, TRUE);
        }
        SkinObject::detach();
        if (IsWindow(window_))
            SetWindowPos(window_, nullptr, 0, 0, 0, 0,
                         SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    ~FrameSkin() override { release(); }

protected:
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override {
        switch (message) {
        case WM_NCCALCSIZE: {
            RECT* r = wParam ? &reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam)->rgrc[0] : reinterpret_cast<RECT*>(lParam);
            const RECT w = *r;
            const Rect c = client_area(metrics_, w.right - w.left, w.bottom - w.top);
            *r = RECT{w.left + c.left, w.top + c.top, w.left + c.right, w.top + c.bottom};
            return 0;
        }
        case WM_NCHITTEST: return hit(GET_X_LPARAM_(lParam), GET_Y_LPARAM_(lParam));
        case WM_NCPAINT:
            paint_frame();
            return 0;
        case WM_SETTEXT: {
            const LRESULT r = previous(message, wParam, lParam);
            paint_frame();
            return r;
        }
        case WM_NCACTIVATE:
            active_ = wParam != FALSE;
            paint_frame();
            return TRUE;
        case WM_ACTIVATE: {
            const WORD state = LOWORD(wParam);
            active_ = state == WA_ACTIVE || state == WA_CLICKACTIVE;
            paint_frame();
            return previous(message, wParam, lParam);
        }
        case WM_NCMOUSEMOVE: {
            set_hover(button_at(GET_X_LPARAM_(lParam), GET_Y_LPARAM_(lParam)));
            if (!trackingNc_) {
                TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE | TME_NONCLIENT, window_, 0};
                trackingNc_ = TrackMouseEvent(&t) != FALSE;
            }
            return previous(message, wParam, lParam);
        }
        case WM_NCMOUSELEAVE:
            trackingNc_ = false;
            set_hover(CaptionButton::none);
            return 0;
        case WM_NCLBUTTONDOWN: {
            const CaptionButton b = button_at(GET_X_LPARAM_(lParam), GET_Y_LPARAM_(lParam));
            if (b != CaptionButton::none) {
                pressed_ = b;
                paint_frame();
                return 0;
            }
            return previous(message, wParam, lParam);
        }
        case WM_NCLBUTTONUP: {
            const CaptionButton b = button_at(GET_X_LPARAM_(lParam), GET_Y_LPARAM_(lParam));
            const CaptionButton was = pressed_;
            pressed_ = CaptionButton::none;
            paint_frame();
            if (b != CaptionButton::none && b == was) {
                click(b);
                return 0;
            }
            return previous(message, wParam, lParam);
        }
        case WM_NCRBUTTONUP:
            if (button_at(GET_X_LPARAM_(lParam), GET_Y_LPARAM_(lParam)) != CaptionButton::none) return 0;
            return previous(message, wParam, lParam);
        case WM_MOUSEMOVE:
            if (!tracking_) {
                TRACKMOUSEEVENT t{sizeof(t), TME_HOVER | TME_LEAVE, window_, HOVER_DEFAULT};
                tracking_ = TrackMouseEvent(&t) != FALSE;
            }
            return previous(message, wParam, lParam);
        case WM_MOUSEHOVER: return previous(message, wParam, lParam);
        case WM_MOUSELEAVE:
            tracking_ = false;
            set_hover(CaptionButton::none);
            return previous(message, wParam, lParam);
        case WM_LBUTTONUP:
            if (pressed_ != CaptionButton::none) {
                pressed_ = CaptionButton::none;
                paint_frame();
            }
            return previous(message, wParam, lParam);
        case WM_COMMAND:
            // A system-menu command arrives without a control; the dialog's
            // own IDOK and IDCANCEL (Enter and Escape) also come without
            // one and must stay commands.
            if (lParam == 0 && HIWORD(wParam) == 0 && LOWORD(wParam) >= SC_SIZE)
                return SendMessageW(window_, WM_SYSCOMMAND, wParam, 0);
            return previous(message, wParam, lParam);
        case WM_GETMINMAXINFO: {
            const LRESULT r = previous(message, wParam, lParam);
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            const auto [w, h] = minimum_track_size(metrics_);
            info->ptMinTrackSize = POINT{w, h};
            return r;
        }
        case WM_SIZE: {
            const LRESULT r = previous(message, wParam, lParam);
            shape();
            paint_frame();
            return r;
        }
        case WM_SHOWWINDOW:
            if (wParam && !shownOnce_) {
                shownOnce_ = true;
                SetWindowPos(window_, nullptr, 0, 0, keepClient_.cx + metrics_.left + metrics_.right,
                             keepClient_.cy + metrics_.top + metrics_.bottom,
                             SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
                shape();
            }
            return previous(message, wParam, lParam);
        case WM_CTLCOLORDLG: return reinterpret_cast<LRESULT>(faceBrush_);
        case WM_DESTROY:
            SetWindowRgn(window_, nullptr, FALSE);
            return previous(message, wParam, lParam);
        default: return previous(message, wParam, lParam);
        }
    }

private:
    static int GET_X_LPARAM_(LPARAM l) { return static_cast<int>(static_cast<short>(LOWORD(l))); }
    static int GET_Y_LPARAM_(LPARAM l) { return static_cast<int>(static_cast<short>(HIWORD(l))); }

    void release() {
        if (font_) DeleteObject(font_);
        if (faceBrush_) DeleteObject(faceBrush_);
        font_ = nullptr;
        faceBrush_ = nullptr;
    }

    SIZE window_size() const {
        RECT r{};
        GetWindowRect(window_, &r);
        return {r.right - r.left, r.bottom - r.top};
    }

    CaptionButtons buttons(int width) const {
        const LONG_PTR style = GetWindowLongPtrW(window_, GWL_STYLE);
        return caption_buttons(metrics_, width, (style & WS_MAXIMIZEBOX) != 0, (style & WS_MINIMIZEBOX) != 0);
    }

    CaptionButton button_at(int screenX, int screenY) const {
        RECT r{};
        GetWindowRect(window_, &r);
        const SIZE s = window_size();
        switch (hit_test(metrics_, s.cx, s.cy, screenX - r.left, screenY - r.top, buttons(s.cx), false)) {
        case Hit::close: return CaptionButton::close;
        case Hit::maximize: return CaptionButton::maximize;
        case Hit::minimize: return CaptionButton::minimize;
        default: return CaptionButton::none;
        }
    }

    LRESULT hit(int screenX, int screenY) const {
        RECT r{};
        GetWindowRect(window_, &r);
        const SIZE s = window_size();
        const bool sizable = (GetWindowLongPtrW(window_, GWL_STYLE) & WS_THICKFRAME) != 0;
        switch (hit_test(metrics_, s.cx, s.cy, screenX - r.left, screenY - r.top, buttons(s.cx), sizable)) {
        case Hit::client: return HTCLIENT;
        case Hit::caption: return HTCAPTION;
        case Hit::left: return HTLEFT;
        case Hit::right: return HTRIGHT;
        case Hit::top: return HTTOP;
        case Hit::bottom: return HTBOTTOM;
        case Hit::topLeft: return HTTOPLEFT;
        case Hit::topRight: return HTTOPRIGHT;
        case Hit::bottomLeft: return HTBOTTOMLEFT;
        case Hit::bottomRight: return HTBOTTOMRIGHT;
        case Hit::close: return HTCLOSE;
        case Hit::maximize: return HTMAXBUTTON;
        case Hit::minimize: return HTMINBUTTON;
        }
        return HTNOWHERE;
    }

    void set_hover(CaptionButton b) {
        if (b == hover_) return;
        hover_ = b;
        paint_frame();
    }

    void click(CaptionButton b) {
        switch (b) {
        case CaptionButton::close: SendMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0); break;
        case CaptionButton::minimize: SendMessageW(window_, WM_SYSCOMMAND, SC_MINIMIZE, 0); break;
        case CaptionButton::maximize:
            SendMessageW(window_, WM_SYSCOMMAND, IsZoomed(window_) ? SC_RESTORE : SC_MAXIMIZE, 0);
            break;
        case CaptionButton::none: break;
        }
    }

    int row_of(CaptionButton b) const { return pressed_ == b ? 2 : hover_ == b ? 1 : 0; }

    // The caption strip (buttons, icon and text) into `dc` at the origin.
    void render_caption(HDC dc, HDC memory, int width, bool keyed) {
        const Rect strip{0, 0, width, metrics_.top};
        for (const auto& part : three_part({0, 0, top_.width, top_.height}, strip)) {
            if (keyed) {
                draw_keyed(dc, memory, top_, part.source, part.target, theme_.colours.transparent);
            } else {
                draw_plain(dc, memory, top_, part.source, part.target);
            }
        }
        const CaptionButtons b = buttons(width);
        auto button = [&](const std::optional<Rect>& where, const Bitmap& bitmap, CaptionButton which) {
            if (!where) return;
            draw_keyed(dc, memory, bitmap, bitmap_row(bitmap.width, bitmap.height, kCaptionButtonRows, row_of(which)),
                       *where, theme_.colours.transparent);
        };
        button(b.close, close_, CaptionButton::close);
        button(b.maximize, IsZoomed(window_) ? restore_ : max_, CaptionButton::maximize);
        button(b.minimize, min_, CaptionButton::minimize);
        int textLeft = metrics_.left + 6;
        HICON icon = reinterpret_cast<HICON>(SendMessageW(window_, WM_GETICON, ICON_SMALL, 0));
        if (icon) {
            DrawIconEx(dc, textLeft, (metrics_.top - 16) / 2, icon, 16, 16, 0, nullptr, DI_NORMAL);
            textLeft += 20;
        }
        wchar_t title[256] = {};
        GetWindowTextW(window_, title, 256);
        HGDIOBJ oldFont = SelectObject(dc, font_);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, active_ ? theme_.colours.captionText : theme_.colours.captionGrayText);
        int right = width - metrics_.right;
        if (b.minimize) right = b.minimize->left;
        else if (b.maximize) right = b.maximize->left;
        else if (b.close) right = b.close->left;
        RECT text{textLeft, 0, right - 4, metrics_.top};
        DrawTextW(dc, title, -1, &text, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
        SelectObject(dc, oldFont);
    }

    void paint_frame() {
        if (!IsWindow(window_)) return;
        const SIZE s = window_size();
        if (s.cx <= 0 || s.cy <= 0) return;
        HDC windowDc = GetWindowDC(window_);
        if (!windowDc) return;
        HDC dc = CreateCompatibleDC(windowDc);
        HDC memory = CreateCompatibleDC(windowDc);
        HBITMAP canvas = CreateCompatibleBitmap(windowDc, s.cx, s.cy);
        HGDIOBJ oldCanvas = SelectObject(dc, canvas);
        fill(dc, RECT{0, 0, s.cx, s.cy}, theme_.colours.face);
        render_caption(dc, memory, s.cx, true);
        const int middleTop = metrics_.top, middleBottom = s.cy - metrics_.bottom;
        draw_keyed(dc, memory, left_, {0, 0, left_.width, left_.height}, {0, middleTop, metrics_.left, middleBottom},
                   theme_.colours.transparent);
        draw_keyed(dc, memory, right_, {0, 0, right_.width, right_.height},
                   {s.cx - metrics_.right, middleTop, s.cx, middleBottom}, theme_.colours.transparent);
        for (const auto& part : three_part({0, 0, bottom_.width, bottom_.height}, {0, middleBottom, s.cx, s.cy}))
            draw_keyed(dc, memory, bottom_, part.source, part.target, theme_.colours.transparent);
        const Rect client = client_area(metrics_, s.cx, s.cy);
        ExcludeClipRect(windowDc, client.left, client.top, client.right, client.bottom);
        BitBlt(windowDc, 0, 0, s.cx, s.cy, dc, 0, 0, SRCCOPY);
        SelectObject(dc, oldCanvas);
        DeleteObject(canvas);
        DeleteDC(memory);
        DeleteDC(dc);
        ReleaseDC(window_, windowDc);
    }

    // The opaque pixels of a strip rendered into a 32-bit bottom-up DIB.
    RegionBuilder strip_runs(int width, int height, int dy, bool caption) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HDC screen = GetDC(nullptr);
        HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HDC dc = CreateCompatibleDC(screen);
        HDC memory = CreateCompatibleDC(screen);
        ReleaseDC(nullptr, screen);
        RegionBuilder runs(height);
        if (dib && bits) {
            HGDIOBJ old = SelectObject(dc, dib);
            fill(dc, RECT{0, 0, width, height}, theme_.colours.transparent);
            if (caption) {
                render_caption(dc, memory, width, false);
            } else {
                for (const auto& part : three_part({0, 0, bottom_.width, bottom_.height}, {0, 0, width, height}))
                    draw_plain(dc, memory, bottom_, part.source, part.target);
            }
            GdiFlush();
            DibView view;
            view.width = width;
            view.height = height;
            view.bitsPerPixel = 32;
            view.bits = static_cast<const uint8_t*>(bits);
            view.size = dib_stride(width, 32) * static_cast<size_t>(height);
            runs = opaque_runs(view, theme_.colours.transparent, 0, dy);
            SelectObject(dc, old);
        }
        if (dib) DeleteObject(dib);
        DeleteDC(memory);
        DeleteDC(dc);
        return runs;
    }

    static HRGN region_of(const RegionBuilder& runs) {
        const auto& rects = runs.rects();
        std::vector<uint8_t> data(sizeof(RGNDATAHEADER) + rects.size() * sizeof(RECT));
        auto* header = reinterpret_cast<RGNDATAHEADER*>(data.data());
        header->dwSize = sizeof(RGNDATAHEADER);
        header->iType = RDH_RECTANGLES;
        header->nCount = static_cast<DWORD>(rects.size());
        header->nRgnSize = static_cast<DWORD>(rects.size() * sizeof(RECT));
        header->rcBound = to_win(runs.bounds());
        auto* out = reinterpret_cast<RECT*>(data.data() + sizeof(RGNDATAHEADER));
        for (size_t i = 0; i < rects.size(); ++i) out[i] = to_win(rects[i]);
        return ExtCreateRegion(nullptr, static_cast<DWORD>(data.size()), reinterpret_cast<RGNDATA*>(data.data()));
    }

    void shape() {
        const SIZE s = window_size();
        if (s.cx <= 0 || s.cy <= metrics_.top + metrics_.bottom) return;
        HRGN window = CreateRectRgn(0, metrics_.top, s.cx, s.cy - metrics_.bottom);
        HRGN top = region_of(strip_runs(s.cx, metrics_.top, 0, true));
        HRGN bottom = region_of(strip_runs(s.cx, metrics_.bottom, s.cy - metrics_.bottom, false));
        if (top) CombineRgn(window, window, top, RGN_XOR);
        if (bottom) CombineRgn(window, window, bottom, RGN_XOR);
        if (top) DeleteObject(top);
        if (bottom) DeleteObject(bottom);
        if (!SetWindowRgn(window_, window, TRUE)) DeleteObject(window);  // the system owns it on success
    }

    Theme theme_;
    Bitmap left_, top_, right_, bottom_, close_, max_, min_, restore_;
    FrameMetrics metrics_;
    HFONT font_ = nullptr;
    HBRUSH faceBrush_ = nullptr;
    SIZE keepClient_{};
    bool active_ = true, shownOnce_ = false, tracking_ = false, trackingNc_ = false;
    CaptionButton hover_ = CaptionButton::none, pressed_ = CaptionButton::none;
};

// ---- buttons, labels, edits ----

class ControlSkin : public SkinObject {
public:
    using SkinObject::SkinObject;

    bool load() {
        theme_ = read_theme_file(kind_ == Kind::edit);
        if (kind_ == Kind::push) {
            if (!load_picture(theme_.pushButton, &bitmap_) || !bitmap_fits(bitmap_.width, bitmap_.height, kPushRows, true))
                return false;
        } else if (kind_ == Kind::check || kind_ == Kind::radio) {
            const Text& path = kind_ == Kind::check ? theme_.checkButton : theme_.radioButton;
            if (!load_picture(path, &bitmap_) || !bitmap_fits(bitmap_.width, bitmap_.height, kCheckRows, false))
                return false;
        } else if (kind_ == Kind::label) {
            // Only text labels are drawn; icons, pictures and frames keep their own painting.
            const LONG_PTR type = GetWindowLongPtrW(window_, GWL_STYLE) & SS_TYPEMASK;
            if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT && type != SS_LEFTNOWORDWRAP) return false;
        }
        return true;
    }

protected:
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override {
        switch (message) {
        case WM_PAINT:
            if (kind_ == Kind::edit) return previous(message, wParam, lParam);
            paint();
            return 0;
        case WM_ERASEBKGND:
            if (kind_ == Kind::edit) return previous(message, wParam, lParam);
            return 1;
        case WM_NCPAINT:
            if (kind_ == Kind::edit) {
                const LRESULT r = previous(message, wParam, lParam);
                edit_border();
                return r;
            }
            return previous(message, wParam, lParam);
        case WM_MOUSEMOVE:
            if (!hover_) {
                hover_ = true;
                TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE, window_, 0};
                TrackMouseEvent(&t);
                InvalidateRect(window_, nullptr, FALSE);
            }
            return previous(message, wParam, lParam);
        case WM_MOUSELEAVE:
            hover_ = false;
            InvalidateRect(window_, nullptr, FALSE);
            return previous(message, wParam, lParam);
        case BM_SETSTATE:
        case BM_SETCHECK:
        case BM_SETSTYLE:
        case WM_ENABLE:
        case WM_SETTEXT:
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_UPDATEUISTATE: {
            const LRESULT r = previous(message, wParam, lParam);
            if (IsWindow(window_)) InvalidateRect(window_, nullptr, FALSE);
            return r;
        }
        default: return previous(message, wParam, lParam);
        }
    }

private:
    void paint() {
        PAINTSTRUCT ps;
        HDC target = BeginPaint(window_, &ps);
        RECT r{};
        GetClientRect(window_, &r);
        const int w = r.right - r.left, h = r.bottom - r.top;
        if (w <= 0 || h <= 0) {
            EndPaint(window_, &ps);
            return;
        }
        HDC dc = CreateCompatibleDC(target);
        HDC memory = CreateCompatibleDC(target);
        HBITMAP canvas = CreateCompatibleBitmap(target, w, h);
        HGDIOBJ oldCanvas = SelectObject(dc, canvas);
        const bool group = kind_ == Kind::group;
        if (group) {
            BitBlt(dc, 0, 0, w, h, target, 0, 0, SRCCOPY);  // keep what lies behind the box
        } else {
            // The parent's background behind the control, so that keyed
            // corners and labels sit on the page as the page is painted.
            HWND parent = GetParent(window_);
            const UINT ask = kind_ == Kind::push ? WM_CTLCOLORBTN : WM_CTLCOLORSTATIC;
            HBRUSH brush = parent ? reinterpret_cast<HBRUSH>(SendMessageW(parent, ask, reinterpret_cast<WPARAM>(dc),
                                                                          reinterpret_cast<LPARAM>(window_)))
                                  : nullptr;
            if (brush) FillRect(dc, &r, brush);
            else fill(dc, r, theme_.colours.face);
        }

        wchar_t text[512] = {};
        GetWindowTextW(window_, text, 512);
        HFONT font = reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0));
        HGDIOBJ oldFont = font ? SelectObject(dc, font) : nullptr;
        const bool enabled = IsWindowEnabled(window_) != FALSE;
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, enabled ? theme_.colours.buttonText : theme_.colours.buttonDisableText);
        const LONG_PTR style = GetWindowLongPtrW(window_, GWL_STYLE);
        const LRESULT state = kind_ == Kind::label ? 0 : SendMessageW(window_, BM_GETSTATE, 0, 0);
        ButtonState s;
        s.disabled = !enabled;
        s.pressed = (state & BST_PUSHED) != 0;
        s.hover = hover_;
        s.checked = (state & BST_CHECKED) != 0;
        s.isDefault = (style & 0xF) == BS_DEFPUSHBUTTON || (state & BST_FOCUS) != 0;
        const UINT prefix = (SendMessageW(window_, WM_QUERYUISTATE, 0, 0) & UISF_HIDEACCEL) ? DT_HIDEPREFIX : 0;

        switch (kind_) {
        case Kind::push: {
            const Rect source = bitmap_row(bitmap_.width, bitmap_.height, kPushRows, push_row(s));
            for (const auto& part : nine_part(source, {0, 0, w, h}))
                draw_keyed(dc, memory, bitmap_, part.source, part.target, theme_.colours.transparent);
            RECT t{4, 2, w - 4, h - 2};
            if (s.pressed) OffsetRect(&t, 1, 1);
            DrawTextW(dc, text, -1, &t, DT_CENTER | DT_VCENTER | DT_SINGLELINE | prefix);
            break;
        }
        case Kind::check:
        case Kind::radio: {
            const int box = bitmap_.height / kCheckRows;
            const Rect source = bitmap_row(bitmap_.width, bitmap_.height, kCheckRows, check_row(s));
            const int top = (h - box) / 2;
            draw_keyed(dc, memory, bitmap_, source, {0, top, bitmap_.width, top + box}, theme_.colours.transparent);
            RECT t{bitmap_.width + 4, 0, w, h};
            DrawTextW(dc, text, -1, &t, DT_LEFT | DT_VCENTER | DT_SINGLELINE | prefix);
            break;
        }
        case Kind::group: {
            SIZE extent{};
            GetTextExtentPoint32W(dc, text, lstrlenW(text), &extent);
            const int line = extent.cy / 2;
            HPEN pen = CreatePen(PS_SOLID, 1, theme_.colours.windowBorder);
            HGDIOBJ oldPen = SelectObject(dc, pen);
            HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
            RoundRect(dc, 0, line, w, h, 6, 6);
            SelectObject(dc, oldBrush);
            SelectObject(dc, oldPen);
            DeleteObject(pen);
            if (text[0]) {
                RECT t{8, 0, 12 + extent.cx, extent.cy};
                fill(dc, t, theme_.colours.face);
                t.left += 2;
                DrawTextW(dc, text, -1, &t, DT_LEFT | DT_SINGLELINE | prefix);
            }
            break;
        }
        case Kind::label: {
            const LONG_PTR type = style & SS_TYPEMASK;
            UINT format = type == SS_CENTER ? DT_CENTER : type == SS_RIGHT ? DT_RIGHT : DT_LEFT;
            format |= type == SS_LEFTNOWORDWRAP ? DT_SINGLELINE : DT_WORDBREAK;
            if (style & SS_NOPREFIX) format |= DT_NOPREFIX;
            if (style & SS_CENTERIMAGE) format = (format & ~static_cast<UINT>(DT_WORDBREAK)) | DT_SINGLELINE | DT_VCENTER;
            RECT t = r;
            DrawTextW(dc, text, -1, &t, format | DT_EDITCONTROL);
            break;
        }
        default: break;
        }
        if (oldFont) SelectObject(dc, oldFont);
        BitBlt(target, 0, 0, w, h, dc, 0, 0, SRCCOPY);
        SelectObject(dc, oldCanvas);
        DeleteObject(canvas);
        DeleteDC(memory);
        DeleteDC(dc);
        EndPaint(window_, &ps);
    }

    void edit_border() {
        const LONG_PTR style = GetWindowLongPtrW(window_, GWL_STYLE);
        const LONG_PTR ex = GetWindowLongPtrW(window_, GWL_EXSTYLE);
        if (!(style & WS_BORDER) && !(ex & WS_EX_CLIENTEDGE)) return;
        HDC dc = GetWindowDC(window_);
        RECT r{};
        GetWindowRect(window_, &r);
        OffsetRect(&r, -r.left, -r.top);
        HBRUSH border = CreateSolidBrush(theme_.colours.windowBorder);
        FrameRect(dc, &r, border);
        DeleteObject(border);
        if (ex & WS_EX_CLIENTEDGE) {
            InflateRect(&r, -1, -1);
            HBRUSH inner = CreateSolidBrush(theme_.colours.window);
            FrameRect(dc, &r, inner);
            DeleteObject(inner);
        }
        ReleaseDC(window_, dc);
    }

    Theme theme_;
    Bitmap bitmap_;
    bool hover_ = false;
};

void skin_window(HWND window) {
    if (GetPropW(window, kObjectProperty)) return;
    wchar_t className[64] = {};
    if (!GetClassNameW(window, className, 64)) return;
    const uint32_t style = static_cast<uint32_t>(GetWindowLongPtrW(window, GWL_STYLE));
    const auto kind = kind_for_window(reinterpret_cast<const char16_t*>(className), style);
    if (!kind) return;
    std::unique_ptr<SkinObject> object;
    if (*kind == Kind::frame) {
        auto frame = std::make_unique<FrameSkin>(window, *kind);
        if (!frame->load() || !frame->attach()) return;
        object = std::move(frame);
    } else {
        auto control = std::make_unique<ControlSkin>(window, *kind);
        if (!control->load() || !control->subclass()) {
            control->detach();
            return;
        }
        object = std::move(control);
    }
    objects().push_front(std::move(object));
}

LRESULT CALLBACK call_window_hook(int code, WPARAM wParam, LPARAM lParam) {
    if (code >= 0) {
        const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (message && message->message == WM_CREATE) skin_window(message->hwnd);
    }
    return CallNextHookEx(g_hook, code, wParam, lParam);
}

}  // namespace

HHOOK InstallSkin(const std::u16string& themePath) {
    // Without a theme file the tool keeps the system's look throughout.
    if (GetFileAttributesW(W(themePath)) == INVALID_FILE_ATTRIBUTES) return nullptr;
    g_themePath = themePath;
    // Windows that exist already keep the system's look; the hook only sees
    // the ones created from now on.
    if (!g_hook) g_hook = SetWindowsHookExW(WH_CALLWNDPROC, call_window_hook, nullptr, GetCurrentThreadId());
    return g_hook;
}

void LoadSkin(const std::u16string& programDirectory, const std::u16string& configPath) {
    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    EnumDisplaySettingsW(nullptr, ENUM_REGISTRY_SETTINGS, &mode);
    char line[96];
    std::snprintf(line, sizeof(line), "[ManagerTools] DevMode.dmBitsPerPel = %d\n", static_cast<int>(mode.dmBitsPerPel));
    log(line);
    if (mode.dmBitsPerPel < 16) {
        log("[ManagerTools] DevMode.dmBitsPerPel < 16, Return. \n");
        return;
    }
    kernel::CU8Ini ini;
    if (language::load_ini(ini, configPath) != 0) {
        log("[ManagerTools] LoadSkin->LoadFile return FALSE \n");
        return;
    }
    log("[ManagerTools] LoadSkin->LoadFile Success! \n");
    const Text relative = language::ini_text(ini, "SkinDefaultSetting", "SkinRelatePath", 260, u"Skins\\default\\");
    const Text path = theme_path(programDirectory, relative);
    log(("[ManagerTools] " + language::to_utf8(path) + "\n").c_str());
    if (!InstallSkin(path)) log("[ManagerTools] LoadSkin->InstallSkin return FALSE \n");
    log("[ManagerTools] LoadSkin->InstallSkin Success! \n");
}

void RemoveSkin() {
    auto& list = objects();
    while (!list.empty()) {
        std::unique_ptr<SkinObject> object = std::move(list.front());
        list.pop_front();
        if (IsWindow(object->window())) object->detach();
    }
    if (g_hook) UnhookWindowsHookEx(g_hook);
    g_hook = nullptr;
}

int SkinObjectCount(int kind) {
    int n = 0;
    for (const auto& o : objects())
        if (static_cast<int>(o->kind()) == kind) ++n;
    return n;
}

bool IsSkinned(HWND window) { return GetPropW(window, kObjectProperty) != nullptr; }

}  // namespace qx::skin
