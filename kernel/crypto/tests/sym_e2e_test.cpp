// Session keys, random numbers and digests end to end: the kernel module as
// applications load it, on a fresh virtual token with the user PIN verified.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"
#include "tests/support/qx_test_main.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

using Bytes = std::vector<uint8_t>;

using FnCloseKey = uint32_t(QXTOKEN_CALL*)(KeyHandle);
using FnCipher = uint32_t(QXTOKEN_CALL*)(KeyHandle, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*);
using FnGetKeyBuffer = uint32_t(QXTOKEN_CALL*)(DeviceHandle, KeyHandle, uint8_t*, uint32_t*);
using FnImportKey = uint32_t(QXTOKEN_CALL*)(DeviceHandle, KeyHandle, uint32_t, uint32_t, uint32_t, const uint8_t*,
                                            uint32_t, KeyHandle*);

struct Exports {
    explicit Exports(const std::string& dir) : m(dir + platform::module_file_name("QXTokenKernel")) {}
    template <typename F>
    F bind(const char* name) {
        F f = m.function<F>(name);
        if (!f) ok = false;
        return f;
    }
    platform::Module m;
    bool ok = true;
    PFN_QXToken_OpenDevByNameDEZO openDezo = bind<PFN_QXToken_OpenDevByNameDEZO>("QXToken_OpenDevByNameDEZO");
    PFN_QXToken_CloseDevice close = bind<PFN_QXToken_CloseDevice>("QXToken_CloseDevice");
    PFN_QXToken_InitToken init = bind<PFN_QXToken_InitToken>("QXToken_InitToken");
    PFN_QXToken_VerifyPin verify = bind<PFN_QXToken_VerifyPin>("QXToken_VerifyPin");
    PFN_QXToken_GenRandom random = bind<PFN_QXToken_GenRandom>("QXToken_GenRandom");
    PFN_QXToken_GenSessionKey genKey = bind<PFN_QXToken_GenSessionKey>("QXToken_GenSessionKey");
    PFN_QXToken_GetSymKeyBytes getSalt = bind<PFN_QXToken_GetSymKeyBytes>("QXToken_GetSymKeySalt");
    PFN_QXToken_SetSymKeyBytes setSalt = bind<PFN_QXToken_SetSymKeyBytes>("QXToken_SetSymKeySalt");
    PFN_QXToken_GetSymKeyBytes getIv = bind<PFN_QXToken_GetSymKeyBytes>("QXToken_GetSymKeyIV");
    PFN_QXToken_SetSymKeyBytes setIv = bind<PFN_QXToken_SetSymKeyBytes>("QXToken_SetSymKeyIV");
    PFN_QXToken_GetSymKeyValue getPadding = bind<PFN_QXToken_GetSymKeyValue>("QXToken_GetSymKeyPadding");
    PFN_QXToken_SetSymKeyValue setPadding = bind<PFN_QXToken_SetSymKeyValue>("QXToken_SetSymKeyPadding");
    PFN_QXToken_GetSymKeyValue getMode = bind<PFN_QXToken_GetSymKeyValue>("QXToken_GetSymKeyMode");
    PFN_QXToken_SetSymKeyValue setMode = bind<PFN_QXToken_SetSymKeyValue>("QXToken_SetSymKeyMode");
    PFN_QXToken_GetSymKeyValue getFeedback = bind<PFN_QXToken_GetSymKeyValue>("QXToken_GetSymKeyFeedBackLenBit");
    PFN_QXToken_SetSymKeyValue setFeedback = bind<PFN_QXToken_SetSymKeyValue>("QXToken_SetSymKeyFeedbackLenBit");
    PFN_QXToken_GetSymKeyValue getEffective = bind<PFN_QXToken_GetSymKeyValue>("QXToken_GetSymKeyEffectiveLenBit");
    PFN_QXToken_SetSymKeyValue setEffective = bind<PFN_QXToken_SetSymKeyValue>("QXToken_SetSymKeyEffectLenBit");
    PFN_QXToken_MessageDigest digest = bind<PFN_QXToken_MessageDigest>("QXToken_MessageDigest");
    FnCloseKey closeKey = bind<FnCloseKey>("QXToken_CloseKey");
    FnCipher encrypt = bind<FnCipher>("QXToken_Encrypt");
    FnCipher decrypt = bind<FnCipher>("QXToken_Decrypt");
    FnGetKeyBuffer keyBuffer = bind<FnGetKeyBuffer>("QXToken_GetKeyBuffer");
    FnImportKey importKey = bind<FnImportKey>("QXToken_ImportKey");
};

Bytes seq(std::size_t n, uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i * 7);
    return b;
}

Bytes reference(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Bytes out(in.size() + 32);
    int n = 0, m = 0;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), encrypt) != 1)
        return {};
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &m) != 1)
        return {};
    out.resize(static_cast<std::size_t>(n + m));
    return out;
}

Bytes software_digest(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

// One message through a key in parts of `part` bytes (0: one call).
uint32_t run(Exports& k, KeyHandle key, bool encrypt, const Bytes& in, std::size_t part, Bytes& out) {
    out.assign(in.size() + 64, 0);
    std::size_t pos = 0, produced = 0;
    do {
        const std::size_t n = part && in.size() - pos > part ? part : in.size() - pos;
        const uint32_t final = pos + n == in.size();
        uint32_t len = static_cast<uint32_t>(out.size() - produced);
        const uint32_t rc = (encrypt ? k.encrypt : k.decrypt)(key, final, in.data() + pos, uint32_t(n),
                                                             out.data() + produced, &len);
        if (rc != ERR_OK) return rc;
        pos += n;
        produced += len;
    } while (pos < in.size());
    out.resize(produced);
    return ERR_OK;
}

Bytes key_bytes(Exports& k, KeyHandle key) {
    Bytes b(64);
    uint32_t len = 64;
    if (k.keyBuffer(nullptr, key, b.data(), &len) != ERR_OK) return {};
    b.resize(len);
    return b;
}

// Enciphers and deciphers 496 bytes `rounds` times with a token key and
// checks each result against the reference; 0 when all agree.
int token_cipher_rounds(Exports& k, DeviceHandle h, const std::string& seed, int rounds) {
    KeyHandle key = nullptr;
    if (k.genKey(h, 0x500, 128, reinterpret_cast<const uint8_t*>(seed.data()), uint32_t(seed.size()), 0, &key))
        return 2;
    const Bytes kb = key_bytes(k, key), iv = seq(16, uint8_t(seed[0])), data = seq(496, uint8_t(seed[1]));
    int result = k.setIv(key, iv.data(), 16) ? 3 : 0;
    const Bytes want = reference(EVP_camellia_128_cbc(), kb, iv, data, true);
    for (int i = 0; i < rounds && result == 0; ++i) {
        Bytes cipher, back;
        if (run(k, key, true, data, 0, cipher) != ERR_OK) result = 4;
        else if (cipher != want) result = 5;
        else if (run(k, key, false, cipher, 0, back) != ERR_OK) result = 6;
        else if (back != data) result = 7;
    }
    k.closeKey(key);
    return result;
}

QX_TEST_CHILD(sym_token_cipher) {
    Exports k(args.at(0));
    if (!k.m || !k.ok) return 11;
    DeviceHandle h = nullptr;
    k.openDezo(args.at(1).c_str(), &h);
    if (!h) return 12;
    const int rc = token_cipher_rounds(k, h, "child key", std::stoi(args.at(2)));
    k.close(h);
    return rc;
}

class SymE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        name_ = "sym" + std::to_string(++counter_);
        device_ = create_blank_token(name_);
        dir_ = install_kernel(name_, kChannelWords);
        k_ = std::make_unique<Exports>(dir_);
        ASSERT_TRUE(k_->m);
        ASSERT_TRUE(k_->ok) << "an export is missing";
        k_->openDezo(device_.c_str(), &h_);
        ASSERT_NE(nullptr, h_);
        const char user[] = "123456", so[] = "87654321";
        ASSERT_EQ(ERR_OK, k_->init(h_, user, 6, so, 8, reinterpret_cast<const uint8_t*>("S"), 1));
        std::string pin = user;
        ASSERT_EQ(ERR_OK, k_->verify(h_, QXTOKEN_PIN_USER, pin.data(), 6));
    }
    void TearDown() override {
        for (KeyHandle key : keys_) k_->closeKey(key);
        if (k_ && h_) k_->close(h_);
        clear_tokens();
    }
    KeyHandle gen(uint32_t algorithm, uint32_t bits, const std::string& data = std::string()) {
        KeyHandle key = nullptr;
        EXPECT_EQ(ERR_OK, k_->genKey(h_, algorithm, bits, data.empty() ? nullptr : reinterpret_cast<const uint8_t*>(data.data()),
                                     uint32_t(data.size()), 0, &key));
        if (key) keys_.push_back(key);
        return key;
    }
    KeyHandle import(uint32_t algorithm, const Bytes& bytes) {
        KeyHandle key = nullptr;
        EXPECT_EQ(ERR_OK, k_->importKey(h_, nullptr, 0, algorithm, 0, bytes.data(), uint32_t(bytes.size()), &key));
        if (key) keys_.push_back(key);
        return key;
    }

    static int counter_;
    std::string name_, device_, dir_;
    std::unique_ptr<Exports> k_;
    DeviceHandle h_ = nullptr;
    std::vector<KeyHandle> keys_;
};
int SymE2eTest::counter_ = 0;

TEST_F(SymE2eTest, TokenCipherCbcEqualsItsReferenceBothWays) {
    for (uint32_t algorithm : {0x500u, 0x700u}) {
        KeyHandle key = gen(algorithm, 128);
        const Bytes kb = key_bytes(*k_, key), iv = seq(16, 0x90), data = seq(496, 3);
        ASSERT_EQ(16u, kb.size());
        ASSERT_EQ(ERR_OK, k_->setIv(key, iv.data(), 16));
        Bytes cipher, back;
        ASSERT_EQ(ERR_OK, run(*k_, key, true, data, 0, cipher));
        EXPECT_EQ(hex(reference(EVP_camellia_128_cbc(), kb, iv, data, true)), hex(cipher));
        ASSERT_EQ(ERR_OK, run(*k_, key, false, cipher, 0, back));
        EXPECT_EQ(hex(data), hex(back));
        // ECB as well, in parts of whole blocks.
        ASSERT_EQ(ERR_OK, k_->setMode(key, 2));
        ASSERT_EQ(ERR_OK, run(*k_, key, true, data, 64, cipher));
        EXPECT_EQ(hex(reference(EVP_camellia_128_ecb(), kb, {}, data, true)), hex(cipher));
    }
}

TEST_F(SymE2eTest, EveryPaddingBothWaysOnTheTokenAndInSoftware) {
    struct Case {
        uint32_t algorithm;
        std::size_t length, expected;
    } lengths[] = {{0x500, 16, 32}, {0x500, 21, 32}, {0x700, 1, 16}, {0x400, 16, 32}, {0x600, 30, 32}, {0x100, 8, 16}};
    for (const auto& c : lengths) {
        for (uint32_t padding = 0; padding <= 5; ++padding) {
            KeyHandle key = gen(c.algorithm, c.algorithm == 0x100 ? 64 : 128);
            ASSERT_EQ(ERR_OK, k_->setPadding(key, padding));
            uint32_t readBack = 99;
            ASSERT_EQ(ERR_OK, k_->getPadding(key, &readBack));
            EXPECT_EQ(padding, readBack);
            const Bytes data = seq(c.length, 0x30);
            Bytes cipher, back;
            const uint32_t rc = run(*k_, key, true, data, 0, cipher);
            const std::string what = std::to_string(c.algorithm) + "/" + std::to_string(padding) + "/" +
                                     std::to_string(c.length);
            if (padding == 0 && c.length % (c.algorithm == 0x100 ? 8 : 16)) {
                EXPECT_EQ(ERR_INVALID_PARAM, rc) << what;
                continue;
            }
            ASSERT_EQ(ERR_OK, rc) << what;
            EXPECT_EQ(padding == 0 ? c.length : c.expected, cipher.size()) << what;
            ASSERT_EQ(ERR_OK, run(*k_, key, false, cipher, 0, back)) << what;
            // Zero padding cannot tell trailing zeros of the data from its own.
            EXPECT_EQ(hex(data), hex(back)) << what;
        }
    }
}

TEST_F(SymE2eTest, AesInPartsEqualsOneCallAndTheReference) {
    const Bytes kb = seq(16, 0x21), iv = seq(16, 0x55), data = seq(100, 9);
    KeyHandle key = import(0x400, kb);
    ASSERT_EQ(ERR_OK, k_->setIv(key, iv.data(), 16));
    Bytes whole, parts, back;
    ASSERT_EQ(ERR_OK, run(*k_, key, true, data, 0, whole));
    for (std::size_t part : {16u, 32u, 48u}) {
        ASSERT_EQ(ERR_OK, run(*k_, key, true, data, part, parts));
        EXPECT_EQ(hex(whole), hex(parts)) << part;
        ASSERT_EQ(ERR_OK, run(*k_, key, false, whole, part, back));
        EXPECT_EQ(hex(data), hex(back)) << part;
    }
    Bytes padded = data;
    padded.insert(padded.end(), 12, 12);
    EXPECT_EQ(hex(reference(EVP_aes_128_cbc(), kb, iv, padded, true)), hex(whole));
}

TEST_F(SymE2eTest, SessionKeysFromDataAndThePropertiesOfAKey) {
    KeyHandle des2 = gen(0x200, 128, "abc");
    EXPECT_EQ("90 01 50 98 3C D2 4F B0 D6 96 3F 7D 28 E1 7F 72", hex(key_bytes(*k_, des2)));
    KeyHandle des3 = gen(0x300, 192, "abc");
    EXPECT_EQ("90 01 50 98 3C D2 4F B0 D6 96 3F 7D 28 E1 7F 72 A9 99 3E 36 47 06 81 6A", hex(key_bytes(*k_, des3)));

    // A vector of 8 bytes reads back and selects CBC; the salt likewise.
    ASSERT_EQ(ERR_OK, k_->setMode(des3, 2));
    const Bytes iv = H("0102030405060708");
    ASSERT_EQ(ERR_OK, k_->setIv(des3, iv.data(), 8));
    uint8_t buffer[16];
    uint32_t len = sizeof buffer;
    ASSERT_EQ(ERR_OK, k_->getIv(des3, buffer, &len));
    EXPECT_EQ(hex(iv), hex(buffer, len));
    uint32_t mode = 0;
    ASSERT_EQ(ERR_OK, k_->getMode(des3, &mode));
    EXPECT_EQ(1u, mode);
    len = 0;
    ASSERT_EQ(ERR_OK, k_->getSalt(des3, nullptr, &len));
    EXPECT_EQ(8u, len);
    const Bytes salt = H("A1A2A3");
    ASSERT_EQ(ERR_OK, k_->setSalt(des3, salt.data(), 3));
    len = 2;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k_->getSalt(des3, buffer, &len));
    EXPECT_EQ(3u, len);
    // Length 0 keeps the length the salt has.
    ASSERT_EQ(ERR_OK, k_->setSalt(des3, H("B1B2B3").data(), 0));
    len = sizeof buffer;
    ASSERT_EQ(ERR_OK, k_->getSalt(des3, buffer, &len));
    EXPECT_EQ("B1 B2 B3", hex(buffer, len));

    // Feedback lengths only in modes 3 and 4, effective lengths only for RC4.
    uint32_t bits = 0;
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->getFeedback(des3, &bits));
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->setFeedback(des3, 8));
    ASSERT_EQ(ERR_OK, k_->setMode(des3, 3));
    ASSERT_EQ(ERR_OK, k_->setFeedback(des3, 8));
    ASSERT_EQ(ERR_OK, k_->getFeedback(des3, &bits));
    EXPECT_EQ(8u, bits);
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->setEffective(des3, 40));
    KeyHandle rc4 = gen(0x1100, 40);
    ASSERT_EQ(ERR_OK, k_->setEffective(rc4, 40));
    ASSERT_EQ(ERR_OK, k_->getEffective(rc4, &bits));
    EXPECT_EQ(40u, bits);
    // RC4 has no vector or salt.
    len = sizeof buffer;
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->getIv(rc4, buffer, &len));
}

TEST_F(SymE2eTest, DigestsOnTheTokenEqualTheSoftwareOnes) {
    struct Case {
        uint32_t id;
        const EVP_MD* (*md)();
    } cases[] = {{4, EVP_sha1}, {5, EVP_sha256}, {16, EVP_sm3}};
    for (std::size_t length : {1u, 255u, 600u}) {
        const Bytes data = seq(length, 1);
        for (const auto& c : cases) {
            const std::string want = hex(software_digest(c.md(), data));
            for (uint32_t onToken : {1u, 0u}) {
                uint8_t out[64];
                uint32_t len = sizeof out;
                ASSERT_EQ(ERR_OK, k_->digest(h_, data.data(), uint32_t(length), c.id, onToken, out, &len))
                    << c.id << "/" << onToken << "/" << length;
                EXPECT_EQ(want, hex(out, len)) << c.id << "/" << onToken << "/" << length;
            }
        }
    }
}

TEST_F(SymE2eTest, RandomBytesFromTheTokenAndFromTheSystem) {
    for (uint32_t onToken : {1u, 0u}) {
        for (uint32_t length : {1u, 20u, 21u, 300u}) {
            Bytes a(length), b(length);
            ASSERT_EQ(ERR_OK, k_->random(h_, length, onToken, a.data())) << onToken << "/" << length;
            ASSERT_EQ(ERR_OK, k_->random(h_, length, onToken, b.data())) << onToken << "/" << length;
            if (length >= 20) {
                EXPECT_NE(hex(a), hex(b)) << onToken << "/" << length;
            }
        }
    }
}

TEST_F(SymE2eTest, TwoProcessesUseTheTokenCipherAtOnce) {
    auto child = platform::ChildProcess::spawn(qx::test::child_command("sym_token_cipher", {dir_, device_, "25"}));
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(0, token_cipher_rounds(*k_, h_, "parent key", 25));
    EXPECT_EQ(0, child->wait());
}

TEST_F(SymE2eTest, BadArgumentsAndHandles) {
    KeyHandle aes = gen(0x400, 128);
    KeyHandle stale = gen(0x400, 128);
    ASSERT_EQ(ERR_OK, k_->closeKey(stale));
    keys_.pop_back();
    int notAHandle = 0;
    const uint8_t data[32] = {};
    uint8_t out[64];
    uint32_t len = sizeof out, value = 0;
    KeyHandle made = nullptr;
    struct Case {
        const char* what;
        uint32_t status;
        uint32_t got;
    } cases[] = {
        {"random of 0 bytes", ERR_INVALID_PARAM, k_->random(h_, 0, 0, out)},
        {"random without output", ERR_INVALID_PARAM, k_->random(h_, 4, 1, nullptr)},
        {"random on no device", ERR_INVALID_PARAM, k_->random(&notAHandle, 4, 1, out)},
        {"key of 0 bits", ERR_INVALID_PARAM, k_->genKey(h_, 0x400, 0, nullptr, 0, 0, &made)},
        {"AES key of 100 bits", ERR_INVALID_PARAM, k_->genKey(h_, 0x400, 100, nullptr, 0, 0, &made)},
        {"RC4 key of 12 bits", ERR_INVALID_PARAM, k_->genKey(h_, 0x1100, 12, nullptr, 0, 0, &made)},
        {"derived key over 288 bits", ERR_INVALID_PARAM, k_->genKey(h_, 0x1100, 296, data, 3, 0, &made)},
        {"asymmetric algorithm", ERR_INVALID_PARAM, k_->genKey(h_, 0x20000, 1024, nullptr, 0, 0, &made)},
        {"digest identifier as key", ERR_INVALID_PARAM, k_->genKey(h_, 5, 128, nullptr, 0, 0, &made)},
        {"key on no device", ERR_INVALID_PARAM, k_->genKey(&notAHandle, 0x400, 128, nullptr, 0, 0, &made)},
        {"key without out pointer", ERR_INVALID_PARAM, k_->genKey(h_, 0x400, 128, nullptr, 0, 0, nullptr)},
        {"IV of a stale key", ERR_INVALID_HANDLE, k_->setIv(stale, data, 16)},
        {"IV of no key", ERR_INVALID_HANDLE, k_->getIv(&notAHandle, out, &len)},
        {"IV of a device handle", ERR_INVALID_HANDLE, k_->getIv(h_, out, &len)},
        {"IV without data", ERR_INVALID_PARAM, k_->setIv(aes, nullptr, 16)},
        {"IV without length", ERR_INVALID_PARAM, k_->getIv(aes, out, nullptr)},
        {"mode without output", ERR_INVALID_PARAM, k_->getMode(aes, nullptr)},
        {"padding of a stale key", ERR_INVALID_HANDLE, k_->getPadding(stale, &value)},
        {"encrypt with a stale key", ERR_INVALID_HANDLE, k_->encrypt(stale, 1, data, 16, out, &len)},
        {"digest of nothing", ERR_INVALID_PARAM, k_->digest(h_, data, 0, 5, 0, out, &len)},
        {"digest identifier 9", ERR_INVALID_PARAM, k_->digest(h_, data, 4, 9, 0, out, &len)},
        {"MD5 on the token", ERR_INVALID_PARAM, k_->digest(h_, data, 4, 3, 1, out, &len)},
        {"token digest on no device", ERR_INVALID_PARAM, k_->digest(&notAHandle, data, 4, 5, 1, out, &len)},
        {"digest without length", ERR_INVALID_PARAM, k_->digest(h_, data, 4, 5, 0, out, nullptr)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.status, c.got) << c.what;
    EXPECT_EQ(nullptr, made);

    // Short outputs give the size they need.
    struct Short {
        const char* what;
        uint32_t room, need;
        std::function<uint32_t(uint32_t*)> call;
    } shorts[] = {
        {"SHA-1 size query", 0, 20, [&](uint32_t* l) { return k_->digest(h_, data, 4, 4, 0, nullptr, l); }},
        {"short SHA-256", 31, 32, [&](uint32_t* l) { return k_->digest(h_, data, 4, 5, 0, out, l); }},
        {"short token SM3", 31, 32, [&](uint32_t* l) { return k_->digest(h_, data, 4, 16, 1, out, l); }},
        {"short AES output", 31, 32, [&](uint32_t* l) { return k_->encrypt(aes, 1, data, 16, out, l); }},
        {"short IV", 15, 16, [&](uint32_t* l) { return k_->getIv(aes, out, l); }},
    };
    for (auto& s : shorts) {
        uint32_t l = s.room;
        EXPECT_EQ(ERR_BUFFER_TOO_SMALL, s.call(&l)) << s.what;
        EXPECT_EQ(s.need, l) << s.what;
    }
}

}  // namespace
}  // namespace qx::kernel::test
