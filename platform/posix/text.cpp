// System text on POSIX is UTF-8; character classes come from a fixed
// "C.UTF-8" locale so that the process locale cannot change a PIN rule.
#include "qx/platform/text.h"

#include <locale.h>
#include <wctype.h>

namespace qx::platform {

namespace {

// Freed when the module holding this code is unloaded: a library loaded and
// unloaded many times does not leave a locale behind each time.
struct ClassLocale {
    locale_t loc;
    ClassLocale() {
        loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        // Without C.UTF-8 the plain C locale still classifies ASCII.
        if (!loc) loc = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }
    ~ClassLocale() {
        if (loc) freelocale(loc);
    }
    ClassLocale(const ClassLocale&) = delete;
    ClassLocale& operator=(const ClassLocale&) = delete;
};

locale_t class_locale() {
    static const ClassLocale holder;
    return holder.loc;
}

bool surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool fullwidth_digit(char16_t c) { return c >= 0xFF10 && c <= 0xFF19; }

}  // namespace

uint32_t to_system_text(std::u16string_view in, std::string* out) {
    if (!out) return hresult_from_error(14);  // ERROR_OUTOFMEMORY: no buffer
    return utf16_to_utf8(in, out) ? 0u : kTextNotConvertible;
}

uint32_t from_system_text(std::string_view in, std::u16string* out) {
    if (!out) return hresult_from_error(14);
    return utf8_to_utf16(in, out) ? 0u : kTextNotConvertible;
}

bool is_digit_unit(char16_t c) {
    if (fullwidth_digit(c)) return true;
    if (surrogate(c)) return false;
    const locale_t l = class_locale();
    return l ? iswdigit_l(static_cast<wint_t>(c), l) != 0 : (c >= u'0' && c <= u'9');
}

bool is_letter_unit(char16_t c) {
    if (fullwidth_digit(c) || surrogate(c)) return false;
    const locale_t l = class_locale();
    return l ? iswalpha_l(static_cast<wint_t>(c), l) != 0 : ((c | 0x20) >= u'a' && (c | 0x20) <= u'z');
}

bool is_printable_unit(char16_t c) {
    if (surrogate(c)) return false;
    const locale_t l = class_locale();
    return l ? iswprint_l(static_cast<wint_t>(c), l) != 0 : (c >= 0x20 && c < 0x7F);
}

bool is_space_unit(char16_t c) {
    if (surrogate(c)) return false;
    const locale_t l = class_locale();
    return l ? iswspace_l(static_cast<wint_t>(c), l) != 0 : (c == u' ' || (c >= 0x09 && c <= 0x0D));
}

}  // namespace qx::platform
