#include "device/cardos/state.h"

#include <stdexcept>

#include "device/cardos/crypto.h"

namespace qx::vtoken {

CardFile::~CardFile() {
    wipe(data);
    for (auto& k : keys) wipe(k.value);
}

CardFile* CardFile::child(uint16_t id) const {
    for (const auto& c : children)
        if (c->fid == id) return c.get();
    return nullptr;
}

const CardKey* CardFile::key(uint8_t type, uint8_t id) const {
    for (const auto& k : keys)
        if (k.type() == type && k.id() == id) return &k;
    return nullptr;
}

CardKey* CardFile::key(uint8_t type, uint8_t id) {
    for (auto& k : keys)
        if (k.type() == type && k.id() == id) return &k;
    return nullptr;
}

void VolatileState::clear() {
    wipe(challenge);
    wipe(pending_response);
    wipe(session_key);
    wipe(cipher_chain);
    wipe(digest_data);
    wipe(cert_data);
    wipe(rsa_input);
    wipe(transaction.data);
    wipe(pin_press.new_value);
    *this = VolatileState{};
}

TokenState::TokenState() = default;
TokenState::~TokenState() { vol.clear(); }
TokenState::TokenState(TokenState&&) noexcept = default;
TokenState& TokenState::operator=(TokenState&&) noexcept = default;

void TokenState::power_cycle() {
    vol.clear();
    ++power_session;
}

void TokenState::unplug() {
    vol.clear();
    plugged = false;
}

void TokenState::plug() {
    if (plugged) return;
    vol.clear();
    plugged = true;
    ++power_session;
    ++plug_generation;
}

TokenState make_token(uint32_t channel, const Bytes& identity, const Bytes& cos_version, bool transport_key) {
    TokenState s;
    s.config.channel = channel;
    s.config.identity = identity.empty() ? crypto::random_bytes(8) : identity;
    // Product text, then hardware and firmware version (bytes 10, 11), the
    // first byte of the time field (12) and the card-OS version (13 to 15).
    s.config.cos_info = {'Q', 'X', 'V', 'T', 'O', 'K', 'E', 'N', 0x00, 0x00, 0x01, 0x00, '2', 0x01, 0x00, 0x00};
    if (cos_version.size() == 3) {
        std::copy(cos_version.begin(), cos_version.end(), s.config.cos_info.begin() + 13);
    } else if (cos_version.size() == 16) {
        s.config.cos_info = cos_version;
    }
    if (transport_key) s.config.transport_key = crypto::random_bytes(16);
    const Bytes& id = s.config.identity;
    size_t from = id.size() > 6 ? id.size() - 6 : 0;
    std::string serial = to_hex(id.data() + from, id.size() - from);
    s.config.serial.assign(serial.begin(), serial.end());
    return s;
}

namespace {

constexpr uint8_t kMagic[4] = {'Q', 'X', 'V', 'T'};

class Writer {
public:
    Bytes out;
    void u8(uint8_t v) { out.push_back(v); }
    void u16(uint16_t v) { put_u16(out, v); }
    void u32(uint32_t v) { put_u32(out, v); }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v >> 32));
        u32(static_cast<uint32_t>(v));
    }
    void bytes(const Bytes& b) {
        u32(static_cast<uint32_t>(b.size()));
        out.insert(out.end(), b.begin(), b.end());
    }
};

class Reader {
public:
    explicit Reader(const Bytes& b) : b_(b) {}
    uint8_t u8() {
        need(1);
        return b_[pos_++];
    }
    uint16_t u16() {
        uint16_t h = u8();
        return static_cast<uint16_t>(h << 8 | u8());
    }
    uint32_t u32() {
        uint32_t h = u16();
        return h << 16 | u16();
    }
    uint64_t u64() {
        uint64_t h = u32();
        return h << 32 | u32();
    }
    Bytes bytes() {
        uint32_t n = u32();
        need(n);
        Bytes r(b_.begin() + static_cast<std::ptrdiff_t>(pos_), b_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return r;
    }
    bool at_end() const { return pos_ == b_.size(); }

private:
    void need(size_t n) {
        if (b_.size() - pos_ < n) throw std::runtime_error("truncated token file");
    }
    const Bytes& b_;
    size_t pos_ = 0;
};

void write_file(Writer& w, const CardFile& f) {
    w.u16(f.fid);
    w.u8(f.is_df ? 1 : 0);
    w.bytes(f.description);
    for (uint8_t a : f.access) w.u8(a);
    w.u8(f.ef_kind);
    w.u16(f.size);
    w.u16(f.pair_type);
    w.bytes(f.data);
    w.bytes(f.name);
    w.u8(f.initialising ? 1 : 0);
    w.u32(static_cast<uint32_t>(f.keys.size()));
    for (const auto& k : f.keys) {
        for (uint8_t h : k.header) w.u8(h);
        w.bytes(k.value);
        w.u8(k.tries_left);
    }
    w.u32(static_cast<uint32_t>(f.children.size()));
    for (const auto& c : f.children) write_file(w, *c);
}

std::unique_ptr<CardFile> read_file(Reader& r, int depth) {
    if (depth > 8) throw std::runtime_error("directory nesting too deep");
    auto f = std::make_unique<CardFile>();
    f->fid = r.u16();
    f->is_df = r.u8() != 0;
    f->description = r.bytes();
    for (auto& a : f->access) a = r.u8();
    f->ef_kind = r.u8();
    f->size = r.u16();
    f->pair_type = r.u16();
    f->data = r.bytes();
    f->name = r.bytes();
    f->initialising = r.u8() != 0;
    uint32_t nkeys = r.u32();
    if (nkeys > 4096) throw std::runtime_error("too many keys");
    for (uint32_t i = 0; i < nkeys; ++i) {
        CardKey k;
        for (auto& h : k.header) h = r.u8();
        k.value = r.bytes();
        k.tries_left = r.u8();
        f->keys.push_back(std::move(k));
    }
    uint32_t nchildren = r.u32();
    if (nchildren > 4096) throw std::runtime_error("too many files");
    for (uint32_t i = 0; i < nchildren; ++i) f->children.push_back(read_file(r, depth + 1));
    return f;
}

}  // namespace

Bytes serialise(const TokenState& s) {
    Writer w;
    w.out.assign(kMagic, kMagic + 4);
    w.u16(kStateFormatVersion);
    w.u32(s.config.channel);
    w.bytes(s.config.identity);
    w.bytes(s.config.cos_info);
    w.bytes(s.config.transport_key);
    w.bytes(s.config.serial);
    w.u32(static_cast<uint32_t>(s.config.auto_press_ms));
    w.u8(s.plugged ? 1 : 0);
    w.u64(s.power_session);
    w.u64(s.plug_generation);
    w.u8(s.mf ? 1 : 0);
    if (s.mf) write_file(w, *s.mf);
    const VolatileState& v = s.vol;
    w.u8(v.security);
    w.u32(static_cast<uint32_t>(v.current_path.size()));
    for (uint16_t p : v.current_path) w.u16(p);
    w.u16(v.current_ef);
    w.bytes(v.challenge);
    w.bytes(v.pending_response);
    w.bytes(v.session_key);
    w.bytes(v.cipher_chain);
    w.u8(v.cipher_running ? 1 : 0);
    w.u8(v.digest_alg);
    w.bytes(v.digest_data);
    w.u8(v.cert_slot);
    w.bytes(v.cert_data);
    w.u8(v.rsa_slot);
    w.u8(v.rsa_mode);
    w.bytes(v.rsa_input);
    w.bytes(v.sm2_slot0);
    const Transaction& t = v.transaction;
    w.u8(t.active ? 1 : 0);
    w.u8(t.slot);
    w.u8(t.algorithm);
    w.u16(t.confirm_seconds);
    w.u16(t.piece_count);
    w.u32(t.data_length);
    w.bytes(t.mac);
    w.u8(t.mode);
    w.u16(t.pieces_received);
    w.bytes(t.data);
    w.u8(t.ready ? 1 : 0);
    w.u64(static_cast<uint64_t>(t.ready_since_ms));
    w.u8(t.pressed ? 1 : 0);
    w.u8(v.language);
    w.u16(v.pin_wait_seconds);
    // Appended after the first layout: files without it read as tokens
    // without a PIN button.
    w.u8(s.config.pin_button ? 1 : 0);
    w.u8(v.pin_press.operation);
    w.u8(v.pin_press.reference);
    w.bytes(v.pin_press.new_value);
    w.u64(static_cast<uint64_t>(v.pin_press.since_ms));
    w.u8(v.pin_press.pressed ? 1 : 0);
    return std::move(w.out);
}

std::optional<TokenState> parse(const Bytes& bytes) {
    try {
        if (bytes.size() < 6 || !std::equal(kMagic, kMagic + 4, bytes.begin())) return std::nullopt;
        Reader r(bytes);
        for (int i = 0; i < 4; ++i) r.u8();
        if (r.u16() != kStateFormatVersion) return std::nullopt;
        TokenState s;
        s.config.channel = r.u32();
        s.config.identity = r.bytes();
        s.config.cos_info = r.bytes();
        s.config.transport_key = r.bytes();
        s.config.serial = r.bytes();
        s.config.auto_press_ms = static_cast<int32_t>(r.u32());
        if (s.config.identity.empty() || s.config.identity.size() > 32 || s.config.cos_info.size() != 16 ||
            (!s.config.transport_key.empty() && s.config.transport_key.size() != 16))
            return std::nullopt;
        s.plugged = r.u8() != 0;
        s.power_session = r.u64();
        s.plug_generation = r.u64();
        if (r.u8() != 0) s.mf = read_file(r, 0);
        VolatileState& v = s.vol;
        v.security = r.u8();
        uint32_t depth = r.u32();
        if (depth > 8) return std::nullopt;
        for (uint32_t i = 0; i < depth; ++i) v.current_path.push_back(r.u16());
        v.current_ef = r.u16();
        v.challenge = r.bytes();
        v.pending_response = r.bytes();
        v.session_key = r.bytes();
        v.cipher_chain = r.bytes();
        v.cipher_running = r.u8() != 0;
        v.digest_alg = r.u8();
        v.digest_data = r.bytes();
        v.cert_slot = r.u8();
        v.cert_data = r.bytes();
        v.rsa_slot = r.u8();
        v.rsa_mode = r.u8();
        v.rsa_input = r.bytes();
        v.sm2_slot0 = r.bytes();
        Transaction& t = v.transaction;
        t.active = r.u8() != 0;
        t.slot = r.u8();
        t.algorithm = r.u8();
        t.confirm_seconds = r.u16();
        t.piece_count = r.u16();
        t.data_length = r.u32();
        t.mac = r.bytes();
        t.mode = r.u8();
        t.pieces_received = r.u16();
        t.data = r.bytes();
        t.ready = r.u8() != 0;
        t.ready_since_ms = static_cast<int64_t>(r.u64());
        t.pressed = r.u8() != 0;
        v.language = r.u8();
        v.pin_wait_seconds = r.u16();
        if (!r.at_end()) {
            s.config.pin_button = r.u8() != 0;
            v.pin_press.operation = r.u8();
            v.pin_press.reference = r.u8();
            v.pin_press.new_value = r.bytes();
            v.pin_press.since_ms = static_cast<int64_t>(r.u64());
            v.pin_press.pressed = r.u8() != 0;
            if (v.pin_press.operation > 2) return std::nullopt;
        }
        if (!r.at_end()) return std::nullopt;
        return s;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace qx::vtoken
