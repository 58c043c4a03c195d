#include "transaction.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "pin_dialogs.h"
#include "qx/platform/module.h"
#include "qx/platform/text.h"
#include "qx/platform/ui_shared.h"
#include "qx/platform/xml.h"

namespace qx::uiext {
namespace {

constexpr uint32_t kSm2 = 0x10000;
constexpr uint32_t kSm3 = 16;
constexpr uint32_t kSm2SignatureBytes = 64;
constexpr uint32_t kZaBufferBytes = 256;
constexpr uint32_t kPieceAnswerBytes = 260;
constexpr uint32_t kModeOne = 1;
constexpr auto kBeforeButtonWait = std::chrono::milliseconds(200);

// The kernel exports of transactions, bound from the kernel the frame loaded.
struct TransactionKernel {
    PFN_QXToken_IsTranHashMeth isTranHashMeth = nullptr;
    PFN_QXToken_SignHash signHash = nullptr;
    PFN_QXToken_SetTokenDisplayLang setDisplayLanguage = nullptr;
    PFN_QXToken_GetKeyValue getKeyAlgorithm = nullptr;
    PFN_QXToken_GetKeyValue getKeyBits = nullptr;
    PFN_QXToken_GetSM3DigestZA getZa = nullptr;
    PFN_QXToken_NegotiateTransaction negotiate = nullptr;
    PFN_QXToken_SignTransaction sendPiece = nullptr;
    PFN_QXToken_CancelTransaction cancel = nullptr;

    explicit TransactionKernel(void* module) {
        if (!module) return;
        isTranHashMeth = platform::bind_function<PFN_QXToken_IsTranHashMeth>(module, "QXToken_IsTranHashMeth");
        signHash = platform::bind_function<PFN_QXToken_SignHash>(module, "QXToken_SignHash");
        setDisplayLanguage =
            platform::bind_function<PFN_QXToken_SetTokenDisplayLang>(module, "QXToken_SetTokenDisplayLang");
        getKeyAlgorithm = platform::bind_function<PFN_QXToken_GetKeyValue>(module, "QXToken_GetKeyAlgID");
        getKeyBits = platform::bind_function<PFN_QXToken_GetKeyValue>(module, "QXToken_GetKeyLen");
        getZa = platform::bind_function<PFN_QXToken_GetSM3DigestZA>(module, "QXToken_GetSM3DigestZA");
        negotiate =
            platform::bind_function<PFN_QXToken_NegotiateTransaction>(module, "QXToken_NegotiateTransaction");
        sendPiece = platform::bind_function<PFN_QXToken_SignTransaction>(module, "QXToken_SignTransaction");
        cancel = platform::bind_function<PFN_QXToken_CancelTransaction>(module, "QXToken_CancelTransaction");
    }
    bool complete() const {
        return isTranHashMeth && signHash && setDisplayLanguage && getKeyAlgorithm && getKeyBits && getZa &&
               negotiate && sendPiece && cancel;
    }
};

// The transactions in progress in this process: the send call-back gets only
// the key, yet a failed piece must cancel on the key's device (with the key
// alone the kernel would merely poll and leave the transaction open).
struct Active {
    KeyHandle key;
    DeviceHandle device;
    bool cancelled = false;
};
std::mutex g_active_mutex;
std::vector<Active*> g_active;

class ActiveScope {
public:
    ActiveScope(KeyHandle key, DeviceHandle device) : entry_{key, device} {
        std::lock_guard<std::mutex> lock(g_active_mutex);
        g_active.push_back(&entry_);
    }
    ~ActiveScope() {
        std::lock_guard<std::mutex> lock(g_active_mutex);
        g_active.erase(std::remove(g_active.begin(), g_active.end(), &entry_), g_active.end());
    }
    bool cancelled() const {
        std::lock_guard<std::mutex> lock(g_active_mutex);
        return entry_.cancelled;
    }
    ActiveScope(const ActiveScope&) = delete;
    ActiveScope& operator=(const ActiveScope&) = delete;

private:
    Active entry_;
};

// Cancels the transaction of `key` on its device (the latest one started for
// the key when a caller runs two at once).
void cancel_transaction(const TransactionKernel& k, KeyHandle key) {
    DeviceHandle device = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_active_mutex);
        for (auto it = g_active.rbegin(); it != g_active.rend(); ++it) {
            if ((*it)->key == key) {
                device = (*it)->device;
                (*it)->cancelled = true;
                break;
            }
        }
    }
    k.cancel(key, device);
}

template <typename F>
uint32_t shielded(F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    } catch (...) {
        return ERR_FAILED;
    }
}

}  // namespace

uint32_t QXUI_CALL SendTransData(KeyHandle key, QXUI_DialogContext* context, const uint8_t* data, uint32_t length) {
    return shielded([&]() -> uint32_t {
        Frame& f = frame();
        if (!f.ready()) return kNotLoaded;
        const TransactionKernel k(f.kernel.module);
        if (!k.complete()) return kNotLoaded;
        if (!key || !data || length == 0) return ERR_INVALID_PARAM;
        const uint64_t pieces = PieceCount(length);
        if (pieces > kMaxPieces) return kMalformedTransaction;
        for (uint32_t n = 1; n <= pieces; ++n) {
            if (pieces > 1 && context && context->window && context->flag != 0)
                platform::send_dialog_message(context->window, QXUI_MSG_PIECE_SENT, 0, reinterpret_cast<intptr_t>(&n));
            const uint64_t offset = static_cast<uint64_t>(n - 1) * kPieceBytes;
            const auto size = static_cast<uint32_t>(std::min<uint64_t>(kPieceBytes, length - offset));
            uint8_t piece[kPieceBytes] = {};
            std::memcpy(piece, data + offset, size);
            uint8_t answer[kPieceAnswerBytes] = {};
            uint32_t answerLength = sizeof answer;
            const uint32_t rc = k.sendPiece(key, n, piece, size, answer, &answerLength);
            if (rc != 0) {
                cancel_transaction(k, key);
                return rc;
            }
        }
        return 0u;
    });
}

uint32_t TransDataSign(DeviceHandle device, KeyHandle key, uint32_t hashAlg, const uint8_t* data, uint32_t length,
                       uint8_t* signature, uint32_t* signatureLength) {
    return shielded([&]() -> uint32_t {
        Frame& f = frame();
        if (!f.ready()) return kNotLoaded;
        const TransactionKernel k(f.kernel.module);
        if (!k.complete() || !f.ui.waitTransDataEvent || !f.ui.waitKeyPressEvent) return kNotLoaded;
        if (k.isTranHashMeth(hashAlg) == 0) return k.signHash(key, 1, hashAlg, data, length, signature, signatureLength);

        // The signature buffer is settled before the token hears anything:
        // the person must not confirm a transaction whose signature has
        // nowhere to go.
        if (!signatureLength) return ERR_INVALID_PARAM;
        uint32_t algorithm = 0, bits = 0;
        uint32_t rc = k.getKeyAlgorithm(key, &algorithm);
        if (rc == 0) rc = k.getKeyBits(key, &bits);
        if (rc != 0) return rc;
        const uint32_t needed = algorithm == kSm2 ? kSm2SignatureBytes : bits / 8;
        if (!signature) {
            *signatureLength = needed;
            return 0u;
        }
        if (*signatureLength < needed) {
            *signatureLength = needed;
            return ERR_BUFFER_TOO_SMALL;
        }
        if (!device) return ERR_INVALID_PARAM;

        // Z_A goes in front for SM3, and the token counts pieces in 16 bits.
        const uint64_t zaBytes = hashAlg == kSm3 ? 32 : 0;
        if (!data || PieceCount(static_cast<uint64_t>(length) + zaBytes) > kMaxPieces) return kMalformedTransaction;
        if (ParseTransData(data, length) != 0) return kMalformedTransaction;
        uint32_t language = 0;
        rc = TransDisplayLanguage(data, length, &language);
        if (rc != 0) return rc;
        rc = k.setDisplayLanguage(device, language);
        if (rc != 0) return rc;

        // Sized in 64 bits: a key length and a data length near their 32-bit
        // limits must not wrap into a short buffer.
        std::vector<uint8_t> toSend;
        try {
            toSend.reserve(static_cast<std::size_t>(static_cast<uint64_t>(bits / 8) + length));
        } catch (const std::bad_alloc&) {
            return ERR_NO_MEMORY;
        }
        if (hashAlg == kSm3) {
            uint8_t za[kZaBufferBytes] = {};
            uint32_t zaLength = sizeof za;
            rc = k.getZa(key, za, &zaLength);
            if (rc != 0) return rc;
            if (zaLength > sizeof za) return ERR_FAILED;
            toSend.assign(za, za + zaLength);
        }
        toSend.insert(toSend.end(), data, data + length);
        const uint64_t pieces = PieceCount(toSend.size());
        if (pieces > kMaxPieces || toSend.size() > UINT32_MAX) return kMalformedTransaction;
        const auto sendLength = static_cast<uint32_t>(toSend.size());

        ActiveScope active(key, device);
        rc = k.negotiate(key, hashAlg, static_cast<uint32_t>(pieces), kModeOne, toSend.data(), sendLength);
        if (rc != 0) return rc;  // nothing was announced: nothing to send or cancel
        const Text path = f.languagePath();
        const auto* uiPath = reinterpret_cast<const QXUI_CHAR*>(path.c_str());
        if (pieces == 1) {
            rc = SendTransData(key, nullptr, toSend.data(), sendLength);
        } else {
            rc = f.ui.waitTransDataEvent(&SendTransData, key, toSend.data(), sendLength,
                                         static_cast<uint32_t>(pieces), 1, uiPath);
        }
        if (rc != 0) {
            // A piece that failed has cancelled already; a dialog that gave up has not.
            if (!active.cancelled()) k.cancel(key, device);
            return rc;
        }
        std::this_thread::sleep_for(kBeforeButtonWait);
        const uint32_t seconds = wait_seconds(f.settings.tranSignWaitTime);
        SetPollLimit(poll_limit_ms(seconds));
        return f.ui.waitKeyPressEvent(&PollTokenButton, device, key, seconds, signature, signatureLength, 1, uiPath);
    });
}

}  // namespace qx::uiext
