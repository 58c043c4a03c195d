#include "device/transport/pcsc_reader.h"

#include <algorithm>
#include <cctype>

namespace qx::device {
namespace {

namespace sc = platform::smartcard;

constexpr const char* kVirtualPrefix = "Quorvantix VToken ";

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Codes after which a fresh connection to the service may succeed (pcscd restarted).
bool service_lost(uint32_t code) {
    return code == sc::kNoService || code == sc::kServiceStopped || code == sc::kInvalidHandle ||
           code == sc::kReaderUnavailable;
}

}  // namespace

bool is_virtual_device_name(const std::string& name) {
    const std::string prefix(kVirtualPrefix);
    return name.size() >= prefix.size() && lower(name.substr(0, prefix.size())) == lower(prefix);
}

void list_readers(const std::vector<std::string>& lowered_words, size_t limit, size_t max_length,
                  std::vector<std::string>& out) {
    if (out.size() >= limit) return;
    sc::Context context;
    if (context.establish() != sc::kSuccess) return;
    std::vector<std::string> readers;
    if (context.list_readers(readers) != sc::kSuccess) return;
    for (const std::string& reader : readers) {
        if (out.size() >= limit) break;
        if (reader.empty() || reader.size() > max_length || is_virtual_device_name(reader)) continue;
        if (std::find(out.begin(), out.end(), reader) != out.end()) continue;
        std::string low = lower(reader);
        bool match = lowered_words.empty() ||
                     std::any_of(lowered_words.begin(), lowered_words.end(),
                                 [&](const std::string& w) { return low.find(w) != std::string::npos; });
        if (match) out.push_back(reader);
    }
}

uint32_t PcscReader::connect_locked() {
    if (!context_.valid()) {
        uint32_t rc = context_.establish();
        if (rc != sc::kSuccess) return rc;
    }
    uint32_t rc = card_.connect(context_, reader_);
    if (service_lost(rc)) {
        // The service went away and came back since the context was made.
        rc = context_.establish();
        if (rc == sc::kSuccess) rc = card_.connect(context_, reader_);
    }
    return rc;
}

uint32_t PcscReader::open(const std::string& reader) {
    std::lock_guard<std::mutex> lock(mutex_);
    card_.disconnect();
    if (reader.empty() || is_virtual_device_name(reader)) {
        reader_.clear();
        return sc::kUnknownReader;
    }
    reader_ = reader;
    uint32_t rc = connect_locked();
    if (rc != sc::kSuccess) reader_.clear();
    return rc;
}

void PcscReader::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    card_.disconnect();
    context_.release();
}

uint32_t PcscReader::transmit(const uint8_t* command, uint32_t command_length, uint8_t* response,
                              uint32_t* response_length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!card_.connected()) return sc::kInvalidHandle;
    // The answer goes to a buffer of our own first, so that a short caller
    // buffer is reported the same way whatever the service does with it.
    std::vector<uint8_t> answer(65536 + 2);
    size_t length = answer.size();
    uint32_t rc = card_.transmit(command, command_length, answer.data(), &length);
    if (rc == sc::kSuccess && length > *response_length) rc = sc::kInsufficientBuffer;
    if (rc == sc::kSuccess) {
        std::copy(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(length), response);
        *response_length = static_cast<uint32_t>(length);
    }
    // Answers may carry key material or PIN-protected data.
    std::fill(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(std::min(length, answer.size())), uint8_t{0});
    return rc;
}

uint32_t PcscReader::reset(std::vector<uint8_t>& atr) {
    std::lock_guard<std::mutex> lock(mutex_);
    atr.clear();
    if (reader_.empty()) return sc::kInvalidHandle;
    if (!card_.connected()) {
        uint32_t rc = connect_locked();
        if (rc != sc::kSuccess) return rc;
    }
    return card_.reconnect_reset(atr);
}

bool PcscReader::has_reader() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !reader_.empty();
}

void PcscReader::forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    card_.disconnect();
    context_.release();
    reader_.clear();
}

bool PcscReader::is_open() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return card_.connected();
}

}  // namespace qx::device
