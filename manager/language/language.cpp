#include "language.h"

#include <algorithm>
#include <cstdio>

#include "config/CU8Ini.h"
#include "QXTokenStatus.h"
#include "qx/platform/module.h"
#include "qx/platform/system.h"
#include "qx/platform/text.h"
#include "qx/platform/wide_file.h"

namespace qx::language {

namespace {

constexpr char kLanguageDefaultSetting[] = "LanguageDefaultSetting";
constexpr char kLanguageSetting[] = "LanguageSetting";
constexpr char kLanguageKey[] = "language";
constexpr char kTextSection[] = "TEXT";

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

void trace(const std::string& line) { platform::debug_output(("[ManagerTools] " + line + "\n").c_str()); }

// UTF-8 to UTF-16, replacing each byte that starts no valid sequence with
// U+FFFD: a language file with a stray byte still shows the rest of its text.
Text decode_lenient(std::string_view in) {
    Text out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<uint8_t>(in[i]);
        std::size_t n = b0 < 0x80 ? 1 : (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : (b0 & 0xF8) == 0xF0 ? 4 : 0;
        Text piece;
        if (n != 0 && in.size() - i >= n && platform::utf8_to_utf16(in.substr(i, n), &piece)) {
            out += piece;
            i += n;
        } else {
            out.push_back(u'\uFFFD');
            ++i;
        }
    }
    return out;
}

bool contains_ignoring_case(const Text& haystack, std::u16string_view needle) {
    auto lower = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
    if (needle.size() > haystack.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && lower(haystack[i + k]) == lower(needle[k])) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

// The folder that holds `path`'s folder: "…\Languages\x.ini" gives "…\".
Text grandparent(const Text& path) {
    Text folder = directory_part(path);
    while (!folder.empty() && is_separator(folder.back())) folder.pop_back();
    return directory_part(folder);
}

}  // namespace

// ---- paths ----

Text directory_part(const Text& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (is_separator(path[i - 1])) return path.substr(0, i);
    }
    return {};
}

Text file_name_part(const Text& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (is_separator(path[i - 1])) return path.substr(i);
    }
    return path;
}

Text join_path(const Text& directory, const Text& name) {
    if (directory.empty()) return name;
    Text out = directory;
    if (!is_separator(out.back())) out.push_back(platform::wide_path_separator());
    return out + name;
}

Text program_directory() { return directory_part(platform::wide_executable_path()); }

Text to_text(std::string_view utf8) { return decode_lenient(utf8); }

std::string to_utf8(const Text& text) {
    std::string out;
    if (!platform::utf16_to_utf8(text, &out)) {
        // Unpaired surrogates become U+FFFD rather than losing the whole text.
        Text cleaned = text;
        for (std::size_t i = 0; i < cleaned.size(); ++i) {
            const char16_t c = cleaned[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < cleaned.size() && cleaned[i + 1] >= 0xDC00 &&
                cleaned[i + 1] <= 0xDFFF) {
                ++i;
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                cleaned[i] = u'\uFFFD';
            }
        }
        platform::utf16_to_utf8(cleaned, &out);
    }
    return out;
}

// ---- INI files ----

std::string soft_alg_directory() {
    static const int anchor = 0;
    return platform::directory_of(platform::module_path_of(&anchor));
}

uint32_t load_ini(kernel::CU8Ini& ini, const Text& path) {
    auto data = platform::read_wide_file(path);
    if (!data) return ERR_INI_OPEN;
    return ini.LoadData(std::move(*data), soft_alg_directory());
}

uint32_t save_ini(kernel::CU8Ini& ini, const Text& path) {
    std::vector<uint8_t> bytes;
    const uint32_t rc = ini.SaveData(&bytes);
    if (rc != 0) return rc;
    return platform::write_wide_file_atomically(path, bytes) ? 0u : ERR_INI_WRITE;
}

Text fit_text(const Text& text, uint32_t limit) {
    if (limit == 0) return {};
    if (text.size() <= limit - 1) return text;
    std::size_t n = limit - 1;
    // Never end on the first half of a surrogate pair.
    if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    return text.substr(0, n);
}

Text ini_text(const kernel::CU8Ini& ini, const char* section, const char* key, uint32_t limit, const Text& fallback) {
    if (limit == 0) return {};
    // Enough bytes for limit units of any text (at most 3 bytes per unit, 4
    // per pair), and one more unit so that a longer value shows as longer.
    const uint64_t bytes = static_cast<uint64_t>(limit) * 3 + 8;
    const std::string marker("\x01\x02");  // never a real value: tells "missing" from any text
    const std::string value = ini.GetString(section, key, static_cast<uint32_t>(std::min<uint64_t>(bytes, 1u << 24)),
                                            marker.c_str());
    if (value == marker) return fit_text(fallback, limit);
    return fit_text(decode_lenient(value), limit);
}

// ---- the active language ----

LanguagePaths ActiveLanguage::get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_;
}

void ActiveLanguage::set(LanguagePaths paths) {
    std::lock_guard<std::mutex> lock(mutex_);
    paths_ = std::move(paths);
}

ActiveLanguage& active_language() {
    static ActiveLanguage instance;
    return instance;
}

// ---- choosing the language file ----

uint32_t GetLanguageFilePath(const Text* baseDirectory, const Text* displayName, LanguagePaths* out) {
    if (!out) return kLanguageFailure;
    const Text base = (baseDirectory && !baseDirectory->empty()) ? *baseDirectory : program_directory();
    if (base.empty()) return kLanguageFailure;
    const Text config = join_path(base, kConfigFileName);

    Text wanted;
    if (displayName) {
        wanted = *displayName;
    } else {
        kernel::CU8Ini ini;
        if (load_ini(ini, config) != 0) {
            trace("ini.LoadFile Failed!");
            return kLanguageFailure;
        }
        wanted = ini_text(ini, kLanguageDefaultSetting, kLanguageKey, kLabelLimit, kDefaultLanguage);
    }

    const Text folder = join_path(base, kLanguagesFolder);
    for (const auto& entry : platform::find_wide_files(folder, kLanguageFilePattern)) {
        if (entry.directory) continue;
        const Text file = join_path(folder, entry.name);
        kernel::CU8Ini ini;
        const uint32_t rc = load_ini(ini, file);
        if (rc != 0) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%X", rc);
            trace("language file skipped (" + std::string(code) + "): " + to_utf8(file));
            continue;
        }
        if (ini_text(ini, kLanguageSetting, kLanguageKey, kLabelLimit, kNameNotInFile) == wanted) {
            out->languageFile = file;
            out->configFile = config;
            return 0;
        }
    }
    return kLanguageFailure;
}

// ---- texts ----

Text LoadText(std::string_view key, const Text& languageFile, uint32_t limit) {
    if (key.empty()) return {};
    Text text;
    kernel::CU8Ini ini;
    // An unloadable file gives the not-found text, not whatever an earlier
    // lookup found.
    if (load_ini(ini, languageFile) != 0) {
        text = kTextNotFound;
    } else {
        const std::string k(key);
        // One unit more than the caller takes, so that a longer text shows as longer.
        const uint32_t probe = std::min<uint32_t>(limit, 1u << 20) + 1;
        text = ini_text(ini, kTextSection, k.c_str(), probe, kTextNotFound);
    }
    if (limit == 0) return {};
    if (text.size() > limit - 1) return fit_text(kBufferTooShort, limit);
    return text;
}

uint32_t LoadText(const char* key, const char16_t* languageFile, char16_t* buffer, uint32_t length) {
    if (!buffer || length == 0) return ERR_INVALID_PARAM;
    Text text;
    if (!key || !*key) {
        text.clear();
    } else if (!languageFile) {
        text = fit_text(kTextNotFound, length);
        if (Text(kTextNotFound).size() > length - 1) text = fit_text(kBufferTooShort, length);
    } else {
        text = LoadText(std::string_view(key), Text(languageFile), length);
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return 0;
}

FormatKind format_kind(const Text& format) {
    FormatKind found = FormatKind::none;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != u'%') continue;
        if (i + 1 >= format.size()) return FormatKind::invalid;
        const char16_t c = format[i + 1];
        ++i;
        if (c == u'%') continue;
        if (found != FormatKind::none) return FormatKind::invalid;
        if (c == u'd') {
            found = FormatKind::number;
        } else if (c == u's') {
            found = FormatKind::text;
        } else {
            return FormatKind::invalid;
        }
    }
    return found;
}

namespace {

Text substitute(const Text& format, const Text& value, uint32_t limit) {
    Text out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size()) {
            const char16_t c = format[++i];
            if (c == u'%') {
                out.push_back(u'%');
            } else {
                out += value;
            }
        } else {
            out.push_back(format[i]);
        }
        if (out.size() >= limit) break;  // bounded, whatever the value's size
    }
    return fit_text(out, limit);
}

}  // namespace

Text FormatText(const Text& format, int64_t number, uint32_t limit) {
    if (format_kind(format) != FormatKind::number) return fit_text(format, limit);
    const std::string digits = std::to_string(number);
    return substitute(format, Text(digits.begin(), digits.end()), limit);
}

Text FormatText(const Text& format, const Text& text, uint32_t limit) {
    if (format_kind(format) != FormatKind::text) return fit_text(format, limit);
    return substitute(format, text, limit);
}

// ---- message boxes ----

uint32_t ComposeMessageBox(const Text& controlText, const Text& languageFile, std::string_view key, uint32_t type,
                           MessageBoxContent* out) {
    if (!out || type > 2) return ERR_INVALID_PARAM;
    MessageBoxContent box;
    // Built as strings of their own: caption and text may each be as long as
    // their limits allow, with room for the space and for each other.
    box.caption = fit_text(controlText, kLabelLimit);
    if (contains_ignoring_case(file_name_part(languageFile), u"enu")) box.caption.push_back(u' ');
    const Text text = LoadText(key, languageFile, kMessageLimit);
    box.text = type == 0 ? text : box.caption + text;
    box.icon = type == 2 ? platform::MessageIcon::error : platform::MessageIcon::information;
    *out = std::move(box);
    return 0;
}

int ShowLocalizedMessageBox(const Text& controlText, const Text& languageFile, std::string_view key, uint32_t type) {
    MessageBoxContent box;
    if (ComposeMessageBox(controlText, languageFile, key, type, &box) != 0) return 0;
    return platform::show_message_box(box.text, box.caption, box.icon);
}

// ---- dialogs and tabs ----

uint32_t LoadDialogTexts(const Text& languageFile, int resourceId, const std::vector<int>& controlIds,
                         DialogTexts* out, bool build64) {
    if (!out) return ERR_INVALID_PARAM;
    kernel::CU8Ini ini;
    const uint32_t rc = load_ini(ini, languageFile);
    if (rc != 0) return rc;
    const std::string section = "IDD_DIALOG_" + std::to_string(resourceId);
    DialogTexts texts;
    texts.title = ini_text(ini, section.c_str(), "Title", kTitleLimit, Text());
    if (resourceId == kMainDialog && build64) texts.title += u"(X64)";
    for (int id : controlIds) {
        const std::string key = std::to_string(id);
        texts.controls.emplace_back(id, ini_text(ini, section.c_str(), key.c_str(), kTitleLimit, Text()));
    }
    *out = std::move(texts);
    return 0;
}

uint32_t LoadTabTitles(const Text& languageFile, std::array<Text, 4>* out) {
    if (!out) return ERR_INVALID_PARAM;
    kernel::CU8Ini ini;
    const uint32_t rc = load_ini(ini, languageFile);
    if (rc != 0) return rc;
    for (int i = 0; i < 4; ++i) {
        const std::string key = "Sheet" + std::to_string(i);
        (*out)[static_cast<std::size_t>(i)] = ini_text(ini, "IDD_TABLE_CONTROL", key.c_str(), kLabelLimit, kTabTitleMissing);
    }
    return 0;
}

// ---- the language list and changing the language ----

uint32_t Language_InitComboBox(const Text& activeLanguageFile, LanguageList* out) {
    if (!out) return ERR_INVALID_PARAM;
    LanguageList list;
    const Text folder = directory_part(activeLanguageFile);
    const Text config = join_path(grandparent(activeLanguageFile), kConfigFileName);
    if (!folder.empty()) {
        for (const auto& entry : platform::find_wide_files(folder, kLanguageFilePattern)) {
            if (entry.directory) continue;
            const Text file = join_path(folder, entry.name);
            kernel::CU8Ini ini;
            if (load_ini(ini, file) != 0) {
                trace("language file skipped: " + to_utf8(file));
                continue;
            }
            list.names.push_back(ini_text(ini, kLanguageSetting, kLanguageKey, kDisplayNameLimit, kNameNotInList));
        }
    }
    kernel::CU8Ini ini;
    const uint32_t rc = load_ini(ini, config);
    if (rc == 0) {
        const Text wanted = ini_text(ini, kLanguageDefaultSetting, kLanguageKey, kLabelLimit, kDefaultLanguage);
        const auto it = std::find(list.names.begin(), list.names.end(), wanted);
        if (it != list.names.end()) list.selected = static_cast<int>(it - list.names.begin());
    }
    *out = std::move(list);
    return rc;
}

Text other_build_config_path(const Text& configFile, const std::string& providerName) {
    const std::size_t pos = configFile.find(u" (x86)");
    if (pos == Text::npos) return {};
    Text path = join_path(configFile.substr(0, pos), u"Quorvantix");
    path = join_path(path, to_text(providerName));
    return join_path(path, kConfigFileName);
}

namespace {

// Writes the display name into a Config.ini.  `mayCreate`: a file that does
// not exist yet is created; a file that exists but cannot be loaded is
// never overwritten (its other settings would be lost).
uint32_t write_language(const Text& configFile, const Text& displayName, bool mayCreate, std::string* providerName) {
    kernel::CU8Ini ini;
    uint32_t rc = load_ini(ini, configFile);
    if (rc != 0) {
        if (!(mayCreate && rc == ERR_INI_OPEN && !platform::wide_file_exists(configFile))) return rc;
        ini.set_soft_alg_directory(soft_alg_directory());
    } else if (providerName) {
        *providerName = ini.GetString("QXTokenInfo", "CSPName", 260, kDefaultProviderName);
    }
    const std::string name = to_utf8(displayName);
    rc = ini.SetString(kLanguageDefaultSetting, kLanguageKey, name.c_str());
    if (rc != 0) return rc;
    return save_ini(ini, configFile);
}

}  // namespace

uint32_t ChangeLanguage(ActiveLanguage& state, const Text& displayName, bool windows64, LanguageChange* out) {
    if (!out) return ERR_INVALID_PARAM;
    const LanguagePaths current = state.get();
    const Text base = grandparent(current.languageFile);
    if (base.empty()) return kLanguageFailure;
    LanguagePaths next;
    // A name that resolves to no file leaves the language and Config.ini as they are.
    if (GetLanguageFilePath(&base, &displayName, &next) != 0) return kLanguageFailure;
    state.set(next);

    LanguageChange change;
    change.paths = next;
    std::string provider = kDefaultProviderName;
    change.configStatus = write_language(next.configFile, displayName, true, &provider);
    const Text other = windows64 ? other_build_config_path(next.configFile, provider) : Text();
    if (!other.empty()) {
        change.otherCopyTried = true;
        change.otherCopyStatus = write_language(other, displayName, false, nullptr);
    }
    *out = std::move(change);
    return 0;
}

}  // namespace qx::language
