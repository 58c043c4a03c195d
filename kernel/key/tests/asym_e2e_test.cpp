// Key pairs end to end: the kernel module as applications load it, on a fresh
// virtual token per test, initialised with the slot ranges RSA1024 = 2,
// RSA2048 = 2, SM2256 = 2 and with the user PIN verified.  What the token
// signs and enciphers is checked with libcrypto, and the other way round.
#include <gtest/gtest.h>

#include <cstring>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "openssl_keys.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "support/kernel_e2e.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"
#include "tests/support/qx_test_main.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr uint32_t kRsa = 0x20000, kSm2 = 0x10000;
constexpr const char kSlotRanges[] = "\r\n[InitKeypairsNum]\r\nRSA1024 = 2\r\nRSA2048 = 2\r\nSM2256 = 2\r\n";

struct Exports : KernelExports {
    using KernelExports::KernelExports;
    PFN_QXToken_CreateContainer create = bind<PFN_QXToken_CreateContainer>("QXToken_CreateContainer");
    PFN_QXToken_GetContainerType type = bind<PFN_QXToken_GetContainerType>("QXToken_GetContainerType");
    PFN_QXToken_GetContainerStatus status = bind<PFN_QXToken_GetContainerStatus>("QXToken_GetContainerStatus");
    PFN_QXToken_GenAsymKey gen = bind<PFN_QXToken_GenAsymKey>("QXToken_GenAsymKey");
    PFN_QXToken_ImportKey import = bind<PFN_QXToken_ImportKey>("QXToken_ImportKey");
    PFN_QXToken_CloseKey close = bind<PFN_QXToken_CloseKey>("QXToken_CloseKey");
    PFN_QXToken_DuplicateObject duplicate = bind<PFN_QXToken_DuplicateObject>("QXToken_DuplicateObject");
    PFN_QXToken_GetKeyValue algId = bind<PFN_QXToken_GetKeyValue>("QXToken_GetKeyAlgID");
    PFN_QXToken_GetKeyValue keyLen = bind<PFN_QXToken_GetKeyValue>("QXToken_GetKeyLen");
    PFN_QXToken_GetKeyValue blockLen = bind<PFN_QXToken_GetKeyValue>("QXToken_GetKeyBlockLen");
    PFN_QXToken_GetKeyValue spec = bind<PFN_QXToken_GetKeyValue>("QXToken_GetAsymKeySpec");
    PFN_QXToken_GetKeyValue index = bind<PFN_QXToken_GetKeyValue>("QXToken_GetAsymKeyIndex");
    PFN_QXToken_GetKeyBuffer buffer = bind<PFN_QXToken_GetKeyBuffer>("QXToken_GetKeyBuffer");
    PFN_QXToken_SetKeyBuffer setBuffer = bind<PFN_QXToken_SetKeyBuffer>("QXToken_SetKeyBuffer");
    PFN_QXToken_GetAsymKeyFormContainer fromContainer =
        bind<PFN_QXToken_GetAsymKeyFormContainer>("QXToken_GetAsymKeyFormContainer");
    PFN_QXToken_UpdateAsymKeyToContainer bindKey =
        bind<PFN_QXToken_UpdateAsymKeyToContainer>("QXToken_UpdateAsymKeyToContainer");
    PFN_QXToken_SignHash sign = bind<PFN_QXToken_SignHash>("QXToken_SignHash");
    PFN_QXToken_VerifyHash verifyHash = bind<PFN_QXToken_VerifyHash>("QXToken_VerifyHash");
    PFN_QXToken_GetSM3DigestZA za = bind<PFN_QXToken_GetSM3DigestZA>("QXToken_GetSM3DigestZA");
    PFN_QXToken_Encrypt encrypt = bind<PFN_QXToken_Encrypt>("QXToken_Encrypt");
    PFN_QXToken_Decrypt decrypt = bind<PFN_QXToken_Decrypt>("QXToken_Decrypt");
};

// Imports an SM2 public key (it goes to slot 0 of the token for each use) and
// verifies `signature` over `e` with it `rounds` times; 0 when every round
// succeeds.  Two processes doing this at once each write their own key into
// slot 0 before using it.
int slot0_rounds(Exports& k, DeviceHandle h, const Bytes& publicBlock, const Bytes& e, const Bytes& signature,
                 int rounds) {
    KeyHandle key = nullptr;
    if (k.import(h, nullptr, 0, 0x10000, 1, publicBlock.data(), uint32_t(publicBlock.size()), &key) != ERR_OK)
        return 2;
    int result = 0;
    for (int i = 0; i < rounds && result == 0; ++i)
        if (k.verifyHash(key, 1, 16, e.data(), uint32_t(e.size()), signature.data(), uint32_t(signature.size())) !=
            ERR_OK)
            result = 3;
    k.close(key);
    return result;
}

QX_TEST_CHILD(asym_sm2_slot0) {
    Exports k(args.at(0));
    if (!k.m) return 11;
    DeviceHandle h = nullptr;
    k.openDezo(args.at(1).c_str(), &h);
    if (!h) return 12;
    // Opening authenticated the host again, which ends the token's PIN state
    // for every process: verify it again, then tell the parent to go on.
    std::string pin = kUserPin;
    if (k.verify(h, QXTOKEN_PIN_USER, pin.data(), uint32_t(pin.size())) != ERR_OK) return 13;
    write_bytes(args.at(6), {1});
    const int rc = slot0_rounds(k, h, H(args.at(2)), H(args.at(3)), H(args.at(4)), std::stoi(args.at(5)));
    k.closeDevice(h);
    return rc;
}

class AsymE2eTest : public KernelE2eTest<Exports> {
protected:
    void start() {
        clear_tokens();
        name_ = next_name("ak");
        dir_ = install_e2e_kernel(name_, kSlotRanges);
        k_ = std::make_unique<Exports>(dir_);
        ASSERT_TRUE(k_->m);
        h_ = open_token(name_);
        ASSERT_NE(nullptr, h_);
    }
    // A fresh token called `name`, initialised and with the user PIN verified.
    DeviceHandle open_token(const std::string& name) {
        const std::string device = create_blank_token(name);
        device_ = device;
        DeviceHandle h = open_blank(*k_, device);
        if (!h) return nullptr;
        opened_.push_back(h);
        initialise_and_login(*k_, h);
        return h;
    }
    void TearDown() override {
        if (k_)
            for (DeviceHandle h : opened_) k_->closeDevice(h);
    }

    KeyHandle generate(uint32_t algorithm, uint32_t bits, uint32_t keySpec = 2, uint32_t expect = ERR_OK) {
        KeyHandle key = nullptr;
        EXPECT_EQ(expect, k_->gen(h_, algorithm, bits, keySpec, 0, &key)) << std::hex << algorithm << " " << bits;
        return key;
    }
    uint32_t slot_of(KeyHandle key) {
        uint32_t slot = 0xDEAD;
        EXPECT_EQ(ERR_OK, k_->index(key, &slot));
        return slot;
    }
    Bytes public_block(KeyHandle key) {
        uint32_t length = 0;
        EXPECT_EQ(ERR_OK, k_->buffer(nullptr, key, nullptr, &length));
        Bytes b(length);
        EXPECT_EQ(ERR_OK, k_->buffer(nullptr, key, b.data(), &length));
        b.resize(length);
        return b;
    }
    Bytes sign(KeyHandle key, uint32_t hashAlg, const Bytes& hash, uint32_t expect = ERR_OK) {
        Bytes sig(256);
        uint32_t length = 256;
        EXPECT_EQ(expect, k_->sign(key, 1, hashAlg, hash.data(), uint32_t(hash.size()), sig.data(), &length));
        sig.resize(expect == ERR_OK ? length : 0);
        return sig;
    }
    uint32_t verify(KeyHandle key, uint32_t hashAlg, const Bytes& hash, const Bytes& sig) {
        return k_->verifyHash(key, 1, hashAlg, hash.data(), uint32_t(hash.size()), sig.data(), uint32_t(sig.size()));
    }
    ContainerHandle container(const std::string& n, uint32_t type) {
        ContainerHandle c = nullptr;
        EXPECT_EQ(ERR_OK, k_->create(h_, n.c_str(), type, &c));
        return c;
    }

    std::vector<DeviceHandle> opened_;
    std::string device_;
};

// ---- slots -----------------------------------------------------------------------

TEST_F(AsymE2eTest, SlotRangesFollowTheSectionAndTheThirdRsa1024HasNoSlot) {
    start();
    // Live key objects of this process hold their slots even before a container names them.
    KeyHandle a = generate(kRsa, 1024);
    KeyHandle b = generate(kRsa, 1024);
    EXPECT_EQ(1u, slot_of(a));
    EXPECT_EQ(2u, slot_of(b));
    EXPECT_EQ(nullptr, generate(kRsa, 1024, 2, ERR_NO_FREE_KEY_INDEX));
    ASSERT_EQ(ERR_OK, k_->close(b));
    KeyHandle b2 = generate(kRsa, 1024);
    EXPECT_EQ(2u, slot_of(b2));

    // Slots named by containers stay taken after the key objects are closed.
    ASSERT_EQ(ERR_OK, k_->bindKey(container("one", QXTOKEN_CONTAINER_RSA), a));
    ASSERT_EQ(ERR_OK, k_->bindKey(container("two", QXTOKEN_CONTAINER_RSA), b2));
    ASSERT_EQ(ERR_OK, k_->close(a));
    ASSERT_EQ(ERR_OK, k_->close(b2));
    EXPECT_EQ(nullptr, generate(kRsa, 1024, 2, ERR_NO_FREE_KEY_INDEX));

    struct Case {
        uint32_t algorithm, bits, slot, status;
    } cases[] = {{kRsa, 2048, 3, ERR_OK},   {kSm2, 256, 5, ERR_OK},   {kSm2, 256, 6, ERR_OK},
                 {kRsa, 1536, 0, ERR_COMMAND_FAILED}, {kSm2, 256, 0, ERR_NO_FREE_KEY_INDEX}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits));
        KeyHandle k = generate(c.algorithm, c.bits, 1, c.status);
        if (c.status == ERR_OK) {
            EXPECT_EQ(c.slot, slot_of(k));
        }
    }
}

// ---- generation, signing, verification ----------------------------------------------

TEST_F(AsymE2eTest, GeneratedPairsSignOnTheTokenAndVerifyInTheKernelAndInLibcrypto) {
    start();
    struct Case {
        uint32_t algorithm, bits, hashAlg;
        const char* md;
    } cases[] = {{kRsa, 1024, 4, "SHA1"}, {kRsa, 2048, 5, "SHA256"}, {kRsa, 2048, 4, "SHA1"}, {kSm2, 256, 16, "SM3"}};
    const Bytes message = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.md) + " " + std::to_string(c.bits));
        KeyHandle key = generate(c.algorithm, c.bits);
        ASSERT_NE(nullptr, key);
        uint32_t value = 0;
        EXPECT_EQ(ERR_OK, k_->keyLen(key, &value));
        EXPECT_EQ(c.bits, value);
        EXPECT_EQ(ERR_OK, k_->spec(key, &value));
        EXPECT_EQ(2u, value);
        const Bytes block = public_block(key);
        if (c.algorithm == kRsa) {
            ASSERT_EQ(516u, block.size());
            Pkey pub = rsa_from_block(block);
            ASSERT_TRUE(pub);
            EXPECT_EQ(int(c.bits), EVP_PKEY_get_bits(pub.get()));
            const Bytes hash = digest(c.md, message);
            Bytes sig = sign(key, c.hashAlg, hash);
            ASSERT_EQ(c.bits / 8, sig.size());
            EXPECT_TRUE(rsa_verify(pub.get(), c.md, hash, sig));
            EXPECT_EQ(ERR_OK, verify(key, c.hashAlg, hash, sig));
            sig[10] ^= 0x40;
            EXPECT_EQ(ERR_COMMAND_FAILED, verify(key, c.hashAlg, hash, sig));
        } else {
            ASSERT_EQ(132u, block.size());
            Pkey pub = sm2_from_block(block);
            ASSERT_TRUE(pub);
            Bytes z(32);
            uint32_t length = 0;
            EXPECT_EQ(ERR_OK, k_->za(key, nullptr, &length));
            EXPECT_EQ(32u, length);
            EXPECT_EQ(ERR_OK, k_->za(key, z.data(), &length));
            EXPECT_EQ(sm2_za(block), z);
            Bytes sig = sign(key, 16, message);
            ASSERT_EQ(64u, sig.size());
            EXPECT_TRUE(sm2_verify(pub.get(), message, sig));
            EXPECT_EQ(ERR_OK, verify(key, 16, message, sig));
            sig[40] ^= 0x01;
            EXPECT_EQ(ERR_COMMAND_FAILED, verify(key, 16, message, sig));
        }
        EXPECT_EQ(ERR_OK, k_->close(key));
    }
}

// ---- encryption --------------------------------------------------------------------------

TEST_F(AsymE2eTest, LibcryptoEnciphersTheTokenDeciphersAndTheOtherWayRound) {
    start();
    const Bytes plain = {'s', 'e', 'c', 'r', 'e', 't', ' ', 'd', 'a', 't', 'a'};

    KeyHandle rsa = generate(kRsa, 1024, 1);
    Pkey rsaPub = rsa_from_block(public_block(rsa));
    Bytes c = rsa_encrypt_pkcs1(rsaPub.get(), plain);
    ASSERT_EQ(128u, c.size());
    Bytes out(128);
    uint32_t length = 128;
    // Raw deciphering first: the whole PKCS #1 block type 2 comes back.
    ASSERT_EQ(ERR_OK, k_->decrypt(rsa, 1, c.data(), 128, out.data(), &length));
    ASSERT_EQ(128u, length);
    EXPECT_EQ(0x00, out[0]);
    EXPECT_EQ(0x02, out[1]);
    EXPECT_EQ(plain, Bytes(out.end() - long(plain.size()), out.end()));
    length = 128;
    ASSERT_EQ(ERR_OK, k_->decrypt(rsa, 3, c.data(), 128, out.data(), &length));
    EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + length));
    // The kernel enciphers in software with the public key (padding 6); the token deciphers.
    Bytes c2(128);
    length = 128;
    KeyHandle rsaCopy = nullptr;
    ASSERT_EQ(ERR_OK, k_->duplicate(rsa, 3, &rsaCopy));
    ASSERT_EQ(ERR_OK, k_->m.function<PFN_QXToken_SetSymKeyValue>("QXToken_SetSymKeyPadding")(rsaCopy, 6));
    ASSERT_EQ(ERR_OK, k_->encrypt(rsaCopy, 1, plain.data(), uint32_t(plain.size()), c2.data(), &length));
    length = 128;
    ASSERT_EQ(ERR_OK, k_->decrypt(rsa, 3, c2.data(), 128, out.data(), &length));
    EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + length));

    KeyHandle sm2 = generate(kSm2, 256, 1);
    const Bytes sm2Block = public_block(sm2);
    Pkey sm2Pub = sm2_from_block(sm2Block);
    Bytes sc = sm2_encrypt(sm2Pub.get(), plain);
    ASSERT_EQ(plain.size() + 96, sc.size());
    length = uint32_t(out.size());
    ASSERT_EQ(ERR_OK, k_->decrypt(sm2, 1, sc.data(), uint32_t(sc.size()), out.data(), &length));
    EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + length));

    Bytes tc(300);
    length = uint32_t(tc.size());
    ASSERT_EQ(ERR_OK, k_->encrypt(sm2, 1, plain.data(), uint32_t(plain.size()), tc.data(), &length));
    ASSERT_EQ(plain.size() + 96, length);
    tc.resize(length);
    // libcrypto needs the private key: the token's answer is checked by deciphering it on the token as well.
    length = uint32_t(out.size());
    ASSERT_EQ(ERR_OK, k_->decrypt(sm2, 1, tc.data(), uint32_t(tc.size()), out.data(), &length));
    EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + length));
}

TEST_F(AsymE2eTest, TheTokensSm2CiphertextDeciphersInLibcrypto) {
    start();
    Pkey pair = sm2_generate();
    ASSERT_TRUE(pair);
    const Bytes block = sm2_private_block(pair.get());
    KeyHandle key = nullptr;
    ASSERT_EQ(ERR_OK, k_->import(h_, nullptr, 0, kSm2, 1, block.data(), uint32_t(block.size()), &key));
    const Bytes plain(159, 0x5C);
    Bytes c(300);
    uint32_t length = uint32_t(c.size());
    ASSERT_EQ(ERR_OK, k_->encrypt(key, 1, plain.data(), 159, c.data(), &length));
    c.resize(length);
    Bytes back;
    ASSERT_TRUE(sm2_decrypt(pair.get(), c, back));
    EXPECT_EQ(plain, back);
    // A public key in host memory enciphers on the token through slot 0.
    const Bytes pub = sm2_public_block(pair.get());
    KeyHandle host = nullptr;
    ASSERT_EQ(ERR_OK, k_->import(h_, nullptr, 0, kSm2, 1, pub.data(), 132, &host));
    EXPECT_EQ(0u, slot_of(host));
    length = 300;
    c.assign(300, 0);
    ASSERT_EQ(ERR_OK, k_->encrypt(host, 1, plain.data(), 20, c.data(), &length));
    c.resize(length);
    ASSERT_TRUE(sm2_decrypt(pair.get(), c, back));
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 20), back);
}

// ---- imports ----------------------------------------------------------------------------

TEST_F(AsymE2eTest, ImportedPairsExportTheirPublicKeyAndSign) {
    start();
    struct Case {
        const char* what;
        uint32_t algorithm;
        Pkey pair;
        Bytes block, expectedPublic;
        uint32_t slot;
    };
    std::vector<Case> cases;
    for (unsigned bits : {1024u, 2048u}) {
        Pkey p = rsa_generate(bits);
        Bytes priv = rsa_private_block(p.get()), pub = rsa_public_block(p.get());
        cases.push_back({bits == 1024 ? "RSA-1024" : "RSA-2048", kRsa, std::move(p), priv, pub, bits == 1024 ? 1u : 3u});
    }
    {
        Pkey p = sm2_generate();
        Bytes priv = sm2_private_block(p.get()), pub = sm2_public_block(p.get());
        cases.push_back({"SM2 196 bytes", kSm2, std::move(p), priv, pub, 5});
    }
    {
        Pkey p = sm2_generate();
        Bytes priv = sm2_scalar_block(p.get()), pub = sm2_public_block(p.get());
        cases.push_back({"SM2 68 bytes", kSm2, std::move(p), priv, pub, 6});
    }
    const Bytes message = {'i', 'm', 'p', 'o', 'r', 't', 'e', 'd'};
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        KeyHandle key = nullptr;
        ASSERT_EQ(ERR_OK,
                  k_->import(h_, nullptr, 0, c.algorithm, 2, c.block.data(), uint32_t(c.block.size()), &key));
        EXPECT_EQ(c.slot, slot_of(key));
        // A copy reads its public key back from the token.
        KeyHandle copy = nullptr;
        ASSERT_EQ(ERR_OK, k_->duplicate(key, 3, &copy));
        Bytes zeros(c.expectedPublic.size(), 0);
        ASSERT_EQ(ERR_OK, k_->setBuffer(nullptr, copy, zeros.data(), uint32_t(zeros.size())));
        EXPECT_EQ(c.expectedPublic, public_block(copy));
        EXPECT_EQ(c.expectedPublic, public_block(key));
        if (c.algorithm == kRsa) {
            const Bytes hash = digest("SHA256", message);
            const Bytes sig = sign(copy, 5, hash);
            EXPECT_TRUE(rsa_verify(c.pair.get(), "SHA256", hash, sig));
        } else {
            const Bytes sig = sign(copy, 16, message);
            EXPECT_TRUE(sm2_verify(c.pair.get(), message, sig));
        }
        EXPECT_EQ(ERR_OK, k_->close(copy));
    }
}

TEST_F(AsymE2eTest, RsaPrivateKeyWithAnotherExponentIsRefused) {
    start();
    Pkey p = rsa_generate(1024, 3);
    ASSERT_TRUE(p);
    const Bytes priv = rsa_private_block(p.get());
    KeyHandle key = nullptr;
    EXPECT_EQ(ERR_INVALID_PARAM, k_->import(h_, nullptr, 0, kRsa, 2, priv.data(), 1412, &key));
    EXPECT_EQ(nullptr, key);
    // Nothing was written: the range's first slot is still free.
    KeyHandle fresh = generate(kRsa, 1024);
    EXPECT_EQ(1u, slot_of(fresh));
}

// ---- containers --------------------------------------------------------------------------

TEST_F(AsymE2eTest, ContainerKeyPairsBindAndComeBack) {
    start();
    KeyHandle key = generate(kSm2, 256, 1);
    const Bytes block = public_block(key);
    ContainerHandle c = container("sm2", QXTOKEN_CONTAINER_RSA);
    ASSERT_EQ(ERR_OK, k_->bindKey(c, key));
    uint32_t value = 0;
    EXPECT_EQ(ERR_OK, k_->type(c, &value));
    EXPECT_EQ(2u, value);
    EXPECT_EQ(ERR_OK, k_->status(c, &value));
    EXPECT_EQ(4u, value);

    KeyHandle back = nullptr;
    ASSERT_EQ(ERR_OK, k_->fromContainer(c, 1, &back));
    EXPECT_EQ(5u, slot_of(back));
    EXPECT_EQ(ERR_OK, k_->keyLen(back, &value));
    EXPECT_EQ(256u, value);
    EXPECT_EQ(ERR_OK, k_->blockLen(back, &value));
    EXPECT_EQ(256u, value);
    EXPECT_EQ(block, public_block(back));
    const Bytes message = {'m'};
    EXPECT_TRUE(sm2_verify(sm2_from_block(block).get(), message, sign(back, 16, message)));
    KeyHandle none = nullptr;
    EXPECT_EQ(ERR_KEY_NOT_IN_CONTAINER, k_->fromContainer(c, 2, &none));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->fromContainer(c, 3, &none));

    // Only a key pair of the container's own token, in a slot of its own, binds.
    const Bytes pub = sm2_public_block(sm2_generate().get());
    KeyHandle host = nullptr;
    ASSERT_EQ(ERR_OK, k_->import(h_, nullptr, 0, kSm2, 1, pub.data(), 132, &host));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->bindKey(c, host));
    DeviceHandle other = open_token(name_ + "b");
    ASSERT_NE(nullptr, other);
    KeyHandle foreign = nullptr;
    ASSERT_EQ(ERR_OK, k_->gen(other, kSm2, 256, 2, 0, &foreign));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->bindKey(c, foreign));
    EXPECT_EQ(ERR_OK, k_->status(c, &value));
    EXPECT_EQ(4u, value);
}

// ---- bad input ---------------------------------------------------------------------------

TEST_F(AsymE2eTest, BadArgumentsAndStaleHandlesAreRefused) {
    start();
    KeyHandle rsa = generate(kRsa, 1024);
    KeyHandle sm2 = generate(kSm2, 256);
    const Bytes hash(20, 1), e(32, 2), sig(128, 3);
    Bytes out(512);
    uint32_t length = 0, value = 0;
    KeyHandle closed = generate(kRsa, 2048);
    ASSERT_EQ(ERR_OK, k_->close(closed));
    int local = 0;
    void* foreign = &local;

    struct Case {
        const char* what;
        uint32_t status;
        std::function<uint32_t()> call;
    } cases[] = {
        {"generate without output", ERR_INVALID_PARAM, [&] { return k_->gen(h_, kRsa, 1024, 2, 0, nullptr); }},
        {"generate of length 0", ERR_INVALID_PARAM, [&] { KeyHandle k = nullptr; return k_->gen(h_, kRsa, 0, 2, 0, &k); }},
        {"generate of a symmetric algorithm", ERR_INVALID_PARAM,
         [&] { KeyHandle k = nullptr; return k_->gen(h_, 0x400, 128, 2, 0, &k); }},
        {"generate on a foreign device", ERR_INVALID_PARAM,
         [&] { KeyHandle k = nullptr; return k_->gen(foreign, kRsa, 1024, 2, 0, &k); }},
        {"import without data", ERR_INVALID_PARAM,
         [&] { KeyHandle k = nullptr; return k_->import(h_, nullptr, 0, kRsa, 2, nullptr, 516, &k); }},
        {"import of a digest identifier", ERR_INVALID_PARAM,
         [&] { KeyHandle k = nullptr; return k_->import(h_, nullptr, 0, 4, 2, sig.data(), 20, &k); }},
        {"import under a closed wrapping key", ERR_INVALID_PARAM,
         [&] { KeyHandle k = nullptr; return k_->import(h_, closed, 0, kRsa, 2, sig.data(), 128, &k); }},
        {"import of 517 bytes", ERR_INVALID_PARAM,
         [&] { Bytes b(517, 0); KeyHandle k = nullptr; return k_->import(h_, nullptr, 0, kRsa, 2, b.data(), 517, &k); }},
        {"close of a closed key", ERR_INVALID_PARAM, [&] { return k_->close(closed); }},
        {"close of a foreign pointer", ERR_INVALID_PARAM, [&] { return k_->close(foreign); }},
        {"close of a device handle", ERR_INVALID_PARAM, [&] { return k_->close(h_); }},
        {"algorithm of a closed key", ERR_INVALID_PARAM, [&] { return k_->algId(closed, &value); }},
        {"algorithm without output", ERR_INVALID_PARAM, [&] { return k_->algId(rsa, nullptr); }},
        {"length of a closed key", ERR_INVALID_HANDLE, [&] { return k_->keyLen(closed, &value); }},
        {"length without output", ERR_INVALID_PARAM, [&] { return k_->keyLen(rsa, nullptr); }},
        {"key spec of a closed key", ERR_INVALID_HANDLE, [&] { return k_->spec(closed, &value); }},
        {"slot without output", ERR_INVALID_PARAM, [&] { return k_->index(rsa, nullptr); }},
        {"copy of another kind", ERR_INVALID_HANDLE, [&] { KeyHandle k = nullptr; return k_->duplicate(rsa, 2, &k); }},
        {"copy of a closed key", ERR_INVALID_HANDLE, [&] { KeyHandle k = nullptr; return k_->duplicate(closed, 3, &k); }},
        {"key buffer without length", ERR_INVALID_PARAM, [&] { return k_->buffer(nullptr, rsa, out.data(), nullptr); }},
        {"key buffer of a closed key", ERR_INVALID_HANDLE,
         [&] { length = 516; return k_->buffer(nullptr, closed, out.data(), &length); }},
        {"key buffer one byte short", ERR_INVALID_PARAM,
         [&] { return k_->setBuffer(nullptr, rsa, out.data(), 515); }},
        {"sign without hash", ERR_INVALID_PARAM,
         [&] { length = 512; return k_->sign(rsa, 1, 4, nullptr, 20, out.data(), &length); }},
        {"sign without signature length", ERR_INVALID_PARAM,
         [&] { return k_->sign(rsa, 1, 4, hash.data(), 20, out.data(), nullptr); }},
        {"sign with a closed key", ERR_INVALID_HANDLE,
         [&] { length = 512; return k_->sign(closed, 1, 4, hash.data(), 20, out.data(), &length); }},
        {"sign SHA-1 with a 32-byte hash", ERR_INVALID_PARAM,
         [&] { length = 512; return k_->sign(rsa, 1, 4, e.data(), 32, out.data(), &length); }},
        {"sign SM2 e of 20 bytes", ERR_INVALID_PARAM,
         [&] { length = 512; return k_->sign(sm2, 0, 0, hash.data(), 20, out.data(), &length); }},
        {"verify a 300-byte signature", ERR_INVALID_PARAM,
         [&] { Bytes s(300, 1); return k_->verifyHash(rsa, 1, 4, hash.data(), 20, s.data(), 300); }},
        {"verify without signature", ERR_INVALID_PARAM,
         [&] { return k_->verifyHash(rsa, 1, 4, hash.data(), 20, nullptr, 128); }},
        {"verify SM2 with SHA-1", ERR_INVALID_PARAM,
         [&] { return k_->verifyHash(sm2, 1, 4, hash.data(), 20, sig.data(), 64); }},
        {"Z_A of an RSA key", ERR_INVALID_PARAM, [&] { length = 32; return k_->za(rsa, out.data(), &length); }},
        {"Z_A of a closed key", ERR_INVALID_HANDLE, [&] { length = 32; return k_->za(closed, out.data(), &length); }},
        {"encrypt without output", ERR_INVALID_PARAM,
         [&] { length = 512; return k_->encrypt(sm2, 1, e.data(), 32, nullptr, &length); }},
        {"decrypt with a closed key", ERR_INVALID_HANDLE,
         [&] { length = 512; return k_->decrypt(closed, 1, sig.data(), 128, out.data(), &length); }},
        {"RSA decrypt of 127 bytes", ERR_INVALID_PARAM,
         [&] { length = 512; return k_->decrypt(rsa, 1, sig.data(), 127, out.data(), &length); }},
        {"SM2 encrypt of 160 bytes", ERR_INVALID_PARAM,
         [&] { Bytes p(160, 1); length = 512; return k_->encrypt(sm2, 1, p.data(), 160, out.data(), &length); }},
        {"bind to a foreign container", ERR_INVALID_PARAM, [&] { return k_->bindKey(foreign, rsa); }},
        {"key from a foreign container", ERR_INVALID_PARAM,
         [&] { KeyHandle k = nullptr; return k_->fromContainer(foreign, 1, &k); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.status, c.call());
    }

    // Short outputs give the size.
    struct Short {
        const char* what;
        KeyHandle key;
        uint32_t given, needed;
        std::function<uint32_t(uint32_t*)> call;
    } shorts[] = {
        {"RSA public key", rsa, 515, 516, [&](uint32_t* l) { return k_->buffer(nullptr, rsa, out.data(), l); }},
        {"SM2 public key", sm2, 131, 132, [&](uint32_t* l) { return k_->buffer(nullptr, sm2, out.data(), l); }},
        {"RSA signature", rsa, 127, 128,
         [&](uint32_t* l) { return k_->sign(rsa, 1, 4, hash.data(), 20, out.data(), l); }},
        {"SM2 signature", sm2, 63, 64, [&](uint32_t* l) { return k_->sign(sm2, 0, 0, e.data(), 32, out.data(), l); }},
        {"Z_A", sm2, 31, 32, [&](uint32_t* l) { return k_->za(sm2, out.data(), l); }},
        {"RSA ciphertext", rsa, 127, 128,
         [&](uint32_t* l) { return k_->encrypt(rsa, 1, sig.data(), 128, out.data(), l); }},
        {"SM2 ciphertext", sm2, 127, 128, [&](uint32_t* l) { return k_->encrypt(sm2, 1, e.data(), 32, out.data(), l); }},
    };
    for (const Short& s : shorts) {
        SCOPED_TRACE(s.what);
        uint32_t l = s.given;
        EXPECT_EQ(ERR_BUFFER_TOO_SMALL, s.call(&l));
        EXPECT_EQ(s.needed, l);
    }
}

TEST_F(AsymE2eTest, RegenerationRefusalsKeepTheKeyAndFailuresDestroyIt) {
    start();
    KeyHandle key = generate(kRsa, 1024);
    const Bytes before = public_block(key);
    KeyHandle passed = key;
    // Refused arguments: the key is left as it was.
    EXPECT_EQ(ERR_INVALID_PARAM, k_->gen(h_, kSm2, 256, 2, 0, &passed));
    EXPECT_EQ(key, passed);
    EXPECT_EQ(ERR_INVALID_PARAM, k_->gen(h_, kRsa, 0, 2, 0, &passed));
    EXPECT_EQ(before, public_block(key));
    // A new pair in the same slot.
    ASSERT_EQ(ERR_OK, k_->gen(h_, kRsa, 1024, 2, 0, &passed));
    EXPECT_EQ(key, passed);
    EXPECT_EQ(1u, slot_of(key));
    EXPECT_NE(before, public_block(key));
    // A generation that fails destroys the key passed in.
    EXPECT_EQ(ERR_INVALID_PARAM, k_->gen(h_, kRsa, 1536, 2, 0, &passed));
    EXPECT_EQ(nullptr, passed);
    uint32_t value = 0;
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->keyLen(key, &value));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->close(key));
}

TEST_F(AsymE2eTest, KeysOfAClosedDeviceAnswerDeviceErrors) {
    start();
    KeyHandle key = generate(kSm2, 256);
    ASSERT_EQ(ERR_OK, k_->closeDevice(h_));
    opened_.clear();
    const Bytes message = {'x'};
    Bytes out(64);
    uint32_t length = 64;
    EXPECT_EQ(ERR_DEVICE_IO, k_->sign(key, 0, 16, message.data(), 1, out.data(), &length));
    length = 32;
    EXPECT_EQ(ERR_DEVICE_IO, k_->za(key, out.data(), &length));
    // Properties held in host memory still answer, and the key closes.
    uint32_t value = 0;
    EXPECT_EQ(ERR_OK, k_->index(key, &value));
    EXPECT_EQ(5u, value);
    EXPECT_EQ(ERR_OK, k_->close(key));
}

}  // namespace
}  // namespace qx::kernel::test

namespace qx::kernel::test {
namespace {

TEST_F(AsymE2eTest, TwoProcessesVerifyWithSm2PublicKeysInSlotZeroAtOnce) {
    start();
    KeyHandle a = generate(kSm2, 256), b = generate(kSm2, 256);
    ASSERT_TRUE(a && b);
    const Bytes e = digest("SM3", Bytes(100, 0x5A));
    const Bytes sigA = sign(a, 16, e), sigB = sign(b, 16, e);
    const Bytes pubA = public_block(a), pubB = public_block(b);
    ASSERT_EQ(64u, sigA.size());
    ASSERT_EQ(64u, sigB.size());
    const std::string ready = dir_ + "child-ready";
    auto child = platform::ChildProcess::spawn(
        qx::test::child_command("asym_sm2_slot0", {dir_, device_, hex(pubB), hex(e), hex(sigB), "25", ready}));
    ASSERT_NE(nullptr, child);
    for (int i = 0; i < 200 && !std::filesystem::exists(ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The child's opening reset the token's security state for this process too.
    std::string pin = kUserPin;
    ASSERT_EQ(ERR_OK, k_->verify(h_, QXTOKEN_PIN_USER, pin.data(), uint32_t(pin.size())));
    EXPECT_EQ(0, slot0_rounds(*k_, h_, pubA, e, sigA, 25));
    EXPECT_EQ(0, child->wait());
    // Each key refuses the other's signature, so a round that used the other
    // process's key in slot 0 could not have passed.
    EXPECT_NE(0, slot0_rounds(*k_, h_, pubA, e, sigB, 1));
    k_->close(a);
    k_->close(b);
}

}  // namespace
}  // namespace qx::kernel::test
