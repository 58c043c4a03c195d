#include "device_dialogs.h"

#include <array>
#include <string>

#include "callback_support.h"
#include "pin_dialogs.h"
#include "pin_rules.h"

namespace qx::uiext {
namespace {

// The label bytes GetTokenLabel is given room for when the rename dialog reads.
constexpr uint32_t kLabelReadBytes = 26;
constexpr uint32_t kSerialBytes = 260;

// UTF-16 text as the token stores it: two bytes per unit, low byte first.
std::string label_bytes(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

// The reverse, into a dialog buffer (terminated).  An odd last byte stands
// alone in its unit.
void put_label_bytes(QXUI_CHAR* out, const uint8_t* bytes, std::size_t length) {
    const std::size_t units = std::min<std::size_t>((length + 1) / 2, QXUI_TEXT_UNITS - 1);
    for (std::size_t i = 0; i < units; ++i) {
        const uint8_t lo = bytes[2 * i];
        const uint8_t hi = 2 * i + 1 < length ? bytes[2 * i + 1] : 0;
        out[i] = static_cast<QXUI_CHAR>(lo | (hi << 8));
    }
    out[units] = 0;
}

// PIN check of the initialisation dialog against the installation's policy.
uint32_t check_pin(const QXUI_CHAR* pin, QXUI_CHAR* message) {
    char16_t text[QXUI_TEXT_UNITS] = {};
    const std::u16string_view v = buffer_view(pin, QXUI_TEXT_UNITS - 1);
    std::copy(v.begin(), v.end(), text);
    const Text path = frame().languagePath();
    char16_t buffer[kMessageUnits] = {};
    const uint32_t rc = CheckPinRules(kCheckEveryRule, text, path.c_str(), buffer);
    wipe_bytes(text, sizeof text);
    if (rc != 0) put_text(message, Text(buffer));
    return rc;
}

uint32_t convert_pin(const QXUI_CHAR* pin, PinBytes* out, QXUI_CHAR* message) {
    const char* key = nullptr;
    const uint32_t rc = ConvertPin(buffer_view(pin, QXUI_TEXT_UNITS - 1), out, &key);
    if (rc != 0 && key) put_message(message, key);
    return rc;
}

}  // namespace

Text VersionText(uint8_t a, uint8_t b, uint8_t c) {
    const std::string s = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
    return Text(s.begin(), s.end());
}

uint32_t QXUI_CALL DevNameCallback(DeviceHandle device, QXUI_CHAR* label, uint32_t set) {
    if (!label) return ERR_INVALID_PARAM;
    return shield([&]() -> uint32_t {
        const KernelApi& k = frame().kernel;
        if (set == 0) {
            if (!k.getTokenLabel) return kNotLoaded;
            std::array<uint8_t, kLabelReadBytes + 1> bytes{};
            uint32_t length = kLabelReadBytes;
            const uint32_t rc = k.getTokenLabel(device, bytes.data(), &length);
            if (rc != 0) return rc;
            length = std::min(length, kLabelReadBytes);
            // The kernel trims trailing 0x20 bytes: an odd length lost the
            // high byte of a last character such as U+20AC.
            if (length % 2 == 1) bytes[length++] = 0x20;
            put_label_bytes(label, bytes.data(), length);
            return 0u;
        }
        const std::u16string_view text = buffer_view(label);
        if (text.size() > kMaxRenameUnits) return kLabelEndsInSpace;  // does not fit the label
        if (!text.empty() && text.back() == u' ') return kLabelEndsInSpace;
        if (!k.setTokenLabel) return kNotLoaded;
        const std::string bytes = label_bytes(text);
        // An empty label reaches the kernel with length 0, which refuses it.
        return k.setTokenLabel(device, reinterpret_cast<const uint8_t*>(bytes.data()),
                               static_cast<uint32_t>(bytes.size()));
    });
}

uint32_t QXUI_CALL DevInfoCallback(DeviceHandle device, QXUI_CHAR* label, QXUI_CHAR* serial, QXUI_CHAR* firmware,
                                   QXUI_CHAR* hardware) {
    if (!label || !serial || !firmware || !hardware) return ERR_INVALID_PARAM;
    return shield([&]() -> uint32_t {
        const KernelApi& k = frame().kernel;
        if (!k.getTokenInfo || !k.getDeviceSerialNumber) return kNotLoaded;
        std::array<uint8_t, QXTOKEN_TOKEN_INFO_SIZE> info{};
        uint32_t length = QXTOKEN_TOKEN_INFO_SIZE;
        uint32_t rc = k.getTokenInfo(device, info.data(), &length);
        if (rc != 0) return rc;

        std::size_t n = QXTOKEN_LABEL_SIZE;
        while (n > 0 && (info[n - 1] == ' ' || info[n - 1] == 0)) --n;
        put_label_bytes(label, info.data(), n);

        std::array<uint8_t, kSerialBytes> bytes{};
        length = kSerialBytes;
        rc = k.getDeviceSerialNumber(device, bytes.data(), &length);
        if (rc != 0) return rc;
        std::size_t used = std::min<std::size_t>(length, kSerialBytes - 1);
        for (std::size_t i = 0; i < used; ++i) {
            if (bytes[i] == 0) {
                used = i;
                break;
            }
        }
        Text text;
        rc = FromSystemText(reinterpret_cast<const char*>(bytes.data()), used, &text);
        if (rc != 0) return rc;
        put_text(serial, text);
        put_text(firmware, VersionText(info[142], info[143], info[144]));
        put_text(hardware, VersionText(info[140], info[141], info[144]));
        return 0u;
    });
}

uint32_t QXUI_CALL InitTokenCallback(DeviceHandle device, QXUI_CHAR* userPin, QXUI_CHAR* soPin, QXUI_CHAR* label,
                                     QXUI_CHAR* message, uint32_t skipRules) {
    WipeUnits w1(userPin), w2(soPin);
    if (!userPin || !soPin || !label || !message) return ERR_INVALID_PARAM;
    return shield([&]() -> uint32_t {
        const KernelApi& k = frame().kernel;
        uint32_t rc = 0;
        if (skipRules == 0) {
            rc = check_pin(userPin, message);
            if (rc == 0) rc = check_pin(soPin, message);
            if (rc != 0) return rc;
        }
        // The length bounds hold with or without the rules: the token must
        // never get a PIN its VERIFY refuses.
        PinBytes user, so;
        rc = convert_pin(userPin, &user, message);
        if (rc == 0) rc = convert_pin(soPin, &so, message);
        if (rc != 0) return rc;

        const std::u16string_view text = buffer_view(label);
        if (text.empty()) {
            put_message(message, "InitKey_LabelEmpty");
            return kUiFailure;
        }
        if (text.size() > kMaxInitLabelUnits) {
            put_message(message, "InitKey_LabelErr");
            return kUiFailure;
        }
        if (text.back() == u' ') {
            put_message(message, "DevLabel_Invalid");
            return kLabelEndsInSpace;
        }
        if (!k.initToken) return kNotLoaded;
        const std::string bytes = label_bytes(text);
        rc = k.initToken(device, user.data(), user.size(), so.data(), so.size(),
                         reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
        user.wipe();
        so.wipe();
        if (rc == ERR_TRANSACTION_D10D) rc = WaitForButton(device);
        if (rc != 0) put_message(message, "InitKey_Failed");
        return rc;
    });
}

uint32_t QXUI_CALL GenKeyPairCallback(DeviceHandle device, uint32_t algorithm, uint32_t keyBits, uint32_t keySpec,
                                      uint32_t flags, KeyHandle* key) {
    return shield([&]() -> uint32_t {
        const KernelApi& k = frame().kernel;
        if (!k.genAsymKey) return kNotLoaded;
        return k.genAsymKey(device, algorithm, keyBits, keySpec, flags, key);
    });
}

uint32_t SelectDevice(DeviceHandle* handles, uint32_t count, DeviceHandle* chosen) {
    if (!frame().ready()) return kNotLoaded;
    if (!handles || !chosen || count == 0 || count > kMaxSelectableDevices) return ERR_INVALID_PARAM;
    return shield([&]() -> uint32_t {
        Frame& f = frame();
        const KernelApi& k = f.kernel;
        if (!k.openDeviceByHandle || !k.getTokenLabel || !k.closeDevice) return kNotLoaded;
        std::array<QXUI_DeviceEntry, kMaxSelectableDevices> entries{};
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t rc = k.openDeviceByHandle(handles[i]);
            if (rc != 0) return rc;
            std::array<uint8_t, QXTOKEN_LABEL_SIZE> label{};
            uint32_t length = QXTOKEN_LABEL_SIZE;
            rc = k.getTokenLabel(handles[i], label.data(), &length);
            const uint32_t closed = k.closeDevice(handles[i]);  // opened for the label only: closed on every path
            if (rc != 0) return rc;
            if (closed != 0) return closed;
            std::copy_n(label.begin(), std::min<uint32_t>(length, QXTOKEN_LABEL_SIZE), entries[i].bytes);
        }
        uint32_t index = 0;
        DialogPath path;
        const uint32_t rc = f.ui.selectDevice(entries.data(), count, &index, 1, path.get());
        if (rc != 0) return rc;
        if (index >= count) return ERR_INVALID_PARAM;
        *chosen = handles[index];
        return 0u;
    });
}

uint32_t ChangeDevName(DeviceHandle device, QXUI_CHAR* label) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || !label) return ERR_INVALID_PARAM;
    return shield([&] {
        DialogPath path;
        return frame().ui.changeDevName(&DevNameCallback, device, label, 1, path.get());
    });
}

uint32_t ShowDevInfo(DeviceHandle device) {
    if (!frame().ready()) return kNotLoaded;
    if (!device) return ERR_INVALID_PARAM;
    return shield([&] {
        DialogPath path;
        return frame().ui.showDevInfo(&DevInfoCallback, device, 1, path.get());
    });
}

uint32_t InitToken(DeviceHandle device, QXUI_CHAR* label) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || !label) return ERR_INVALID_PARAM;
    return shield([&] {
        DialogPath path;
        return frame().ui.initToken(&InitTokenCallback, device, label, 1, path.get());
    });
}

uint32_t GenKeyPair(DeviceHandle device, uint32_t algorithm, uint32_t keyBits, uint32_t keySpec, uint32_t flags,
                    KeyHandle* key) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || !key) return ERR_INVALID_PARAM;
    return shield([&] {
        DialogPath path;
        return frame().ui.genKeyPairProgress(&GenKeyPairCallback, device, algorithm, keyBits, keySpec, flags, key, 1,
                                             path.get());
    });
}

}  // namespace qx::uiext
