#include "device/cardos/cardos.h"

#include <algorithm>
#include <cstring>

#include "device/cardos/crypto.h"

namespace qx::vtoken {

namespace {

enum : uint16_t {
    SW_OK = 0x9000,
    SW_AUTH_FAILED = 0x6300,
    SW_WRONG_LENGTH = 0x6700,
    SW_SM_UNSUPPORTED = 0x6882,
    SW_INCOMPATIBLE = 0x6981,
    SW_SECURITY = 0x6982,
    SW_BLOCKED = 0x6983,
    SW_CONDITIONS = 0x6985,
    SW_NO_CURRENT_EF = 0x6986,
    SW_SM_WRONG = 0x6988,
    SW_WRONG_DATA = 0x6A80,
    SW_FILE_NOT_FOUND = 0x6A82,
    SW_NO_SPACE = 0x6A84,
    SW_WRONG_P1P2 = 0x6A86,
    SW_REF_NOT_FOUND = 0x6A88,
    SW_FILE_EXISTS = 0x6A89,
    SW_WRONG_OFFSET = 0x6B00,
    SW_INS_UNKNOWN = 0x6D00,
    SW_CLA_UNKNOWN = 0x6E00,
    SW_INTERNAL = 0x6F00,
    // Transaction answers of the get-signature sub-command.
    SW_TX_WAITING_DATA = 0xD100,
    SW_TX_WAITING_BUTTON = 0xD101,
    SW_TX_TIMED_OUT = 0xD104,
    SW_TX_NEEDS_PIN = 0xD105,
    SW_TX_NONE = 0xD107,
    SW_PIN_WAITING_BUTTON = 0xD10D,
};

constexpr size_t kMaxSlot = 30;
constexpr size_t kMaxTransactionData = 1u << 20;
constexpr size_t kMaxDigestData = 1u << 20;
constexpr size_t kMaxChildren = 512;
constexpr size_t kMaxDepth = 4;
constexpr uint8_t kTransportFixedKey[16] = {'H', 'A', 'L', 'C', 'Y', 'O', 'N', 'B',
                                            'R', 'I', 'D', 'G', 'E', 'K', 'E', 'Y'};

struct Apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    bool has_le = false;
    size_t le = 0;  // 1 to 256 when present
    bool secure = false;
};

struct Reply {
    uint16_t sw = SW_OK;
    Bytes data;
    bool check_le = true;  // answer 6Cxx when the host's Le differs from the data length
    Reply() = default;
    Reply(uint16_t s) : sw(s) {}  // NOLINT: status words convert implicitly
    Reply(Bytes d, bool check = true) : data(std::move(d)), check_le(check) {}
    ~Reply() { wipe(data); }
    Reply(Reply&&) = default;
    Reply& operator=(Reply&&) = default;
};

bool parse_apdu(const Bytes& raw, Apdu& a) {
    if (raw.size() < 4) return false;
    a.cla = raw[0];
    a.ins = raw[1];
    a.p1 = raw[2];
    a.p2 = raw[3];
    if (raw.size() == 4) return true;
    if (raw.size() == 5) {
        a.has_le = true;
        a.le = raw[4] == 0 ? 256 : raw[4];
        return true;
    }
    size_t lc = raw[4];
    if (lc == 0) return false;  // extended lengths are not supported
    if (raw.size() == 5 + lc) {
        a.data.assign(raw.begin() + 5, raw.end());
        return true;
    }
    if (raw.size() == 6 + lc) {
        a.data.assign(raw.begin() + 5, raw.end() - 1);
        a.has_le = true;
        a.le = raw.back() == 0 ? 256 : raw.back();
        return true;
    }
    return false;
}

class Card {
public:
    Card(TokenState& s, int64_t now) : s_(s), v_(s.vol), now_(now) {}

    Bytes run(const Bytes& raw) {
        Apdu a;
        if (!parse_apdu(raw, a)) return sw_only(SW_WRONG_LENGTH);
        if (a.cla == 0x00 && a.ins == 0xC0) return get_response(a);
        wipe(v_.pending_response);
        Reply r = dispatch(a);
        wipe(a.data);
        return finish(a, r);
    }

private:
    static Bytes sw_only(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }

    Bytes finish(const Apdu& a, Reply& r) {
        if (r.sw != SW_OK || r.data.empty()) return sw_only(r.sw);
        if (r.data.size() > 256) {
            Bytes out(r.data.begin(), r.data.begin() + 256);
            v_.pending_response.assign(r.data.begin() + 256, r.data.end());
            size_t rest = std::min<size_t>(v_.pending_response.size(), 256);
            out.push_back(0x61);
            out.push_back(static_cast<uint8_t>(rest & 0xFF));
            return out;
        }
        if (a.has_le && r.check_le && a.le != 256 && a.le != r.data.size())
            return sw_only(static_cast<uint16_t>(0x6C00 | (r.data.size() & 0xFF)));
        Bytes out = r.data;
        out.push_back(0x90);
        out.push_back(0x00);
        return out;
    }

    Bytes get_response(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return sw_only(SW_WRONG_P1P2);
        if (v_.pending_response.empty()) return sw_only(SW_CONDITIONS);
        size_t n = std::min(a.has_le ? a.le : 256, v_.pending_response.size());
        Bytes out(v_.pending_response.begin(), v_.pending_response.begin() + static_cast<std::ptrdiff_t>(n));
        v_.pending_response.erase(v_.pending_response.begin(), v_.pending_response.begin() + static_cast<std::ptrdiff_t>(n));
        if (v_.pending_response.empty()) {
            out.push_back(0x90);
            out.push_back(0x00);
        } else {
            out.push_back(0x61);
            out.push_back(static_cast<uint8_t>(std::min<size_t>(v_.pending_response.size(), 256) & 0xFF));
        }
        return out;
    }

    // ---- security state and directories -------------------------------------------------
    bool met(uint8_t access) const {
        uint8_t low = access & 0x0F, high = access >> 4;
        return low <= v_.security && v_.security <= high;
    }

    CardFile* current_df() const {
        if (!s_.mf || v_.current_path.empty()) return nullptr;
        CardFile* f = s_.mf.get();
        if (v_.current_path.front() != f->fid) return nullptr;
        for (size_t i = 1; i < v_.current_path.size(); ++i) {
            f = f->child(v_.current_path[i]);
            if (f == nullptr || !f->is_df) return nullptr;
        }
        return f;
    }
    CardFile* parent_of_current() const {
        if (v_.current_path.size() < 2) return nullptr;
        CardFile* f = s_.mf.get();
        for (size_t i = 1; i + 1 < v_.current_path.size(); ++i) f = f->child(v_.current_path[i]);
        return f;
    }
    CardFile* current_ef() const {
        CardFile* df = current_df();
        if (df == nullptr || v_.current_ef == 0) return nullptr;
        CardFile* f = df->child(v_.current_ef);
        return (f != nullptr && !f->is_df) ? f : nullptr;
    }
    bool any_initialising(const CardFile* f) const {
        if (f == nullptr) return false;
        if (f->initialising) return true;
        for (const auto& c : f->children)
            if (c->is_df && any_initialising(c.get())) return true;
        return false;
    }
    static void end_initialisation(CardFile* f) {
        if (f == nullptr) return;
        f->initialising = false;
        for (auto& c : f->children)
            if (c->is_df) end_initialisation(c.get());
    }

    // ---- dispatcher -----------------------------------------------------------------------
    Reply dispatch(Apdu& a) {
        a.secure = (a.cla & 0x04) != 0 && a.cla != 0x00;
        uint8_t cla = static_cast<uint8_t>(a.cla & ~0x04);
        if (a.cla == 0x00 || a.cla == 0x04) cla = 0x00;
        bool sm_allowed = (cla == 0x00 && a.ins == 0x20) || (cla == 0x80 && (a.ins == 0x5E || a.ins == 0x24 ||
                                                                             a.ins == 0x71 || a.ins == 0x63)) ||
                          (cla == 0xF0 && a.ins == 0xF4);
        if (a.secure && !sm_allowed) return SW_SM_UNSUPPORTED;
        if (a.secure) {
            uint16_t sw = unwrap_secure(a, a.ins == 0x63 ? kKeyLineProtection : kKeyCommandProtection);
            if (sw != SW_OK) return sw;
        }
        if (cla == 0x00) {
            switch (a.ins) {
            case 0xA4: return select(a);
            case 0xB0: return read_binary(a);
            case 0xD6: return update_binary(a);
            case 0x84: return get_challenge(a);
            case 0x82: return external_authenticate(a);
            case 0x20: return verify(a);
            default: return SW_INS_UNKNOWN;
            }
        }
        if (cla == 0x80) {
            switch (a.ins) {
            case 0x5E: return change_pin(a);
            case 0x24: return unlock_pin(a);
            case 0x70: return a.p1 == 0 && a.p2 == 0 ? Reply(Bytes{v_.security}) : Reply(SW_WRONG_P1P2);
            case 0x76: return a.p1 == 0 && a.p2 == 0 ? Reply(s_.config.identity, false) : Reply(SW_WRONG_P1P2);
            case 0x78: return transport_key(a);
            case 0x7B: return serial_number(a);
            case 0x7D: return a.p1 == 0 && a.p2 == 0 ? Reply(s_.config.cos_info) : Reply(SW_WRONG_P1P2);
            case 0xE0: return create_file(a);
            case 0x0E: return delete_file(a);
            case 0x71: return write_key(a);
            case 0x77: return transaction(a);
            case 0x51: return digest(a);
            case 0xE6: return import_session_key(a);
            case 0xE8: return token_cipher(a);
            case 0x46: return rsa_generate(a);
            case 0x47: return rsa_import_public(a);
            case 0x49: return rsa_import_private(a);
            case 0x4C: return rsa_export(a);
            case 0x4A: return rsa_private_operation(a);
            case 0x56: return sm2_generate(a);
            case 0x57: return sm2_sign(a);
            case 0x58: return sm2_verify(a);
            case 0x59: return sm2_encrypt(a);
            case 0x60: return sm2_decrypt(a);
            case 0x61: return sm2_export(a);
            case 0x62: return sm2_import_public(a);
            case 0x63: return sm2_import_private(a);
            case 0x42: return read_certificate(a);
            case 0x44: return write_certificate(a);
            default: return SW_INS_UNKNOWN;
            }
        }
        if (cla == 0xF0) {
            switch (a.ins) {
            case 0x0F: return channel_type(a);
            case 0xF2: return create_file(a);
            case 0xF4: return write_key(a);
            case 0xF3:
                end_initialisation(s_.mf.get());
                return SW_OK;
            default: return SW_INS_UNKNOWN;
            }
        }
        return SW_CLA_UNKNOWN;
    }

    // ---- secure messaging ---------------------------------------------------------------
    // The data is E || MAC: E enciphers (Lc || data) padded with 80 00 ..., the MAC
    // (4 bytes) chains over CLA INS P1 P2 Lc E from the last challenge.
    uint16_t unwrap_secure(Apdu& a, uint8_t key_type) {
        Bytes challenge = std::move(v_.challenge);
        v_.challenge.clear();
        CardFile* df = current_df();
        const CardKey* key = df != nullptr ? df->key(key_type, 0) : nullptr;
        if (key == nullptr) return SW_REF_NOT_FOUND;
        size_t b = crypto::block_size(key->alg());
        if (b == 0) return SW_CONDITIONS;
        if (challenge.size() != b) return SW_CONDITIONS;
        if (a.data.size() < 4 || (a.data.size() - 4) % b != 0) return SW_SM_WRONG;
        Bytes enciphered(a.data.begin(), a.data.end() - 4);
        Bytes mac(a.data.end() - 4, a.data.end());
        Bytes header;
        header.reserve(5 + enciphered.size());
        for (uint8_t h : {a.cla, a.ins, a.p1, a.p2, static_cast<uint8_t>(a.data.size())}) header.push_back(h);
        header.insert(header.end(), enciphered.begin(), enciphered.end());
        auto expected = crypto::cbc_mac(key->alg(), key->value, challenge, header, 4);
        if (!expected || !equal_constant_time(*expected, mac)) return SW_SM_WRONG;
        if (enciphered.empty()) {
            wipe(a.data);
            return SW_OK;
        }
        auto plain = crypto::ecb(key->alg(), key->value, enciphered, false);
        if (!plain) return SW_SM_WRONG;
        SecureBytes p(std::move(*plain));
        auto unpadded = crypto::unpad80(p.get());
        if (!unpadded || unpadded->empty() || (*unpadded)[0] != unpadded->size() - 1) {
            if (unpadded) wipe(*unpadded);
            return SW_SM_WRONG;
        }
        wipe(a.data);
        a.data.assign(unpadded->begin() + 1, unpadded->end());
        wipe(*unpadded);
        return SW_OK;
    }

    // ---- file system --------------------------------------------------------------------
    Reply select(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        if (a.data.size() != 2) return SW_WRONG_LENGTH;
        uint16_t fid = static_cast<uint16_t>(a.data[0] << 8 | a.data[1]);
        if (!s_.mf) return SW_FILE_NOT_FOUND;
        if (fid == s_.mf->fid) {
            v_.current_path = {fid};
            v_.current_ef = 0;
            return SW_OK;
        }
        CardFile* df = current_df();
        std::vector<uint16_t> base = v_.current_path;
        if (df == nullptr) {
            df = s_.mf.get();
            base = {df->fid};
        }
        // The current directory, then its parent (siblings), then the MF.
        std::vector<std::pair<CardFile*, std::vector<uint16_t>>> places{{df, base}};
        if (base.size() >= 2) {
            std::vector<uint16_t> up(base.begin(), base.end() - 1);
            places.push_back({parent_of_current(), up});
            if (base.back() == fid) {
                v_.current_ef = 0;
                return SW_OK;
            }
        }
        places.push_back({s_.mf.get(), {s_.mf->fid}});
        for (auto& [dir, path] : places) {
            if (dir == nullptr) continue;
            CardFile* f = dir->child(fid);
            if (f == nullptr) continue;
            if (f->is_df) {
                path.push_back(fid);
                v_.current_path = path;
                v_.current_ef = 0;
            } else {
                v_.current_path = path;
                v_.current_ef = fid;
            }
            return SW_OK;
        }
        return SW_FILE_NOT_FOUND;
    }

    static bool binary_like(const CardFile* f) { return f->ef_kind == kEfBinary || f->ef_kind == kEfCertificate; }

    Reply read_binary(const Apdu& a) {
        CardFile* f = current_ef();
        if (f == nullptr) return SW_NO_CURRENT_EF;
        if (!binary_like(f)) return SW_INCOMPATIBLE;
        if (!met(f->access[0])) return SW_SECURITY;
        size_t offset = static_cast<size_t>((a.p1 & 0x7F) << 8 | a.p2);
        if (offset >= f->data.size()) return SW_WRONG_OFFSET;
        size_t rest = f->data.size() - offset;
        size_t want = a.has_le ? a.le : 256;
        if (a.has_le && a.le != 256 && want > rest) return static_cast<uint16_t>(0x6C00 | (rest & 0xFF));
        size_t n = std::min(want, rest);
        return Reply(Bytes(f->data.begin() + static_cast<std::ptrdiff_t>(offset),
                           f->data.begin() + static_cast<std::ptrdiff_t>(offset + n)),
                     false);
    }

    Reply update_binary(const Apdu& a) {
        CardFile* f = current_ef();
        if (f == nullptr) return SW_NO_CURRENT_EF;
        if (!binary_like(f)) return SW_INCOMPATIBLE;
        if (a.data.empty()) return SW_WRONG_LENGTH;
        CardFile* df = current_df();
        if (!df->initialising && !met(f->access[1])) return SW_SECURITY;
        size_t offset = static_cast<size_t>((a.p1 & 0x7F) << 8 | a.p2);
        if (offset >= f->data.size()) return SW_WRONG_OFFSET;
        if (offset + a.data.size() > f->data.size()) return SW_WRONG_LENGTH;
        std::copy(a.data.begin(), a.data.end(), f->data.begin() + static_cast<std::ptrdiff_t>(offset));
        return SW_OK;
    }

    // Descriptions: DF "00 DF|AF fid(2) xx xx xx xx create delete xx xx n name(n) xx",
    // EF "00 EF fid(2) sfi kind size-or-type(2) access(4)".
    Reply create_file(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        const Bytes& d = a.data;
        if (d.size() < 12) return SW_WRONG_LENGTH;
        uint16_t fid = static_cast<uint16_t>(d[2] << 8 | d[3]);
        if (fid == 0x0000 || fid == 0xFFFF) return SW_WRONG_DATA;
        auto f = std::make_unique<CardFile>();
        f->fid = fid;
        f->description = d;
        if (d[1] == 0xDF || d[1] == 0xAF) {
            if (d.size() < 13) return SW_WRONG_LENGTH;
            size_t n = d[12];
            if (n > 16 || d.size() < 13 + n) return SW_WRONG_LENGTH;
            f->is_df = true;
            f->access = {d[8], d[9], 0, 0};
            f->name.assign(d.begin() + 13, d.begin() + 13 + static_cast<std::ptrdiff_t>(n));
            f->initialising = true;
        } else if (d[1] == 0xEF) {
            if (d.size() != 12) return SW_WRONG_LENGTH;
            f->ef_kind = d[5];
            f->access = {d[8], d[9], d[10], d[11]};
            uint16_t v = static_cast<uint16_t>(d[6] << 8 | d[7]);
            switch (f->ef_kind) {
            case kEfBinary:
            case kEfCertificate:
                if (v == 0 || v > 0x7FFF) return SW_WRONG_DATA;
                f->size = v;
                // A new file reads as erased memory; the container table relies on it.
                f->data.assign(v, 0xFF);
                break;
            case kEfPublicKey:
            case kEfPrivateKey:
                if (v > kPairSm2) return SW_WRONG_DATA;
                f->pair_type = v;
                break;
            default:
                return SW_WRONG_DATA;
            }
        } else {
            return SW_WRONG_DATA;
        }

        if (fid == 0x3F00) {
            if (!f->is_df) return SW_WRONG_DATA;
            if (s_.mf) return SW_FILE_EXISTS;
            s_.mf = std::move(f);
            v_.current_path = {0x3F00};
            v_.current_ef = 0;
            v_.security = 0;
            return SW_OK;
        }
        if (!s_.mf) return SW_FILE_NOT_FOUND;
        CardFile* df = current_df();
        if (df == nullptr) return SW_CONDITIONS;
        if (!df->initialising && !met(df->access[0])) return SW_SECURITY;
        if (df->child(fid) != nullptr || fid == df->fid) return SW_FILE_EXISTS;
        if (df->children.size() >= kMaxChildren) return SW_NO_SPACE;
        if (f->is_df && v_.current_path.size() >= kMaxDepth) return SW_NO_SPACE;
        bool is_df = f->is_df;
        df->children.push_back(std::move(f));
        if (is_df) {
            v_.current_path.push_back(fid);
            v_.current_ef = 0;
        } else {
            v_.current_ef = fid;
        }
        return SW_OK;
    }

    Reply delete_file(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        if (a.data.size() != 2) return SW_WRONG_LENGTH;
        uint16_t fid = static_cast<uint16_t>(a.data[0] << 8 | a.data[1]);
        if (!s_.mf) return SW_FILE_NOT_FOUND;
        if (fid == s_.mf->fid) {
            // The whole card: state 5, reached with the MF key of identifier 2.
            if (!s_.mf->initialising && v_.security != 5) return SW_SECURITY;
            s_.mf.reset();
            v_.current_path.clear();
            v_.current_ef = 0;
            v_.security = 0;
            return SW_OK;
        }
        CardFile* df = current_df();
        if (df == nullptr) return SW_CONDITIONS;
        CardFile* dir = df;
        if (df->child(fid) == nullptr && df->fid == fid) dir = parent_of_current();
        if (dir == nullptr || dir->child(fid) == nullptr) return SW_FILE_NOT_FOUND;
        if (!dir->initialising && !met(dir->access[1])) return SW_SECURITY;
        auto it = std::find_if(dir->children.begin(), dir->children.end(),
                               [fid](const auto& c) { return c->fid == fid; });
        bool was_df = (*it)->is_df;
        dir->children.erase(it);
        if (was_df && dir != df) {
            v_.current_path.pop_back();
            v_.current_ef = 0;
        } else if (was_df) {
            // A child directory of the current one; the current one stays.
        } else if (v_.current_ef == fid) {
            v_.current_ef = 0;
        }
        return SW_OK;
    }

    // ---- keys and authentication ---------------------------------------------------------
    Reply get_challenge(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        if (!a.has_le || a.le > 255 || !a.data.empty()) return SW_WRONG_LENGTH;
        Bytes c = crypto::random_bytes(a.le);
        if (c.size() != a.le) return SW_INTERNAL;
        v_.challenge = c;
        return Reply(std::move(c));
    }

    Reply external_authenticate(const Apdu& a) {
        Bytes challenge = std::move(v_.challenge);
        v_.challenge.clear();
        if (a.p1 != 0) return SW_WRONG_P1P2;
        CardFile* df = current_df();
        if (df == nullptr) return SW_CONDITIONS;
        const CardKey* key = df->key(kKeyExternalAuth, a.p2);
        if (key == nullptr) return SW_REF_NOT_FOUND;
        if (!met(key->use_condition())) return SW_SECURITY;
        size_t b = crypto::block_size(key->alg());
        if (b == 0) return SW_CONDITIONS;
        if (a.data.size() != b) return SW_WRONG_LENGTH;
        if (challenge.size() != b) return SW_CONDITIONS;
        auto expected = crypto::ecb(key->alg(), key->value, challenge, true);
        if (!expected || !equal_constant_time(*expected, a.data)) return SW_AUTH_FAILED;
        if (key->state_after() != 0xFF) v_.security = key->state_after() & 0x0F;
        df->initialising = false;
        return SW_OK;
    }

    // Data: F0 T I 00 A U C N, then the key.
    Reply write_key(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        CardFile* df = current_df();
        if (df == nullptr) return SW_CONDITIONS;
        if (a.data.size() < 9 || a.data.size() > 8 + 64) return SW_WRONG_LENGTH;
        if (a.data[0] != 0xF0) return SW_WRONG_DATA;
        CardKey k;
        std::copy(a.data.begin(), a.data.begin() + 8, k.header.begin());
        k.value.assign(a.data.begin() + 8, a.data.end());
        if (k.type() == kKeyPin) {
            if (k.max_tries() == 0) return SW_WRONG_DATA;
            k.tries_left = k.max_tries();
        } else if (k.type() == kKeyExternalAuth || k.type() == kKeyLineProtection ||
                   k.type() == kKeyCommandProtection) {
            if (crypto::block_size(k.alg()) == 0) return SW_WRONG_DATA;
        }
        CardKey* existing = df->key(k.type(), k.id());
        if (!df->initialising) {
            if (!met(df->access[0])) return SW_SECURITY;
            if (existing != nullptr && !met(existing->change_condition())) return SW_SECURITY;
        }
        if (existing != nullptr) {
            wipe(existing->value);
            *existing = std::move(k);
        } else {
            if (df->keys.size() >= 64) return SW_NO_SPACE;
            df->keys.push_back(std::move(k));
        }
        return SW_OK;
    }

    CardKey* pin(uint8_t ref) {
        CardFile* df = current_df();
        return df != nullptr ? df->key(kKeyPin, ref) : nullptr;
    }

    static uint16_t tries_word(uint8_t left) { return static_cast<uint16_t>(0x63C0 | (left & 0x0F)); }

    // A wrong PIN block costs a try; the last one blocks the PIN.
    static uint16_t wrong_pin(CardKey& p) {
        if (p.tries_left > 0) --p.tries_left;
        return tries_word(p.tries_left);
    }

    Reply verify(const Apdu& a) {
        if (a.p1 == 0x80) {
            // Retry-count query.
            if (!a.data.empty()) return SW_WRONG_LENGTH;
            CardKey* p = pin(a.p2);
            if (p == nullptr) return SW_REF_NOT_FOUND;
            return tries_word(p->tries_left);
        }
        if (a.p1 != 0) return SW_WRONG_P1P2;
        CardKey* p = pin(a.p2);
        if (p == nullptr) return SW_REF_NOT_FOUND;
        if (a.data.empty()) return tries_word(p->tries_left);
        if (!met(p->change_condition())) return SW_SECURITY;
        if (p->tries_left == 0) return SW_BLOCKED;
        if (!equal_constant_time(a.data, p->value)) return wrong_pin(*p);
        if (s_.config.pin_button) return hold_for_button(1, a.p2, {});
        p->tries_left = p->max_tries();
        if (p->state_after() != 0xFF) v_.security = p->state_after() & 0x0F;
        return SW_OK;
    }

    // The PIN was right; the operation waits for the button (polled with
    // the get-signature sub-command) and any earlier one is dropped.
    Reply hold_for_button(uint8_t operation, uint8_t reference, Bytes newValue) {
        wipe(v_.pin_press.new_value);
        v_.pin_press = PinPress{operation, reference, std::move(newValue), now_, false};
        return SW_PIN_WAITING_BUTTON;
    }

    // Poll of a held PIN operation: still waiting, timed out after the
    // PIN-operation wait time, or done once the button was pressed.
    Reply pin_press_status() {
        PinPress& h = v_.pin_press;
        const bool pressed =
            h.pressed || (s_.config.auto_press_ms >= 0 && now_ - h.since_ms >= s_.config.auto_press_ms);
        if (!pressed) {
            if (v_.pin_wait_seconds != 0 && now_ - h.since_ms > static_cast<int64_t>(v_.pin_wait_seconds) * 1000) {
                wipe(h.new_value);
                h = PinPress{};
                return SW_TX_TIMED_OUT;
            }
            return SW_PIN_WAITING_BUTTON;
        }
        CardKey* p = pin(h.reference);
        if (p != nullptr) {
            if (h.operation == 2) {
                wipe(p->value);
                p->value = h.new_value;
            }
            p->tries_left = p->max_tries();
            if (p->state_after() != 0xFF) v_.security = p->state_after() & 0x0F;
        }
        wipe(h.new_value);
        h = PinPress{};
        return p != nullptr ? Reply(SW_OK) : Reply(SW_REF_NOT_FOUND);
    }

    Reply change_pin(const Apdu& a) {
        if (a.p2 != 0) return SW_WRONG_P1P2;
        CardKey* p = pin(a.p1);
        if (p == nullptr) return SW_REF_NOT_FOUND;
        if (a.data.size() % 2 != 0 || a.data.empty() || a.data.size() != 2 * p->value.size())
            return SW_WRONG_LENGTH;
        if (!met(p->change_condition())) return SW_SECURITY;
        if (p->tries_left == 0) return SW_BLOCKED;
        size_t half = a.data.size() / 2;
        SecureBytes old_block(Bytes(a.data.begin(), a.data.begin() + static_cast<std::ptrdiff_t>(half)));
        if (!equal_constant_time(old_block.get(), p->value)) return wrong_pin(*p);
        if (s_.config.pin_button)
            return hold_for_button(2, a.p1, Bytes(a.data.begin() + static_cast<std::ptrdiff_t>(half), a.data.end()));
        wipe(p->value);
        p->value.assign(a.data.begin() + static_cast<std::ptrdiff_t>(half), a.data.end());
        p->tries_left = p->max_tries();
        if (p->state_after() != 0xFF) v_.security = p->state_after() & 0x0F;
        return SW_OK;
    }

    // Data: the unlock key, then the new PIN block.  Needs the SO PIN verified.
    Reply unlock_pin(const Apdu& a) {
        if (a.p2 != 0) return SW_WRONG_P1P2;
        CardFile* df = current_df();
        CardKey* p = pin(a.p1);
        if (df == nullptr || p == nullptr) return SW_REF_NOT_FOUND;
        const CardKey* unlock = df->key(kKeyUnlock, 0);
        if (unlock == nullptr) return SW_REF_NOT_FOUND;
        if (v_.security != 2 || !met(unlock->use_condition())) return SW_SECURITY;
        if (a.data.size() != unlock->value.size() + p->value.size()) return SW_WRONG_LENGTH;
        SecureBytes given(Bytes(a.data.begin(), a.data.begin() + static_cast<std::ptrdiff_t>(unlock->value.size())));
        if (!equal_constant_time(given.get(), unlock->value)) return SW_AUTH_FAILED;
        wipe(p->value);
        p->value.assign(a.data.begin() + static_cast<std::ptrdiff_t>(unlock->value.size()), a.data.end());
        p->tries_left = p->max_tries();
        return SW_OK;
    }

    // ---- token information ----------------------------------------------------------------
    Reply transport_key(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        if (s_.config.transport_key.size() != 16) return SW_REF_NOT_FOUND;
        return Reply(s_.config.transport_key);
    }

    Reply serial_number(const Apdu& a) {
        if (a.p2 != 0) return SW_WRONG_P1P2;
        if (a.p1 == 0x00) {
            if (s_.config.serial.empty()) return SW_REF_NOT_FOUND;
            return Reply(s_.config.serial, false);
        }
        if (a.p1 != 0x01) return SW_WRONG_P1P2;
        if (a.data.empty() || a.data.size() > 32) return SW_WRONG_LENGTH;
        if (s_.mf && !any_initialising(s_.mf.get()) && !met(0xF1)) return SW_SECURITY;
        s_.config.serial = a.data;
        return SW_OK;
    }

    Reply channel_type(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        // The status word carries the channel: 9001 CCID, 9010 mass storage, 9100 HID.
        return static_cast<uint16_t>(0x9000 + (s_.config.channel & 0x0FFF));
    }

    // ---- key-pair slots ----------------------------------------------------------------------
    struct Slot {
        CardFile* pub = nullptr;
        CardFile* priv = nullptr;
        CardFile* cert = nullptr;
    };

    Slot slot_files(size_t slot) const {
        Slot s;
        CardFile* df = current_df();
        if (df == nullptr || slot == 0 || slot > kMaxSlot) return s;
        s.pub = df->child(static_cast<uint16_t>(0x1000 | slot));
        s.priv = df->child(static_cast<uint16_t>(0x2000 | slot));
        s.cert = df->child(static_cast<uint16_t>(0x8000 | slot));
        if (s.pub && (s.pub->is_df || s.pub->ef_kind != kEfPublicKey)) s.pub = nullptr;
        if (s.priv && (s.priv->is_df || s.priv->ef_kind != kEfPrivateKey)) s.priv = nullptr;
        if (s.cert && (s.cert->is_df || !binary_like(s.cert))) s.cert = nullptr;
        return s;
    }

    // Looks up the key files of a slot and checks their type and access; 0 when fine.
    uint16_t key_slot(size_t slot, uint16_t pair_type, bool need_private, bool private_write, bool public_write,
                      Slot& out) const {
        if (slot == 0 || slot > kMaxSlot) return SW_WRONG_P1P2;
        out = slot_files(slot);
        if (out.pub == nullptr || out.priv == nullptr) return SW_FILE_NOT_FOUND;
        if (out.pub->pair_type != pair_type) return SW_CONDITIONS;
        if (public_write && !met(out.pub->access[1])) return SW_SECURITY;
        if (!public_write && !met(out.pub->access[0])) return SW_SECURITY;
        if (need_private && !met(out.priv->access[private_write ? 1 : 0])) return SW_SECURITY;
        return 0;
    }

    static size_t rsa_bytes(uint16_t pair_type) { return pair_type == kPairRsa2048 ? 256 : 128; }

    // RSA files: public = modulus || exponent(4); private = 7 × (length(2) || part).
    static bool rsa_public_complete(const CardFile* pub) {
        return pub->data.size() == rsa_bytes(pub->pair_type) + 4;
    }
    static std::array<Bytes, 7> rsa_parts(const CardFile* priv) {
        std::array<Bytes, 7> parts;
        size_t pos = 0;
        for (auto& p : parts) {
            if (pos + 2 > priv->data.size()) break;
            size_t n = static_cast<size_t>(priv->data[pos] << 8 | priv->data[pos + 1]);
            pos += 2;
            if (pos + n > priv->data.size()) break;
            p.assign(priv->data.begin() + static_cast<std::ptrdiff_t>(pos),
                     priv->data.begin() + static_cast<std::ptrdiff_t>(pos + n));
            pos += n;
        }
        return parts;
    }
    static void store_rsa_parts(CardFile* priv, const std::array<Bytes, 7>& parts) {
        wipe(priv->data);
        for (const auto& p : parts) {
            put_u16(priv->data, static_cast<uint16_t>(p.size()));
            priv->data.insert(priv->data.end(), p.begin(), p.end());
        }
    }
    static bool load_rsa(const CardFile* pub, const CardFile* priv, crypto::RsaKey& key) {
        if (!rsa_public_complete(pub)) return false;
        size_t k = rsa_bytes(pub->pair_type);
        key.modulus.assign(pub->data.begin(), pub->data.begin() + static_cast<std::ptrdiff_t>(k));
        key.exponent.assign(pub->data.begin() + static_cast<std::ptrdiff_t>(k), pub->data.end());
        key.parts = rsa_parts(priv);
        for (const auto& p : key.parts)
            if (p.size() != k / 2) return false;
        return true;
    }

    Reply rsa_generate(const Apdu& a) {
        if (a.p1 != 0x00 && a.p1 != 0x02) return SW_WRONG_P1P2;
        Slot s;
        if (uint16_t sw = key_slot(a.p2, a.p1 == 0x02 ? kPairRsa2048 : kPairRsa1024, true, true, true, s)) return sw;
        crypto::RsaKey key;
        if (!crypto::rsa_generate(a.p1 == 0x02 ? 2048 : 1024, key)) return SW_INTERNAL;
        s.pub->data = key.modulus;
        s.pub->data.insert(s.pub->data.end(), key.exponent.begin(), key.exponent.end());
        store_rsa_parts(s.priv, key.parts);
        return SW_OK;
    }

    // Pieces of modulus || exponent(4), numbered from 1.
    Reply rsa_import_public(const Apdu& a) {
        Slot s;
        if (a.p2 == 0) return SW_WRONG_P1P2;
        if (a.p1 == 0 || a.p1 > kMaxSlot) return SW_WRONG_P1P2;
        CardFile* pub = slot_files(a.p1).pub;
        if (pub == nullptr) return SW_FILE_NOT_FOUND;
        if (uint16_t sw = key_slot(a.p1, pub->pair_type, false, false, true, s)) return sw;
        if (pub->pair_type == kPairSm2) return SW_CONDITIONS;
        if (a.data.empty()) return SW_WRONG_LENGTH;
        size_t total = rsa_bytes(pub->pair_type) + 4;
        if (a.p2 == 1) pub->data.clear();
        else if (pub->data.size() != static_cast<size_t>(a.p2 - 1) * 255) return SW_CONDITIONS;
        if (pub->data.size() + a.data.size() > total) {
            pub->data.clear();
            return SW_WRONG_LENGTH;
        }
        pub->data.insert(pub->data.end(), a.data.begin(), a.data.end());
        return SW_OK;
    }

    Reply rsa_import_private(const Apdu& a) {
        if (a.p2 < 1 || a.p2 > 7) return SW_WRONG_P1P2;
        if (a.p1 == 0 || a.p1 > kMaxSlot) return SW_WRONG_P1P2;
        CardFile* pub = slot_files(a.p1).pub;
        if (pub == nullptr) return SW_FILE_NOT_FOUND;
        Slot s;
        if (uint16_t sw = key_slot(a.p1, pub->pair_type, true, true, true, s)) return sw;
        if (pub->pair_type == kPairSm2) return SW_CONDITIONS;
        if (a.data.size() != rsa_bytes(pub->pair_type) / 2) return SW_WRONG_LENGTH;
        std::array<Bytes, 7> parts = rsa_parts(s.priv);
        if (a.p2 == 1)
            for (auto& p : parts) wipe(p);
        parts[a.p2 - 1] = a.data;
        store_rsa_parts(s.priv, parts);
        for (auto& p : parts) wipe(p);
        return SW_OK;
    }

    Reply rsa_export(const Apdu& a) {
        if (a.p2 != 0x02) return SW_WRONG_P1P2;
        CardFile* pub = slot_files(a.p1).pub;
        if (pub == nullptr) return a.p1 == 0 || a.p1 > kMaxSlot ? SW_WRONG_P1P2 : SW_FILE_NOT_FOUND;
        if (pub->pair_type == kPairSm2) return SW_CONDITIONS;
        if (!met(pub->access[0])) return SW_SECURITY;
        if (!rsa_public_complete(pub)) return SW_REF_NOT_FOUND;
        return Reply(Bytes(pub->data.begin(), pub->data.begin() + static_cast<std::ptrdiff_t>(rsa_bytes(pub->pair_type))));
    }

    // Input pieces are collected until they make one modulus-long block.
    // P2 00 and 01 run the raw private-key operation, 02 deciphers and removes
    // PKCS #1 v1.5 padding.
    Reply rsa_private_operation(const Apdu& a) {
        if (a.p2 > 0x02) return SW_WRONG_P1P2;
        CardFile* pub = slot_files(a.p1).pub;
        if (pub == nullptr) {
            wipe(v_.rsa_input);
            return a.p1 == 0 || a.p1 > kMaxSlot ? SW_WRONG_P1P2 : SW_FILE_NOT_FOUND;
        }
        Slot s;
        if (uint16_t sw = key_slot(a.p1, pub->pair_type, true, false, false, s)) {
            wipe(v_.rsa_input);
            return sw;
        }
        if (pub->pair_type == kPairSm2) return SW_CONDITIONS;
        if (a.data.empty()) return SW_WRONG_LENGTH;
        size_t k = rsa_bytes(pub->pair_type);
        if (v_.rsa_slot != a.p1 || v_.rsa_mode != a.p2) wipe(v_.rsa_input);
        v_.rsa_slot = a.p1;
        v_.rsa_mode = a.p2;
        v_.rsa_input.insert(v_.rsa_input.end(), a.data.begin(), a.data.end());
        if (v_.rsa_input.size() < k) return SW_OK;
        SecureBytes input(std::move(v_.rsa_input));
        v_.rsa_input.clear();
        if (input.get().size() > k) return SW_WRONG_LENGTH;
        crypto::RsaKey key;
        if (!load_rsa(s.pub, s.priv, key)) return SW_REF_NOT_FOUND;
        auto out = a.p2 == 0x02 ? crypto::rsa_private_decrypt_pkcs1(key, input.get())
                                : crypto::rsa_private_raw(key, input.get());
        if (!out) return SW_WRONG_DATA;
        return Reply(std::move(*out), false);
    }

    // SM2 files: public = flags(1: bit 0 X, bit 1 Y) || X || Y; private = d.
    static bool sm2_public(const Bytes& pub, Bytes& x, Bytes& y) {
        if (pub.size() != 65 || pub[0] != 3) return false;
        x.assign(pub.begin() + 1, pub.begin() + 33);
        y.assign(pub.begin() + 33, pub.end());
        return true;
    }
    bool sm2_public_of(size_t slot, Bytes& x, Bytes& y, uint16_t& sw) const {
        if (slot == 0) {
            if (!sm2_public(v_.sm2_slot0, x, y)) {
                sw = SW_REF_NOT_FOUND;
                return false;
            }
            return true;
        }
        Slot s;
        sw = key_slot(slot, kPairSm2, false, false, false, s);
        if (sw != 0) return false;
        if (!sm2_public(s.pub->data, x, y)) {
            sw = SW_REF_NOT_FOUND;
            return false;
        }
        return true;
    }

    Reply sm2_generate(const Apdu& a) {
        if (a.p1 != 0) return SW_WRONG_P1P2;
        Slot s;
        if (uint16_t sw = key_slot(a.p2, kPairSm2, true, true, true, s)) return sw;
        Bytes x, y;
        SecureBytes d;
        if (!crypto::sm2_generate(d.get(), x, y)) return SW_INTERNAL;
        s.pub->data = {3};
        s.pub->data.insert(s.pub->data.end(), x.begin(), x.end());
        s.pub->data.insert(s.pub->data.end(), y.begin(), y.end());
        wipe(s.priv->data);
        s.priv->data = d.get();
        return SW_OK;
    }

    Reply sm2_export(const Apdu& a) {
        if (a.p2 != 0x01 && a.p2 != 0x02) return SW_WRONG_P1P2;
        Bytes x, y;
        uint16_t sw = 0;
        if (!sm2_public_of(a.p1, x, y, sw)) return sw;
        return Reply(a.p2 == 0x01 ? x : y);
    }

    Reply sm2_import_public(const Apdu& a) {
        if (a.p2 != 0x01 && a.p2 != 0x02) return SW_WRONG_P1P2;
        if (a.data.size() != 32) return SW_WRONG_LENGTH;
        Bytes* target;
        if (a.p1 == 0) {
            target = &v_.sm2_slot0;
        } else {
            Slot s;
            if (uint16_t sw = key_slot(a.p1, kPairSm2, false, false, true, s)) return sw;
            target = &s.pub->data;
        }
        // X starts a new point (the host writes X, then Y): the next key's X
        // must not be checked against the previous key's Y.  A Y alone is
        // checked against the X the slot holds.
        if (target->size() != 65 || (a.p2 == 0x01 && ((*target)[0] & 0x01))) target->assign(65, 0);
        (*target)[0] = static_cast<uint8_t>((*target)[0] | a.p2);
        std::copy(a.data.begin(), a.data.end(), target->begin() + (a.p2 == 0x01 ? 1 : 33));
        if ((*target)[0] == 3) {
            Bytes x(target->begin() + 1, target->begin() + 33), y(target->begin() + 33, target->end());
            if (!crypto::sm2_point_valid(x, y)) {
                target->clear();
                return SW_WRONG_DATA;
            }
        }
        return SW_OK;
    }

    // d arrives deciphered from its secure-messaging form.
    Reply sm2_import_private(const Apdu& a) {
        if (a.p2 != 0x01) return SW_WRONG_P1P2;
        if (!a.secure) return SW_SECURITY;
        Slot s;
        if (uint16_t sw = key_slot(a.p1, kPairSm2, true, true, true, s)) return sw;
        if (a.data.size() != 32) return SW_WRONG_LENGTH;
        Bytes x, y;
        if (!crypto::sm2_public_from_private(a.data, x, y)) return SW_WRONG_DATA;
        Bytes px, py;
        if (sm2_public(s.pub->data, px, py) && (px != x || py != y)) return SW_WRONG_DATA;
        wipe(s.priv->data);
        s.priv->data = a.data;
        return SW_OK;
    }

    bool sm2_private_of(size_t slot, Bytes& d, Bytes& x, Bytes& y, uint16_t& sw) const {
        Slot s;
        sw = key_slot(slot, kPairSm2, true, false, false, s);
        if (sw != 0) return false;
        if (s.priv->data.size() != 32 || !sm2_public(s.pub->data, x, y)) {
            sw = SW_REF_NOT_FOUND;
            return false;
        }
        d = s.priv->data;
        return true;
    }

    Reply sm2_sign(const Apdu& a) {
        if (a.p2 != 0) return SW_WRONG_P1P2;
        if (a.data.size() != 32) return SW_WRONG_LENGTH;
        SecureBytes d;
        Bytes x, y;
        uint16_t sw = 0;
        if (!sm2_private_of(a.p1, d.get(), x, y, sw)) return sw;
        auto sig = crypto::sm2_sign(d.get(), x, y, a.data);
        if (!sig) return SW_INTERNAL;
        return Reply(std::move(*sig), false);
    }

    Reply sm2_verify(const Apdu& a) {
        if (a.p2 != 0) return SW_WRONG_P1P2;
        if (a.data.size() != 96) return SW_WRONG_LENGTH;
        Bytes x, y;
        uint16_t sw = 0;
        if (!sm2_public_of(a.p1, x, y, sw)) return sw;
        Bytes e(a.data.begin(), a.data.begin() + 32), sig(a.data.begin() + 32, a.data.end());
        return crypto::sm2_verify(x, y, e, sig) ? SW_OK : SW_AUTH_FAILED;
    }

    Reply sm2_encrypt(const Apdu& a) {
        if (a.p2 != 0) return SW_WRONG_P1P2;
        if (a.data.empty() || a.data.size() > 159) return SW_WRONG_LENGTH;
        Bytes x, y;
        uint16_t sw = 0;
        if (!sm2_public_of(a.p1, x, y, sw)) return sw;
        auto c = crypto::sm2_encrypt(x, y, a.data);
        if (!c) return SW_INTERNAL;
        return Reply(std::move(*c), false);
    }

    Reply sm2_decrypt(const Apdu& a) {
        if (a.p2 != 0) return SW_WRONG_P1P2;
        if (a.data.size() <= 96) return SW_WRONG_LENGTH;
        SecureBytes d;
        Bytes x, y;
        uint16_t sw = 0;
        if (!sm2_private_of(a.p1, d.get(), x, y, sw)) return sw;
        auto p = crypto::sm2_decrypt(d.get(), x, y, a.data);
        if (!p) return SW_WRONG_DATA;
        return Reply(std::move(*p), false);
    }

    // ---- digests ---------------------------------------------------------------------------
    // 80 51 01 P2: digest in pieces; P2 = chaining (60 only, 00 first, 20 middle,
    // 40 last) | algorithm (0 SM3, 1 SHA-1, 2 SHA-256).  80 51 02 P2: Z_A of the
    // identity (length byte, identity) for the SM2 public key of slot (P2 - 1) / 8.
    Reply digest(const Apdu& a) {
        if (a.p1 == 0x02) {
            size_t slot;
            if (a.p2 == 0) slot = 0;
            else if ((a.p2 - 1) % 8 == 0) slot = static_cast<size_t>(a.p2 - 1) / 8;
            else return SW_WRONG_P1P2;
            if (a.data.empty() || a.data[0] != a.data.size() - 1) return SW_WRONG_LENGTH;
            Bytes x, y;
            uint16_t sw = 0;
            if (!sm2_public_of(slot, x, y, sw)) return sw;
            auto z = crypto::sm2_za(Bytes(a.data.begin() + 1, a.data.end()), x, y);
            if (!z) return SW_INTERNAL;
            return Reply(std::move(*z), false);
        }
        if (a.p1 != 0x01) return SW_WRONG_P1P2;
        uint8_t chain = a.p2 & 0x60, alg = a.p2 & 0x0F;
        static const char* const names[] = {"SM3", "SHA1", "SHA256"};
        if (alg > 2 || (a.p2 & 0x90) != 0) return SW_WRONG_P1P2;
        if (chain == 0x00 || chain == 0x60) {
            wipe(v_.digest_data);
            v_.digest_alg = alg;
        } else if (v_.digest_alg != alg) {
            return SW_CONDITIONS;
        }
        if (v_.digest_data.size() + a.data.size() > kMaxDigestData) {
            wipe(v_.digest_data);
            v_.digest_alg = 0xFF;
            return SW_NO_SPACE;
        }
        v_.digest_data.insert(v_.digest_data.end(), a.data.begin(), a.data.end());
        if (chain == 0x00 || chain == 0x20) return SW_OK;
        Bytes h = crypto::digest(names[alg], v_.digest_data);
        wipe(v_.digest_data);
        v_.digest_alg = 0xFF;
        if (h.empty()) return SW_INTERNAL;
        return Reply(std::move(h), false);
    }

    // ---- session key and token cipher ------------------------------------------------------
    Reply import_session_key(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        if (a.data.size() != 16) return SW_WRONG_LENGTH;
        wipe(v_.session_key);
        v_.session_key = a.data;
        v_.cipher_running = false;
        return SW_OK;
    }

    // P1: 80 decipher, 02 always, 08 CBC (the first block of the first piece is
    // the vector), chaining 60 one piece, 00 first, 20 middle, 40 last.
    Reply token_cipher(const Apdu& a) {
        if (a.p2 != 0 || (a.p1 & 0x02) == 0 || (a.p1 & 0x15) != 0) return SW_WRONG_P1P2;
        if (v_.session_key.size() != 16) return SW_CONDITIONS;
        bool decrypt = (a.p1 & 0x80) != 0, cbc_mode = (a.p1 & 0x08) != 0;
        uint8_t chain = a.p1 & 0x60;
        const size_t b = crypto::block_size(crypto::kAlgSessionCipher);
        if (a.data.empty() || a.data.size() % b != 0) return SW_WRONG_LENGTH;
        bool first = chain == 0x00 || chain == 0x60;
        if (!first && !v_.cipher_running) return SW_CONDITIONS;
        Bytes input = a.data;
        if (first && cbc_mode) {
            if (input.size() < 2 * b) return SW_WRONG_LENGTH;
            v_.cipher_chain.assign(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(b));
            input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(b));
        }
        std::optional<Bytes> out = cbc_mode
                                       ? crypto::cbc(crypto::kAlgSessionCipher, v_.session_key, v_.cipher_chain, input, !decrypt)
                                       : crypto::ecb(crypto::kAlgSessionCipher, v_.session_key, input, !decrypt);
        wipe(input);
        v_.cipher_running = !(chain == 0x40 || chain == 0x60);
        if (!v_.cipher_running) wipe(v_.cipher_chain);
        if (!out) return SW_INTERNAL;
        return Reply(std::move(*out), false);
    }

    // ---- certificates ------------------------------------------------------------------------
    // A certificate is one DER SEQUENCE stored from the start of the slot's 80ii file.
    static size_t der_total_length(const Bytes& d) {
        if (d.size() < 2 || d[0] != 0x30) return 0;
        if (d[1] < 0x80) return 2 + static_cast<size_t>(d[1]);
        size_t n = d[1] & 0x7F;
        if (n == 0 || n > 3 || d.size() < 2 + n) return 0;
        size_t len = 0;
        for (size_t i = 0; i < n; ++i) len = len << 8 | d[2 + i];
        return 2 + n + len;
    }

    Reply read_certificate(const Apdu& a) {
        if (a.p2 > 0x01) return SW_WRONG_P1P2;
        if (a.p1 == 0 || a.p1 > kMaxSlot) return SW_WRONG_P1P2;
        CardFile* f = slot_files(a.p1).cert;
        if (f == nullptr) return SW_FILE_NOT_FOUND;
        if (!met(f->access[0])) return SW_SECURITY;
        size_t len = der_total_length(f->data);
        if (len == 0 || len > f->data.size()) return SW_REF_NOT_FOUND;
        if (a.p2 == 0x00) {
            Bytes out;
            put_u32(out, static_cast<uint32_t>(len));
            return Reply(std::move(out));
        }
        return Reply(Bytes(f->data.begin(), f->data.begin() + static_cast<std::ptrdiff_t>(len)), false);
    }

    // P2 03 whole certificate; 00 first piece, 01 middle, 02 last.
    Reply write_certificate(const Apdu& a) {
        if (a.p2 > 0x03) return SW_WRONG_P1P2;
        if (a.p1 == 0 || a.p1 > kMaxSlot) return SW_WRONG_P1P2;
        CardFile* f = slot_files(a.p1).cert;
        if (f == nullptr) return SW_FILE_NOT_FOUND;
        if (!met(f->access[1])) return SW_SECURITY;
        if (a.data.empty()) return SW_WRONG_LENGTH;
        if (a.p2 == 0x00 || a.p2 == 0x03) {
            v_.cert_data.clear();
            v_.cert_slot = a.p1;
        } else if (v_.cert_slot != a.p1 || v_.cert_data.empty()) {
            return SW_CONDITIONS;
        }
        if (v_.cert_data.size() + a.data.size() > f->data.size()) {
            v_.cert_data.clear();
            v_.cert_slot = 0;
            return SW_NO_SPACE;
        }
        v_.cert_data.insert(v_.cert_data.end(), a.data.begin(), a.data.end());
        if (a.p2 == 0x00 || a.p2 == 0x01) return SW_OK;
        Bytes cert = std::move(v_.cert_data);
        v_.cert_data.clear();
        v_.cert_slot = 0;
        if (der_total_length(cert) != cert.size()) return SW_WRONG_DATA;
        std::fill(f->data.begin(), f->data.end(), 0xFF);
        std::copy(cert.begin(), cert.end(), f->data.begin());
        return SW_OK;
    }

    // ---- transactions --------------------------------------------------------------------------
    Reply transaction(const Apdu& a) {
        if (a.p1 != 0 || a.p2 != 0) return SW_WRONG_P1P2;
        if (a.data.size() < 2 || a.data[1] != a.data.size() - 2) return SW_WRONG_LENGTH;
        Bytes value(a.data.begin() + 2, a.data.end());
        Transaction& t = v_.transaction;
        switch (a.data[0]) {
        case 0x06: return negotiate(value);
        case 0x08: return transaction_piece(value);
        case 0x09:
            if (value != Bytes{0x00}) return SW_WRONG_DATA;
            return transaction_signature();
        case 0x07:
            if (value != Bytes{0x04}) return SW_WRONG_DATA;
            wipe(t.data);
            t = Transaction{};
            return SW_OK;
        case 0x0A:
            if (value.size() != 1 || value[0] < 1 || value[0] > 3) return SW_WRONG_DATA;
            v_.language = value[0];
            return SW_OK;
        case 0x0B:
            if (value.size() != 2) return SW_WRONG_LENGTH;
            v_.pin_wait_seconds = static_cast<uint16_t>(value[0] << 8 | value[1]);
            return SW_OK;
        default:
            return SW_WRONG_DATA;
        }
    }

    static const char* transaction_digest(uint8_t alg) {
        switch (alg) {
        case 1:
        case 4: return "SHA256";
        case 2:
        case 5: return "SHA1";
        case 7: return "SM3";
        default: return nullptr;
        }
    }
    static int transaction_pair(uint8_t alg) {
        switch (alg) {
        case 1:
        case 2: return kPairRsa1024;
        case 4:
        case 5: return kPairRsa2048;
        case 7: return kPairSm2;
        default: return -1;
        }
    }

    // slot, algorithm, time(2), pieces(2), length(4), MAC(8), mode, 00.
    Reply negotiate(const Bytes& v) {
        if (v.size() != 20) return SW_WRONG_LENGTH;
        Transaction t;
        t.slot = v[0];
        t.algorithm = v[1];
        t.confirm_seconds = static_cast<uint16_t>(v[2] << 8 | v[3]);
        t.piece_count = static_cast<uint16_t>(v[4] << 8 | v[5]);
        t.data_length = static_cast<uint32_t>(v[6]) << 24 | static_cast<uint32_t>(v[7]) << 16 |
                        static_cast<uint32_t>(v[8]) << 8 | v[9];
        t.mac.assign(v.begin() + 10, v.begin() + 18);
        t.mode = v[18];
        int pair = transaction_pair(t.algorithm);
        if (pair < 0) return SW_WRONG_DATA;
        if (t.piece_count == 0 || t.data_length == 0 || t.data_length > kMaxTransactionData ||
            t.data_length > static_cast<uint32_t>(t.piece_count) * 192u ||
            t.data_length <= static_cast<uint32_t>(t.piece_count - 1) * 192u)
            return SW_WRONG_DATA;
        Slot s;
        if (uint16_t sw = key_slot(t.slot, static_cast<uint16_t>(pair), false, false, false, s)) return sw;
        if (pair == kPairSm2 ? s.priv->data.size() != 32 : !rsa_public_complete(s.pub)) return SW_REF_NOT_FOUND;
        CardFile* df = current_df();
        if (df->key(kKeyLineProtection, 0) == nullptr) return SW_REF_NOT_FOUND;
        t.active = true;
        wipe(v_.transaction.data);
        v_.transaction = std::move(t);
        return SW_OK;
    }

    // piece number(2), piece (at most 192 bytes).
    Reply transaction_piece(const Bytes& v) {
        Transaction& t = v_.transaction;
        if (!t.active) return SW_CONDITIONS;
        if (v.size() < 3 || v.size() > 194) return SW_WRONG_LENGTH;
        uint16_t number = static_cast<uint16_t>(v[0] << 8 | v[1]);
        if (t.ready || number != t.pieces_received + 1) return SW_WRONG_DATA;
        if (t.data.size() + v.size() - 2 > t.data_length) return SW_WRONG_LENGTH;
        t.data.insert(t.data.end(), v.begin() + 2, v.end());
        ++t.pieces_received;
        if (t.pieces_received < t.piece_count) return SW_OK;
        // The last piece: the data must be complete and match the negotiated MAC.
        CardFile* df = current_df();
        const CardKey* key = df != nullptr ? df->key(kKeyLineProtection, 0) : nullptr;
        bool ok = t.data.size() == t.data_length && key != nullptr;
        if (ok) {
            Bytes h = crypto::digest(transaction_digest(t.algorithm), t.data);
            size_t b = crypto::block_size(key->alg());
            auto mac = b != 0 ? crypto::cbc_mac(key->alg(), key->value, Bytes(b, 0), h, 8) : std::nullopt;
            ok = mac && equal_constant_time(*mac, t.mac);
        }
        if (!ok) {
            wipe(t.data);
            t = Transaction{};
            return SW_SM_WRONG;
        }
        t.ready = true;
        t.ready_since_ms = now_;
        return SW_OK;
    }

    Reply transaction_signature() {
        Transaction& t = v_.transaction;
        if (!t.active && v_.pin_press.operation != 0) return pin_press_status();
        if (!t.active) return SW_TX_NONE;
        if (!t.ready) return SW_TX_WAITING_DATA;
        Slot s = slot_files(t.slot);
        if (s.priv == nullptr || s.pub == nullptr) return SW_TX_NONE;
        if (!met(s.priv->access[0])) return SW_TX_NEEDS_PIN;
        bool pressed = t.pressed ||
                       (s_.config.auto_press_ms >= 0 && now_ - t.ready_since_ms >= s_.config.auto_press_ms);
        if (!pressed) {
            if (t.confirm_seconds != 0 && now_ - t.ready_since_ms > static_cast<int64_t>(t.confirm_seconds) * 1000) {
                wipe(t.data);
                t = Transaction{};
                return SW_TX_TIMED_OUT;
            }
            return SW_TX_WAITING_BUTTON;
        }
        std::optional<Bytes> sig;
        if (t.algorithm == 7) {
            // The host sends Z_A in front of the text: the data is signed as received.
            SecureBytes d(s.priv->data);
            Bytes x, y;
            if (sm2_public(s.pub->data, x, y)) sig = crypto::sm2_sign(d.get(), x, y, crypto::digest("SM3", t.data));
        } else {
            crypto::RsaKey key;
            if (load_rsa(s.pub, s.priv, key)) sig = crypto::rsa_sign_pkcs1(key, transaction_digest(t.algorithm), t.data);
        }
        wipe(t.data);
        t = Transaction{};
        if (!sig) return SW_INTERNAL;
        return Reply(std::move(*sig), false);
    }

    TokenState& s_;
    VolatileState& v_;
    int64_t now_;
};

Bytes transport_session_key(const Bytes& material) {
    auto k = crypto::sm4_ecb(Bytes(kTransportFixedKey, kTransportFixedKey + 16), material);
    return k && k->size() == 16 ? *k : Bytes{};
}

}  // namespace

Bytes process_command(TokenState& state, const Bytes& apdu, int64_t now_ms) {
    Card card(state, now_ms);
    return card.run(apdu);
}

Bytes transport_encipher_command(const Bytes& material, const Bytes& apdu) {
    SecureBytes key(transport_session_key(material));
    Bytes out = apdu;
    if (key.get().empty() || out.size() < 5) return out;
    crypto::Rc4 rc4(key.get());
    rc4.apply(out.data(), 4);
    if (out.size() > 5) rc4.apply(out.data() + 5, out.size() - 5);
    return out;
}

Bytes transport_decipher_response(const Bytes& material, const Bytes& response) {
    SecureBytes key(transport_session_key(material));
    Bytes out = response;
    if (key.get().empty()) return out;
    crypto::Rc4 rc4(key.get());
    rc4.apply(out.data(), out.size());
    return out;
}

Bytes process_enciphered_command(TokenState& state, const Bytes& apdu, int64_t now_ms) {
    if (state.config.transport_key.size() != 16 || apdu.size() < 5) return {0x69, 0x85};
    // RC4 is its own inverse: the command is deciphered with the host's operation.
    SecureBytes plain(transport_encipher_command(state.config.transport_key, apdu));
    Bytes response = process_command(state, plain.get(), now_ms);
    return transport_decipher_response(state.config.transport_key, response);
}

bool press_button(TokenState& state) {
    Transaction& t = state.vol.transaction;
    if (t.active) {
        t.pressed = true;
        return true;
    }
    if (state.vol.pin_press.operation == 0) return false;
    state.vol.pin_press.pressed = true;
    return true;
}

Bytes answer_to_reset(const TokenState& state) {
    // T=1 answer to reset with the identity as historical bytes: TA1 TB1 TC1
    // TD1 (T=1), TD2 announcing TA3 (IFSC 254) and TB3 (BWI 4, CWI 5), the
    // historical bytes, and the check byte that T=1 requires (the XOR of all
    // bytes after TS and the check byte is zero).
    const size_t n = std::min<size_t>(state.config.identity.size(), 15);
    Bytes atr;
    atr.reserve(10 + n);
    for (uint8_t b : {0x3B, 0xF0, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45}) atr.push_back(b);
    atr[1] = static_cast<uint8_t>(0xF0 | n);
    for (size_t i = 0; i < n; ++i) atr.push_back(state.config.identity[i]);
    uint8_t check = 0;
    for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    atr.push_back(check);
    return atr;
}

}  // namespace qx::vtoken
