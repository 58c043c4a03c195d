// The shipped language files: every key the code looks up is in all three,
// formatted texts hold exactly the expected conversion, every dialog control
// and tab has its text, and the shipped Config.ini part maps the system
// languages to files that exist.
#include <gtest/gtest.h>

#include <set>

#include "config/CU8Ini.h"
#include "language.h"
#include "language_test_support.h"
#include "qx/platform/module.h"
#include "text_keys.h"

namespace qx::language::test {
namespace {

const std::string kSourceDir = QX_LANGUAGE_SOURCE_DIR;

struct Shipped {
    const char* file;
    const char16_t* displayName;
};
constexpr Shipped kShipped[] = {
    {"language_chs.ini", u"简体中文"},
    {"language_cht.ini", u"繁體中文"},
    {"language_enu.ini", u"English"},
};

Text installed(const char* file) {
    return join_path(join_path(to_text(platform::directory_of(platform::executable_path())), u"Languages"),
                     to_text(file));
}

class ShippedLanguageFile : public ::testing::TestWithParam<Shipped> {};

TEST_P(ShippedLanguageFile, CarriesEveryKeyTheCodeUses) {
    const Text file = installed(GetParam().file);
    const auto bytes = platform::read_wide_file(file);
    ASSERT_TRUE(bytes.has_value()) << "not installed beside the binaries: " << to_utf8(file);
    ASSERT_GE(bytes->size(), 3u);
    EXPECT_EQ(kBom, std::string(bytes->begin(), bytes->begin() + 3));
    kernel::CU8Ini ini;
    ASSERT_EQ(0u, load_ini(ini, file));
    EXPECT_EQ(Text(GetParam().displayName), ini_text(ini, "LanguageSetting", "language", kDisplayNameLimit, u""));

    for (const TextKey& k : kTextKeys) {
        SCOPED_TRACE(k.key);
        const Text text = LoadText(k.key, file, kMessageLimit);
        EXPECT_NE(Text(kTextNotFound), text);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(k.format, format_kind(text));
    }
    for (const DialogControls& d : kDialogControls) {
        const std::string section = "IDD_DIALOG_" + std::to_string(d.resourceId);
        SCOPED_TRACE(section);
        const auto keys = ini.SectionKeys(section.c_str());
        const std::set<std::string> present(keys.begin(), keys.end());
        EXPECT_TRUE(present.count("Title"));
        for (int id : d.controls) EXPECT_TRUE(present.count(std::to_string(id))) << id;
    }
    std::array<Text, 4> tabs;
    ASSERT_EQ(0u, LoadTabTitles(file, &tabs));
    for (const Text& t : tabs) EXPECT_NE(Text(kTabTitleMissing), t);
    EXPECT_FALSE(ini.SectionKeys("QXUI").empty());
}

INSTANTIATE_TEST_SUITE_P(Shipped, ShippedLanguageFile, ::testing::ValuesIn(kShipped));

TEST(ShippedLanguageFiles, AgreeOnTheirKeysAndResolveByName) {
    // The same keys in every section of every file.
    std::vector<std::set<std::string>> keySets;
    for (const Shipped& s : kShipped) {
        kernel::CU8Ini ini;
        ASSERT_EQ(0u, load_ini(ini, installed(s.file)));
        std::set<std::string> all;
        for (const char* section : {"LanguageSetting", "IDD_DIALOG_102", "IDD_DIALOG_130", "IDD_DIALOG_129",
                                    "IDD_DIALOG_135", "IDD_DIALOG_131", "IDD_TABLE_CONTROL", "TEXT", "QXUI"}) {
            for (const auto& k : ini.SectionKeys(section)) all.insert(std::string(section) + "/" + k);
        }
        keySets.push_back(all);
    }
    EXPECT_EQ(keySets[0], keySets[1]);
    EXPECT_EQ(keySets[0], keySets[2]);

    // Installed as a product has them: Config.ini above "Languages".
    TempTree tree;
    for (const Shipped& s : kShipped) {
        tree.write_bytes(std::string("Languages/") + s.file, *TempTree::read_path(installed(s.file)));
    }
    tree.write_bytes("Config.ini", *TempTree::read_path(to_text(kSourceDir + "/Config.ini")));
    const Text base = tree.path();
    LanguagePaths paths;
    ASSERT_EQ(0u, GetLanguageFilePath(&base, nullptr, &paths));  // the shipped default language
    EXPECT_EQ(tree.path("Languages/language_chs.ini"), paths.languageFile);
    for (const Shipped& s : kShipped) {
        const Text name = s.displayName;
        ASSERT_EQ(0u, GetLanguageFilePath(&base, &name, &paths));
        EXPECT_EQ(tree.path(std::string("Languages/") + s.file), paths.languageFile);
    }
    LanguageList list;
    ASSERT_EQ(0u, Language_InitComboBox(paths.languageFile, &list));
    EXPECT_EQ((std::vector<Text>{u"简体中文", u"繁體中文", u"English"}), list.names);
    EXPECT_EQ(0, list.selected);
}

TEST(ShippedLanguageFiles, ConfigMapsTheSystemLanguages) {
    kernel::CU8Ini ini;
    ASSERT_EQ(0u, load_ini(ini, to_text(kSourceDir + "/Config.ini")));
    const struct {
        const char* id;
        const char* file;
    } map[] = {{"2052", "language_chs.ini"}, {"1028", "language_cht.ini"}, {"1033", "language_enu.ini"}};
    for (const auto& m : map) {
        EXPECT_EQ(m.file, ini.GetString("LanguageDefaultSetting", m.id, 260, "")) << m.id;
    }
    EXPECT_EQ(u"简体中文", ini_text(ini, "LanguageDefaultSetting", "language", kLabelLimit, u""));
}

}  // namespace
}  // namespace qx::language::test
