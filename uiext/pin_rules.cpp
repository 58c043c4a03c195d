#include "pin_rules.h"

#include <algorithm>
#include <set>

#include "config/CU8Ini.h"
#include "qx/platform/text.h"

namespace qx::uiext {

namespace {

constexpr char kConfigReadError[] = "ConfigFile_ReadError";

void put_message(const char* key, const char16_t* languageFile, char16_t* message) {
    language::LoadText(key, languageFile, message, kMessageUnits);
}

// A rule of the "1 required, 0 forbidden" kind; null when it holds.
const char* class_rule(int32_t setting, bool present, const char* required, const char* forbidden) {
    if (setting == 1 && !present) return required;
    if (setting == 0 && present) return forbidden;
    return nullptr;
}

bool is_special(char16_t c) {
    return platform::is_printable_unit(c) && !platform::is_space_unit(c) && !platform::is_digit_unit(c) &&
           !platform::is_letter_unit(c);
}

// Every unit is the previous one plus `step` (code units compared as numbers).
bool steps_by(std::u16string_view s, int step) {
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (static_cast<int>(s[i]) - static_cast<int>(s[i - 1]) != step) return false;
    }
    return true;
}

}  // namespace

bool PinPolicy::complete() const {
    return maxPinLen != -1 && minPinLen != -1 && requireDigit != -1 && requireAlphabetic != -1 &&
           requireSpecial != -1 && requireComplex != -1;
}

uint32_t LoadPinPolicy(const Text& configFile, PinPolicy* out) {
    if (!out) return kPinNullArgument;
    *out = PinPolicy{};
    kernel::CU8Ini ini;
    const uint32_t rc = language::load_ini(ini, configFile);
    if (rc != 0) return rc;
    out->maxPinLen = ini.GetInteger("PIN", "MaxPinLen", -1);
    out->minPinLen = ini.GetInteger("PIN", "MinPinLen", -1);
    out->requireDigit = ini.GetInteger("PIN", "RequireDigit", -1);
    out->requireAlphabetic = ini.GetInteger("PIN", "RequireAlphabetic", -1);
    out->requireSpecial = ini.GetInteger("PIN", "RequireSpecial", -1);
    out->requireComplex = ini.GetInteger("PIN", "RequireComplex", -1);
    return 0;
}

Text PinPolicyPath(const Text& languageFile) {
    // The last "Languages" that is a whole folder name: "…\Languages\x.ini".
    const std::u16string_view folder = language::kLanguagesFolder;
    for (std::size_t pos = languageFile.rfind(folder); pos != Text::npos && pos > 0;
         pos = languageFile.rfind(folder, pos - 1)) {
        const std::size_t end = pos + folder.size();
        const char16_t before = languageFile[pos - 1];
        const bool startsFolder = before == u'\\' || before == u'/';
        const bool endsFolder = end == languageFile.size() || languageFile[end] == u'\\' || languageFile[end] == u'/';
        if (startsFolder && endsFolder) return language::join_path(languageFile.substr(0, pos), language::kConfigFileName);
    }
    return {};
}

bool IsComplexPin(std::u16string_view pin) {
    if (pin.size() < 2) return false;
    if (steps_by(pin, 1) || steps_by(pin, -1) || steps_by(pin, 0)) return false;
    if (std::set<char16_t>(pin.begin(), pin.end()).size() < 3) return false;
    if (pin.size() % 2 == 0) {
        std::u16string halves;
        for (std::size_t i = 0; i < pin.size(); i += 2) {
            if (pin[i] != pin[i + 1]) return true;  // not wholly doubled characters
            halves.push_back(pin[i]);
        }
        if (steps_by(halves, 1) || steps_by(halves, -1)) return false;
    }
    return true;
}

uint32_t CheckPin(const PinPolicy& policy, int mode, std::u16string_view pin, const char** messageKey) {
    const char* failed = nullptr;
    const auto length = static_cast<int64_t>(pin.size());
    if ((policy.maxPinLen != -1 && length > policy.maxPinLen) || (policy.minPinLen != -1 && length < policy.minPinLen)) {
        failed = "CheckPinRegual_PinLenError";
    } else if (mode != kCheckLengthOnly) {
        bool digit = false, letter = false, special = false;
        for (char16_t c : pin) {
            digit = digit || platform::is_digit_unit(c);
            letter = letter || platform::is_letter_unit(c);
            special = special || is_special(c);
        }
        failed = class_rule(policy.requireDigit, digit, "CheckPinRegual_RequireDigit", "CheckPinRegual_NotRequireDigit");
        if (!failed)
            failed = class_rule(policy.requireAlphabetic, letter, "CheckPinRegual_RequireAlpha",
                                "CheckPinRegual_NotRequireAlpha");
        if (!failed)
            failed = class_rule(policy.requireSpecial, special, "CheckPinRegual_RequireSpecial",
                                "CheckPinRegual_NotRequireSpecial");
        if (!failed && policy.requireComplex == 1 && !IsComplexPin(pin)) failed = "CheckPinRegual_RequireComplex";
    }
    if (messageKey) *messageKey = failed;
    return failed ? kPinRuleViolation : 0u;
}

uint32_t CheckPinRules(int mode, const char16_t* pin, const char16_t* languageFile, char16_t* message) {
    if (!pin || !languageFile || !message) return kPinNullArgument;
    const Text policyFile = PinPolicyPath(languageFile);
    if (policyFile.empty()) {
        put_message(kConfigReadError, languageFile, message);
        return kPinPolicyMissing;
    }
    PinPolicy policy;
    const uint32_t rc = LoadPinPolicy(policyFile, &policy);
    if (rc != 0) {
        put_message(kConfigReadError, languageFile, message);
        return rc;
    }
    if (!policy.complete()) {
        put_message(kConfigReadError, languageFile, message);
        return kPinPolicyMissing;
    }
    const char* key = nullptr;
    const uint32_t result = CheckPin(policy, mode, std::u16string_view(pin), &key);
    if (result != 0) put_message(key, languageFile, message);
    return result;
}

void PinBytes::wipe() {
    volatile char* p = bytes_.data();
    for (std::size_t i = 0; i < bytes_.size(); ++i) p[i] = 0;
    bytes_.clear();
}

uint32_t ConvertPin(std::u16string_view pin, PinBytes* out, const char** messageKey) {
    if (messageKey) *messageKey = nullptr;
    if (!out) return kPinNullArgument;
    out->wipe();
    const uint32_t rc = platform::to_system_text(pin, &out->bytes());
    if (rc != 0) {
        out->wipe();
        if (messageKey) *messageKey = "CharacterChangeError";
        return rc;
    }
    if (out->size() < kMinPinBytes || out->size() > kMaxPinBytes) {
        out->wipe();
        if (messageKey) *messageKey = "Pin_Limit_Len";
        return kPinRuleViolation;
    }
    return 0;
}

void WipePin(std::u16string& pin) {
    volatile char16_t* p = pin.data();
    for (std::size_t i = 0; i < pin.size(); ++i) p[i] = 0;
}

}  // namespace qx::uiext
