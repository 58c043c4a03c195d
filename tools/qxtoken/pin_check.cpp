#include "pin_check.h"

#include <cstring>

#include "cli.h"
#include "QXTokenStatus.h"
#include "config/CU8Ini.h"
#include "qx/platform/module.h"
#include "qx/platform/text.h"

namespace qx::qxtoken {

namespace {

// What initialisation writes when Config.ini says nothing (the kernel's defaults).
constexpr int32_t kDefaultMinPinLen = 6;
constexpr int32_t kDefaultMaxPinLen = 8;

struct ConfigPolicy {
    uiext::PinPolicy policy;
    int32_t minLen = kDefaultMinPinLen;
    int32_t maxLen = kDefaultMaxPinLen;
};

ConfigPolicy read_config(const std::string& kernelDirectory) {
    ConfigPolicy c;
    kernel::CU8Ini ini;
    if (ini.LoadFile(kernelDirectory + "Config.ini", kernelDirectory) != 0) return c;  // no file: the defaults
    c.minLen = ini.GetInteger("PIN", "MinPinLen", kDefaultMinPinLen);
    c.maxLen = ini.GetInteger("PIN", "MaxPinLen", kDefaultMaxPinLen);
    c.policy.requireDigit = ini.GetInteger("PIN", "RequireDigit", -1);
    c.policy.requireAlphabetic = ini.GetInteger("PIN", "RequireAlphabetic", -1);
    c.policy.requireSpecial = ini.GetInteger("PIN", "RequireSpecial", -1);
    c.policy.requireComplex = ini.GetInteger("PIN", "RequireComplex", -1);
    return c;
}

bool sensible_range(int64_t minLen, int64_t maxLen) {
    return minLen >= 1 && maxLen >= minLen && maxLen <= static_cast<int64_t>(uiext::kMaxPinBytes);
}

NewPinRules with_range(const ConfigPolicy& c, int64_t minLen, int64_t maxLen) {
    NewPinRules r;
    r.policy = c.policy;
    if (sensible_range(minLen, maxLen)) {
        r.policy.minPinLen = static_cast<int32_t>(minLen);
        r.policy.maxPinLen = static_cast<int32_t>(maxLen);
    } else if (sensible_range(c.minLen, c.maxLen)) {
        r.policy.minPinLen = c.minLen;
        r.policy.maxPinLen = c.maxLen;
    } else {
        r.policy.minPinLen = kDefaultMinPinLen;
        r.policy.maxPinLen = kDefaultMaxPinLen;
    }
    return r;
}

uint32_t le32(const uint8_t* p) { return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

std::string rule_text(const char* key, const uiext::PinPolicy& p) {
    const std::string k = key ? key : "";
    if (k == "CheckPinRegual_PinLenError")
        return "must have " + std::to_string(p.minPinLen) + " to " + std::to_string(p.maxPinLen) + " characters";
    if (k == "CheckPinRegual_RequireDigit") return "must contain a digit";
    if (k == "CheckPinRegual_NotRequireDigit") return "must not contain digits";
    if (k == "CheckPinRegual_RequireAlpha") return "must contain a letter";
    if (k == "CheckPinRegual_NotRequireAlpha") return "must not contain letters";
    if (k == "CheckPinRegual_RequireSpecial") return "must contain a special character";
    if (k == "CheckPinRegual_NotRequireSpecial") return "must not contain special characters";
    if (k == "CheckPinRegual_RequireComplex")
        return "is too simple (a run such as 123456, one character repeated, or fewer than 3 different characters)";
    return "breaks the PIN rules";
}

}  // namespace

std::string kernel_directory(const KernelApi& kernel) {
    return platform::directory_of(platform::module_path_of(reinterpret_cast<const void*>(kernel.initToken)));
}

NewPinRules rules_for_init(const std::string& kernelDirectory) {
    const ConfigPolicy c = read_config(kernelDirectory);
    return with_range(c, c.minLen, c.maxLen);
}

NewPinRules rules_for_token(const std::string& kernelDirectory, uint32_t minLength, uint32_t maxLength) {
    return with_range(read_config(kernelDirectory), minLength, maxLength);
}

NewPinRules rules_for_token(KernelApi& kernel, DeviceHandle device) {
    uint8_t record[QXTOKEN_TOKEN_INFO_SIZE] = {};
    uint32_t length = sizeof record;
    const std::string dir = kernel_directory(kernel);
    if (!kernel.tokenInfo || kernel.tokenInfo(device, record, &length) != ERR_OK || length < 124)
        return rules_for_init(dir);
    return rules_for_token(dir, le32(record + 120), le32(record + 116));
}

void check_new_pin(const NewPinRules& rules, const std::string& pin, const std::string& what) {
    const std::string refused = "; nothing was sent to the token";
    std::u16string wide;
    if (platform::from_system_text(pin, &wide) != 0) throw Failure{"the " + what + " is not valid text" + refused};
    const char* key = nullptr;
    const uint32_t rc = uiext::CheckPin(rules.policy, uiext::kCheckEveryRule, wide, &key);
    uiext::WipePin(wide);
    if (rc != 0) throw Failure{"the " + what + " " + rule_text(key, rules.policy) + refused};
    // The token takes 2 to 128 bytes whatever the policy says.
    if (pin.size() < uiext::kMinPinBytes || pin.size() > uiext::kMaxPinBytes)
        throw Failure{"the " + what + " must have 2 to 128 bytes" + refused};
}

}  // namespace qx::qxtoken
