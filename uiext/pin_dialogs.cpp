#include "pin_dialogs.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <algorithm>

#include "pin_rules.h"
#include "qx/platform/system.h"
#include "qx/platform/text.h"
#include "qx/platform/ui_shared.h"

namespace qx::uiext {
namespace {

constexpr uint32_t kUserPin = QXTOKEN_PIN_USER;
constexpr uint32_t kPollStep = 200;
constexpr uint32_t kSettleStep = 500;

std::atomic<uint64_t> g_poll_limit_ms{poll_limit_ms(15)};

std::size_t bounded_length(const char16_t* p) {
    std::size_t n = 0;
    while (n < QXUI_TEXT_UNITS && p[n] != 0) ++n;
    return n;
}

// Wipes a dialog's PIN buffer (260 units) however the call-back ends.
class WipeOnExit {
public:
    explicit WipeOnExit(QXUI_CHAR* p) : p_(p) {}
    ~WipeOnExit() {
        if (!p_) return;
        volatile QXUI_CHAR* v = p_;
        for (std::size_t i = 0; i < QXUI_TEXT_UNITS; ++i) v[i] = 0;
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    QXUI_CHAR* p_;
};

std::u16string_view view(const QXUI_CHAR* p) {
    const char16_t* u = reinterpret_cast<const char16_t*>(p);
    return std::u16string_view(u, bounded_length(u));
}

void put(QXUI_CHAR* message, const Text& text) {
    if (!message) return;
    const std::size_t n = std::min<std::size_t>(text.size(), QXUI_TEXT_UNITS - 1);
    std::memcpy(message, text.data(), n * sizeof(char16_t));
    message[n] = 0;
}
void put_key(QXUI_CHAR* message, const char* key) { put(message, frame().LoadText(key)); }

void copy_bytes(const PinBytes& from, PinBytes* to) {
    to->wipe();
    to->bytes().assign(from.data(), from.size());
}

bool same_bytes(const PinBytes& a, const PinBytes& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// Whether the 8-bit PIN equals the configured default PIN.
bool is_default_pin(const PinBytes& pin) {
    PinBytes def;
    if (platform::to_system_text(frame().settings.defaultPin, &def.bytes()) != 0) return false;
    return same_bytes(pin, def);
}

bool cache_pins(uint32_t kind) { return frame().settings.cachePin != 0 && kind == kUserPin; }

// The PIN flags word, authenticating first when the token asks for it.
uint32_t read_flags(DeviceHandle device, uint32_t* flags) {
    const KernelApi& k = frame().kernel;
    if (!k.getPinStatus) return kNotLoaded;
    uint32_t rc = k.getPinStatus(device, flags);
    if (rc == ERR_SECURITY_STATUS) {
        if (!k.externalAuth) return kNotLoaded;
        k.externalAuth(device);
        rc = k.getPinStatus(device, flags);
    }
    return rc;
}

// Sets `bits` in the flags word (used after the token reported a block).
void mark_flags(DeviceHandle device, uint32_t bits) {
    const KernelApi& k = frame().kernel;
    if (!k.externalAuth || !k.getPinStatus || !k.setPinStatus) return;
    uint32_t flags = 0;
    if (k.externalAuth(device) != 0 || k.getPinStatus(device, &flags) != 0) return;
    k.setPinStatus(device, flags | bits);
}

uint32_t locked_bit(uint32_t kind) {
    return kind == kUserPin ? QXTOKEN_FLAG_USER_PIN_LOCKED : QXTOKEN_FLAG_SO_PIN_LOCKED;
}

// The tries left of `kind` as the failure message; `failedKey` when the
// count cannot be read (never a number the token did not give).
void report_tries(DeviceHandle device, uint32_t kind, const char* failedKey, QXUI_CHAR* message) {
    const KernelApi& k = frame().kernel;
    uint32_t count = 0;
    if (!k.externalAuth || !k.getPinRetryNum) {
        put_key(message, failedKey);
        return;
    }
    k.externalAuth(device);
    if (k.getPinRetryNum(device, kind, &count) != 0) {
        put_key(message, failedKey);
        return;
    }
    if (count == 0) {
        put_key(message, "Pin_Locked");
    } else if (count == 1) {
        put_key(message, "RetryPin_Last");
    } else {
        put(message, language::FormatText(frame().LoadText("RetryPin_Left_Num"), count));
    }
}

template <typename F>
uint32_t shielded(F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return kUiFailure;
    } catch (...) {
        return ERR_FAILED;
    }
}

// The PIN-rule check of one dialog input against the current language file.
uint32_t check_rules(int mode, const QXUI_CHAR* pin, QXUI_CHAR* message) {
    char16_t text[QXUI_TEXT_UNITS] = {};
    const std::u16string_view v = view(pin);
    std::copy(v.begin(), v.end(), text);
    const Text path = frame().languagePath();
    char16_t buffer[QXUI_TEXT_UNITS] = {};
    const uint32_t rc = CheckPinRules(mode, text, path.c_str(), buffer);
    volatile char16_t* t = text;
    for (std::size_t i = 0; i < QXUI_TEXT_UNITS; ++i) t[i] = 0;
    if (rc != 0) put(message, Text(buffer));
    return rc;
}

uint32_t convert(const QXUI_CHAR* pin, PinBytes* out, QXUI_CHAR* message) {
    const char* key = nullptr;
    const uint32_t rc = ConvertPin(view(pin), out, &key);
    if (rc != 0 && key) put_key(message, key);
    return rc;
}

// Steps shared by change and set once the PINs are in 8-bit form: read the
// flags, change, wait for the button when the token wants it, keep the
// default-PIN bit right and report the tries left.
uint32_t change_on_token(DeviceHandle device, uint32_t kind, uint32_t kernelKind, PinBytes* oldPin, PinBytes* newPin,
                         const char* failedKey, uint32_t retryKind, QXUI_CHAR* message) {
    const KernelApi& k = frame().kernel;
    if (!k.changePin) return kNotLoaded;
    uint32_t flags = 0;
    uint32_t rc = read_flags(device, &flags);
    if (rc != 0) {
        put_key(message, failedKey);
        return rc;
    }
    rc = k.changePin(device, kernelKind, oldPin ? oldPin->data() : nullptr, oldPin ? oldPin->size() : 0,
                     newPin->data(), newPin->size());
    if (rc == 0) return 0;
    if (rc == ERR_TRANSACTION_D10D) {
        uint32_t newFlags = flags;
        if (kind == kUserPin) {
            newFlags = is_default_pin(*newPin) ? (flags | QXTOKEN_FLAG_USER_PIN_DEFAULT)
                                               : (flags & ~QXTOKEN_FLAG_USER_PIN_DEFAULT);
        } else {
            newFlags = flags & ~QXTOKEN_FLAG_SO_PIN_DEFAULT;
        }
        PinBytes cached;
        if (cache_pins(kind)) copy_bytes(*newPin, &cached);
        if (oldPin) oldPin->wipe();
        newPin->wipe();
        rc = WaitForButton(device);
        if (rc == 0) {
            if (k.setPinStatus) k.setPinStatus(device, newFlags);
            if (cached.size() != 0 && k.writeShmPin)
                k.writeShmPin(device, reinterpret_cast<const uint8_t*>(cached.data()), cached.size());
            return 0;
        }
        if (rc == ERR_PIN_LOCKED) mark_flags(device, locked_bit(kind));
    }
    if (rc == ERR_OLD_PIN_INCORRECT || rc == ERR_TRANSACTION_PIN_INCORRECT || rc == ERR_PIN_LOCKED) {
        report_tries(device, retryKind, failedKey, message);
    } else {
        put_key(message, failedKey);
    }
    return rc;
}

// The verify steps once the PIN is in 8-bit form; `message` may be null
// (the dialog-less operation reports no text).
uint32_t verify_on_token(DeviceHandle device, uint32_t kind, PinBytes* pin, QXUI_CHAR* message) {
    const KernelApi& k = frame().kernel;
    if (!k.verifyPin) return kNotLoaded;
    // The kernel may zero the PIN it is given: the cache gets a copy of our own.
    PinBytes cached;
    if (cache_pins(kind)) copy_bytes(*pin, &cached);
    uint32_t rc = k.verifyPin(device, kind, pin->bytes().data(), pin->size());
    pin->wipe();
    if (rc == 0) return 0;
    if (rc == ERR_TRANSACTION_D10D) {
        rc = WaitForButton(device);
        if (rc == 0) {
            if (cached.size() != 0 && k.writeShmPin)
                k.writeShmPin(device, reinterpret_cast<const uint8_t*>(cached.data()), cached.size());
            return 0;
        }
        if (rc == ERR_PIN_LOCKED) mark_flags(device, locked_bit(kind));
    }
    if (rc == ERR_PIN_INCORRECT || rc == ERR_PIN_LOCKED || rc == ERR_TRANSACTION_PIN_INCORRECT) {
        report_tries(device, kind, "VerifyPin_Failed", message);
    } else if (rc == ERR_PIN_MUST_CHANGE) {
        put_key(message, "VerifyPin_NeedChange");
    } else {
        put_key(message, "VerifyPin_Failed");
    }
    return rc;
}

}  // namespace

void SetPollLimit(uint64_t milliseconds) { g_poll_limit_ms.store(milliseconds); }

uint32_t WaitForButton(DeviceHandle device) {
    Frame& f = frame();
    if (!f.ui.waitKeyPressEvent) return kNotLoaded;
    const uint32_t seconds = wait_seconds(f.settings.pinOperateWaitTime);
    SetPollLimit(poll_limit_ms(seconds));
    const Text path = f.languagePath();
    return f.ui.waitKeyPressEvent(&PollTokenButton, device, nullptr, seconds, nullptr, nullptr, 1,
                                  reinterpret_cast<const QXUI_CHAR*>(path.c_str()));
}

uint32_t QXUI_CALL PollTokenButton(DeviceHandle device, KeyHandle key, QXUI_DialogContext* context, uint8_t* output,
                                   uint32_t* outputLength) {
    return shielded([&]() -> uint32_t {
        const KernelApi& k = frame().kernel;
        if (!device && !key) return ERR_INVALID_PARAM;
        if (key ? !k.getTranSignature : !k.getDevicePressStatus) return kNotLoaded;
        const auto start = std::chrono::steady_clock::now();
        const uint64_t limit = g_poll_limit_ms.load();
        auto cancel = [&] {
            if (k.cancelTransaction) k.cancelTransaction(key, device);
        };
        auto pause = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };

        // The PIN dialog a token may ask for (one per wait).
        std::thread pinDialog;
        std::mutex m;
        std::condition_variable ended;
        bool dialogDone = false;
        struct Joiner {
            std::thread& t;
            ~Joiner() {
                if (t.joinable()) t.join();
            }
        } joiner{pinDialog};

        for (;;) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start).count();
            if (static_cast<uint64_t>(elapsed) > limit) {
                cancel();
                return 1u;
            }
            const uint32_t rc = key ? k.getTranSignature(key, output, outputLength) : k.getDevicePressStatus(device);
            switch (rc) {
            case 0:
                return 0u;
            case ERR_BUFFER_TOO_SMALL:
                return rc;
            case ERR_PIN_LOCKED:
            case ERR_TRANSACTION_PIN_INCORRECT:
                pause(kSettleStep);
                return rc;
            case ERR_TRANSACTION_D102:
                return rc;
            case ERR_TRANSACTION_D104:
            case ERR_TRANSACTION_D107:
            case ERR_TRANSACTION_D109:
            case ERR_TRANSACTION_OTHER:
                pause(kSettleStep);
                cancel();
                return rc;
            case ERR_TRANSACTION_D105: {
                if (!pinDialog.joinable()) {
                    Frame& f = frame();
                    if (!f.ui.verifyPin) return kNotLoaded;
                    const Text path = f.languagePath();
                    try {
                        pinDialog = std::thread([&, path] {
                            f.ui.verifyPin(&VerifyPinCallback, device, kUserPin, 1,
                                           reinterpret_cast<const QXUI_CHAR*>(path.c_str()));
                            std::lock_guard<std::mutex> lock(m);
                            dialogDone = true;
                            ended.notify_all();
                        });
                    } catch (...) {
                        return 1u;  // no thread for the PIN dialog
                    }
                    std::unique_lock<std::mutex> lock(m);
                    ended.wait(lock, [&] { return dialogDone; });
                }
                continue;
            }
            case ERR_TRANSACTION_D100:
            case ERR_TRANSACTION_D101:
            case ERR_TRANSACTION_D10C:
            case ERR_TRANSACTION_D10D:
                if (context && context->window && context->flag == 0) {
                    platform::send_dialog_message(context->window, QXUI_MSG_WAIT_BUTTON, 1, 0);
                    context->flag = 1;
                }
                pause(kPollStep);
                continue;
            default:
                pause(kSettleStep);
                return 1u;
            }
        }
    });
}

uint32_t QXUI_CALL VerifyPinCallback(DeviceHandle device, uint32_t kind, QXUI_CHAR* pin, QXUI_CHAR* message) {
    WipeOnExit wipe(pin);
    if (!pin || !message) return ERR_INVALID_PARAM;
    return shielded([&]() -> uint32_t {
        uint32_t rc = check_rules(kCheckLengthOnly, pin, message);
        if (rc != 0) return rc;
        PinBytes bytes;
        rc = convert(pin, &bytes, message);
        if (rc != 0) return rc;
        { WipeOnExit early(pin); }
        return verify_on_token(device, kind, &bytes, message);
    });
}

uint32_t QXUI_CALL ChangePinCallback(DeviceHandle device, uint32_t kind, QXUI_CHAR* oldPin, QXUI_CHAR* newPin,
                                     QXUI_CHAR* repeatPin, QXUI_CHAR* message) {
    WipeOnExit w1(oldPin), w2(newPin), w3(repeatPin);
    if (!oldPin || !newPin || !repeatPin || !message) return ERR_INVALID_PARAM;
    return shielded([&]() -> uint32_t {
        if (view(newPin) != view(repeatPin)) {
            put_key(message, "ChangePin_NewPin_NewPinRepeat_Error");
            return kPinsDiffer;
        }
        uint32_t rc = check_rules(kCheckLengthOnly, oldPin, message);
        if (rc == 0) rc = check_rules(kCheckEveryRule, newPin, message);
        if (rc != 0) return rc;
        PinBytes oldBytes, newBytes, repeatBytes;
        rc = convert(oldPin, &oldBytes, message);
        if (rc == 0) rc = convert(newPin, &newBytes, message);
        if (rc == 0) rc = convert(repeatPin, &repeatBytes, message);
        if (rc != 0) return rc;
        if (!same_bytes(newBytes, repeatBytes)) {
            put_key(message, "ChangePin_NewPin_NewPinRepeat_Error");
            return kPinsDiffer;
        }
        repeatBytes.wipe();
        { WipeOnExit a(oldPin), b(newPin), c(repeatPin); }
        if (is_default_pin(newBytes)) {
            put_key(message, "ChangePin_Default");
            return kUiFailure;
        }
        return change_on_token(device, kind, kind, &oldBytes, &newBytes, "ChangePin_Failed", kind, message);
    });
}

uint32_t QXUI_CALL SetPinCallback(DeviceHandle device, uint32_t kind, QXUI_CHAR* newPin, QXUI_CHAR* repeatPin,
                                  QXUI_CHAR* message) {
    WipeOnExit w2(newPin), w3(repeatPin);
    if (!newPin || !repeatPin || !message) return ERR_INVALID_PARAM;
    return shielded([&]() -> uint32_t {
        if (view(newPin) != view(repeatPin)) {
            put_key(message, "ChangePin_NewPin_NewPinRepeat_Error");
            return kPinsDiffer;
        }
        uint32_t rc = check_rules(kCheckEveryRule, newPin, message);
        if (rc != 0) return rc;
        PinBytes newBytes, repeatBytes;
        rc = convert(newPin, &newBytes, message);
        if (rc == 0) rc = convert(repeatPin, &repeatBytes, message);
        if (rc != 0) return rc;
        if (!same_bytes(newBytes, repeatBytes)) {
            put_key(message, "ChangePin_NewPin_NewPinRepeat_Error");
            return kPinsDiffer;
        }
        repeatBytes.wipe();
        { WipeOnExit b(newPin), c(repeatPin); }
        if (is_default_pin(newBytes)) {
            put_key(message, "ChangePin_Default");
            return kUiFailure;
        }
        return change_on_token(device, kind, kUserPin, nullptr, &newBytes, "SetPin_Failed", kUserPin, message);
    });
}

uint32_t QXUI_CALL UnlockPinCallback(DeviceHandle device, QXUI_CHAR* soPin, QXUI_CHAR* newPin, QXUI_CHAR* repeatPin,
                                     QXUI_CHAR* message) {
    WipeOnExit w1(soPin), w2(newPin), w3(repeatPin);
    if (!soPin || !newPin || !repeatPin || !message) return ERR_INVALID_PARAM;
    return shielded([&]() -> uint32_t {
        const KernelApi& k = frame().kernel;
        if (view(newPin) != view(repeatPin)) {
            put_key(message, "ChangePin_NewPin_NewPinRepeat_Error");
            return kPinsDiffer;
        }
        uint32_t rc = check_rules(kCheckLengthOnly, soPin, message);
        if (rc == 0) rc = check_rules(kCheckEveryRule, newPin, message);
        if (rc != 0) return rc;
        PinBytes soBytes, newBytes, repeatBytes;
        rc = convert(soPin, &soBytes, message);
        if (rc == 0) rc = convert(newPin, &newBytes, message);
        if (rc == 0) rc = convert(repeatPin, &repeatBytes, message);
        if (rc != 0) return rc;
        if (!same_bytes(newBytes, repeatBytes)) {
            put_key(message, "ChangePin_NewPin_NewPinRepeat_Error");
            return kPinsDiffer;
        }
        repeatBytes.wipe();
        { WipeOnExit a(soPin), b(newPin), c(repeatPin); }
        if (!k.unlockPin || !k.unlockPinEx) return kNotLoaded;
        rc = k.unlockPin(device, kUserPin, soBytes.data(), soBytes.size(), newBytes.data(), newBytes.size());
        if (rc == 0) return 0;
        if (rc == ERR_TRANSACTION_D10D) {
            rc = WaitForButton(device);
            if (rc == 0) {
                rc = k.unlockPinEx(device, kUserPin, soBytes.data(), soBytes.size(), newBytes.data(),
                                   newBytes.size());
                if (rc == 0) return 0;
            } else if (rc == ERR_PIN_LOCKED) {
                mark_flags(device, QXTOKEN_FLAG_SO_PIN_LOCKED);
            }
        }
        if (rc == ERR_PIN_INCORRECT || rc == ERR_TRANSACTION_PIN_INCORRECT || rc == ERR_PIN_LOCKED) {
            report_tries(device, QXTOKEN_PIN_SO, "UnlockPin_Failed", message);
        } else {
            put_key(message, "UnlockPin_Failed");
        }
        return rc;
    });
}

uint32_t VerifyPin(DeviceHandle device, uint32_t kind) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || kind > 1) return ERR_INVALID_PARAM;
    return shielded([&] {
        const Text path = frame().languagePath();
        return frame().ui.verifyPin(&VerifyPinCallback, device, kind, 1,
                                    reinterpret_cast<const QXUI_CHAR*>(path.c_str()));
    });
}

uint32_t ChangePin(DeviceHandle device, uint32_t kind) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || kind > 1) return ERR_INVALID_PARAM;
    return shielded([&] {
        const Text path = frame().languagePath();
        return frame().ui.changePin(&ChangePinCallback, device, kind, 1, 2,
                                    reinterpret_cast<const QXUI_CHAR*>(path.c_str()));
    });
}

uint32_t SetPin(DeviceHandle device, uint32_t kind) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || kind > 1) return ERR_INVALID_PARAM;
    return shielded([&] {
        const Text path = frame().languagePath();
        return frame().ui.setPin(&SetPinCallback, device, kind, 1, reinterpret_cast<const QXUI_CHAR*>(path.c_str()));
    });
}

uint32_t UnlockPin(DeviceHandle device) {
    if (!frame().ready()) return kNotLoaded;
    if (!device) return ERR_INVALID_PARAM;
    return shielded([&] {
        const Text path = frame().languagePath();
        return frame().ui.unlockPin(&UnlockPinCallback, device, 1, reinterpret_cast<const QXUI_CHAR*>(path.c_str()));
    });
}

uint32_t VerifyPinForCSPKCS(DeviceHandle device, uint32_t kind, const char* pin, uint32_t length) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || !pin || kind > 1) return ERR_INVALID_PARAM;
    return shielded([&]() -> uint32_t {
        const KernelApi& k = frame().kernel;
        if (!k.verifyPin || !k.setPinStatus) return kNotLoaded;
        uint32_t flags = 0;
        uint32_t rc = read_flags(device, &flags);
        if (rc != 0) return rc;
        PinBytes bytes, cached;
        bytes.bytes().assign(pin, length);
        if (cache_pins(kind)) copy_bytes(bytes, &cached);
        rc = k.verifyPin(device, kind, bytes.bytes().data(), bytes.size());
        bytes.wipe();
        if (rc != ERR_TRANSACTION_D10D) return rc;
        rc = WaitForButton(device);
        if (rc == 0) {
            if (cached.size() != 0 && k.writeShmPin)
                k.writeShmPin(device, reinterpret_cast<const uint8_t*>(cached.data()), cached.size());
        } else if (rc == ERR_PIN_LOCKED) {
            flags |= locked_bit(kind);
        } else {
            flags |= kind == kUserPin ? 0x10000u : 0x100000u;
        }
        k.setPinStatus(device, flags);
        return rc;
    });
}

uint32_t ChangePinForCSPKCS(DeviceHandle device, uint32_t kind, const char* oldPin, uint32_t oldLength,
                            const char* newPin, uint32_t newLength) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || !oldPin || !newPin || kind > 1) return ERR_INVALID_PARAM;
    return shielded([&]() -> uint32_t {
        QXUI_CHAR oldText[QXUI_TEXT_UNITS] = {}, newText[QXUI_TEXT_UNITS] = {}, message[QXUI_TEXT_UNITS] = {};
        WipeOnExit w1(oldText), w2(newText);
        for (auto [in, len, out] : {std::tuple{oldPin, oldLength, oldText}, std::tuple{newPin, newLength, newText}}) {
            Text wide;
            const uint32_t rc = FromSystemText(in, len, &wide);
            if (rc != 0) return rc;
            if (wide.size() >= QXUI_TEXT_UNITS) {
                WipePin(wide);
                return kUiFailure;
            }
            std::memcpy(out, wide.data(), wide.size() * sizeof(char16_t));
            WipePin(wide);
        }
        uint32_t rc = check_rules(kCheckLengthOnly, oldText, message);
        if (rc != 0) return rc;
        rc = check_rules(kCheckEveryRule, newText, message);
        if (rc != 0) {
            platform::debug_output("CHECKPIN FAILED");
            return rc;
        }
        PinBytes oldBytes, newBytes;
        oldBytes.bytes().assign(oldPin, oldLength);
        newBytes.bytes().assign(newPin, newLength);
        if (is_default_pin(newBytes)) return kUiFailure;
        return change_on_token(device, kind, kind, &oldBytes, &newBytes, "ChangePin_Failed", kind, nullptr);
    });
}

}  // namespace qx::uiext
