// Text: UTF-8 and UTF-16, the system's 8-bit text, and the character classes
// of single UTF-16 code units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx::platform {

// A system error number in the HRESULT form callers of the UI layer expect
// (0x8007 in the high half).
constexpr uint32_t hresult_from_error(uint32_t error) {
    return error == 0 ? 0u : (0x80070000u | (error & 0xFFFFu));
}

// Text the system's 8-bit encoding cannot hold (ERROR_NO_UNICODE_TRANSLATION).
constexpr uint32_t kTextNotConvertible = 0x80070459u;

// Strict conversions: malformed or overlong UTF-8, encoded surrogates and
// unpaired UTF-16 surrogates are refused (false) and `out` is left empty.
bool utf8_to_utf16(std::string_view in, std::u16string* out);
bool utf16_to_utf8(std::u16string_view in, std::string* out);

// UTF-16 to the system's 8-bit text and back.  Windows: the ANSI code page,
// without best-fit substitutes; a character the code page lacks gives
// kTextNotConvertible rather than '?'.  POSIX: UTF-8.  Returns 0 or an
// HRESULT-style status; `out` is sized by the converter and left empty on failure.
uint32_t to_system_text(std::u16string_view in, std::string* out);
uint32_t from_system_text(std::string_view in, std::u16string* out);

// Classes of one UTF-16 code unit.  Windows: the C runtime's wide-character
// classes.  POSIX: the fixed "C.UTF-8" locale, whatever the process locale
// is, except that fullwidth digits count as digits (and not as letters), as
// they do on Windows.  Surrogate halves belong to no class.
bool is_digit_unit(char16_t c);
bool is_letter_unit(char16_t c);
bool is_printable_unit(char16_t c);
bool is_space_unit(char16_t c);

}  // namespace qx::platform
