// Smart-card readers through the system's PC/SC interface: pcsc-lite and
// winscard share the API, so only the header that declares it differs
// (smartcard_api.h, one per system).
#include "qx/platform/smartcard.h"

#include "smartcard_api.h"

#include <utility>

namespace qx::platform::smartcard {
namespace {

uint32_t code(LONG rc) { return static_cast<uint32_t>(rc); }
SCARDCONTEXT context_of(uintptr_t h) { return static_cast<SCARDCONTEXT>(h); }
SCARDHANDLE card_of(uintptr_t h) { return static_cast<SCARDHANDLE>(h); }

const SCARD_IO_REQUEST* pci_for(uint32_t protocol) {
    return protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

}  // namespace

Context::~Context() { release(); }

Context::Context(Context&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}

Context& Context::operator=(Context&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
}

uint32_t Context::establish() {
    release();
    SCARDCONTEXT ctx = 0;
    LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx);
    if (rc != SCARD_S_SUCCESS) return code(rc);
    handle_ = static_cast<uintptr_t>(ctx);
    return kSuccess;
}

void Context::release() {
    if (handle_ != 0) SCardReleaseContext(context_of(handle_));
    handle_ = 0;
}

uint32_t Context::list_readers(std::vector<std::string>& readers) const {
    readers.clear();
    if (handle_ == 0) return kInvalidHandle;
    // The list may grow between the size query and the read; try again then.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        LONG rc = SCardListReaders(context_of(handle_), nullptr, nullptr, &size);
        if (code(rc) == kNoReadersAvailable) return kSuccess;
        if (rc != SCARD_S_SUCCESS) return code(rc);
        std::string buffer(size + 1, '\0');
        rc = SCardListReaders(context_of(handle_), nullptr, buffer.data(), &size);
        if (code(rc) == kNoReadersAvailable) return kSuccess;
        if (code(rc) == kInsufficientBuffer) continue;
        if (rc != SCARD_S_SUCCESS) return code(rc);
        // A multi-string: names ended by NUL, the list by an empty name.
        size_t end = size < buffer.size() ? size : buffer.size();
        size_t pos = 0;
        while (pos < end && buffer[pos] != '\0') {
            size_t stop = buffer.find('\0', pos);
            if (stop == std::string::npos || stop > end) stop = end;
            readers.emplace_back(buffer, pos, stop - pos);
            pos = stop + 1;
        }
        return kSuccess;
    }
    return kInsufficientBuffer;
}

Card::~Card() { disconnect(); }

Card::Card(Card&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), protocol_(std::exchange(other.protocol_, 0)) {}

Card& Card::operator=(Card&& other) noexcept {
    if (this != &other) {
        disconnect();
        handle_ = std::exchange(other.handle_, 0);
        protocol_ = std::exchange(other.protocol_, 0);
    }
    return *this;
}

uint32_t Card::connect(const Context& context, const std::string& reader) {
    disconnect();
    if (!context.valid()) return kInvalidHandle;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    LONG rc = SCardConnect(context_of(context.handle()), reader.c_str(), SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rc != SCARD_S_SUCCESS) return code(rc);
    handle_ = static_cast<uintptr_t>(card);
    protocol_ = static_cast<uint32_t>(protocol);
    return kSuccess;
}

uint32_t Card::transmit(const uint8_t* command, size_t command_length, uint8_t* response, size_t* response_length) {
    if (command == nullptr || response == nullptr || response_length == nullptr || command_length == 0 ||
        command_length > 0xFFFFFFu)
        return kInvalidValue;
    if (handle_ == 0) return kInvalidHandle;
    DWORD length = static_cast<DWORD>(*response_length > 0xFFFFFFu ? 0xFFFFFFu : *response_length);
    LONG rc = SCardTransmit(card_of(handle_), pci_for(protocol_), command, static_cast<DWORD>(command_length),
                            nullptr, response, &length);
    if (rc != SCARD_S_SUCCESS) return code(rc);
    *response_length = length;
    return kSuccess;
}

uint32_t Card::reconnect_reset(std::vector<uint8_t>& atr) {
    atr.clear();
    if (handle_ == 0) return kInvalidHandle;
    DWORD protocol = 0;
    LONG rc = SCardReconnect(card_of(handle_), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                             SCARD_RESET_CARD, &protocol);
    if (rc != SCARD_S_SUCCESS) return code(rc);
    protocol_ = static_cast<uint32_t>(protocol);
    BYTE buffer[64] = {};  // an answer to reset has at most 33 bytes
    DWORD atr_length = sizeof buffer;
    DWORD state = 0;
    DWORD reader_length = 0;
    rc = SCardStatus(card_of(handle_), nullptr, &reader_length, &state, &protocol, buffer, &atr_length);
    if (rc != SCARD_S_SUCCESS) return code(rc);
    if (atr_length > sizeof buffer) atr_length = sizeof buffer;
    atr.assign(buffer, buffer + atr_length);
    return kSuccess;
}

uint32_t Card::disconnect() {
    if (handle_ == 0) return kSuccess;
    LONG rc = SCardDisconnect(card_of(handle_), SCARD_LEAVE_CARD);
    handle_ = 0;
    protocol_ = 0;
    return code(rc);
}

}  // namespace qx::platform::smartcard
