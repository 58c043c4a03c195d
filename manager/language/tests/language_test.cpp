// Language files: choosing the file, text lookup and its limits, formats,
// message-box composition, dialog and tab texts, the language list and
// changing the language.
#include <gtest/gtest.h>

#include "QXTokenStatus.h"
#include "language.h"
#include "language_test_support.h"

namespace qx::language::test {
namespace {

const Text kChs = u"简体中文";
const Text kEnglish = u"English";

// ---- choosing the language file ----

struct PathCase {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // relative path, INI text (with BOM)
    std::vector<std::pair<std::string, std::string>> raw;    // relative path, bytes as they are
    std::optional<Text> name;                                // null: Config.ini decides
    std::string expected;                                    // relative path of the result, "" = failure
};

TEST(LanguageFilePath, ResolvesTheDisplayName) {
    const std::string config = "[LanguageDefaultSetting]\r\nlanguage = English\r\n";
    const std::vector<PathCase> cases = {
        {"name from Config.ini",
         {{"Config.ini", config}, {"Languages/language_chs.ini", language_file("简体中文")},
          {"Languages/language_enu.ini", language_file("English")}},
         {}, std::nullopt, "Languages/language_enu.ini"},
        {"name given", {{"Languages/language_chs.ini", language_file("简体中文")}}, {}, kChs,
         "Languages/language_chs.ini"},
        {"Config.ini without the key: the default language",
         {{"Config.ini", "[Other]\r\nx = 1\r\n"}, {"Languages/language_chs.ini", language_file("简体中文")}}, {},
         std::nullopt, "Languages/language_chs.ini"},
        {"no Config.ini and no name", {{"Languages/language_chs.ini", language_file("简体中文")}}, {}, std::nullopt, ""},
        {"letter case differs", {{"Languages/language_enu.ini", language_file("english")}}, {}, kEnglish, ""},
        {"no Languages folder", {{"Config.ini", config}}, {}, kEnglish, ""},
        {"same name twice: the first file by name wins",
         {{"Languages/language_b.ini", language_file("English")}, {"Languages/language_a.ini", language_file("English")}},
         {}, kEnglish, "Languages/language_a.ini"},
        {"an unloadable file is skipped",
         {{"Languages/language_b.ini", language_file("English")}},
         {{"Languages/language_a.ini", "[LanguageSetting]\r\nlanguage = English\r\n"}},  // no byte-order mark
         kEnglish, "Languages/language_b.ini"},
        {"a file without the name is never chosen", {{"Languages/language_x.ini", "[TEXT]\r\nA = b\r\n"}}, {},
         kEnglish, ""},
        {"files not matching the pattern are ignored", {{"Languages/lang_enu.ini", language_file("English")}}, {},
         kEnglish, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree tree;
        for (const auto& [rel, text] : c.files) tree.write_ini(rel, text);
        for (const auto& [rel, bytes] : c.raw) tree.write_bytes(rel, bytes);
        const Text base = tree.path();
        LanguagePaths out{u"unchanged", u"unchanged"};
        const uint32_t rc = GetLanguageFilePath(&base, c.name ? &*c.name : nullptr, &out);
        if (c.expected.empty()) {
            EXPECT_EQ(kLanguageFailure, rc);
            EXPECT_EQ(u"unchanged", out.languageFile);
        } else {
            ASSERT_EQ(0u, rc);
            EXPECT_EQ(tree.path(c.expected), out.languageFile);
            EXPECT_EQ(tree.path("Config.ini"), out.configFile);
        }
    }
}

TEST(LanguageFilePath, DirectoriesAndWideFolderNamesAreHandled) {
    TempTree tree("语言-言語");
    tree.make_dir("Languages/language_dir.ini");
    tree.write_ini("Languages/language_zz.ini", language_file("繁體中文"));
    const Text base = tree.path();
    const Text name = u"繁體中文";
    LanguagePaths out;
    ASSERT_EQ(0u, GetLanguageFilePath(&base, &name, &out));
    EXPECT_EQ(tree.path("Languages/language_zz.ini"), out.languageFile);
    EXPECT_EQ(kLanguageFailure, GetLanguageFilePath(&base, &name, nullptr));
}

// ---- text lookup ----

TEST(LanguageText, LooksUpKeysWithinTheCallersLimit) {
    TempTree tree;
    const std::string long300(300, 'x');
    tree.write_ini("Languages/language_enu.ini",
                   language_file("English", "Hello = Hello world\r\nChinese = 你好\r\nLong = " + long300 +
                                                "\r\nEmpty =\r\n"));
    const Text file = tree.path("Languages/language_enu.ini");
    struct Case {
        const char* key;
        uint32_t limit;
        Text expected;
    };
    const Case cases[] = {
        {"Hello", 260, u"Hello world"},
        {"Chinese", 260, u"你好"},
        {"Empty", 260, u""},
        {"Missing", 260, u"Not found LoadString"},
        {"", 260, u""},
        {"Hello", 12, u"Hello world"},                // 11 units and the zero fit exactly
        {"Hello", 11, u"Buffer is not enough long"},  // one short: the message, cut to fit
        {"Hello", 11, u"Buffer is not enough long"},
        {"Long", 1024, Text(300, u'x')},   // the whole value, not 259 units
        {"Long", 301, Text(300, u'x')},
        {"Long", 300, u"Buffer is not enough long"},
        {"Missing", 10, u"Buffer is not enough long"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " limit " + std::to_string(c.limit));
        Text got = LoadText(c.key, file, c.limit);
        if (c.limit < 26 && c.expected == u"Buffer is not enough long") {
            EXPECT_EQ(Text(c.expected).substr(0, c.limit - 1), got);
        } else {
            EXPECT_EQ(c.expected, got);
        }
        EXPECT_LE(got.size() + 1, c.limit);
    }
    EXPECT_EQ(u"", LoadText("Hello", file, 0));
    EXPECT_EQ(u"", LoadText("Hello", file, 1));
}

TEST(LanguageText, AnUnloadableFileNeverShowsAnEarlierText) {
    TempTree tree;
    tree.write_ini("Languages/language_a.ini", language_file("A", "Key = First text\r\n"));
    tree.write_bytes("Languages/language_b.ini", "not an INI with a byte-order mark");
    EXPECT_EQ(u"First text", LoadText("Key", tree.path("Languages/language_a.ini")));
    EXPECT_EQ(u"Not found LoadString", LoadText("Key", tree.path("Languages/language_b.ini")));
    EXPECT_EQ(u"Not found LoadString", LoadText("Key", tree.path("Languages/language_missing.ini")));
    // A changed file is seen at once.
    tree.write_ini("Languages/language_a.ini", language_file("A", "Key = Second text\r\n"));
    EXPECT_EQ(u"Second text", LoadText("Key", tree.path("Languages/language_a.ini")));
}

TEST(LanguageText, BufferFormChecksItsArguments) {
    TempTree tree;
    tree.write_ini("Languages/language_a.ini", language_file("A", "Key = Value\r\n"));
    const Text file = tree.path("Languages/language_a.ini");
    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(ERR_INVALID_PARAM, LoadText("Key", file.c_str(), nullptr, 8));
    EXPECT_EQ(ERR_INVALID_PARAM, LoadText("Key", file.c_str(), buffer, 0));
    EXPECT_EQ(u'#', buffer[0]);
    ASSERT_EQ(0u, LoadText("Key", file.c_str(), buffer, 8));
    EXPECT_EQ(u"Value", Text(buffer));
    ASSERT_EQ(0u, LoadText(nullptr, file.c_str(), buffer, 8));
    EXPECT_EQ(u"", Text(buffer));
    ASSERT_EQ(0u, LoadText("Key", nullptr, buffer, 8));
    EXPECT_EQ(u"Buffer ", Text(buffer));  // "Not found LoadString" does not fit 8 units either
    ASSERT_EQ(0u, LoadText("Key", file.c_str(), buffer, 1));
    EXPECT_EQ(u"", Text(buffer));
}

// ---- formats ----

TEST(LanguageFormat, FormatsOnlyTheExpectedConversion) {
    struct Case {
        Text format;
        FormatKind kind;
        Text withNumber;  // FormatText(format, 3)
        Text withText;    // FormatText(format, u"C1")
    };
    const Case cases[] = {
        {u"%d tries left", FormatKind::number, u"3 tries left", u"%d tries left"},
        {u"Delete \"%s\"?", FormatKind::text, u"Delete \"%s\"?", u"Delete \"C1\"?"},
        {u"no conversion", FormatKind::none, u"no conversion", u"no conversion"},
        {u"100%% sure: %d", FormatKind::number, u"100% sure: 3", u"100%% sure: %d"},
        {u"%d and %d", FormatKind::invalid, u"%d and %d", u"%d and %d"},
        {u"%s %d", FormatKind::invalid, u"%s %d", u"%s %d"},
        {u"%5d", FormatKind::invalid, u"%5d", u"%5d"},
        {u"%n", FormatKind::invalid, u"%n", u"%n"},
        {u"%x", FormatKind::invalid, u"%x", u"%x"},
        {u"ends in %", FormatKind::invalid, u"ends in %", u"ends in %"},
        {u"%S", FormatKind::invalid, u"%S", u"%S"},
        {u"剩余 %d 次", FormatKind::number, u"剩余 3 次", u"剩余 %d 次"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.format));
        EXPECT_EQ(c.kind, format_kind(c.format));
        EXPECT_EQ(c.withNumber, FormatText(c.format, 3));
        EXPECT_EQ(c.withText, FormatText(c.format, Text(u"C1")));
    }
}

TEST(LanguageFormat, ResultsAreBounded) {
    const Text huge(5000, u'n');
    EXPECT_EQ(259u, FormatText(u"name %s end", huge).size());
    EXPECT_EQ(1023u, FormatText(u"%s", huge, kMessageLimit).size());
    EXPECT_EQ(u"-9223372036854775808", FormatText(u"%d", INT64_MIN));
    EXPECT_EQ(u"ab", FormatText(u"ab%d", 12345, 3));
    EXPECT_EQ(u"", FormatText(u"%d", 1, 0));
    // A format longer than the limit is cut even when shown as it stands.
    EXPECT_EQ(9u, FormatText(Text(50, u'%'), 1, 10).size());
}

// ---- message boxes ----

TEST(LanguageMessageBox, ComposesCaptionAndText) {
    TempTree tree("venues");  // "enu" in the folder does not count, only the file name
    tree.write_ini("Languages/language_enu.ini", language_file("English", "Success = done.\r\n"));
    tree.write_ini("Languages/language_chs.ini", language_file("简体中文", "Success = 操作成功\r\n"));
    const Text enu = tree.path("Languages/language_enu.ini");
    const Text chs = tree.path("Languages/language_chs.ini");
    struct Case {
        const Text* file;
        uint32_t type;
        Text caption, text;
        platform::MessageIcon icon;
    };
    using platform::MessageIcon;
    const Case cases[] = {
        {&enu, 0, u"Verify PIN ", u"done.", MessageIcon::information},
        {&enu, 1, u"Verify PIN ", u"Verify PIN done.", MessageIcon::information},
        {&enu, 2, u"Verify PIN ", u"Verify PIN done.", MessageIcon::error},
        {&chs, 1, u"Verify PIN", u"Verify PIN操作成功", MessageIcon::information},
        {&chs, 2, u"Verify PIN", u"Verify PIN操作成功", MessageIcon::error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(*c.file) + " type " + std::to_string(c.type));
        MessageBoxContent box;
        ASSERT_EQ(0u, ComposeMessageBox(u"Verify PIN", *c.file, "Success", c.type, &box));
        EXPECT_EQ(c.caption, box.caption);
        EXPECT_EQ(c.text, box.text);
        EXPECT_EQ(c.icon, box.icon);
    }
    MessageBoxContent box;
    EXPECT_EQ(ERR_INVALID_PARAM, ComposeMessageBox(u"x", enu, "Success", 3, &box));
    EXPECT_EQ(ERR_INVALID_PARAM, ComposeMessageBox(u"x", enu, "Success", 1, nullptr));
}

TEST(LanguageMessageBox, LongCaptionAndTextHaveRoomForEachOther) {
    TempTree tree;
    const std::string text1000(1000, 't');
    tree.write_ini("Languages/language_enu.ini", language_file("English", "Long = " + text1000 + "\r\n"));
    const Text file = tree.path("Languages/language_enu.ini");
    MessageBoxContent box;
    ASSERT_EQ(0u, ComposeMessageBox(Text(400, u'c'), file, "Long", 1, &box));
    EXPECT_EQ(Text(259, u'c') + u" ", box.caption);
    EXPECT_EQ(box.caption + Text(1000, u't'), box.text);
    ASSERT_EQ(0u, ComposeMessageBox(u"cap", file, "", 0, &box));
    EXPECT_EQ(u"", box.text);
}

// ---- dialogs and tabs ----

TEST(LanguageDialogs, DialogTextsAndTabTitles) {
    TempTree tree;
    const std::string longTitle(600, 'T');
    tree.write_ini("Languages/language_enu.ini",
                   language_file("English") +
                       "[IDD_DIALOG_102]\r\nTitle = Manager\r\n1015 = Exit\r\n1017 = Device\r\n"
                       "[IDD_DIALOG_130]\r\nTitle = " + longTitle + "\r\n1004 = Verify PIN\r\n"
                       "[IDD_TABLE_CONTROL]\r\nSheet0 = USB Shield\r\nSheet1 = Certificates\r\nSheet2 = Check\r\n");
    const Text file = tree.path("Languages/language_enu.ini");
    DialogTexts texts;
    ASSERT_EQ(0u, LoadDialogTexts(file, 102, {1015, 1017, 1018}, &texts, true));
    EXPECT_EQ(u"Manager(X64)", texts.title);
    ASSERT_EQ(3u, texts.controls.size());
    EXPECT_EQ(std::make_pair(1015, Text(u"Exit")), texts.controls[0]);
    EXPECT_EQ(std::make_pair(1017, Text(u"Device")), texts.controls[1]);
    EXPECT_EQ(std::make_pair(1018, Text()), texts.controls[2]);  // missing: the control loses its text
    ASSERT_EQ(0u, LoadDialogTexts(file, 102, {}, &texts, false));
    EXPECT_EQ(u"Manager", texts.title);
    ASSERT_EQ(0u, LoadDialogTexts(file, 130, {1004}, &texts, true));
    EXPECT_EQ(Text(499, u'T'), texts.title);  // no "(X64)" on pages; cut at 499
    ASSERT_EQ(0u, LoadDialogTexts(file, 999, {1}, &texts, true));
    EXPECT_EQ(u"", texts.title);

    DialogTexts untouched{u"keep", {}};
    EXPECT_EQ(ERR_INI_OPEN, LoadDialogTexts(tree.path("Languages/none.ini"), 102, {1}, &untouched, true));
    EXPECT_EQ(u"keep", untouched.title);

    std::array<Text, 4> tabs;
    ASSERT_EQ(0u, LoadTabTitles(file, &tabs));
    EXPECT_EQ((std::array<Text, 4>{u"USB Shield", u"Certificates", u"Check", u"Not Find in Set SheetTitle"}), tabs);
    EXPECT_EQ(ERR_INI_OPEN, LoadTabTitles(tree.path("Languages/none.ini"), &tabs));
}

// ---- the language list and changing the language ----

TEST(LanguageList, FillsNamesAndSelectsTheConfiguredOne) {
    TempTree tree;
    tree.write_ini("Languages/language_a.ini", language_file("简体中文"));
    tree.write_ini("Languages/language_b.ini", "[TEXT]\r\nX = y\r\n");
    tree.write_bytes("Languages/language_c.ini", "broken");
    tree.write_ini("Languages/language_d.ini", language_file("English"));
    const Text active = tree.path("Languages/language_a.ini");

    LanguageList list;
    EXPECT_EQ(ERR_INI_OPEN, Language_InitComboBox(active, &list));  // no Config.ini yet: names still listed
    EXPECT_EQ((std::vector<Text>{u"简体中文", u"Not Found InitCBO", u"English"}), list.names);
    EXPECT_EQ(-1, list.selected);

    tree.write_ini("Config.ini", "[LanguageDefaultSetting]\r\nlanguage = English\r\n");
    ASSERT_EQ(0u, Language_InitComboBox(active, &list));
    EXPECT_EQ(2, list.selected);
    tree.write_ini("Config.ini", "[QXTokenInfo]\r\nCSPName = x\r\n");
    ASSERT_EQ(0u, Language_InitComboBox(active, &list));
    EXPECT_EQ(0, list.selected);  // the default language
    EXPECT_EQ(ERR_INVALID_PARAM, Language_InitComboBox(active, nullptr));
}

class LanguageChangeTest : public ::testing::Test {
protected:
    void populate(const TempTree& tree, const std::string& prefix) {
        tree.write_ini(prefix + "Config.ini", "[QXTokenInfo]\r\nCSPName = Test CSP\r\n[LanguageDefaultSetting]\r\nlanguage = 简体中文\r\n");
        tree.write_ini(prefix + "Languages/language_chs.ini", language_file("简体中文"));
        tree.write_ini(prefix + "Languages/language_enu.ini", language_file("English"));
    }
};

TEST_F(LanguageChangeTest, AnUnresolvedNameChangesNothing) {
    TempTree tree;
    populate(tree, "");
    ActiveLanguage state;
    const LanguagePaths before{tree.path("Languages/language_chs.ini"), tree.path("Config.ini")};
    state.set(before);
    const auto configBefore = tree.read("Config.ini");
    LanguageChange change;
    EXPECT_EQ(kLanguageFailure, ChangeLanguage(state, u"Klingon", true, &change));
    EXPECT_EQ(before.languageFile, state.languageFile());
    EXPECT_EQ(configBefore, tree.read("Config.ini"));
}

TEST_F(LanguageChangeTest, ANewLanguageIsActiveAndSaved) {
    TempTree tree;
    populate(tree, "");
    ActiveLanguage state;
    state.set({tree.path("Languages/language_chs.ini"), tree.path("Config.ini")});
    LanguageChange change;
    ASSERT_EQ(0u, ChangeLanguage(state, kEnglish, true, &change));
    EXPECT_EQ(tree.path("Languages/language_enu.ini"), state.languageFile());
    EXPECT_EQ(0u, change.configStatus);
    EXPECT_FALSE(change.otherCopyTried);  // no " (x86)" in the path
    LanguageList list;
    ASSERT_EQ(0u, Language_InitComboBox(state.languageFile(), &list));
    EXPECT_EQ(1, list.selected);
    // The other settings of Config.ini survive.
    EXPECT_NE(std::string::npos, tree.read("Config.ini")->find("CSPName = Test CSP"));
}

TEST_F(LanguageChangeTest, AConfigThatCannotBeLoadedIsNotOverwritten) {
    TempTree tree;
    populate(tree, "");
    tree.write_bytes("Config.ini", "no byte-order mark: not ours to rewrite");
    ActiveLanguage state;
    state.set({tree.path("Languages/language_chs.ini"), tree.path("Config.ini")});
    LanguageChange change;
    ASSERT_EQ(0u, ChangeLanguage(state, kEnglish, false, &change));
    EXPECT_EQ(QX_ERROR_INI_NOT_UTF8, change.configStatus);
    EXPECT_EQ("no byte-order mark: not ours to rewrite", *tree.read("Config.ini"));
}

TEST_F(LanguageChangeTest, TheOtherBuildsConfigIsWrittenOnlyWhenItLoaded) {
    struct Case {
        const char* what;
        bool windows64;
        bool otherExists;
        bool otherTried;
        uint32_t otherStatus;
    };
    const Case cases[] = {
        {"64-bit Windows, copy present", true, true, true, 0},
        {"64-bit Windows, copy missing: not created", true, false, true, ERR_INI_OPEN},
        {"not 64-bit Windows", false, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree tree;
        const std::string ours = "Program Files (x86)/Quorvantix/Test CSP/";
        const std::string other = "Program Files/Quorvantix/Test CSP/Config.ini";
        populate(tree, ours);
        if (c.otherExists) tree.write_ini(other, "[LanguageDefaultSetting]\r\nlanguage = 简体中文\r\n[PIN]\r\nMaxPinLen = 8\r\n");
        ActiveLanguage state;
        state.set({tree.path(ours + "Languages/language_chs.ini"), tree.path(ours + "Config.ini")});
        LanguageChange change;
        ASSERT_EQ(0u, ChangeLanguage(state, kEnglish, c.windows64, &change));
        EXPECT_EQ(c.otherTried, change.otherCopyTried);
        EXPECT_EQ(c.otherStatus, change.otherCopyStatus);
        const auto otherText = tree.read(other);
        if (!c.otherExists) {
            EXPECT_FALSE(otherText.has_value());
        } else if (c.otherTried) {
            EXPECT_NE(std::string::npos, otherText->find("language = English"));
            EXPECT_NE(std::string::npos, otherText->find("MaxPinLen = 8"));
        } else {
            EXPECT_NE(std::string::npos, otherText->find("language = 简体中文"));
        }
    }
}

}  // namespace
}  // namespace qx::language::test
