// The PIN policy every PIN entered through the UI extension passes, and the
// 8-bit form of a PIN that goes to the kernel.  The policy is the [PIN]
// section of the Config.ini above the "Languages" folder of the language file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "language.h"

namespace qx::uiext {

using language::Text;

constexpr uint32_t kPinRuleViolation = 0xFFFFFFFFu;
constexpr uint32_t kPinPolicyMissing = 9;  // a policy key is missing
constexpr uint32_t kPinNullArgument = 19;

// Modes of CheckPinRules.
constexpr int kCheckEveryRule = 0;
constexpr int kCheckLengthOnly = 1;

// The 8-bit PIN the kernel takes: 2 to 128 bytes.
constexpr std::size_t kMinPinBytes = 2;
constexpr std::size_t kMaxPinBytes = 128;

// [PIN] of Config.ini; a key that is missing reads -1.
struct PinPolicy {
    int32_t maxPinLen = -1;
    int32_t minPinLen = -1;
    int32_t requireDigit = -1;       // 1 required, 0 forbidden, other: no rule
    int32_t requireAlphabetic = -1;  // the same for letters
    int32_t requireSpecial = -1;     // the same for special characters
    int32_t requireComplex = -1;     // 1: IsComplexPin must hold
    // Whether every key was there.
    bool complete() const;
};

// Reads the policy; returns the reader's status (the policy is all -1 then).
uint32_t LoadPinPolicy(const Text& configFile, PinPolicy* out);

// The policy file of a language file: the part of its path before the last
// "Languages" folder, plus "Config.ini"; empty when the path has none.
Text PinPolicyPath(const Text& languageFile);

// The rules themselves.  Length bounds of -1 are not checked (CheckPinRules
// never gets that far with one).  Returns 0, or kPinRuleViolation with the
// message key of the first rule that fails in `messageKey`.
uint32_t CheckPin(const PinPolicy& policy, int mode, std::u16string_view pin, const char** messageKey);

// Runs, repetitions and too few distinct characters are not complex.
bool IsComplexPin(std::u16string_view pin);

// Checks `pin` against the policy above `languageFile`'s "Languages" folder.
// Mode 1: the length only; any other mode: every rule.  Returns 0, 19 for a
// null argument, 9 with "ConfigFile_ReadError" when the policy file has no
// place or lacks a key, the reader's status (with the same message) when it
// cannot be loaded, or 0xFFFFFFFF with the rule's message.  `message` takes
// kMessageUnits units; it is written only on failure (not for 19).
constexpr uint32_t kMessageUnits = language::kLabelLimit;
uint32_t CheckPinRules(int mode, const char16_t* pin, const char16_t* languageFile, char16_t* message);

// A PIN in the system's 8-bit text, wiped when it goes.
class PinBytes {
public:
    PinBytes() = default;
    ~PinBytes() { wipe(); }
    PinBytes(const PinBytes&) = delete;
    PinBytes& operator=(const PinBytes&) = delete;
    void wipe();
    std::string& bytes() { return bytes_; }
    const char* data() const { return bytes_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }

private:
    std::string bytes_;
};

// Converts a PIN for the kernel: a character the system's 8-bit text cannot
// hold gives "CharacterChangeError" and the conversion status; fewer than 2
// or more than 128 bytes give "Pin_Limit_Len" and 0xFFFFFFFF.
uint32_t ConvertPin(std::u16string_view pin, PinBytes* out, const char** messageKey);

// Overwrites a UTF-16 PIN with zeros.
void WipePin(std::u16string& pin);

}  // namespace qx::uiext
