// System text on Windows is the ANSI code page.  Best-fit substitutes are
// switched off and the used-default flag checked, so that a character the
// code page lacks is an error instead of a silent '?' (a PIN must never
// change on its way to the token).
#include "qx/platform/text.h"

#include <windows.h>

#include <cwctype>

namespace qx::platform {

uint32_t to_system_text(std::u16string_view in, std::string* out) {
    if (!out) return hresult_from_error(ERROR_OUTOFMEMORY);
    out->clear();
    if (in.empty()) return 0;
    if (in.size() > 0x3FFFFFFF) return hresult_from_error(ERROR_INVALID_PARAMETER);
    const auto* wide = reinterpret_cast<const wchar_t*>(in.data());
    const int wideLength = static_cast<int>(in.size());
    const UINT cp = GetACP();
    // A UTF-8 code page takes no best-fit flag and no default character.
    const bool utf8 = cp == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultArg = utf8 ? nullptr : &usedDefault;
    const int need = WideCharToMultiByte(cp, flags, wide, wideLength, nullptr, 0, nullptr, usedDefaultArg);
    if (need <= 0) return hresult_from_error(GetLastError());
    if (usedDefault) return kTextNotConvertible;
    std::string result(static_cast<std::size_t>(need), '\0');
    const int done = WideCharToMultiByte(cp, flags, wide, wideLength, result.data(), need, nullptr, usedDefaultArg);
    if (done <= 0) return hresult_from_error(GetLastError());
    if (usedDefault) {
        SecureZeroMemory(result.data(), result.size());
        return kTextNotConvertible;
    }
    result.resize(static_cast<std::size_t>(done));
    *out = std::move(result);
    return 0;
}

uint32_t from_system_text(std::string_view in, std::u16string* out) {
    if (!out) return hresult_from_error(ERROR_OUTOFMEMORY);
    out->clear();
    if (in.empty()) return 0;
    if (in.size() > 0x3FFFFFFF) return hresult_from_error(ERROR_INVALID_PARAMETER);
    const int length = static_cast<int>(in.size());
    const int need = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in.data(), length, nullptr, 0);
    if (need <= 0) return hresult_from_error(GetLastError());
    std::u16string result(static_cast<std::size_t>(need), u'\0');
    const int done = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in.data(), length,
                                         reinterpret_cast<wchar_t*>(result.data()), need);
    if (done <= 0) return hresult_from_error(GetLastError());
    result.resize(static_cast<std::size_t>(done));
    *out = std::move(result);
    return 0;
}

namespace {
bool surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }
}  // namespace

bool is_digit_unit(char16_t c) {
    if (c >= 0xFF10 && c <= 0xFF19) return true;
    return !surrogate(c) && std::iswdigit(static_cast<wint_t>(c)) != 0;
}

bool is_letter_unit(char16_t c) {
    if ((c >= 0xFF10 && c <= 0xFF19) || surrogate(c)) return false;
    return std::iswalpha(static_cast<wint_t>(c)) != 0;
}

// The C runtime counts a tab as printable; control characters are not, here as on POSIX.
bool is_printable_unit(char16_t c) {
    return !surrogate(c) && std::iswprint(static_cast<wint_t>(c)) != 0 && std::iswcntrl(static_cast<wint_t>(c)) == 0;
}

bool is_space_unit(char16_t c) { return !surrogate(c) && std::iswspace(static_cast<wint_t>(c)) != 0; }

}  // namespace qx::platform
