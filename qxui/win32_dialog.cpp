#include "win32_dialog.h"

#include <commctrl.h>

#include <algorithm>
#include <mutex>

namespace qx::qxui::win32 {
namespace {

constexpr UINT kWorkDone = WM_APP + 1;
constexpr UINT_PTR kTimer = 1;
constexpr uint32_t kGeneralFailure = 0x2u;

// Layout in dialog units.
constexpr short kWidth = 270;
constexpr short kMargin = 7;
constexpr short kLabelWidth = 100;
constexpr short kFieldX = kMargin + kLabelWidth + 4;
constexpr short kFieldWidth = kWidth - kFieldX - kMargin;
constexpr short kFullWidth = kWidth - 2 * kMargin;
constexpr short kButtonWidth = 56;

const wchar_t* wide(const Text& t) { return reinterpret_cast<const wchar_t*>(t.c_str()); }

HINSTANCE this_module() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&this_module)), &self);
    return self;
}

void init_common_controls() {
    static std::once_flag once;
    std::call_once(once, [] {
        INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
    });
}

// A dialog template in memory: DLGTEMPLATE, then one DLGITEMTEMPLATE per
// control, each on a 4-byte boundary, texts as zero-terminated UTF-16.
class TemplateWriter {
public:
    void header(DWORD style, short cx, short cy, const Text& title, WORD items) {
        dword(style);
        dword(0);
        word(items);
        word(0), word(0), word(static_cast<WORD>(cx)), word(static_cast<WORD>(cy));
        word(0);  // no menu
        word(0);  // the dialog class
        text(title);
        word(9);  // DS_SETFONT: point size and face
        text(u"MS Shell Dlg");
    }
    // `atom` 0x80 button, 0x81 edit, 0x82 static, 0x83 list box; or a class name.
    void item(DWORD style, short x, short y, short cx, short cy, int id, WORD atom, const Text& className,
              const Text& title) {
        if (words_.size() % 2) words_.push_back(0);
        dword(style | WS_CHILD | WS_VISIBLE);
        dword(0);
        word(static_cast<WORD>(x)), word(static_cast<WORD>(y)), word(static_cast<WORD>(cx)), word(static_cast<WORD>(cy));
        word(static_cast<WORD>(id));
        if (atom) {
            word(0xFFFF);
            word(atom);
        } else {
            text(className);
        }
        text(title);
        word(0);  // no creation data
    }
    std::vector<uint32_t> done() const {
        std::vector<uint32_t> out((words_.size() + 1) / 2, 0);
        std::copy(words_.begin(), words_.end(), reinterpret_cast<WORD*>(out.data()));
        return out;
    }

private:
    void word(WORD w) { words_.push_back(w); }
    void dword(DWORD d) {
        word(LOWORD(d));
        word(HIWORD(d));
    }
    void text(const Text& t) {
        for (char16_t c : t) words_.push_back(static_cast<WORD>(c));
        words_.push_back(0);
    }
    std::vector<WORD> words_;
};

// Lines a text takes across the full width (a rough count: the dialog
// font fits about 60 Latin or 30 CJK characters on one line).
short lines_of(const Text& t) {
    int units = 0, lines = 1;
    for (char16_t c : t) {
        if (c == u'\n') {
            ++lines;
            units = 0;
            continue;
        }
        units += c >= 0x2E80 ? 2 : 1;
        if (units > 62) {
            ++lines;
            units = 0;
        }
    }
    return static_cast<short>(std::min(lines, 8));
}

}  // namespace

Dialog::Dialog(Text title, std::vector<Row> rows, Buttons buttons, const QXUI_CHAR* languagePath)
    : languagePath_(languagePath), title_(std::move(title)), rows_(std::move(rows)), buttons_(buttons) {}

Dialog::~Dialog() {
    if (worker_.joinable()) worker_.join();
}

std::vector<uint32_t> Dialog::build_template() const {
    struct Item {
        DWORD style;
        short x, y, cx, cy;
        int id;
        WORD atom;
        Text className, title;
    };
    std::vector<Item> items;
    short y = kMargin;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const Row& r = rows_[i];
        const int id = kFirstRow + static_cast<int>(i);
        switch (r.kind) {
        case RowKind::text:
            if (r.value.empty()) {
                const short h = static_cast<short>(10 * lines_of(r.label));
                items.push_back({SS_LEFT, kMargin, y, kFullWidth, h, id, 0x82, {}, r.label});
                y = static_cast<short>(y + h + 4);
            } else {
                items.push_back({SS_LEFT, kMargin, y, kLabelWidth, 10, -1, 0x82, {}, r.label});
                items.push_back({SS_LEFT | SS_NOPREFIX, kFieldX, y, kFieldWidth, 10, id, 0x82, {}, r.value});
                y = static_cast<short>(y + 14);
            }
            break;
        case RowKind::edit:
        case RowKind::secret:
            items.push_back({SS_LEFT, kMargin, static_cast<short>(y + 2), kLabelWidth, 10, -1, 0x82, {}, r.label});
            items.push_back({static_cast<DWORD>(WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL |
                                                (r.kind == RowKind::secret ? ES_PASSWORD : 0)),
                             kFieldX, y, kFieldWidth, 14, id, 0x81, {}, r.kind == RowKind::edit ? r.value : Text()});
            y = static_cast<short>(y + 18);
            break;
        case RowKind::list:
            if (!r.label.empty()) {
                items.push_back({SS_LEFT, kMargin, y, kFullWidth, 10, -1, 0x82, {}, r.label});
                y = static_cast<short>(y + 12);
            }
            items.push_back({static_cast<DWORD>(WS_BORDER | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT),
                             kMargin, y, kFullWidth, 64, id, 0x83, {}, {}});
            y = static_cast<short>(y + 68);
            break;
        case RowKind::progress:
            items.push_back({WS_BORDER, kMargin, y, kFullWidth, 10, id, 0, u"msctls_progress32", {}});
            y = static_cast<short>(y + 14);
            break;
        }
    }
    items.push_back({SS_LEFT | SS_NOPREFIX, kMargin, y, kFullWidth, 20, kMessage, 0x82, {}, {}});
    y = static_cast<short>(y + 22);
    items.push_back({SS_LEFT, kMargin, y, kFullWidth - 2 * kButtonWidth - 8, 10, kCountdown, 0x82, {}, {}});
    const Text okText = ui_text(languagePath_, "OK"), cancelText = ui_text(languagePath_, "Cancel");
    short x = kWidth - kMargin - kButtonWidth;
    if (buttons_.cancel) {
        items.push_back({WS_TABSTOP | BS_PUSHBUTTON, x, y, kButtonWidth, 14, IDCANCEL, 0x80, {}, cancelText});
        x = static_cast<short>(x - kButtonWidth - 6);
    }
    if (buttons_.ok)
        items.push_back({WS_TABSTOP | BS_DEFPUSHBUTTON, x, y, kButtonWidth, 14, IDOK, 0x80, {}, okText});
    y = static_cast<short>(y + 14 + kMargin);

    TemplateWriter w;
    w.header(DS_SETFONT | DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION | WS_SYSMENU, kWidth, y,
             title_, static_cast<WORD>(items.size()));
    for (const Item& i : items) w.item(i.style, i.x, i.y, i.cx, i.cy, i.id, i.atom, i.className, i.title);
    return w.done();
}

intptr_t Dialog::run(intptr_t failed) {
    init_common_controls();
    const std::vector<uint32_t> dialogTemplate = build_template();
    const INT_PTR r = DialogBoxIndirectParamW(this_module(), reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()),
                                              nullptr, &Dialog::proc, reinterpret_cast<LPARAM>(this));
    if (worker_.joinable()) worker_.join();
    return (r == -1 || window_ == nullptr) ? failed : static_cast<intptr_t>(r);
}

INT_PTR CALLBACK Dialog::proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
    } else {
        self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!self) return FALSE;
    try {
        return self->handle(message, wParam, lParam);
    } catch (...) {
        // Nothing may unwind through the system's dialog code.
        if (!self->busy()) EndDialog(window, IDCANCEL);
        return TRUE;
    }
}

INT_PTR Dialog::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            HWND c = control(static_cast<int>(i));
            if (rows_[i].kind == RowKind::edit || rows_[i].kind == RowKind::secret) {
                SendMessageW(c, EM_LIMITTEXT, QXUI_TEXT_UNITS - 1, 0);
            } else if (rows_[i].kind == RowKind::list) {
                for (const Text& item : rows_[i].items) SendMessageW(c, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(item)));
                SendMessageW(c, LB_SETCURSEL, 0, 0);
            }
        }
        on_init();
        return TRUE;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (busy()) return TRUE;
        if (id == IDOK) {
            if (buttons_.ok) on_ok();
            return TRUE;
        }
        if (id == IDCANCEL) {
            on_cancel();
            return TRUE;
        }
        if (HIWORD(wParam) == LBN_DBLCLK && buttons_.ok) {
            on_ok();
            return TRUE;
        }
        return FALSE;
    }
    case WM_CLOSE:
        if (!busy()) on_cancel();
        return TRUE;
    case WM_DESTROY:
        // However the dialog ends (cancelled with a PIN typed, closed from
        // outside), no PIN stays in a control that is about to be freed.
        for (std::size_t i = 0; i < rows_.size(); ++i)
            if (rows_[i].kind == RowKind::secret) scrub(control(static_cast<int>(i)));
        return FALSE;
    case WM_TIMER:
        if (wParam == kTimer && secondsLeft_ >= 0) {
            if (secondsLeft_ > 0) --secondsLeft_;
            SetDlgItemTextW(window_, kCountdown, wide(ui_text(languagePath_, "WaitKeyPress_TimeLeft", secondsLeft_)));
        }
        return TRUE;
    case kWorkDone: {
        if (worker_.joinable()) worker_.join();
        enable_inputs(true);
        on_done(static_cast<uint32_t>(wParam));
        return TRUE;
    }
    case QXUI_MSG_WAIT_BUTTON:
    case QXUI_MSG_PIECE_SENT:
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, static_cast<LONG_PTR>(on_message(message, wParam, lParam)));
        return TRUE;
    default:
        return FALSE;
    }
}

void Dialog::start(std::function<uint32_t()> work) {
    if (busy()) return;
    enable_inputs(false);
    HWND target = window_;
    worker_ = std::thread([target, work = std::move(work)] {
        uint32_t r = kGeneralFailure;
        try {
            r = work();
        } catch (...) {
            r = kGeneralFailure;
        }
        // Posted, not sent: the result is a plain value, and the dialog joins
        // this thread when it takes the message.
        PostMessageW(target, kWorkDone, static_cast<WPARAM>(r), 0);
    });
}

void Dialog::end(intptr_t result) {
    KillTimer(window_, kTimer);
    EndDialog(window_, static_cast<INT_PTR>(result));
}

void Dialog::show_message(const Text& text) { SetDlgItemTextW(window_, kMessage, wide(text)); }

void Dialog::set_row_text(int row, const Text& text) { SetWindowTextW(control(row), wide(text)); }

bool Dialog::take_edit(int row, Buffer* out) {
    out->wipe();
    HWND c = control(row);
    const int length = GetWindowTextLengthW(c);
    const bool fits = length >= 0 && length < static_cast<int>(QXUI_TEXT_UNITS);
    if (fits && length > 0) GetWindowTextW(c, reinterpret_cast<wchar_t*>(out->units), QXUI_TEXT_UNITS);
    scrub(c);
    return fits;
}

void Dialog::scrub(HWND edit) {
    // Text of the same length lands on the control's own copy before it is
    // emptied; the undo copy goes as well.
    const int length = GetWindowTextLengthW(edit);
    if (length > 0) {
        const std::wstring filler(static_cast<std::size_t>(length), L'*');
        SetWindowTextW(edit, filler.c_str());
    }
    SetWindowTextW(edit, L"");
    SendMessageW(edit, EM_EMPTYUNDOBUFFER, 0, 0);
}

int Dialog::selection(int row) const {
    const LRESULT r = SendMessageW(control(row), LB_GETCURSEL, 0, 0);
    return r == LB_ERR ? -1 : static_cast<int>(r);
}

void Dialog::countdown(int64_t seconds) {
    secondsLeft_ = seconds;
    SetDlgItemTextW(window_, kCountdown, wide(ui_text(languagePath_, "WaitKeyPress_TimeLeft", seconds)));
    SetTimer(window_, kTimer, 1000, nullptr);
}

void Dialog::enable_inputs(bool on) {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].kind != RowKind::text && rows_[i].kind != RowKind::progress)
            EnableWindow(control(static_cast<int>(i)), on);
    }
    if (HWND ok = GetDlgItem(window_, IDOK)) EnableWindow(ok, on);
    if (HWND cancel = GetDlgItem(window_, IDCANCEL)) EnableWindow(cancel, on);
    if (on) {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            if (rows_[i].kind == RowKind::edit || rows_[i].kind == RowKind::secret || rows_[i].kind == RowKind::list) {
                SetFocus(control(static_cast<int>(i)));
                break;
            }
        }
    }
}

}  // namespace qx::qxui::win32
