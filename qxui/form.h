// What a dialog of QXUI needs from the surface it is drawn on: questions,
// choices, confirmations and lines to show.  One form is built into each
// QXUI library (terminal, the cancelling Windows form, or the scripted form
// of the tests); the dialogs themselves are the same for all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::qxui {

using Text = std::u16string;

class Form {
public:
    virtual ~Form() = default;
    // False when nothing can be shown: every dialog answers cancelled.
    virtual bool available() = 0;
    // One line of input; `secret` is read without echo.  False: cancelled.
    virtual bool ask(const Text& title, const Text& prompt, bool secret, Text* answer) = 0;
    // One of `options` (not empty).  False: cancelled.
    virtual bool choose(const Text& title, const std::vector<Text>& options, uint32_t* index) = 0;
    virtual bool confirm(const Text& caption, const Text& text) = 0;
    // A line the person reads (a failure message, progress).
    virtual void show(const Text& line) = 0;
    // The seconds left of a wait (shown while a call-back runs).
    virtual void countdown(int64_t secondsLeft) = 0;
    // The window handed to call-backs in the dialog context (may be null);
    // messages sent to it come back through on_message.
    virtual void* window() = 0;
};

// The form of this build.
Form& form();

// A message a call-back sent to the dialog window: the wait for the token's
// button (0x5226) or a piece sent (0x522B, lParam -> piece number).
intptr_t on_message(uint32_t message, uintptr_t wParam, intptr_t lParam);

}  // namespace qx::qxui
