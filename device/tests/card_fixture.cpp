#include "device/tests/card_fixture.h"

#include <stdexcept>

#include "device/cardos/cardos.h"
#include "device/cardos/crypto.h"

namespace qx::vtoken::test {

Bytes hex(std::string_view text) {
    auto b = from_hex(text);
    if (!b) throw std::invalid_argument("bad hex in test");
    return *b;
}

std::string hexs(const Bytes& b) { return to_hex(b); }

TestKeys test_keys(uint8_t alg) {
    TestKeys k;
    k.alg = alg;
    auto key = [](uint8_t seed) {
        Bytes b(16);
        for (size_t i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(seed * 16 + i * 7 + 1);
        return b;
    };
    k.mf_key0 = key(1);
    k.mf_erase = key(2);
    k.mf_line = key(3);
    k.mf_ext = key(4);
    k.adf_master = key(5);
    k.adf_line = key(6);
    k.adf_ext = key(7);
    k.adf_in = key(8);
    k.adf_sym = key(9);
    k.adf_unlock = key(10);
    k.adf_protect = key(11);
    k.so_block = key(12);
    k.user_block = key(13);
    return k;
}

uint16_t Host::sw(const Bytes& apdu) {
    Bytes r = send(apdu);
    if (r.size() < 2) return 0;
    return static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back());
}

uint16_t Host::external_auth(uint8_t key_id, uint8_t alg, const Bytes& key) {
    size_t b = crypto::block_size(alg);
    Bytes r = send({0x00, 0x84, 0x00, 0x00, static_cast<uint8_t>(b)});
    if (r.size() != b + 2) return 0;
    Bytes challenge(r.begin(), r.end() - 2);
    auto crypt = crypto::ecb(alg, key, challenge, true);
    Bytes cmd{0x00, 0x82, 0x00, key_id, static_cast<uint8_t>(b)};
    cmd.insert(cmd.end(), crypt->begin(), crypt->end());
    return sw(cmd);
}

Bytes Host::secure(const Bytes& apdu, uint8_t alg, const Bytes& key) {
    size_t b = crypto::block_size(alg);
    Bytes cmd(apdu.begin(), apdu.begin() + 4);
    cmd[0] = static_cast<uint8_t>(cmd[0] | 0x04);
    if (apdu.size() > 5) {
        Bytes plain(apdu.begin() + 4, apdu.end());  // Lc, data
        auto enc = crypto::ecb(alg, key, crypto::pad80(plain, b), true);
        cmd.push_back(static_cast<uint8_t>(enc->size() + 4));
        cmd.insert(cmd.end(), enc->begin(), enc->end());
    } else {
        cmd.push_back(4);
    }
    Bytes r = send({0x00, 0x84, 0x00, 0x00, static_cast<uint8_t>(b)});
    Bytes challenge(r.begin(), r.end() - 2);
    auto mac = crypto::cbc_mac(alg, key, challenge, cmd, 4);
    cmd.insert(cmd.end(), mac->begin(), mac->end());
    return cmd;
}

uint16_t Host::verify_pin(uint8_t ref, const Bytes& block, const TestKeys& k, bool sm) {
    Bytes cmd{0x00, 0x20, 0x00, ref, static_cast<uint8_t>(block.size())};
    cmd.insert(cmd.end(), block.begin(), block.end());
    return sw(sm ? secure(cmd, k.alg, k.adf_protect) : cmd);
}

namespace {
Bytes key_cmd(std::initializer_list<uint8_t> header, uint8_t alg, const Bytes& key) {
    Bytes cmd{0xF0, 0xF4, 0x00, 0x00, static_cast<uint8_t>(8 + key.size())};
    cmd.insert(cmd.end(), header.begin(), header.end());
    cmd[5 + 4] = alg;
    cmd.insert(cmd.end(), key.begin(), key.end());
    return cmd;
}
Bytes name16(const char* text) {
    Bytes n(text, text + std::char_traits<char>::length(text));
    n.resize(16, 0xFF);
    return n;
}
}  // namespace

uint16_t Host::personalise(const TestKeys& k, uint8_t user_tries, uint8_t so_tries) {
    const uint8_t a = k.alg;
    uint16_t s;
    // Erase: authenticate with MF key 2 and delete the MF when there is one.
    if (sw("00A40000023F00") == 0x9000) {
        if ((s = external_auth(2, a, k.mf_key0)) != 0x9000) return s;
        if ((s = sw("800E0000023F00")) != 0x9000) return s;
    }
    Bytes mf = hex("00DF3F001200FF006666EF0010");
    Bytes n = name16("Quorva");
    mf.insert(mf.end(), n.begin(), n.end());
    mf.push_back(0);
    Bytes create{0xF0, 0xF2, 0x00, 0x00, static_cast<uint8_t>(mf.size())};
    create.insert(create.end(), mf.begin(), mf.end());
    if ((s = sw(create)) != 0x9000) return s;
    for (const Bytes& c : {key_cmd({0xF0, 0x39, 0x02, 0x00, 0, 0xF0, 0xF0, 0x05}, a, k.mf_key0),
                           key_cmd({0xF0, 0x39, 0x03, 0x00, 0, 0xF0, 0xF0, 0x06}, a, k.mf_erase),
                           key_cmd({0xF0, 0x36, 0x00, 0x00, 0, 0xF0, 0xF1, 0xFF}, a, k.mf_line),
                           key_cmd({0xF0, 0x39, 0x01, 0x00, 0, 0xF0, 0xF0, 0x01}, a, k.mf_ext)})
        if ((s = sw(c)) != 0x9000) return s;
    Bytes adf = hex("00AF3F011200FF00F1F1EF0010");
    Bytes an = name16("QuorvantixPKIApp");
    adf.insert(adf.end(), an.begin(), an.end());
    adf.push_back(0);
    create = {0xF0, 0xF2, 0x00, 0x00, static_cast<uint8_t>(adf.size())};
    create.insert(create.end(), adf.begin(), adf.end());
    if ((s = sw(create)) != 0x9000) return s;
    if ((s = sw("00A40000023F01")) != 0x9000) return s;
    for (const Bytes& c : {key_cmd({0xF0, 0x35, 0x00, 0x00, 0, 0xF0, 0xF0, 0x08}, a, k.adf_master),
                           key_cmd({0xF0, 0x36, 0x00, 0x00, 0, 0xF0, 0xF1, 0xFF}, a, k.adf_line),
                           key_cmd({0xF0, 0x39, 0x00, 0x00, 0, 0xF0, 0xF0, 0x01}, a, k.adf_ext),
                           key_cmd({0xF0, 0x13, 0x00, 0x00, 0, 0xF0, 0xF0, 0x01}, a, k.adf_in),
                           key_cmd({0xF0, 0x33, 0x00, 0x00, 0, 0xF0, 0xF1, 0xFF}, a, k.adf_sym),
                           key_cmd({0xF0, 0x06, 0x00, 0x00, 0, 0xF0, 0x22, 0xFF}, a, k.adf_unlock),
                           key_cmd({0xF0, 0x07, 0x00, 0x00, 0, 0xF0, 0xF1, 0xFF}, a, k.adf_protect)})
        if ((s = sw(c)) != 0x9000) return s;
    Bytes so = key_cmd({0xF0, 0x66, 0x01, 0x00, 0, static_cast<uint8_t>(so_tries * 16), 0xF1, 0x02}, 0, k.so_block);
    Bytes user =
        key_cmd({0xF0, 0x66, 0x02, 0x00, 0, static_cast<uint8_t>(user_tries * 16), 0xF1, 0x03}, 0, k.user_block);
    if ((s = sw(so)) != 0x9000 || (s = sw(user)) != 0x9000) return s;
    for (const char* f : {"F0F200000C00EF0001010000A0F1310000", "F0F200000C00EF0003030005 78F1310000",
                          "F0F200000C00EF000B0B000002F1310000"})
        if ((s = sw(f)) != 0x9000) return s;
    const uint8_t types[5] = {0, 0, 1, 2, 2};
    for (uint8_t i = 1; i <= 5; ++i) {
        const uint8_t t = types[i - 1];
        Bytes files[3] = {{0x00, 0xEF, 0x10, i, i, 0x10, 0x00, t, 0xF1, 0xF1, 0xF1, 0xFF},
                          {0x00, 0xEF, 0x20, i, i, 0x20, 0x00, t, 0x33, 0x33, 0xEF, 0xFF},
                          {0x00, 0xEF, 0x80, i, i, 0x80, 0x08, 0x00, 0xF1, 0xF1, 0xF1, 0xDF}};
        for (const Bytes& d : files) {
            Bytes c{0xF0, 0xF2, 0x00, 0x00, 0x0C};
            c.insert(c.end(), d.begin(), d.end());
            if ((s = sw(c)) != 0x9000) return s;
        }
    }
    if ((s = sw("F0F30000")) != 0x9000) return s;
    if ((s = sw("00A40000023F01")) != 0x9000) return s;
    return external_auth(0, a, k.adf_ext);
}

Host::Transport direct(TokenState& s, int64_t* now) {
    return [&s, now](const Bytes& apdu) { return process_command(s, apdu, now != nullptr ? *now : 0); };
}

}  // namespace qx::vtoken::test
