// The dialogs of QXUI on Windows: one modal dialog per export, built in
// memory (win32_dialog.h), texts from [QXUI] of the language file.  PIN
// dialogs keep their window open while the call-back runs, show its message
// when it fails, and let the person try again until they cancel; after a
// blocked PIN only closing is left.  PINs are taken out of the edit controls into wiped
// buffers as soon as OK is pressed and wiped again after every attempt.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "QXUI.h"
#include "dialog_text.h"
#include "qx/platform/export.h"
#include "qx/platform/text.h"
#include "win32_dialog.h"

#include <commctrl.h>

namespace qx::qxui::win32 {
namespace {

constexpr uint32_t kGeneralFailure = 0x2u;
// The transfer dialog's context flag: non-zero tells the send call-back that
// this window counts the pieces (it sends 0x522B only then).
constexpr uint32_t kShowsPieces = 1;

template <typename F, typename R>
R guarded(F f, R onException) {
    try {
        return f();
    } catch (...) {
        return onException;
    }
}

Row secret(const QXUI_CHAR* path, const char* key) { return {RowKind::secret, ui_text(path, key), {}, {}}; }
Row line(const Text& text) { return {RowKind::text, text, {}, {}}; }

// A dialog of masked PIN fields (and plain text fields) whose OK hands all
// of them to one call-back, in row order, with the message buffer.
class PinDialog : public Dialog {
public:
    using Call = std::function<uint32_t(std::vector<Buffer>& fields, QXUI_CHAR* message)>;
    PinDialog(const QXUI_CHAR* path, const char* titleKey, const std::vector<Row>& rows, Call call)
        : Dialog(ui_text(path, titleKey), rows, Buttons{}, path), fields_(rows.size()), call_(std::move(call)) {
        for (const Row& r : rows) plain_.push_back(r.kind == RowKind::edit);
    }

    uint32_t last() const { return last_; }

protected:
    void on_ok() override {
        if (locked_) return;
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            if (!take_edit(static_cast<int>(i), &fields_[i])) {
                after_attempt();
                show_message(ui_text(languagePath_, "PinTooLong"));
                return;
            }
        }
        show_message({});
        message_.wipe();
        start([this] { return call_(fields_, message_.units); });
    }
    void on_cancel() override { end(0); }
    void on_done(uint32_t rc) override {
        last_ = rc;
        after_attempt();
        if (rc == 0) {
            end(0);
            return;
        }
        show_message(message_.text());
        if (rc == ERR_PIN_LOCKED) {
            // Nothing left to try: the person reads why and closes the dialog.
            locked_ = true;
            for (std::size_t i = 0; i < fields_.size(); ++i) EnableWindow(control(static_cast<int>(i)), FALSE);
            EnableWindow(GetDlgItem(window(), IDOK), FALSE);
            SetFocus(GetDlgItem(window(), IDCANCEL));
        }
    }

private:
    // PINs go after every attempt; a plain field (a label) goes back into
    // its edit for the next try.
    void after_attempt() {
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            if (plain_[i]) set_row_text(static_cast<int>(i), fields_[i].text());
            fields_[i].wipe();
        }
    }

    std::vector<Buffer> fields_;
    std::vector<bool> plain_;
    Buffer message_;
    Call call_;
    uint32_t last_ = QXUI_CANCELLED;
    bool locked_ = false;
};

uint32_t run_pin_dialog(const QXUI_CHAR* path, const char* titleKey, const std::vector<Row>& rows,
                        PinDialog::Call call) {
    PinDialog dialog(path, titleKey, rows, std::move(call));
    if (dialog.run(-1) == -1) return QXUI_CANCELLED;
    return dialog.last();
}

// A list to choose from; OK (or a double click) ends with the entry, or
// runs `call` with it on the worker thread and ends with its status.
class ChoiceDialog : public Dialog {
public:
    ChoiceDialog(const QXUI_CHAR* path, const char* titleKey, std::vector<Text> items,
                 std::function<uint32_t(int)> call = {})
        : Dialog(ui_text(path, titleKey), {Row{RowKind::list, {}, {}, std::move(items)}}, Buttons{}, path),
          call_(std::move(call)) {}
    int chosen = -1;
    uint32_t status = QXUI_CANCELLED;

protected:
    void on_ok() override {
        const int i = selection(0);
        if (i < 0) return;
        chosen = i;
        if (!call_) {
            status = 0;
            end(IDOK);
            return;
        }
        start([this, i] { return call_(i); });
    }
    void on_done(uint32_t rc) override {
        status = rc;
        end(IDOK);
    }

private:
    std::function<uint32_t(int)> call_;
};

// A dialog that starts its work at once and ends with the work's status:
// key-pair generation, the wait for the token's button, sending a
// transaction.  Messages sent by the work update the message line and the
// progress bar.
class WorkDialog : public Dialog {
public:
    WorkDialog(Text title, std::vector<Row> rows, std::function<uint32_t(HWND)> work, const QXUI_CHAR* path,
               int64_t seconds = -1, int progressRow = -1, uint32_t pieces = 0)
        : Dialog(std::move(title), std::move(rows), Buttons{false, true}, path), work_(std::move(work)),
          seconds_(seconds), progressRow_(progressRow), pieces_(pieces) {}
    uint32_t status = QXUI_CANCELLED;

protected:
    void on_init() override {
        if (progressRow_ >= 0) {
            SendMessageW(control(progressRow_), PBM_SETRANGE32, 0, pieces_ ? pieces_ : 100);
            if (!pieces_) SetTimer(window(), 2, 200, &WorkDialog::step);
        }
        if (seconds_ >= 0) countdown(seconds_);
        HWND w = window();
        start([this, w] { return work_(w); });
    }
    void on_done(uint32_t rc) override {
        status = rc;
        KillTimer(window(), 2);
        end(IDOK);
    }
    intptr_t on_message(UINT message, WPARAM, LPARAM lParam) override {
        if (message == QXUI_MSG_WAIT_BUTTON) {
            show_message(ui_text(languagePath_, "WaitKeyPress_Text"));
            return 1;
        }
        if (message == QXUI_MSG_PIECE_SENT && lParam != 0) {
            uint32_t piece = 0;
            std::memcpy(&piece, reinterpret_cast<const void*>(lParam), sizeof piece);
            if (progressRow_ >= 0) SendMessageW(control(progressRow_), PBM_SETPOS, piece, 0);
            show_message(ui_text(languagePath_, "WaitTransData_Piece", piece));
            return 1;
        }
        return 0;
    }

private:
    // Without a piece count the bar only shows that work goes on.
    static void CALLBACK step(HWND window, UINT, UINT_PTR, DWORD) {
        HWND bar = GetDlgItem(window, kFirstRow + 1);
        const LRESULT pos = SendMessageW(bar, PBM_GETPOS, 0, 0);
        SendMessageW(bar, PBM_SETPOS, pos >= 100 ? 0 : pos + 5, 0);
    }
    std::function<uint32_t(HWND)> work_;
    int64_t seconds_;
    int progressRow_;
    uint32_t pieces_;
};

uint32_t run_work(WorkDialog& dialog) {
    if (dialog.run(-1) == -1) return QXUI_CANCELLED;
    return dialog.status;
}

}  // namespace
}  // namespace qx::qxui::win32

using namespace qx::qxui;
using namespace qx::qxui::win32;

QX_EXPORT uint32_t QXUI_CALL QXUI_VerifyPin(QXUI_VerifyPinCallback callback, DeviceHandle device, uint32_t kind,
                                            uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        return run_pin_dialog(languagePath, "VerifyPin_Title", {secret(languagePath, kind == 1 ? "UserPin" : "SoPin")},
                              [&](std::vector<Buffer>& f, QXUI_CHAR* message) {
                                  return callback(device, kind, f[0].units, message);
                              });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_ChangePin(QXUI_ChangePinCallback callback, DeviceHandle device, uint32_t kind,
                                            uint32_t, uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        return run_pin_dialog(languagePath, "ChangePin_Title",
                              {secret(languagePath, "OldPin"), secret(languagePath, "NewPin"),
                               secret(languagePath, "RepeatPin")},
                              [&](std::vector<Buffer>& f, QXUI_CHAR* message) {
                                  return callback(device, kind, f[0].units, f[1].units, f[2].units, message);
                              });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_SetPin(QXUI_SetPinCallback callback, DeviceHandle device, uint32_t kind, uint32_t,
                                         const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        return run_pin_dialog(languagePath, "SetPin_Title",
                              {secret(languagePath, "NewPin"), secret(languagePath, "RepeatPin")},
                              [&](std::vector<Buffer>& f, QXUI_CHAR* message) {
                                  return callback(device, kind, f[0].units, f[1].units, message);
                              });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_UnlockPin(QXUI_UnlockPinCallback callback, DeviceHandle device, uint32_t,
                                            const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        return run_pin_dialog(languagePath, "UnlockPin_Title",
                              {secret(languagePath, "SoPin"), secret(languagePath, "NewPin"),
                               secret(languagePath, "RepeatPin")},
                              [&](std::vector<Buffer>& f, QXUI_CHAR* message) {
                                  return callback(device, f[0].units, f[1].units, f[2].units, message);
                              });
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_InitToken(QXUI_InitTokenCallback callback, DeviceHandle device, QXUI_CHAR* label,
                                            uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !label || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        Buffer chosen;
        const uint32_t rc = run_pin_dialog(
            languagePath, "InitToken_Title",
            {secret(languagePath, "UserPin"), secret(languagePath, "SoPin"),
             Row{RowKind::edit, ui_text(languagePath, "DevLabel"), {}, {}}},
            [&](std::vector<Buffer>& f, QXUI_CHAR* message) {
                const uint32_t r = callback(device, f[0].units, f[1].units, f[2].units, message, 0);
                if (r == 0) std::memcpy(chosen.units, f[2].units, sizeof chosen.units);
                return r;
            });
        if (rc == 0) std::memcpy(label, chosen.units, sizeof chosen.units);
        return rc;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_SelectDevice(const QXUI_DeviceEntry* entries, uint32_t count, uint32_t* index,
                                               uint32_t, const QXUI_CHAR* languagePath) {
    if (!entries || count == 0 || !index || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        std::vector<Text> labels;
        for (uint32_t i = 0; i < count; ++i) {
            const char* bytes = reinterpret_cast<const char*>(entries[i].bytes);
            Text wide;
            if (qx::platform::from_system_text(std::string(bytes, strnlen(bytes, QXUI_DEVICE_ENTRY_BYTES)), &wide) != 0)
                wide = u"?";
            labels.push_back(wide);
        }
        ChoiceDialog dialog(languagePath, "SelectDevice_Title", std::move(labels));
        if (dialog.run(-1) == -1 || dialog.status != 0 || dialog.chosen < 0) return QXUI_CANCELLED;
        *index = static_cast<uint32_t>(dialog.chosen);
        return 0;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_SelectContainer(QXUI_SelectContainerCallback callback,
                                                  const QXUI_CHAR (*names)[QXUI_TEXT_UNITS], uint32_t count,
                                                  DeviceHandle device, uint32_t flag, uint32_t,
                                                  const QXUI_CHAR* languagePath) {
    if (!callback || !names || count == 0 || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        std::vector<Text> items;
        for (uint32_t i = 0; i < count; ++i) items.push_back(text_of(names[i]));
        ChoiceDialog dialog(languagePath, "SelectContainer_Title", std::move(items),
                            [&](int i) { return callback(device, names[i], flag); });
        if (dialog.run(-1) == -1) return QXUI_CANCELLED;
        return dialog.status;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_GenKeyPairProgress(QXUI_GenKeyPairCallback callback, DeviceHandle device,
                                                     uint32_t algorithm, uint32_t keyBits, uint32_t keySpec,
                                                     uint32_t flags, KeyHandle* key, uint32_t,
                                                     const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        WorkDialog dialog(ui_text(languagePath, "GenKeyPair_Text"),
                          {line(ui_text(languagePath, "GenKeyPair_Text")), Row{RowKind::progress, {}, {}, {}}},
                          [&](HWND) { return callback(device, algorithm, keyBits, keySpec, flags, key); },
                          languagePath, -1, 1);
        return run_work(dialog);
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_WaitKeyPressEvent(QXUI_PollCallback callback, DeviceHandle device, KeyHandle key,
                                                    uint32_t seconds, uint8_t* output, uint32_t* outputLength,
                                                    uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        WorkDialog dialog(ui_text(languagePath, "WaitKeyPress_Title"), {line(ui_text(languagePath, "WaitKeyPress_Title"))},
                          [&](HWND window) {
                              QXUI_DialogContext context{window, 0};
                              return callback(device, key, &context, output, outputLength);
                          },
                          languagePath, static_cast<int64_t>(seconds));
        return run_work(dialog);
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_WaitTransDataEvent(QXUI_SendDataCallback callback, KeyHandle key,
                                                     const uint8_t* data, uint32_t length, uint32_t pieces,
                                                     uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&] {
        WorkDialog dialog(ui_text(languagePath, "WaitTransData_Text"),
                          {line(ui_text(languagePath, "WaitTransData_Text")), Row{RowKind::progress, {}, {}, {}}},
                          [&](HWND window) {
                              QXUI_DialogContext context{window, kShowsPieces};
                              return callback(key, &context, data, length);
                          },
                          languagePath, -1, 1, pieces ? pieces : 1);
        return run_work(dialog);
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_MessageBox(const QXUI_CHAR* text, const QXUI_CHAR* caption, uint32_t type, uint32_t,
                                             const QXUI_CHAR* languagePath) {
    if (!text) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        const Text title = caption ? text_of(caption) : ui_text(languagePath, "MessageBox_Title");
        // Type 0 (MB_OK) shows OK alone; the others ask OK or Cancel.
        Dialog dialog(title, {line(text_of(text, 1024))}, Buttons{true, (type & 0xF) != 0}, languagePath);
        return dialog.run(IDCANCEL) == IDOK ? QXUI_CONFIRMED : 2u;
    }, kGeneralFailure);
}

namespace {

class DevNameDialog : public Dialog {
public:
    DevNameDialog(QXUI_DevNameCallback callback, DeviceHandle device, const QXUI_CHAR* path)
        : Dialog(ui_text(path, "ChangeDevName_Title"), {Row{RowKind::edit, ui_text(path, "DevLabel"), {}, {}}},
                 Buttons{}, path),
          callback_(callback), device_(device) {}
    uint32_t last = QXUI_CANCELLED;
    Buffer wanted;

protected:
    void on_init() override {
        reading_ = true;
        start([this] { return callback_(device_, current_.units, 0); });
    }
    void on_ok() override {
        if (!take_edit(0, &wanted)) return;
        start([this] { return callback_(device_, wanted.units, 1); });
    }
    void on_cancel() override { end(IDCANCEL); }
    void on_done(uint32_t rc) override {
        if (reading_) {
            reading_ = false;
            if (rc == 0) set_row_text(0, current_.text());
            return;
        }
        last = rc;
        if (rc == 0) {
            end(IDOK);
            return;
        }
        set_row_text(0, wanted.text());
        show_message(ui_text(languagePath_, "ChangeDevName_Failed"));
    }

private:
    QXUI_DevNameCallback callback_;
    DeviceHandle device_;
    Buffer current_;
    bool reading_ = false;
};

class DevInfoDialog : public Dialog {
public:
    DevInfoDialog(QXUI_DevInfoCallback callback, DeviceHandle device, const QXUI_CHAR* path)
        : Dialog(ui_text(path, "DevInfo_Title"),
                 {Row{RowKind::text, ui_text(path, "DevLabel"), u" ", {}},
                  Row{RowKind::text, ui_text(path, "DevSerial"), u" ", {}},
                  Row{RowKind::text, ui_text(path, "HardwareVersion"), u" ", {}},
                  Row{RowKind::text, ui_text(path, "FirmwareVersion"), u" ", {}}},
                 Buttons{true, false}, path),
          callback_(callback), device_(device) {}
    uint32_t status = QXUI_CANCELLED;

protected:
    void on_init() override {
        start([this] { return callback_(device_, v_[0].units, v_[1].units, v_[2].units, v_[3].units); });
    }
    void on_ok() override { end(IDOK); }
    void on_done(uint32_t rc) override {
        status = rc;
        if (rc != 0) {
            end(IDCANCEL);
            return;
        }
        for (int i = 0; i < 4; ++i) set_row_text(i, v_[i].text());
    }

private:
    QXUI_DevInfoCallback callback_;
    DeviceHandle device_;
    Buffer v_[4];
};

class PfxDialog : public Dialog {
public:
    PfxDialog(QXUI_PfxCallback callback, const void* blob, const QXUI_CHAR* path)
        : Dialog(ui_text(path, "ImportCert_Title"), {secret(path, "PfxPassword")}, Buttons{}, path),
          callback_(callback), blob_(blob) {}
    uintptr_t store = 0;

protected:
    void on_ok() override {
        if (!take_edit(0, &password_)) return;
        start([this] {
            store = callback_(blob_, password_.units);
            return store ? 0u : 1u;
        });
    }
    void on_done(uint32_t rc) override {
        password_.wipe();
        if (rc == 0) {
            end(IDOK);
            return;
        }
        show_message(ui_text(languagePath_, "PfxPassword_Wrong"));
    }

private:
    QXUI_PfxCallback callback_;
    const void* blob_;
    Buffer password_;
};

}  // namespace

QX_EXPORT uint32_t QXUI_CALL QXUI_ChangeDevName(QXUI_DevNameCallback callback, DeviceHandle device, QXUI_CHAR* label,
                                                uint32_t, const QXUI_CHAR* languagePath) {
    if (!callback || !label || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        DevNameDialog dialog(callback, device, languagePath);
        if (dialog.run(-1) == -1) return QXUI_CANCELLED;
        if (dialog.last == 0) std::memcpy(label, dialog.wanted.units, sizeof dialog.wanted.units);
        return dialog.last;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_ShowDevInfo(QXUI_DevInfoCallback callback, DeviceHandle device, uint32_t,
                                              const QXUI_CHAR* languagePath) {
    if (!callback || !languagePath) return ERR_INVALID_PARAM;
    return guarded([&]() -> uint32_t {
        DevInfoDialog dialog(callback, device, languagePath);
        const intptr_t r = dialog.run(-1);
        if (dialog.status != 0) return dialog.status;
        return r == IDOK ? 0u : QXUI_CANCELLED;
    }, kGeneralFailure);
}

QX_EXPORT uint32_t QXUI_CALL QXUI_ShowKeyBoard(void*, uint32_t, const QXUI_CHAR*) { return QXUI_CANCELLED; }

QX_EXPORT uintptr_t QXUI_CALL QXUI_VerifyImportCertPin(QXUI_PfxCallback callback, const void* blob, uint32_t,
                                                       const QXUI_CHAR* languagePath) {
    if (!callback || !blob || !languagePath) return 0;
    return guarded([&]() -> uintptr_t {
        PfxDialog dialog(callback, blob, languagePath);
        return dialog.run(-1) == IDOK ? dialog.store : 0;
    }, static_cast<uintptr_t>(0));
}
