// The QXDevice transport: one object per device name, reaching the virtual
// tokens of the token store and, for the CCID channel, the cards in the
// system's PC/SC readers.  The name given to Open chooses the path.
// For a virtual token every transmit takes the token's file lock, runs one
// command on the card OS and writes the token back, so that several
// processes share one token as they would share one reader.
// The header checks its field offsets with offsetof on a class with virtual
// functions, which GCC accepts but warns about.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
#include <QXDevice.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "device/transport/pcsc_reader.h"

#ifndef QX_PRIVATE_LIBCRYPTO
#define QX_PRIVATE_LIBCRYPTO 0
#endif

namespace {

// When libcrypto is linked into this module (the Windows build), it must not
// register its clean-up with the process's exit handlers (this module may be
// unloaded long before the process exits), and it is cleaned up when the
// module goes.  A libcrypto shared with the application is left alone.
struct CryptoLifetime {
    bool initialised = false;
    void ensure() {
        if (!initialised) initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    }
    ~CryptoLifetime() {
        if (QX_PRIVATE_LIBCRYPTO && initialised) OPENSSL_cleanup();
    }
};
CryptoLifetime g_crypto;

using qx::vtoken::Bytes;
using qx::vtoken::StoreStatus;
using qx::vtoken::TokenState;

constexpr uint32_t kScardUnknownReader = 0x80100009u;
constexpr uint32_t kScardInsufficientBuffer = 0x80100008u;
constexpr uint32_t kMaxCommand = 5 + 255 + 1;

class Transport final : public QXDeviceTransport {
public:
    explicit Transport(uint32_t channel) { channelType = channel; }
    ~Transport() = default;

    uint32_t Open(const char* name) override {
        try {
            if (name == nullptr) return QXDEV_SCARD_E_INVALID_VALUE;
            size_t len = strnlen(name, QXDEV_NAME_SIZE);
            if (len == 0 || len >= QXDEV_NAME_SIZE) return QXDEV_SCARD_E_INVALID_VALUE;
            std::string device(name, len);  // the argument may be our own name field
            std::string token = qx::vtoken::token_name_from_device(device);
            uint64_t session = 0, generation = 0;
            bool present = false;
            StoreStatus st = StoreStatus::NotFound;
            if (!token.empty()) {
                st = store().update(token, [&](TokenState& s) {
                    present = s.plugged && s.config.channel == channelType;
                    session = s.power_session;
                    generation = s.plug_generation;
                    return false;
                });
            }
            // A virtual token that exists but is unplugged or of another channel stays unknown.
            if (st != StoreStatus::Ok && st != StoreStatus::NotFound) return kScardUnknownReader;
            if (st == StoreStatus::Ok && !present) return kScardUnknownReader;
            if (st == StoreStatus::NotFound) {
                // Not a virtual token: a reader, for the channel that readers serve.
                if (channelType != QXDEV_CHANNEL_CCID || qx::device::is_virtual_device_name(device))
                    return kScardUnknownReader;
                uint32_t rc = reader_.open(device);
                if (rc != 0) {
                    if (token_.empty()) openStatus = 0;
                    return rc;
                }
                token_.clear();
                set_name(device);
                openStatus = 1;
                return 0;
            }
            reader_.forget();
            std::memset(deviceName, 0, sizeof deviceName);
            std::memcpy(deviceName, device.data(), device.size());
            token_ = token;
            session_ = session;
            generation_ = generation;
            openStatus = 1;
            return 0;
        } catch (...) {
            return QXDEV_ERR_DEVICE_IO;
        }
    }

    uint32_t Close(void*) override {
        reader_.close();
        openStatus = 0;
        return 0;
    }

    uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                      uint32_t* responseLength) override {
        try {
            if (command == nullptr || response == nullptr || responseLength == nullptr || commandLength < 4 ||
                commandLength > kMaxCommand)
                return QXDEV_SCARD_E_INVALID_VALUE;
            if (openStatus == 0) return QXDEV_ERR_DEVICE_IO;
            // A card in a reader deciphers the link itself: the bytes go as they are.
            if (token_.empty()) return reader_.transmit(command, commandLength, response, responseLength);
            Bytes apdu(command, command + commandLength);
            bool enciphered = transportKeyLength == QXDEV_TRANSPORT_KEY_SIZE;
            uint32_t code = 0;
            Bytes answer;
            StoreStatus st = store().update(token_, [&](TokenState& s) {
                code = link_status(s);
                if (code != 0) return false;
                int64_t now = qx::vtoken::wall_clock_ms();
                answer = enciphered ? qx::vtoken::process_enciphered_command(s, apdu, now)
                                    : qx::vtoken::process_command(s, apdu, now);
                return true;
            });
            qx::vtoken::wipe(apdu);
            // A token that was removed from the store has gone like an unplugged reader.
            if (st == StoreStatus::NotFound) return QXDEV_SCARD_E_INVALID_HANDLE;
            if (st != StoreStatus::Ok) return QXDEV_ERR_DEVICE_IO;
            if (code != 0) return code;
            if (answer.size() > *responseLength) {
                qx::vtoken::wipe(answer);
                return kScardInsufficientBuffer;
            }
            std::memcpy(response, answer.data(), answer.size());
            *responseLength = static_cast<uint32_t>(answer.size());
            qx::vtoken::wipe(answer);
            return 0;
        } catch (...) {
            return QXDEV_ERR_DEVICE_IO;
        }
    }

    // Reconnecting after a reset that another party caused only takes up the
    // new power session; otherwise the token is reset (which every other
    // process then sees as a reset card).
    uint32_t Reset(uint8_t* atr, uint32_t* atrLength) override {
        try {
            if (atr == nullptr || atrLength == nullptr) return QXDEV_SCARD_E_INVALID_VALUE;
            if (token_.empty()) return reset_reader(atr, atrLength);
            uint32_t code = 0;
            Bytes answer;
            StoreStatus st = store().update(token_, [&](TokenState& s) {
                if (!s.plugged || s.plug_generation != generation_) {
                    code = QXDEV_SCARD_E_INVALID_HANDLE;
                    return false;
                }
                bool changed = false;
                if (s.power_session == session_) {
                    s.power_cycle();
                    changed = true;
                }
                session_ = s.power_session;
                answer = qx::vtoken::answer_to_reset(s);
                return changed;
            });
            if (st == StoreStatus::NotFound) return QXDEV_SCARD_E_INVALID_HANDLE;
            if (st != StoreStatus::Ok) return QXDEV_ERR_DEVICE_IO;
            if (code != 0) return code;
            if (answer.size() > *atrLength) return kScardInsufficientBuffer;
            std::memcpy(atr, answer.data(), answer.size());
            *atrLength = static_cast<uint32_t>(answer.size());
            openStatus = 1;
            return 0;
        } catch (...) {
            return QXDEV_ERR_DEVICE_IO;
        }
    }

    uint32_t Enumerate(const char* const* words, uint32_t wordCount, char (*names)[QXDEV_NAME_SIZE],
                       uint32_t* count) override {
        try {
            if (names == nullptr || count == nullptr || (words == nullptr && wordCount != 0))
                return QXDEV_SCARD_E_INVALID_VALUE;
            std::vector<std::string> lowered;
            for (uint32_t i = 0; i < wordCount; ++i) {
                if (words[i] == nullptr) continue;
                lowered.push_back(lower(std::string(words[i], strnlen(words[i], 1024))));
            }
            std::vector<std::string> found;
            qx::vtoken::TokenStore st = store();
            for (const std::string& token : st.names()) {
                if (found.size() >= QXDEV_MAX_ENUM) break;
                TokenState s;
                if (st.read(token, s) != StoreStatus::Ok) continue;
                if (!s.plugged || s.config.channel != channelType) continue;
                std::string device = qx::vtoken::device_name_for(s.config.channel, token);
                if (device.size() >= QXDEV_NAME_SIZE) continue;
                std::string low = lower(device);
                bool match = wordCount == 0 || std::any_of(lowered.begin(), lowered.end(), [&](const std::string& w) {
                                 return low.find(w) != std::string::npos;
                             });
                if (match) found.push_back(device);
            }
            // Then the readers, which only the CCID channel serves; a missing
            // PC/SC service just means that there are none.
            if (channelType == QXDEV_CHANNEL_CCID && (wordCount == 0 || !lowered.empty()))
                qx::device::list_readers(lowered, QXDEV_MAX_ENUM, QXDEV_NAME_SIZE - 1, found);
            uint32_t n = 0;
            for (const std::string& device : found) {
                std::memset(names[n], 0, QXDEV_NAME_SIZE);
                std::memcpy(names[n], device.data(), device.size());
                ++n;
            }
            *count = n;
            return 0;
        } catch (...) {
            return QXDEV_ERR_DEVICE_IO;
        }
    }

private:
    void set_name(const std::string& device) {
        std::memset(deviceName, 0, sizeof deviceName);
        std::memcpy(deviceName, device.data(), device.size());
    }

    uint32_t reset_reader(uint8_t* atr, uint32_t* atrLength) {
        std::vector<uint8_t> answer;
        if (!reader_.has_reader()) return QXDEV_ERR_DEVICE_IO;  // nothing was ever opened
        uint32_t rc = reader_.reset(answer);
        if (rc != 0) return rc;
        if (answer.size() > *atrLength) return kScardInsufficientBuffer;
        std::memcpy(atr, answer.data(), answer.size());
        *atrLength = static_cast<uint32_t>(answer.size());
        openStatus = 1;
        return 0;
    }

    static std::string lower(std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    }

    // What a reader reports for a token that went away or was reset since this object saw it.
    uint32_t link_status(const TokenState& s) const {
        if (!s.plugged || s.plug_generation != generation_) return QXDEV_SCARD_E_INVALID_HANDLE;
        if (s.power_session != session_) return QXDEV_SCARD_W_RESET_CARD;
        return 0;
    }

    static qx::vtoken::TokenStore store() { return qx::vtoken::TokenStore(qx::vtoken::default_store_directory()); }

    qx::device::PcscReader reader_;
    std::string token_;
    uint64_t session_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace

extern "C" {

QXDEV_EXPORT QXDeviceHandle QXDEV_CALL QXCreateDevInstance(uint32_t channelType) {
    if (channelType != QXDEV_CHANNEL_CCID && channelType != QXDEV_CHANNEL_UMS && channelType != QXDEV_CHANNEL_HID)
        return nullptr;
    try {
        static std::once_flag once;
        std::call_once(once, [] { g_crypto.ensure(); });
    } catch (...) {
        return nullptr;
    }
    return new (std::nothrow) Transport(channelType);
}

QXDEV_EXPORT void QXDEV_CALL QXDestroyDevInstance(QXDeviceHandle device) {
    delete static_cast<Transport*>(device);
}

}  // extern "C"
