// One modal Win32 dialog built from an in-memory template: a column of rows
// (a label with an edit or masked edit, a line of text, a list, a progress
// bar), a message line and the OK/Cancel buttons, all texts given by the
// caller.  Work handed to start() runs on a worker thread while the dialog
// keeps pumping, so a call-back can SendMessageW to the dialog; the dialog
// hears back through on_done() on its own thread.  No state outside the
// object: dialogs on different threads (a PIN dialog opened by the call-back
// of another) never meet.
//
// Control identifiers (what a program driving the dialog looks for): the
// rows' controls are kFirstRow + row index, the message line kMessage, the
// countdown line kCountdown, the buttons IDOK and IDCANCEL.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dialog_text.h"

namespace qx::qxui::win32 {

constexpr int kFirstRow = 1001;
constexpr int kMessage = 1100;
constexpr int kCountdown = 1101;

enum class RowKind { text, edit, secret, list, progress };

struct Row {
    RowKind kind;
    Text label;  // left of an edit; the text itself for a text row
    Text value;  // initial text of an edit or the value beside a labelled text row
    std::vector<Text> items;  // list entries
};

struct Buttons {
    bool ok = true;
    bool cancel = true;
};

class Dialog {
public:
    Dialog(Text title, std::vector<Row> rows, Buttons buttons, const QXUI_CHAR* languagePath);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Shows the dialog and returns the result given to end(); `failed` when
    // it cannot be shown.
    intptr_t run(intptr_t failed);

protected:
    HWND window() const { return window_; }
    HWND control(int row) const { return GetDlgItem(window_, kFirstRow + row); }
    // Runs `work` on a worker thread; inputs and buttons are disabled until
    // on_done(result) runs on the dialog's thread.
    void start(std::function<uint32_t()> work);
    bool busy() const { return worker_.joinable(); }
    void end(intptr_t result);
    void show_message(const Text& text);
    void set_row_text(int row, const Text& text);
    // Moves an edit's text into `out` and overwrites the control's own copy
    // before emptying it.  False when the text does not fit.
    bool take_edit(int row, Buffer* out);
    // The selected entry of a list row, or -1.
    int selection(int row) const;
    // Starts the countdown line at `seconds` (counts down once a second).
    void countdown(int64_t seconds);

    virtual void on_init() {}
    virtual void on_ok() { end(IDOK); }
    virtual void on_cancel() { end(IDCANCEL); }
    virtual void on_done(uint32_t) {}
    // Messages sent to the dialog (0x5226, 0x522B); the answer goes back.
    virtual intptr_t on_message(UINT, WPARAM, LPARAM) { return 0; }

    const QXUI_CHAR* languagePath_;

private:
    static void scrub(HWND edit);
    static INT_PTR CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    void enable_inputs(bool on);
    std::vector<uint32_t> build_template() const;

    Text title_;
    std::vector<Row> rows_;
    Buttons buttons_;
    HWND window_ = nullptr;
    std::thread worker_;
    uint32_t result_ = 0;
    int64_t secondsLeft_ = -1;
};

}  // namespace qx::qxui::win32
