#include <string>

#include "QXTokenStatus.h"
#include "config/CU8Ini.h"
#include "language.h"
#include "startup.h"

namespace qx::manager {

uint32_t apply_default_language(const std::u16string& programDirectory, uint16_t uiLanguage,
                                std::u16string* displayName) {
    namespace lang = qx::language;
    const std::u16string configPath = lang::join_path(programDirectory, lang::kConfigFileName);
    kernel::CU8Ini config;
    uint32_t rc = lang::load_ini(config, configPath);
    if (rc != ERR_OK) return rc;
    const std::string key = language_key(map_ui_language(uiLanguage));
    const std::u16string file =
        lang::ini_text(config, "LanguageDefaultSetting", key.c_str(), 260, lang::to_text(kDefaultLanguageFile));
    kernel::CU8Ini languageFile;
    rc = lang::load_ini(languageFile,
                        lang::join_path(lang::join_path(programDirectory, lang::kLanguagesFolder), file));
    if (rc != ERR_OK) return rc;
    const std::u16string name = lang::ini_text(languageFile, "LanguageSetting", "language", 260, u"");
    if (name.empty()) return ERR_NOT_FOUND;
    rc = config.SetString("LanguageDefaultSetting", "language", lang::to_utf8(name).c_str());
    if (rc != ERR_OK) return rc;
    rc = lang::save_ini(config, configPath);
    if (rc == ERR_OK && displayName) *displayName = name;
    return rc;
}

}  // namespace qx::manager
