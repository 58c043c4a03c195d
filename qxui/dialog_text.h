// Texts and PIN buffers shared by every QXUI build: the dialog texts of the
// language file's [QXUI] section, and the 260-unit buffers handed to
// call-backs, wiped in a way the compiler cannot drop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "QXUI.h"

namespace qx::qxui {

using Text = std::u16string;

// [QXUI] `key` of the language file; the key itself stands in for a text the
// file lacks, so a dialog is never blank.
Text ui_text(const QXUI_CHAR* languagePath, const char* key);
// The same, formatted with one number ("%d"); a text without it stays as is.
Text ui_text(const QXUI_CHAR* languagePath, const char* key, int64_t number);

// The zero-terminated text of `buffer`, at most `limit` units.
Text text_of(const QXUI_CHAR* buffer, std::size_t limit = QXUI_TEXT_UNITS);

// Writes zeros through a volatile pointer so that the wipe is kept.
void wipe_units(QXUI_CHAR* p, std::size_t n);
void wipe_text(Text& t);

// A text buffer of 260 units handed to a call-back; wiped when it goes.
struct Buffer {
    QXUI_CHAR units[QXUI_TEXT_UNITS] = {};
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { wipe(); }
    void wipe() { wipe_units(units, QXUI_TEXT_UNITS); }
    // False (and empty) when `t` does not fit with its terminator.
    bool set(const Text& t);
    Text text() const { return text_of(units); }
};

}  // namespace qx::qxui
