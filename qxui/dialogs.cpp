// The dialogs of QXUI.  Each one collects its input through the form of the
// build, runs the caller's call-back on a worker thread while the dialog
// keeps answering (countdown, messages sent to its window), shows the
// call-back's message when it fails and lets the person try again until
// they cancel.  Every PIN the dialog held is wiped when it is done with it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenStatus.h"
#include "QXUI.h"
#include "dialog_text.h"
#include "form.h"
#include "language.h"
#include "qx/platform/export.h"
#include "qx/platform/text.h"

namespace qx::qxui {
namespace {

constexpr uint32_t kGeneralFailure = 0x2u;
// The transfer dialog's context flag: non-zero tells the send call-back that
// this window counts the pieces (it sends 0x522B only then).
constexpr uint32_t kShowsPieces = 1;

// Runs `work` on a worker thread; the dialog thread counts `seconds` down
// (when positive) until the work ends.  The work is never abandoned: its
// arguments live on this frame.
uint32_t run_callback(const std::function<uint32_t()>& work, int64_t seconds = 0) {
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    uint32_t result = kGeneralFailure;
    std::thread worker([&] {
        uint32_t r = kGeneralFailure;
        try {
            r = work();
        } catch (...) {
            r = kGeneralFailure;
        }
        std::lock_guard<std::mutex> lock(m);
        result = r;
        finished = true;
        done.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(m);
        int64_t left = seconds;
        while (!finished) {
            if (left > 0) {
                lock.unlock();
                form().countdown(left);
                lock.lock();
                done.wait_for(lock, std::chrono::seconds(1), [&] { return finished; });
                --left;
            } else {
                done.wait(lock, [&] { return finished; });
            }
        }
    }
    worker.join();
    return result;
}

// Asks for one PIN into `out`; false when the person cancelled.  A PIN that
// does not fit the call-back's buffer is refused and asked again.
bool ask_pin(const Text& title, const Text& prompt, Buffer* out) {
    for (;;) {
        Text answer;
        if (!form().ask(title, prompt, true, &answer)) return false;
        const bool fits = out->set(answer);
        wipe_text(answer);
        if (fits) return true;
        form().show(u"PIN too long");
    }
}

// The language path of the WaitKeyPress dialog running now (for the texts
// of messages sent to the window from call-backs).
std::mutex g_wait_mutex;
Text g_wait_path;

template <typename F>
auto guarded(F f, decltype(f()) onException) -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        return onException;
    }
}

// The loop shared by the PIN dialogs: ask, call back, show the failure and
// ask again; the last call-back status when the person gives up.
uint32_t pin_dialog(const std::function<bool()>& ask, const std::function<uint32_t(QXUI_CHAR*)>& call) {
    if (!form().available()) return QXUI_CANCELLED;
    uint32_t last = QXUI_CANCELLED;
    for (;;) {
        if (!ask()) return last;
        Buffer message;
        last = run_callback([&] { return call(message.units); });
        if (last == 0) return 0;
        form().show(message.text());
        if (last == ERR_PIN_LOCKED) return last;
    }
}

}  // namespace

intptr_t on_message(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    Text path;
    {
        std::lock_guard<std::mutex> lock(g_wait_mutex);
        path = g_wait_path;
    }
    if (message == QXUI_MSG_WAIT_BUTTON) {
        form().show(path.empty() ? Text(u"WaitKeyPress_Text")
                                 : ui_text(reinterpret_cast<const QXUI_CHAR*>(path.c_str()), "WaitKeyPress_Text"));
        return 1;
    }
    if (message == QXUI_MSG_PIECE_SENT && lParam != 0) {
        uint32_t piece = 0;
        std::memcpy(&piece, reinterpret_cast<const void*>(lParam), sizeof piece);
        std::string n = std::to_string(piece);
        form().show(u"piece " + Text(n.begin(), n.end()));
        return 1;
    }
    (void)wParam;
    return 0;
}

}  // namespace qx::qxui

using namespace qx::qxui;

QX_EXPORT uint32_t QXUI_CALL QXUI_VerifyPin(QXUI_VerifyPinCallback callback, DeviceHandle device, uint32_t kind,
                                            uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        const Text title = ui_text(languagePath, "VerifyPin_Title");
        const Text prompt = ui_text(languagePath, kind == 1 ? "UserPin" : "SoPin");
        Buffer pin;
        return pin_dialog([&] { return ask_pin(title, prompt, &pin); },
                          [&](QXUI_CHAR* message) { return callback(device, kind, pin.units, message); });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_ChangePin(QXUI_ChangePinCallback callback, DeviceHandle device, uint32_t kind,
                                            uint32_t, uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        const Text title = ui_text(languagePath, "ChangePin_Title");
        Buffer oldPin, newPin, repeatPin;
        return pin_dialog(
            [&] {
                return ask_pin(title, ui_text(languagePath, "OldPin"), &oldPin) &&
                       ask_pin(title, ui_text(languagePath, "NewPin"), &newPin) &&
                       ask_pin(title, ui_text(languagePath, "RepeatPin"), &repeatPin);
            },
            [&](QXUI_CHAR* message) {
                return callback(device, kind, oldPin.units, newPin.units, repeatPin.units, message);
            });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_SelectDevice(const QXUI_DeviceEntry* entries, uint32_t count, uint32_t* index,
                                               uint32_t, const QXUI_CHAR* languagePath) {
    if (!entries || count == 0 || !index || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        if (!form().available()) return QXUI_CANCELLED;
        std::vector<Text> options;
        for (uint32_t i = 0; i < count; ++i) {
            const char* bytes = reinterpret_cast<const char*>(entries[i].bytes);
            const std::string label(bytes, strnlen(bytes, QXUI_DEVICE_ENTRY_BYTES));
            Text wide;
            if (qx::platform::from_system_text(label, &wide) != 0) wide = u"?";
            options.push_back(wide);
        }
        uint32_t chosen = 0;
        if (!form().choose(ui_text(languagePath, "SelectDevice_Title"), options, &chosen) || chosen >= count)
            return QXUI_CANCELLED;
        *index = chosen;
        return 0;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_GenKeyPairProgress(QXUI_GenKeyPairCallback callback, DeviceHandle device,
                                                     uint32_t algorithm, uint32_t keyBits, uint32_t keySpec,
                                                     uint32_t flags, KeyHandle* key, uint32_t,
                                                     const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        if (!form().available()) return QXUI_CANCELLED;
        form().show(ui_text(languagePath, "GenKeyPair_Text"));
        return run_callback([&] { return callback(device, algorithm, keyBits, keySpec, flags, key); });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_WaitKeyPressEvent(QXUI_PollCallback callback, DeviceHandle device, KeyHandle key,
                                                    uint32_t seconds, uint8_t* output, uint32_t* outputLength,
                                                    uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        if (!form().available()) return QXUI_CANCELLED;
        {
            std::lock_guard<std::mutex> lock(g_wait_mutex);
            g_wait_path = text_of(languagePath);
        }
        form().show(ui_text(languagePath, "WaitKeyPress_Title"));
        QXUI_DialogContext context{form().window(), 0};
        return run_callback([&] { return callback(device, key, &context, output, outputLength); },
                            static_cast<int64_t>(seconds));
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_WaitTransDataEvent(QXUI_SendDataCallback callback, KeyHandle key,
                                                     const uint8_t* data, uint32_t length, uint32_t,
                                                     uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        if (!form().available()) return QXUI_CANCELLED;
        form().show(ui_text(languagePath, "WaitTransData_Text"));
        QXUI_DialogContext context{form().window(), kShowsPieces};
        return run_callback([&] { return callback(key, &context, data, length); });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_MessageBox(const QXUI_CHAR* text, const QXUI_CHAR* caption, uint32_t, uint32_t,
                                             const QXUI_CHAR* languagePath) {
    if (!text) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        if (!form().available()) return QXUI_CANCELLED;
        const Text title = caption ? text_of(caption)
                                   : (languagePath ? ui_text(languagePath, "MessageBox_Title") : Text());
        return form().confirm(title, text_of(text, qx::language::kMessageLimit)) ? QXUI_CONFIRMED : 2u;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_ChangeDevName(QXUI_DevNameCallback callback, DeviceHandle device, QXUI_CHAR* label,
                                                uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !label || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        if (!form().available()) return QXUI_CANCELLED;
        const Text title = ui_text(languagePath, "ChangeDevName_Title");
        Buffer current;
        if (callback(device, current.units, 0) == 0) form().show(ui_text(languagePath, "DevLabel") + current.text());
        uint32_t last = QXUI_CANCELLED;
        for (;;) {
            Text answer;
            if (!form().ask(title, ui_text(languagePath, "DevLabel"), false, &answer)) return last;
            Buffer wanted;
            if (!wanted.set(answer)) continue;
            last = run_callback([&] { return callback(device, wanted.units, 1); });
            if (last == 0) {
                std::memcpy(label, wanted.units, sizeof wanted.units);
                return 0u;
            }
        }
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_ShowDevInfo(QXUI_DevInfoCallback callback, DeviceHandle device, uint32_t,
                                              const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        if (!form().available()) return QXUI_CANCELLED;
        Buffer label, serial, firmware, hardware;
        const uint32_t rc = run_callback(
            [&] { return callback(device, label.units, serial.units, firmware.units, hardware.units); });
        if (rc != 0) return rc;
        form().show(ui_text(languagePath, "DevInfo_Title"));
        form().show(ui_text(languagePath, "DevLabel") + label.text());
        form().show(ui_text(languagePath, "DevSerial") + serial.text());
        form().show(ui_text(languagePath, "HardwareVersion") + hardware.text());
        form().show(ui_text(languagePath, "FirmwareVersion") + firmware.text());
        return form().confirm(ui_text(languagePath, "DevInfo_Title"), label.text()) ? 0u : QXUI_CANCELLED;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_ShowKeyBoard(void*, uint32_t, const QXUI_CHAR*) { return QXUI_CANCELLED; }

QX_EXPORT uint32_t QXUI_CALL QXUI_SetPin(QXUI_SetPinCallback callback, DeviceHandle device, uint32_t kind, uint32_t,
                                         const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        const Text title = ui_text(languagePath, "SetPin_Title");
        Buffer newPin, repeatPin;
        return pin_dialog(
            [&] {
                return ask_pin(title, ui_text(languagePath, "NewPin"), &newPin) &&
                       ask_pin(title, ui_text(languagePath, "RepeatPin"), &repeatPin);
            },
            [&](QXUI_CHAR* message) { return callback(device, kind, newPin.units, repeatPin.units, message); });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_InitToken(QXUI_InitTokenCallback callback, DeviceHandle device, QXUI_CHAR* label,
                                            uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !label || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        const Text title = ui_text(languagePath, "InitToken_Title");
        Buffer userPin, soPin, wanted;
        const uint32_t rc = pin_dialog(
            [&] {
                Text answer;
                return ask_pin(title, ui_text(languagePath, "UserPin"), &userPin) &&
                       ask_pin(title, ui_text(languagePath, "SoPin"), &soPin) &&
                       form().ask(title, ui_text(languagePath, "DevLabel"), false, &answer) && wanted.set(answer);
            },
            [&](QXUI_CHAR* message) {
                return callback(device, userPin.units, soPin.units, wanted.units, message, 0);
            });
        if (rc == 0) std::memcpy(label, wanted.units, sizeof wanted.units);
        return rc;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_UnlockPin(QXUI_UnlockPinCallback callback, DeviceHandle device, uint32_t,
                                            const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        const Text title = ui_text(languagePath, "UnlockPin_Title");
        Buffer soPin, newPin, repeatPin;
        return pin_dialog(
            [&] {
                return ask_pin(title, ui_text(languagePath, "SoPin"), &soPin) &&
                       ask_pin(title, ui_text(languagePath, "NewPin"), &newPin) &&
                       ask_pin(title, ui_text(languagePath, "RepeatPin"), &repeatPin);
            },
            [&](QXUI_CHAR* message) {
                return callback(device, soPin.units, newPin.units, repeatPin.units, message);
            });
    }, kGeneralFailure);
}

QX_EXPORT uintptr_t QXUI_CALL QXUI_VerifyImportCertPin(QXUI_PfxCallback callback, const void* blob, uint32_t,
                                                       const QXUI_CHAR* languagePath) {
    if (!callback || !blob || !languagePath) return 0;
    return guarded([&]() -> uintptr_t {
        if (!form().available()) return 0;
        const Text title = ui_text(languagePath, "ImportCert_Title");
        for (;;) {
            Buffer password;
            if (!ask_pin(title, ui_text(languagePath, "PfxPassword"), &password)) return 0;
            uintptr_t store = 0;
            run_callback([&] {
                store = callback(blob, password.units);
                return 0u;
            });
            if (store) return store;
        }
    }, static_cast<uintptr_t>(0));
}

QX_EXPORT uint32_t QXUI_CALL QXUI_SelectContainer(QXUI_SelectContainerCallback callback,
                                                  const QXUI_CHAR (*names)[QXUI_TEXT_UNITS], uint32_t count,
                                                  DeviceHandle device, uint32_t flag, uint32_t,
                                                  const QXUI_CHAR* languagePath) {
    if (!callback || !names || count == 0 || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        if (!form().available()) return QXUI_CANCELLED;
        std::vector<Text> options;
        for (uint32_t i = 0; i < count; ++i) options.push_back(text_of(names[i]));
        uint32_t chosen = 0;
        if (!form().choose(ui_text(languagePath, "SelectContainer_Title"), options, &chosen) || chosen >= count)
            return QXUI_CANCELLED;
        return run_callback([&] { return callback(device, names[chosen], flag); });
    }, kGeneralFailure);
}
