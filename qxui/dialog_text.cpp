#include "dialog_text.h"

#include <cstring>

#include "config/CU8Ini.h"
#include "language.h"

namespace qx::qxui {

Text ui_text(const QXUI_CHAR* languagePath, const char* key) {
    const Text fallback(key, key + std::strlen(key));
    if (!languagePath) return fallback;
    const Text path(reinterpret_cast<const char16_t*>(languagePath));
    kernel::CU8Ini ini;
    if (language::load_ini(ini, path) != 0) return fallback;
    return language::ini_text(ini, "QXUI", key, QXUI_TEXT_UNITS, fallback);
}

Text ui_text(const QXUI_CHAR* languagePath, const char* key, int64_t number) {
    return language::FormatText(ui_text(languagePath, key), number, QXUI_TEXT_UNITS);
}

Text text_of(const QXUI_CHAR* buffer, std::size_t limit) {
    Text t;
    if (!buffer) return t;
    for (std::size_t i = 0; i < limit && buffer[i] != 0; ++i) t.push_back(static_cast<char16_t>(buffer[i]));
    return t;
}

void wipe_units(QXUI_CHAR* p, std::size_t n) {
    volatile QXUI_CHAR* v = p;
    for (std::size_t i = 0; i < n; ++i) v[i] = 0;
}

void wipe_text(Text& t) {
    volatile char16_t* v = t.data();
    for (std::size_t i = 0; i < t.size(); ++i) v[i] = 0;
    t.clear();
}

bool Buffer::set(const Text& t) {
    wipe();
    if (t.size() >= QXUI_TEXT_UNITS) return false;
    for (std::size_t i = 0; i < t.size(); ++i) units[i] = static_cast<QXUI_CHAR>(t[i]);
    return true;
}

}  // namespace qx::qxui
