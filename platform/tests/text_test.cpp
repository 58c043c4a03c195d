// Text services: strict UTF-8/UTF-16, the system's 8-bit text and character
// classes.  (Files named by UTF-16 paths are exercised by the language tests,
// under folder names in Chinese.)
#include <gtest/gtest.h>

#include "qx/platform/text.h"

namespace qx::platform {
namespace {

TEST(Utf, ConvertsAndRefusesMalformedText) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
        bool valid;
    };
    const Case cases[] = {
        {"", u"", true},
        {"abc", u"abc", true},
        {"\xC3\xA9", u"\u00E9", true},
        {"\xE4\xB8\xAD\xE6\x96\x87", u"中文", true},
        {"\xF0\x9F\x98\x80", u"\U0001F600", true},
        {"\xC3", u"", false},              // cut sequence
        {"\xC0\xAF", u"", false},          // overlong '/'
        {"\xE0\x80\xAF", u"", false},      // overlong
        {"\xED\xA0\x80", u"", false},      // encoded surrogate
        {"\xF4\x90\x80\x80", u"", false},  // beyond U+10FFFF
        {"\x80", u"", false},
        {"a\xFF", u"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        std::u16string wide = u"junk";
        EXPECT_EQ(c.valid, utf8_to_utf16(c.utf8, &wide));
        EXPECT_EQ(c.utf16, wide);
        if (c.valid) {
            std::string back;
            ASSERT_TRUE(utf16_to_utf8(c.utf16, &back));
            EXPECT_EQ(c.utf8, back);
        }
    }
    std::string out = "junk";
    EXPECT_FALSE(utf16_to_utf8(std::u16string(1, char16_t(0xD800)), &out));
    EXPECT_EQ("", out);
    EXPECT_FALSE(utf16_to_utf8(std::u16string{char16_t(0xDC00), u'a'}, &out));
    EXPECT_FALSE(utf16_to_utf8(std::u16string{u'a', char16_t(0xD83D)}, &out));
}

TEST(SystemText, UnmappableTextIsAnErrorNeverAQuestionMark) {
    std::string narrow = "junk";
    EXPECT_EQ(kTextNotConvertible, to_system_text(std::u16string{u'1', char16_t(0xD800), u'2'}, &narrow));
    EXPECT_EQ("", narrow);
    ASSERT_EQ(0u, to_system_text(u"Abc123#", &narrow));
    EXPECT_EQ("Abc123#", narrow);
    std::u16string wide;
    ASSERT_EQ(0u, from_system_text("Abc123#", &wide));
    EXPECT_EQ(u"Abc123#", wide);
    // Whatever the code page, text it cannot hold is refused or kept exactly.
    const std::u16string chinese = u"中文密码";
    const uint32_t rc = to_system_text(chinese, &narrow);
    if (rc == 0) {
        ASSERT_EQ(0u, from_system_text(narrow, &wide));
        EXPECT_EQ(chinese, wide);
    } else {
        EXPECT_EQ(kTextNotConvertible, rc);
        EXPECT_EQ(std::string::npos, narrow.find('?'));
    }
    EXPECT_NE(0u, to_system_text(u"x", nullptr));
    EXPECT_EQ(0x80070459u, kTextNotConvertible);
    EXPECT_EQ(0x80070002u, hresult_from_error(2));
    EXPECT_EQ(0u, hresult_from_error(0));
}

TEST(CharacterClasses, OneCodeUnitAtATime) {
    struct Case {
        char16_t c;
        bool digit, letter, printable, space;
    };
    const Case cases[] = {
        {u'7', true, false, true, false},
        {u'a', false, true, true, false},
        {u'Z', false, true, true, false},
        {u'#', false, false, true, false},
        {u' ', false, false, true, true},
        {u'\t', false, false, false, true},
        {u'\uFF11', true, false, true, false},  // fullwidth one: a digit on every system
        {u'中', false, true, true, false},
        {u'\u00E9', false, true, true, false},
        {char16_t(0xD83D), false, false, false, false},  // a surrogate half
        {char16_t(0x0001), false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.c));
        EXPECT_EQ(c.digit, is_digit_unit(c.c));
        EXPECT_EQ(c.letter, is_letter_unit(c.c));
        EXPECT_EQ(c.printable, is_printable_unit(c.c));
        EXPECT_EQ(c.space, is_space_unit(c.c));
    }
}

}  // namespace
}  // namespace qx::platform
