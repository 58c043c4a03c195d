// Language files: one UTF-8 INI file per language in the folder "Languages"
// beside Config.ini, shared by the key manager tool and the UI extension.
// Config.ini names the active language by its display name; each language
// file carries that name ([LanguageSetting] language), the dialog texts
// ([IDD_DIALOG_n]), the tab titles ([IDD_TABLE_CONTROL]) and the texts keyed
// by word ([TEXT]).
//
// Texts and paths are UTF-16 (std::u16string) on every system; the platform
// layer turns a path into what the system takes.  Every lookup reads the file
// anew, so a changed file is seen at once.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "qx/platform/message_box.h"

namespace qx::kernel {
class CU8Ini;
}

namespace qx::language {

using Text = std::u16string;

// GetLanguageFilePath's failure ("all bits set").
constexpr uint32_t kLanguageFailure = 0xFFFFFFFFu;

// Buffer sizes in UTF-16 units, terminating zero included.
constexpr uint32_t kLabelLimit = 260;    // labels, status texts, PIN messages
constexpr uint32_t kMessageLimit = 1024; // message-box texts
constexpr uint32_t kDisplayNameLimit = 100;
constexpr uint32_t kTitleLimit = 500;

constexpr char16_t kTextNotFound[] = u"Not found LoadString";
constexpr char16_t kBufferTooShort[] = u"Buffer is not enough long";
constexpr char16_t kDefaultLanguage[] = u"简体中文";
constexpr char16_t kNameNotInFile[] = u"Not Find In File";
constexpr char16_t kNameNotInList[] = u"Not Found InitCBO";
constexpr char16_t kTabTitleMissing[] = u"Not Find in Set SheetTitle";
constexpr char16_t kConfigFileName[] = u"Config.ini";
constexpr char16_t kLanguagesFolder[] = u"Languages";
constexpr char16_t kLanguageFilePattern[] = u"language_*.ini";
constexpr char kDefaultProviderName[] = "Quorvantix Base CSP v1.0";

// ---- paths (either separator is understood; new parts use the system's) ----

// Everything up to and including the last separator; empty without one.
Text directory_part(const Text& path);
// Everything after the last separator.
Text file_name_part(const Text& path);
// `directory` + separator (unless it ends in one) + `name`.
Text join_path(const Text& directory, const Text& name);
// The directory of the running program, ending in a separator.
Text program_directory();

// ---- INI files named by UTF-16 paths ----

// Where QXSoftAlg is taken from when a file is enciphered: the directory of
// the module that contains this code.
std::string soft_alg_directory();
uint32_t load_ini(kernel::CU8Ini& ini, const Text& path);
// Writes the file (crash-safe replacement).  ERR_INI_WRITE when it cannot.
uint32_t save_ini(kernel::CU8Ini& ini, const Text& path);
// A value as UTF-16, cut to `limit` - 1 units (never inside a surrogate
// pair); `fallback` when the key is missing.  Malformed UTF-8 shows U+FFFD.
Text ini_text(const kernel::CU8Ini& ini, const char* section, const char* key, uint32_t limit, const Text& fallback);

// `text` cut to `limit` - 1 units (empty for a limit of 0).
Text fit_text(const Text& text, uint32_t limit);

// ---- choosing the language file ----

struct LanguagePaths {
    Text languageFile;
    Text configFile;
};

// Resolves the language file: Config.ini is `baseDirectory` (or, when null
// or empty, the program's directory) + "Config.ini"; the wanted display name
// is `displayName`, or, when null, Config.ini's [LanguageDefaultSetting]
// language (default "简体中文"; a Config.ini that cannot be loaded fails).
// The "language_*.ini" files of base + "Languages" are read in the order the
// platform lists them (by name on POSIX); the first whose [LanguageSetting]
// language equals the name exactly wins.  A file that cannot be loaded is
// skipped with a trace line, so one broken file does not hide the others.
// Returns 0, or kLanguageFailure with `out` unchanged.
uint32_t GetLanguageFilePath(const Text* baseDirectory, const Text* displayName, LanguagePaths* out);

// The active language of the process: the language file and its Config.ini.
class ActiveLanguage {
public:
    LanguagePaths get() const;
    Text languageFile() const { return get().languageFile; }
    void set(LanguagePaths paths);

private:
    mutable std::mutex mutex_;
    LanguagePaths paths_;
};

// The process-wide active language.
ActiveLanguage& active_language();

// ---- texts ----

// The text of [TEXT] `key` in `languageFile`, read anew: an empty key gives
// an empty text; a missing key, or a file that cannot be loaded, gives "Not
// found LoadString" (never an earlier text).  A text that does not fit in
// `limit` units with its terminating zero gives "Buffer is not enough long",
// itself cut to fit.  Each call returns its own whole value: nothing is kept
// between calls.
Text LoadText(std::string_view key, const Text& languageFile, uint32_t limit = kLabelLimit);

// The same into a caller's buffer of `length` units, zero-terminated.
// ERR_INVALID_PARAM for a null buffer or a length of 0; a null key is empty,
// a null path gives "Not found LoadString".
uint32_t LoadText(const char* key, const char16_t* languageFile, char16_t* buffer, uint32_t length);

// Language files are data: a text is formatted only when it holds exactly
// one conversion and that is the expected one ("%d" for a number, "%s" for a
// text; "%%" is a literal percent sign).  Anything else, a width, a second
// conversion, another letter, is shown as it stands, never interpreted.
// The result is cut to `limit` - 1 units.
Text FormatText(const Text& format, int64_t number, uint32_t limit = kLabelLimit);
Text FormatText(const Text& format, const Text& text, uint32_t limit = kLabelLimit);

enum class FormatKind { none, number, text, invalid };
// What a text asks for: no conversion, exactly one "%d", exactly one "%s",
// or anything else (`invalid`: shown as it stands).
FormatKind format_kind(const Text& format);

// ---- message boxes ----

struct MessageBoxContent {
    Text caption;
    Text text;
    platform::MessageIcon icon = platform::MessageIcon::information;
};

// Composes a result message: the caption is `controlText` (at most 259
// units), followed by one space when the language file's name contains
// "enu"; the text is [TEXT] `key` (limit 1024).  Type 0: the text alone;
// 1: caption then text; 2: the same with the error icon.  Another type:
// ERR_INVALID_PARAM.
uint32_t ComposeMessageBox(const Text& controlText, const Text& languageFile, std::string_view key, uint32_t type,
                           MessageBoxContent* out);

// Composes and shows it (platform message box); returns the button or 0.
int ShowLocalizedMessageBox(const Text& controlText, const Text& languageFile, std::string_view key, uint32_t type);

// ---- dialogs and tabs ----

struct DialogTexts {
    Text title;
    // (control ID, text) in the order asked for.
    std::vector<std::pair<int, Text>> controls;
};

// The caption ([IDD_DIALOG_n] Title, at most 499 units, default empty; for
// the main dialog 102 "(X64)" follows directly in the 64-bit build) and the
// text of every control in `controlIds` (default empty: a control the file
// lacks loses its text).  The file's load status on failure, `out` unchanged.
uint32_t LoadDialogTexts(const Text& languageFile, int resourceId, const std::vector<int>& controlIds,
                         DialogTexts* out, bool build64 = sizeof(void*) == 8);

constexpr int kMainDialog = 102;

// [IDD_TABLE_CONTROL] Sheet0 to Sheet3, default "Not Find in Set SheetTitle".
uint32_t LoadTabTitles(const Text& languageFile, std::array<Text, 4>* out);

// ---- the language list and changing the language ----

struct LanguageList {
    std::vector<Text> names;  // display names, in file order
    int selected = -1;        // the entry naming Config.ini's language, or -1
};

// Fills the list from the folder of `activeLanguageFile` (each file's
// [LanguageSetting] language, at most 99 units, default "Not Found InitCBO";
// files that cannot be loaded are skipped with a trace line) and selects
// the language Config.ini names (the parent of that folder + "Config.ini";
// default "简体中文").  Returns 0 or Config.ini's load status (the names are
// filled either way).
uint32_t Language_InitComboBox(const Text& activeLanguageFile, LanguageList* out);

struct LanguageChange {
    LanguagePaths paths;          // the new active language
    uint32_t configStatus = 0;    // writing Config.ini
    bool otherCopyTried = false;  // the " (x86)" installation's Config.ini
    uint32_t otherCopyStatus = 0;
};

// Switches `state` to the language named `displayName`: the base directory
// is the parent of the current language file's folder.  A name that resolves
// to no file changes nothing and returns kLanguageFailure.  Otherwise the
// new paths are made active and the name is written into Config.ini as
// [LanguageDefaultSetting] language; a Config.ini that exists but cannot be
// loaded is left alone rather than overwritten.  With `windows64` and a
// Config.ini path containing " (x86)", the other build's Config.ini (the
// path cut before " (x86)", then "Quorvantix", the CSPName and
// "Config.ini") gets the same value, written only when it loaded.
// The UI steps (dialog texts, pages, tray) are the caller's.
uint32_t ChangeLanguage(ActiveLanguage& state, const Text& displayName, bool windows64, LanguageChange* out);

// The path of the other build's Config.ini for `configFile`, empty when the
// path has no " (x86)".
Text other_build_config_path(const Text& configFile, const std::string& providerName);

// ---- small helpers for callers and tests ----

Text to_text(std::string_view utf8);
std::string to_utf8(const Text& text);

}  // namespace qx::language
