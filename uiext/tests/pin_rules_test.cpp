// The PIN policy: the complexity test, every rule and its message key, the
// policy file above "Languages", and the 8-bit PIN for the kernel.
#include <gtest/gtest.h>

#include "QXTokenStatus.h"
#include "language_test_support.h"
#include "pin_rules.h"
#include "qx/platform/text.h"

namespace qx::uiext {
namespace {

using language::test::language_file;
using language::test::TempTree;

TEST(PinComplexity, RunsRepetitionsAndFewDistinctCharactersAreNotComplex) {
    struct Case {
        const char16_t* pin;
        bool complex;
    };
    const Case cases[] = {
        {u"123456", false},    // ascending run
        {u"654321", false},    // descending run
        {u"aaaaaa", false},    // all equal
        {u"abcdef", false},    // ascending letters
        {u"121212", false},    // two distinct characters
        {u"112233", false},    // doubled ascending
        {u"332211", false},    // doubled descending
        {u"", false},
        {u"7", false},
        {u"19", false},        // no run, but only two distinct characters
        {u"382915", true},     // no run, six distinct
        {u"a1b2c3", true},     // letters and digits alternating
        {u"113355", true},     // doubled, but steps of 2
        {u"112234", true},     // not wholly doubled
        {u"1123", true},
        {u"12345a", true},
        {u"一二三四", true},
    };
    for (const auto& c : cases) {
        const std::u16string pin = c.pin;
        SCOPED_TRACE(language::to_utf8(pin));
        EXPECT_EQ(c.complex, IsComplexPin(pin));
    }
}

PinPolicy policy(int32_t minLen, int32_t maxLen, int32_t digit, int32_t alpha, int32_t special, int32_t complex) {
    PinPolicy p;
    p.minPinLen = minLen;
    p.maxPinLen = maxLen;
    p.requireDigit = digit;
    p.requireAlphabetic = alpha;
    p.requireSpecial = special;
    p.requireComplex = complex;
    return p;
}

TEST(PinRules, FirstFailingRuleDecidesTheMessage) {
    struct Case {
        const char* what;
        PinPolicy policy;
        int mode;
        const char16_t* pin;
        const char* key;  // null: passes
    };
    const PinPolicy open = policy(1, 16, 2, 2, 2, 0);
    const Case cases[] = {
        {"digits forbidden", policy(1, 16, 0, 2, 2, 0), 0, u"abc1", "CheckPinRegual_NotRequireDigit"},
        {"digit rule off", open, 0, u"abc1", nullptr},
        {"digit required", policy(1, 16, 1, 2, 2, 0), 0, u"abcd", "CheckPinRegual_RequireDigit"},
        {"letter required", policy(1, 16, 2, 1, 2, 0), 0, u"1234", "CheckPinRegual_RequireAlpha"},
        {"letters forbidden", policy(1, 16, 2, 0, 2, 0), 0, u"12a4", "CheckPinRegual_NotRequireAlpha"},
        {"special required", policy(1, 16, 2, 2, 1, 0), 0, u"ab12", "CheckPinRegual_RequireSpecial"},
        {"special forbidden", policy(1, 16, 2, 2, 0, 0), 0, u"ab#2", "CheckPinRegual_NotRequireSpecial"},
        {"a space is not special", policy(1, 16, 2, 2, 1, 0), 0, u"ab 2", "CheckPinRegual_RequireSpecial"},
        {"digit before letter before special", policy(1, 16, 1, 1, 1, 0), 0, u"####",
         "CheckPinRegual_RequireDigit"},
        {"complexity", policy(1, 16, 2, 2, 2, 1), 0, u"123456", "CheckPinRegual_RequireComplex"},
        {"complexity passes", policy(1, 16, 2, 2, 2, 1), 0, u"382915", nullptr},
        {"all rules met", policy(6, 8, 1, 1, 1, 1), 0, u"a1#b2$", nullptr},
        {"too long", policy(6, 8, 2, 2, 2, 0), 0, u"123456789", "CheckPinRegual_PinLenError"},
        {"too long in mode 1 as well", policy(6, 8, 2, 2, 2, 0), 1, u"123456789", "CheckPinRegual_PinLenError"},
        {"too short", policy(6, 8, 2, 2, 2, 0), 1, u"12345", "CheckPinRegual_PinLenError"},
        {"length before classes", policy(6, 8, 0, 2, 2, 0), 0, u"1", "CheckPinRegual_PinLenError"},
        {"mode 1 checks the length only", policy(1, 16, 0, 0, 0, 1), 1, u"aaaa", nullptr},
        {"unknown modes check everything", policy(1, 16, 0, 2, 2, 0), 7, u"abc1", "CheckPinRegual_NotRequireDigit"},
        {"fullwidth digit is a digit", policy(1, 16, 1, 2, 2, 0), 0, u"abc\uFF11", nullptr},
        {"fullwidth digit is no letter", policy(1, 16, 2, 0, 2, 0), 0, u"\uFF11\uFF12", nullptr},
        {"CJK is a letter", policy(1, 16, 2, 0, 2, 0), 0, u"密码12", "CheckPinRegual_NotRequireAlpha"},
        {"accented letter", policy(1, 16, 2, 1, 2, 0), 0, u"\u00E912", nullptr},
        {"length counts UTF-16 units", policy(4, 4, 2, 2, 2, 0), 1, u"\U0001F600\U0001F600", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const char* key = "untouched";
        const uint32_t rc = CheckPin(c.policy, c.mode, c.pin, &key);
        if (c.key) {
            EXPECT_EQ(kPinRuleViolation, rc);
            EXPECT_STREQ(c.key, key);
        } else {
            EXPECT_EQ(0u, rc);
            EXPECT_EQ(nullptr, key);
        }
    }
}

TEST(PinRules, PolicyFileLiesAboveTheLanguagesFolder) {
    const struct {
        std::u16string languageFile;
        std::u16string expected;
    } cases[] = {
        {u"C:\\App\\Languages\\language_enu.ini", u"C:\\App\\Config.ini"},
        {u"/opt/app/Languages/language_enu.ini", u"/opt/app/Config.ini"},
        {u"/Languages/x/app/Languages/l.ini", u"/Languages/x/app/Config.ini"},  // the last one
        {u"/opt/MyLanguages/l.ini", u""},                                       // not a whole folder name
        {u"/opt/Languages2/l.ini", u""},
        {u"/opt/app/l.ini", u""},
        {u"Languages/l.ini", u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(language::to_utf8(c.languageFile));
        EXPECT_EQ(c.expected, PinPolicyPath(c.languageFile));
    }
}

class PinRulesFile : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.write_ini("Languages/language_enu.ini",
                        language_file("English",
                                      "CheckPinRegual_PinLenError = Wrong length.\r\n"
                                      "CheckPinRegual_NotRequireDigit = No digits.\r\n"
                                      "ConfigFile_ReadError = No policy.\r\n"));
        file_ = tree_.path("Languages/language_enu.ini");
        std::fill(std::begin(message_), std::end(message_), u'#');
        message_[kMessageUnits - 1] = 0;
    }
    void policy(const std::string& pinSection) { tree_.write_ini("Config.ini", "[PIN]\r\n" + pinSection); }
    uint32_t check(int mode, const char16_t* pin) { return CheckPinRules(mode, pin, file_.c_str(), message_); }

    TempTree tree_;
    std::u16string file_;
    char16_t message_[kMessageUnits];
};

constexpr char kFullPolicy[] =
    "MaxPinLen = 8\r\nMinPinLen = 6\r\nRequireDigit = 0\r\nRequireAlphabetic = 2\r\n"
    "RequireSpecial = 2\r\nRequireComplex = 0\r\n";

TEST_F(PinRulesFile, ReadsThePolicyAndWritesTheMessage) {
    policy(kFullPolicy);
    EXPECT_EQ(0u, check(0, u"abcdefg"));
    EXPECT_EQ(u'#', message_[0]);  // untouched on success
    EXPECT_EQ(kPinRuleViolation, check(0, u"abcdef1"));
    EXPECT_EQ(u"No digits.", std::u16string(message_));
    EXPECT_EQ(kPinRuleViolation, check(1, u"abcdefghi"));
    EXPECT_EQ(u"Wrong length.", std::u16string(message_));
    EXPECT_EQ(0u, check(1, u"abcde1"));  // mode 1: digits not looked at
}

TEST_F(PinRulesFile, AMissingKeyOrFileIsAConfigurationError) {
    struct Case {
        const char* what;
        std::optional<std::string> section;  // null: no Config.ini at all
        uint32_t status;
    };
    const std::string full = kFullPolicy;
    const std::string withoutComplex = full.substr(0, full.find("RequireComplex"));
    const Case cases[] = {
        {"no RequireComplex", withoutComplex, kPinPolicyMissing},
        {"no MinPinLen", "MaxPinLen = 8\r\nRequireDigit = 0\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\nRequireComplex = 0\r\n",
         kPinPolicyMissing},
        {"a key that is not a number", full.substr(0, full.find("RequireComplex")) + "RequireComplex = yes\r\n",
         kPinPolicyMissing},
        {"no Config.ini", std::nullopt, ERR_INI_OPEN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.section) {
            policy(*c.section);
        } else {
            std::filesystem::remove(std::filesystem::path(tree_.path("Config.ini")));
        }
        EXPECT_EQ(c.status, check(0, u"abcdefg"));
        EXPECT_EQ(u"No policy.", std::u16string(message_));
    }
}

TEST_F(PinRulesFile, ArgumentsAndPathsWithoutLanguagesFolder) {
    policy(kFullPolicy);
    EXPECT_EQ(kPinNullArgument, CheckPinRules(0, nullptr, file_.c_str(), message_));
    EXPECT_EQ(kPinNullArgument, CheckPinRules(0, u"abcdefg", nullptr, message_));
    EXPECT_EQ(kPinNullArgument, CheckPinRules(0, u"abcdefg", file_.c_str(), nullptr));
    EXPECT_EQ(u'#', message_[0]);
    // A language file outside a "Languages" folder has no policy file.
    tree_.write_ini("language_enu.ini", language_file("English", "ConfigFile_ReadError = Nowhere.\r\n"));
    const std::u16string loose = tree_.path("language_enu.ini");
    EXPECT_EQ(kPinPolicyMissing, CheckPinRules(0, u"abcdefg", loose.c_str(), message_));
    EXPECT_EQ(u"Nowhere.", std::u16string(message_));
}

TEST(PinConversion, BytesForTheKernel) {
    struct Case {
        std::u16string pin;
        uint32_t status;
        const char* key;
        std::size_t bytes;
    };
    const Case cases[] = {
        {u"1", kPinRuleViolation, "Pin_Limit_Len", 0},  // even when the policy allows one character
        {u"", kPinRuleViolation, "Pin_Limit_Len", 0},
        {u"12", 0, nullptr, 2},
        {std::u16string(128, u'7'), 0, nullptr, 128},
        {std::u16string(129, u'7'), kPinRuleViolation, "Pin_Limit_Len", 0},
        {std::u16string(u"a") + char16_t(0xD800) + u"b", platform::kTextNotConvertible, "CharacterChangeError", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pin.size());
        PinBytes out;
        const char* key = "untouched";
        EXPECT_EQ(c.status, ConvertPin(c.pin, &out, &key));
        if (c.key) {
            EXPECT_STREQ(c.key, key);
        } else {
            EXPECT_EQ(nullptr, key);
        }
        EXPECT_EQ(c.bytes, out.size());
    }
    PinBytes out;
    EXPECT_EQ(kPinNullArgument, ConvertPin(u"1234", nullptr, nullptr));
    // Characters the system text holds come through unchanged.
    ASSERT_EQ(0u, ConvertPin(u"a1#b", &out, nullptr));
    EXPECT_EQ("a1#b", std::string(out.data(), out.size()));
    std::u16string pin = u"secret";
    WipePin(pin);
    EXPECT_EQ(std::u16string(6, u'\0'), pin);
}

}  // namespace
}  // namespace qx::uiext
