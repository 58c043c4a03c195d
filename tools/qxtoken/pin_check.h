// The PIN rules qxtoken applies to every PIN it sets (initialisation,
// change, unblock), the same rules the PIN dialogs apply: the [PIN] policy
// of the Config.ini beside the kernel and the token's PIN length range.
// A PIN the token would refuse later is refused here, before it is sent.
#pragma once

#include <cstdint>
#include <string>

#include "kernel_api.h"
#include "pin_rules.h"

namespace qx::qxtoken {

struct NewPinRules {
    // RequireDigit, RequireAlphabetic, RequireSpecial and RequireComplex as
    // Config.ini has them (a missing key is no rule); the length range as
    // chosen by the functions below.
    uiext::PinPolicy policy;
};

// The directory the kernel was loaded from (ending in a separator).
std::string kernel_directory(const KernelApi& kernel);

// For a token about to be initialised: the length range initialisation
// writes into the token (Config.ini MinPinLen and MaxPinLen, 6 and 8 by default).
NewPinRules rules_for_init(const std::string& kernelDirectory);

// For an initialised token: the range of its information record (the
// initialisation range when the record holds none that makes sense).
NewPinRules rules_for_token(const std::string& kernelDirectory, uint32_t minLength, uint32_t maxLength);

// The same, reading the record through the kernel.
NewPinRules rules_for_token(KernelApi& kernel, DeviceHandle device);

// Throws Failure with a message naming `what` ("new user PIN") and the
// broken rule.  `pin` is the 8-bit text the kernel receives.
void check_new_pin(const NewPinRules& rules, const std::string& pin, const std::string& what);

}  // namespace qx::qxtoken
