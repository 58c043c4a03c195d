#include "apdu.h"

#include <cstring>
#include <string>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "kernel_state.h"
#include "named_locks.h"
#include "trace.h"

namespace qx::kernel {

namespace {

constexpr char kApduSource[] = "QuorvaAPDU";
constexpr char kPacketLockSuffix[] = "_GLOBAL_DEVICE_APDU_PACKET_LOCK";
constexpr uint8_t kTransportMasterKey[16] = {'H', 'A', 'L', 'C', 'Y', 'O', 'N', 'B',
                                             'R', 'I', 'D', 'G', 'E', 'K', 'E', 'Y'};
// A token that keeps answering 61xx or 6Cxx must not hold the reader forever.
constexpr int kMaxFollowUps = 64;

// Transport encryption of one exchange: RC4 under the session key over the
// header (CLA INS P1 P2) and the data, Lc/Le left as it is; the answer is
// deciphered with a fresh stream.
class TransportSession {
public:
    explicit TransportSession(const QXDeviceTransport& device) : active_(transport_session_key(device, key_)) {}
    ~TransportSession() { secure_zero(key_, sizeof key_); }
    TransportSession(const TransportSession&) = delete;
    TransportSession& operator=(const TransportSession&) = delete;

    bool active() const { return active_; }

    uint32_t wrap(std::vector<uint8_t>& command) {
        if (command.size() < 5) return ERR_FAILED;
        SoftCipher rc4(fns_, QXSA_CIPHER_RC4);
        if (!rc4) return ERR_NO_MEMORY;
        uint32_t rc = rc4.init(0, key_, sizeof key_, QXSA_ENCRYPT);
        if (rc == 0) rc = rc4.process_in_place(command.data(), 4);
        if (rc == 0 && command.size() > 5)
            rc = rc4.process_in_place(command.data() + 5, static_cast<uint32_t>(command.size() - 5));
        return rc == 0 ? ERR_OK : ERR_FAILED;
    }

    uint32_t unwrap(uint8_t* response, uint32_t length) {
        SoftCipher rc4(fns_, QXSA_CIPHER_RC4);
        if (!rc4) return ERR_NO_MEMORY;
        uint32_t rc = rc4.init(0, key_, sizeof key_, QXSA_DECRYPT);
        if (rc == 0) rc = rc4.process_in_place(response, length);
        return rc == 0 ? ERR_OK : ERR_FAILED;
    }

private:
    SoftAlgFunctions fns_ = state().soft_alg();
    uint8_t key_[16] = {};
    bool active_;
};

uint32_t le_length(uint8_t le) { return le ? le : 256u; }

}  // namespace

ApduResponse::~ApduResponse() { secure_zero(bytes.data(), bytes.size()); }

bool is_reconnect_code(uint32_t code) {
    return code == QXDEV_SCARD_W_RESET_CARD || code == QXDEV_SCARD_E_SERVICE_STOPPED ||
           code == QXDEV_SCARD_E_INVALID_VALUE || code == QXDEV_SCARD_E_INVALID_HANDLE;
}

bool transport_session_key(const QXDeviceTransport& device, uint8_t (&key)[16]) {
    if (device.transportKeyLength != 16) return false;
    SoftAlgFunctions fns = state().soft_alg();
    SoftCipher sm4(fns, QXSA_CIPHER_SM4);
    if (!sm4) return false;
    if (sm4.init(QXSA_MODE_ECB, kTransportMasterKey, sizeof kTransportMasterKey, QXSA_ENCRYPT) != 0) return false;
    uint32_t outLength = 0;
    uint8_t out[32];
    bool ok = sm4->Process(device.transportKey, 16, out, &outLength) == 0 && outLength == 16;
    if (ok) std::memcpy(key, out, 16);
    secure_zero(out, sizeof out);
    return ok;
}

uint32_t ApduChannel::exchange(const std::vector<uint8_t>& command, ApduResponse& response, Visibility visibility) {
    uint32_t length = 0;
    uint16_t sw = 0;
    const uint32_t rc = exchange_into(command, response.bytes.data(), kResponseBufferSize, length, sw, visibility);
    if (rc == ERR_OK) {
        response.length = length;
        response.sw = sw;
    }
    return rc;
}

uint32_t ApduChannel::exchange_into(const std::vector<uint8_t>& command, uint8_t* buffer, uint32_t capacity,
                                    uint32_t& joinedLength, uint16_t& joinedSw, Visibility visibility) {
    if (!device_) return ERR_INVALID_PARAM;
    if (!buffer || capacity < 2) return ERR_INVALID_PARAM;
    if (command.size() < 4 || command.size() > kMaxCommandSize) return ERR_INVALID_PARAM;
    QXDeviceTransport* dev = device_;

    std::string lockName(dev->deviceName, strnlen(dev->deviceName, sizeof dev->deviceName));
    platform::NamedMutex* mutex = named_mutex(lockName + kPacketLockSuffix);
    if (!mutex) return ERR_NO_MEMORY;
    platform::NamedMutexLock packetLock(mutex);
    if (!packetLock.owns()) return ERR_NO_MEMORY;

    const KernelState::ExchangeSettings settings = state().exchange_settings();
    const bool traceApdu = !settings.dezo && trace_enabled(kTraceApdu);
    TransportSession session(*dev);

    std::vector<uint8_t> current = command;
    bool secret = visibility == Visibility::Secret;
    bool isGetResponse = false;
    uint32_t collected = 0;
    uint32_t forcedLength = 0;  // Le + 2 of the last GET RESPONSE sent

    for (int round = 0; round <= kMaxFollowUps; ++round) {
        if (traceApdu && current.size() < kResponseBufferSize) {
            std::string text = hex_text(current.data(), secret ? 4 : current.size());
            trace(kTraceApdu, kApduSource, __LINE__, "APDU:%s", text.c_str());
        }
        std::vector<uint8_t> wire = current;
        if (session.active()) {
            uint32_t rc = session.wrap(wire);
            if (rc != ERR_OK) return rc;
        }
        if (dev->openStatus == 0) return ERR_DEVICE_IO;
        if (collected + 2 > capacity) return ERR_FAILED;

        uint32_t room = capacity - collected;
        uint32_t length = room;
        uint8_t* answer = buffer + collected;
        uint32_t rc = dev->Transmit(wire.data(), static_cast<uint32_t>(wire.size()), answer, &length);
        secure_zero(wire);
        if (rc != 0) {
            trace(kTraceTransport, " ", __LINE__, "$$$$$$$$m_pDevice->QXTransmitAPDU ret=%x", rc);
            return is_reconnect_code(rc) ? rc : ERR_DEVICE_IO;
        }
        if (length > room) length = room;
        // Some devices report a padded length after GET RESPONSE: the answer
        // is what was asked for plus the status word.  A shorter answer is
        // taken as it is, so no byte the device did not write is ever read.
        if (isGetResponse && forcedLength && length > forcedLength) length = forcedLength;
        // An answer without a status word is a failed exchange.
        if (length < 2) return ERR_DEVICE_IO;
        if (session.active()) {
            rc = session.unwrap(answer, length);
            if (rc != ERR_OK) return rc;
        }
        const uint8_t sw1 = answer[length - 2];
        const uint8_t sw2 = answer[length - 1];
        if (traceApdu && length < kResponseBufferSize) {
            std::string text = secret ? std::string() : hex_text(answer, length - 2);
            trace(kTraceApdu, kApduSource, __LINE__, "\t\t\tAPDU RESP:%s,RET:0x%04x", text.c_str(),
                  static_cast<unsigned>((sw1 << 8) | sw2));
        }

        if (sw1 == 0x61) {
            collected += length - 2;
            uint8_t le = sw2;
            // Devices of the corrected kind announce ten bytes more than they
            // can return in one answer.
            if (settings.responseCorrection && (le == 0x3A || le == 0x7A || le == 0xBA || le == 0xFA)) le -= 10;
            current = {0x00, 0xC0, 0x00, 0x00, le};
            isGetResponse = true;
            forcedLength = le_length(le) + 2;
            secret = false;
            continue;
        }
        if (sw1 == 0x6C) {
            current.resize(4);
            current.push_back(sw2);
            if (isGetResponse) forcedLength = le_length(sw2) + 2;
            continue;
        }
        collected += length;
        joinedLength = collected;
        joinedSw = static_cast<uint16_t>((sw1 << 8) | sw2);
        return ERR_OK;
    }
    return ERR_FAILED;
}

uint32_t ApduChannel::transmit(const std::vector<uint8_t>& command, ApduResponse& response, Visibility visibility) {
    if (!device_) return ERR_INVALID_PARAM;
    constexpr int kMaxExchanges = 3;
    uint32_t rc = ERR_FAILED;
    for (int attempt = 1; attempt <= kMaxExchanges; ++attempt) {
        response.length = 0;
        rc = exchange(command, response, visibility);
        if (rc == ERR_OK) {
            response.length -= 2;
            return ERR_OK;
        }
        if (!is_reconnect_code(rc) || !reconnectAllowed_ || attempt == kMaxExchanges) return rc;
        trace(kTraceCalls, kApduSource, __LINE__, "++++TransmitAPDU now ReConnect");
        uint32_t r = reconnect(device_, rc);
        if (r != ERR_OK) return r;
    }
    return rc;
}

uint32_t ApduChannel::transmit_long(const std::vector<uint8_t>& command, uint32_t capacity, std::vector<uint8_t>& data,
                                    uint16_t& sw, Visibility visibility) {
    data.clear();
    if (!device_) return ERR_INVALID_PARAM;
    constexpr int kMaxExchanges = 3;
    std::vector<uint8_t> joined(static_cast<std::size_t>(capacity) + 2);
    uint32_t rc = ERR_FAILED;
    for (int attempt = 1; attempt <= kMaxExchanges; ++attempt) {
        uint32_t length = 0;
        rc = exchange_into(command, joined.data(), static_cast<uint32_t>(joined.size()), length, sw, visibility);
        if (rc == ERR_OK) {
            joined.resize(length - 2);
            data = std::move(joined);
            return ERR_OK;
        }
        if (!is_reconnect_code(rc) || !reconnectAllowed_ || attempt == kMaxExchanges) return rc;
        trace(kTraceCalls, kApduSource, __LINE__, "++++TransmitAPDU now ReConnect");
        uint32_t r = reconnect(device_, rc);
        if (r != ERR_OK) return r;
    }
    return rc;
}

}  // namespace qx::kernel
