// Small helpers shared by the device, token and certificate operations: the
// dialog's text buffers, message texts, exception shielding and wiping.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "QXUI.h"
#include "frame.h"

namespace qx::uiext {

// The units of a dialog buffer before its terminator (at most 260).
inline std::size_t bounded_units(const QXUI_CHAR* p, std::size_t limit = QXUI_TEXT_UNITS) {
    std::size_t n = 0;
    while (n < limit && p[n] != 0) ++n;
    return n;
}

inline std::u16string_view buffer_view(const QXUI_CHAR* p, std::size_t limit = QXUI_TEXT_UNITS) {
    return std::u16string_view(reinterpret_cast<const char16_t*>(p), bounded_units(p, limit));
}

// Copies `text` into a dialog buffer of `units` units, cut to fit, terminated.
inline void put_text(QXUI_CHAR* out, std::u16string_view text, std::size_t units = QXUI_TEXT_UNITS) {
    if (!out || units == 0) return;
    const std::size_t n = std::min<std::size_t>(text.size(), units - 1);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<QXUI_CHAR>(text[i]);
    out[n] = 0;
}

inline void put_message(QXUI_CHAR* message, const char* key) {
    if (message) put_text(message, frame().LoadText(key));
}

inline void wipe_bytes(void* p, std::size_t n) {
    volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) v[i] = 0;
}

// Wipes a dialog buffer (260 units) however the call-back ends.
class WipeUnits {
public:
    explicit WipeUnits(QXUI_CHAR* p) : p_(p) {}
    ~WipeUnits() {
        if (p_) wipe_bytes(p_, QXUI_TEXT_UNITS * sizeof(QXUI_CHAR));
    }
    WipeUnits(const WipeUnits&) = delete;
    WipeUnits& operator=(const WipeUnits&) = delete;

private:
    QXUI_CHAR* p_;
};

// Runs `f`, turning an exception into a status: 0xFFFFFFFF when memory ran
// out, ERR_FAILED otherwise.
template <typename F>
uint32_t shield(F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return kUiFailure;
    } catch (...) {
        return ERR_FAILED;
    }
}

// The language path in the form the dialogs take.
struct DialogPath {
    Text text = frame().languagePath();
    const QXUI_CHAR* get() const { return reinterpret_cast<const QXUI_CHAR*>(text.c_str()); }
};

}  // namespace qx::uiext
