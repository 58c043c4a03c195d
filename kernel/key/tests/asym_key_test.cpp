// RSA and SM2 key objects against a scripted token: the exact commands they
// send, how they treat refusals and malformed answers, the signature block,
// the slot table, and verification on the published PKCS #1 v1.5 vectors.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "core/handles.h"
#include "core/kernel_state.h"
#include "key/asym_key.h"
#include "key/key_slots.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"

namespace qx::kernel::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes fill(std::size_t n, uint8_t value) { return Bytes(n, value); }
// Compact uppercase hexadecimal, comparable with literal strings.
std::string hx(const uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
std::string hx(const Bytes& b) { return hx(b.data(), b.size()); }
std::string hx(std::size_t n, uint8_t value) { return hx(fill(n, value)); }
Bytes head(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + long(n)); }
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class AsymKeyTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        dev.set_identity(H("0102030405060708"));
        record.device = &dev;
        register_handle(&record, HandleKind::Device);
    }
    void TearDown() override {
        unregister_handle(&record, HandleKind::Device);
        KernelTest::TearDown();
    }
    template <typename Key>
    std::unique_ptr<Key> key(uint32_t slot, uint32_t bits) {
        auto k = std::make_unique<Key>();
        k->bind_device(&record);
        k->slot = slot;
        k->keyBits = k->blockBits = bits;
        return k;
    }

    ScriptedTransport dev;
    DeviceRecord record;
};

// ---- the PKCS #1 v1.5 signature block -------------------------------------

TEST(Pkcs1BlockTest, LayoutAndRefusals) {
    const Bytes sha1Prefix = H("3021300906052b0e03021a05000414");
    const Bytes sha256Prefix = H("3031300d060960864801650304020105000420");
    struct Case {
        const char* what;
        uint32_t flag, alg, bits;
        std::size_t hashSize;
        uint32_t status;
        Bytes prefix;
    } cases[] = {
        {"SHA-1 with DigestInfo", 1, 4, 2048, 20, ERR_OK, sha1Prefix},
        {"SHA-256 with DigestInfo", 1, 5, 1024, 32, ERR_OK, sha256Prefix},
        {"no prefix without the flag", 0, 4, 1024, 20, ERR_OK, {}},
        {"identifier 8 takes any size", 1, 8, 1024, 36, ERR_OK, {}},
        {"SHA-1 hash of the wrong size", 1, 4, 1024, 32, ERR_INVALID_PARAM, {}},
        {"identifier without a prefix", 1, 6, 2048, 48, ERR_INVALID_PARAM, {}},
        {"hash too long for the modulus", 0, 4, 1024, 118, ERR_INVALID_PARAM, {}},
        {"hash just fitting", 0, 4, 1024, 117, ERR_OK, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes hash = fill(c.hashSize, 0xAB);
        Bytes block;
        ASSERT_EQ(c.status, pkcs1_signature_block(c.flag, c.alg, c.bits, hash.data(), uint32_t(hash.size()), block));
        if (c.status != ERR_OK) continue;
        const std::size_t k = c.bits / 8, ff = k - 3 - c.prefix.size() - c.hashSize;
        Bytes expected = cat(cat(cat(H("0001"), fill(ff, 0xFF)), cat(H("00"), c.prefix)), hash);
        EXPECT_EQ(hx(expected), hx(block));
    }
}

// ---- RSA on the scripted token ---------------------------------------------

TEST_F(AsymKeyTest, Rsa2048Sha1SignatureGoesAsOnePieceOf255AndOneOf1) {
    auto k = key<QXRsaKey>(3, 2048);
    const Bytes hash = fill(20, 0x5A);
    Bytes block;
    ASSERT_EQ(ERR_OK, pkcs1_signature_block(1, 4, 2048, hash.data(), 20, block));
    ASSERT_EQ(256u, block.size());
    EXPECT_EQ(hx(cat(cat(H("0001"), fill(218, 0xFF)), H("00"))), hx(Bytes(block.begin(), block.begin() + 221)));
    const Bytes signature = fill(256, 0x77);
    dev.expect("804A0300FF" + hx(Bytes(block.begin(), block.begin() + 255)), "9000");
    dev.expect("804A030001" + hx(Bytes(block.begin() + 255, block.end())), hx(signature) + "9000");
    Bytes out(300);
    uint32_t length = uint32_t(out.size());
    ASSERT_EQ(ERR_OK, k->SignHash(1, 4, hash.data(), 20, out.data(), &length));
    EXPECT_EQ(256u, length);
    EXPECT_EQ(hx(signature), hx(Bytes(out.begin(), out.begin() + 256)));
}

TEST_F(AsymKeyTest, PrivateKeyOperationTakesOnlyAWholeAcceptedAnswer) {
    const Bytes in = fill(128, 0x11);
    const std::string cmd = "804A010180" + hx(in);
    struct Case {
        const char* what;
        std::string reply;
        uint32_t code;
        uint32_t status;
        uint32_t length;
    } cases[] = {
        {"full answer", hx(128, 0x22) + "9000", 0, ERR_OK, 128},
        {"refused", "6982", 0, ERR_KEY_COMMAND, 0},
        {"accepted but empty", "9000", 0, ERR_KEY_COMMAND, 0},
        {"longer than the modulus", hx(129, 0x22) + "9000", 0, ERR_KEY_COMMAND, 0},
        {"transport failure", "", QXDEV_ERR_DEVICE_IO, QXDEV_ERR_DEVICE_IO, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto k = key<QXRsaKey>(1, 1024);
        if (c.code) dev.fail(cmd, c.code);
        else dev.expect(cmd, c.reply);
        Bytes out(128, 0);
        uint32_t length = 128;
        EXPECT_EQ(c.status, k->private_operation(0, 0, in.data(), 128, out.data(), &length));
        if (c.status == ERR_OK) {
            EXPECT_EQ(c.length, length);
        }
        dev.script.clear();
    }
    // Size questions and bad arguments never reach the token.
    dev.sent.clear();
    auto k = key<QXRsaKey>(1, 1024);
    uint32_t length = 0;
    EXPECT_EQ(ERR_OK, k->private_operation(0, 0, in.data(), 128, nullptr, &length));
    EXPECT_EQ(128u, length);
    Bytes small(127);
    length = 127;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k->private_operation(0, 0, in.data(), 128, small.data(), &length));
    EXPECT_EQ(128u, length);
    Bytes out(128);
    for (uint32_t padding : {1u, 5u, 65u}) {
        length = 128;
        EXPECT_EQ(ERR_INVALID_PARAM, k->private_operation(0, padding, in.data(), 128, out.data(), &length));
    }
    EXPECT_TRUE(dev.sent.empty());
}

TEST_F(AsymKeyTest, DecryptWithFinal3SwitchesToPkcs1Deciphering) {
    auto k = key<QXRsaKey>(2, 1024);
    const Bytes in = fill(128, 0x33);
    dev.expect("804A020180" + hx(in), hx(128, 0x44) + "9000");  // raw
    dev.expect("804A020280" + hx(in), "41424344" "9000");       // PKCS #1 v1.5
    Bytes out(128);
    uint32_t length = 128;
    ASSERT_EQ(ERR_OK, k->Decrypt(1, in.data(), 128, out.data(), &length));
    EXPECT_EQ(128u, length);
    length = 128;
    ASSERT_EQ(ERR_OK, k->Decrypt(3, in.data(), 128, out.data(), &length));
    EXPECT_EQ("41424344", hx(Bytes(out.begin(), out.begin() + length)));
    EXPECT_EQ(66u, k->padding);
    length = 128;
    EXPECT_EQ(ERR_INVALID_PARAM, k->Decrypt(1, in.data(), 127, out.data(), &length));
}

TEST_F(AsymKeyTest, RsaPublicKeyExportTakesOnlyAWholeModulus) {
    struct Case {
        const char* what;
        std::string reply;
        uint32_t status;
    } cases[] = {
        {"whole modulus", hx(128, 0xC3) + "9000", ERR_OK},
        {"one byte short", hx(127, 0xC3) + "9000", ERR_EXPORT_PUBLIC_KEY},
        {"refused", "6A82", ERR_EXPORT_PUBLIC_KEY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto k = key<QXRsaKey>(1, 1024);
        dev.expect("804C010280", c.reply);
        Bytes out(516);
        uint32_t length = 516;
        ASSERT_EQ(c.status, k->GetKeyBuffer(out.data(), &length));
        if (c.status != ERR_OK) continue;
        RsaPublicKeyBlock b;
        std::memcpy(&b, out.data(), sizeof b);
        EXPECT_EQ(1024u, b.bits);
        EXPECT_EQ(hx(fill(128, 0) ) + hx(128, 0xC3), hx(b.modulus, 256));
        EXPECT_EQ(hx(fill(252, 0)) + "00010001", hx(b.publicExponent, 256));
        // The block is kept: a second export asks the token nothing.
        length = 516;
        EXPECT_EQ(ERR_OK, k->GetKeyBuffer(out.data(), &length));
    }
    // A size question and a short buffer never reach the token.
    auto k = key<QXRsaKey>(1, 1024);
    uint32_t length = 0;
    EXPECT_EQ(ERR_OK, k->GetKeyBuffer(nullptr, &length));
    EXPECT_EQ(516u, length);
    Bytes small(515);
    length = 515;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k->GetKeyBuffer(small.data(), &length));
    EXPECT_EQ(516u, length);
}

TEST_F(AsymKeyTest, KeyOfAClosedDeviceAnswersDeviceError) {
    auto rsa = key<QXRsaKey>(1, 1024);
    auto sm2 = key<QXSm2Key>(5, 256);
    unregister_handle(&record, HandleKind::Device);
    Bytes out(516), e(32, 1);
    uint32_t length = 516;
    EXPECT_EQ(ERR_DEVICE_IO, rsa->GetKeyBuffer(out.data(), &length));
    length = 516;
    EXPECT_EQ(ERR_DEVICE_IO, rsa->SignHash(0, 0, e.data(), 32, out.data(), &length));
    length = 516;
    EXPECT_EQ(ERR_DEVICE_IO, sm2->SignHash(0, 0, e.data(), 32, out.data(), &length));
    EXPECT_EQ(ERR_DEVICE_IO, rsa->Generate(nullptr, 0));
    EXPECT_TRUE(dev.sent.empty());
    register_handle(&record, HandleKind::Device);
}

// Releasing the kernel destroys every live key: their cipher objects belong to
// the software library it unloads next.
TEST_F(AsymKeyTest, ReleasingTheKernelDestroysEveryLiveKey) {
    QXKey* rsa = adopt_key(key<QXRsaKey>(1, 1024));
    QXKey* sm2 = adopt_key(key<QXSm2Key>(5, 256));
    ASSERT_EQ(rsa, key_from_handle(rsa));
    std::vector<uint32_t> slots = live_key_slots(&dev);
    std::sort(slots.begin(), slots.end());
    EXPECT_EQ((std::vector<uint32_t>{1, 5}), slots);
    release_all_keys();
    EXPECT_EQ(nullptr, key_from_handle(rsa));
    EXPECT_EQ(nullptr, key_from_handle(sm2));
    EXPECT_FALSE(destroy_key(rsa));
    EXPECT_TRUE(live_key_slots(&dev).empty());
    // Keys made afterwards are tracked again.
    QXKey* again = adopt_key(key<QXRsaKey>(2, 1024));
    EXPECT_EQ(std::vector<uint32_t>{2}, live_key_slots(&dev));
    EXPECT_TRUE(destroy_key(again));
}

// ---- SM2 on the scripted token ---------------------------------------------

const std::string kIdentity = "1031323334353637383132333435363738";  // length byte and "1234567812345678"

TEST_F(AsymKeyTest, Sm2IdentityDigestOfSlot5UsesP2Of0x29) {
    auto k = key<QXSm2Key>(5, 256);
    dev.expect("8051022911" + kIdentity, hx(32, 0x5E) + "9000");
    Bytes z(32);
    uint32_t length = 32;
    ASSERT_EQ(ERR_OK, k->GetZA(z.data(), &length));
    EXPECT_EQ(hx(32, 0x5E), hx(z));
    // A short answer is a failure, not a short Z_A.
    dev.expect("8051022911" + kIdentity, hx(31, 0x5E) + "9000");
    EXPECT_EQ(ERR_COMMAND_FAILED, k->GetZA(z.data(), &length));
    length = 31;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k->GetZA(z.data(), &length));
    EXPECT_EQ(32u, length);
}

TEST_F(AsymKeyTest, Sm2PublicKeyInHostMemoryIsWrittenToSlot0First) {
    auto k = std::make_unique<QXSm2Key>();
    k->bind_device(&record);
    // The SM2 generator point is on the curve.
    const Bytes gx = H("32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7");
    const Bytes gy = H("BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0");
    Bytes block = cat(cat(cat(H("00010000"), fill(32, 0)), gx), cat(fill(32, 0), gy));
    ASSERT_EQ(ERR_OK, k->Import(nullptr, 0, 2, block.data(), uint32_t(block.size())));
    EXPECT_EQ(0u, k->slot);
    EXPECT_EQ(2u, k->keySpec);
    const Bytes signature = fill(64, 0x99);
    dev.expect("8062000120" + hx(gx), "9000");
    dev.expect("8062000220" + hx(gy), "9000");
    dev.expect("8051020011" + kIdentity, hx(32, 0x21) + "9000");
    dev.onWire = [&](const std::vector<uint8_t>& cmd, Step& step) {
        // e = SM3(Z_A || message) is computed by the host: only its place is checked.
        if (cmd.size() > 2 && cmd[1] == 0x58) {
            EXPECT_EQ("8058000060", hx(Bytes(cmd.begin(), cmd.begin() + 5)));
            EXPECT_EQ(hx(signature), hx(Bytes(cmd.end() - 64, cmd.end())));
            step.expect.clear();
        }
    };
    dev.expect("", "9000");
    const Bytes message = {'a', 'b', 'c'};
    EXPECT_EQ(ERR_OK, k->VerifyHash(0, 16, message.data(), 3, signature.data(), 64));
    EXPECT_EQ(4u, dev.sent.size());
}

TEST_F(AsymKeyTest, Sm2AnswersMustHaveTheirExactSize) {
    const Bytes e = fill(32, 0xEE);
    struct Case {
        const char* what;
        std::string reply;
        uint32_t status;
    } cases[] = {
        {"64-byte signature", hx(64, 0x51) + "9000", ERR_OK},
        {"63 bytes", hx(63, 0x51) + "9000", ERR_COMMAND_FAILED},
        {"65 bytes", hx(65, 0x51) + "9000", ERR_COMMAND_FAILED},
        {"refused", "6982", ERR_COMMAND_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto k = key<QXSm2Key>(6, 256);
        dev.expect("8057060020" + hx(e), c.reply);
        Bytes sig(64);
        uint32_t length = 64;
        EXPECT_EQ(c.status, k->SignHash(0, 0, e.data(), 32, sig.data(), &length));
    }
    auto k = key<QXSm2Key>(6, 256);
    Bytes sig(64);
    uint32_t length = 64;
    EXPECT_EQ(ERR_INVALID_PARAM, k->SignHash(0, 0, e.data(), 31, sig.data(), &length));
    length = 63;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k->SignHash(0, 0, e.data(), 32, sig.data(), &length));
    EXPECT_EQ(64u, length);

    // Encryption answers input + 96 bytes, decryption input - 96.
    const Bytes plain = fill(10, 0x0A), cipher = fill(106, 0xC0);
    dev.expect("805906000A" + hx(plain), hx(106, 0xC0) + "9000");
    Bytes out(200);
    length = 200;
    EXPECT_EQ(ERR_OK, k->Encrypt(1, plain.data(), 10, out.data(), &length));
    EXPECT_EQ(106u, length);
    dev.expect("805906000A" + hx(plain), hx(105, 0xC0) + "9000");
    length = 200;
    EXPECT_EQ(ERR_COMMAND_FAILED, k->Encrypt(1, plain.data(), 10, out.data(), &length));
    length = 105;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k->Encrypt(1, plain.data(), 10, out.data(), &length));
    EXPECT_EQ(106u, length);
    dev.expect("806006006A" + hx(cipher), hx(10, 0x0A) + "9000");
    length = 200;
    EXPECT_EQ(ERR_OK, k->Decrypt(1, cipher.data(), 106, out.data(), &length));
    EXPECT_EQ(10u, length);
    length = 9;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k->Decrypt(1, cipher.data(), 106, out.data(), &length));
    EXPECT_EQ(10u, length);
    const Bytes big(160, 1);
    length = 300;
    EXPECT_EQ(ERR_INVALID_PARAM, k->Encrypt(1, big.data(), 160, out.data(), &length));
    EXPECT_EQ(ERR_INVALID_PARAM, k->Decrypt(1, big.data(), 96, out.data(), &length));
}

TEST_F(AsymKeyTest, Sm2PublicKeyExportTakesOnlyWholeCoordinates) {
    auto k = key<QXSm2Key>(5, 256);
    dev.expect("8061050120", hx(32, 0x0C) + "9000");
    dev.expect("8061050220", hx(31, 0x0D) + "9000");
    Bytes out(132);
    uint32_t length = 132;
    EXPECT_EQ(ERR_EXPORT_PUBLIC_KEY, k->GetKeyBuffer(out.data(), &length));
}

// ---- imports refused before any command ------------------------------------

TEST_F(AsymKeyTest, ImportsRefuseMalformedBlocks) {
    auto rsaPublic = [](uint32_t bits, uint8_t top) {
        Bytes b(516, 0);
        std::memcpy(b.data(), &bits, 4);
        b[4] = top;        // most significant modulus byte
        b[4 + 255] = 0x01;
        b[515] = 0x03;     // exponent 3 is fine for a public key in host memory
        return b;
    };
    auto sm2Private = [](uint32_t bits, std::size_t dirtyAt) {
        Bytes b(196, 0);
        std::memcpy(b.data(), &bits, 4);
        b[4 + 63] = 1;
        b[68 + 63] = 1;
        b[132 + 63] = 1;
        if (dirtyAt) b[dirtyAt] = 0xFF;
        return b;
    };
    auto rsaPrivate = [](uint32_t bits, uint8_t lastExponentByte) {
        Bytes b(1412, 0);
        std::memcpy(b.data(), &bits, 4);
        b[4 + 256 - bits / 8] = 0xC0;
        b[260 + 253] = 0x01;
        b[260 + 255] = lastExponentByte;
        return b;
    };
    struct Case {
        const char* what;
        uint32_t algorithm;
        Bytes block;
        uint32_t status;
    } cases[] = {
        {"RSA public 2048 bits", kAlgRsa, rsaPublic(2048, 0x80), ERR_OK},
        {"RSA public modulus above its bits", kAlgRsa, rsaPublic(2047, 0x80), ERR_INVALID_PARAM},
        {"RSA public over 2048 bits", kAlgRsa, rsaPublic(2049, 0x80), ERR_INVALID_PARAM},
        {"RSA public of 0 bits", kAlgRsa, rsaPublic(0, 0x00), ERR_INVALID_PARAM},
        {"RSA private with e = 3", kAlgRsa, rsaPrivate(1024, 0x03), ERR_INVALID_PARAM},
        {"RSA private of 1536 bits", kAlgRsa, rsaPrivate(1536, 0x01), ERR_INVALID_PARAM},
        {"RSA block of 515 bytes", kAlgRsa, Bytes(515, 0), ERR_INVALID_PARAM},
        {"SM2 private of 255 bits", kAlgSm2, sm2Private(255, 0), ERR_INVALID_PARAM},
        {"SM2 private X above 256 bits", kAlgSm2, sm2Private(256, 4 + 31), ERR_INVALID_PARAM},
        {"SM2 private d above 256 bits", kAlgSm2, sm2Private(256, 132 + 5), ERR_INVALID_PARAM},
        {"SM2 public point off the curve", kAlgSm2, head(sm2Private(256, 0), 132), ERR_INVALID_PARAM},
        {"SM2 scalar of zero", kAlgSm2, cat(H("00010000"), fill(64, 0)), ERR_INVALID_PARAM},
        {"SM2 block of 100 bytes", kAlgSm2, Bytes(100, 0), ERR_INVALID_PARAM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<QXKey> k = make_key(c.algorithm);
        ASSERT_NE(nullptr, k);
        k->bind_device(&record);
        EXPECT_EQ(c.status, k->Import(nullptr, 0, 1, c.block.data(), uint32_t(c.block.size())));
    }
    EXPECT_TRUE(dev.sent.empty());
}

TEST(Sm2ScalarTest, PublicPointOfScalarOneIsTheGenerator) {
    uint8_t d[32] = {}, x[32], y[32];
    d[31] = 1;
    ASSERT_TRUE(sm2_public_from_scalar(d, x, y));
    EXPECT_EQ("32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7", hx(x, 32));
    EXPECT_EQ("BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0", hx(y, 32));
    d[31] = 0;
    EXPECT_FALSE(sm2_public_from_scalar(d, x, y));
}

// ---- the slot table ----------------------------------------------------------

TEST(SlotTableTest, RangesAreNumberedAcrossTheSectionInOrder) {
    const std::vector<KeyPairRange> table = {{"RSA1024", 2}, {"RSA2048", 2}, {"SM2256", 2}, {"XYZ99", 1},
                                             {"RSA1024", 5}, {"RSA", 1}};
    struct Range {
        const char* name;
        uint32_t status, first, last;
    } ranges[] = {{"RSA1024", ERR_OK, 1, 2}, {"RSA2048", ERR_OK, 3, 4}, {"SM2256", ERR_OK, 5, 6},
                  {"SM2512", ERR_COMMAND_FAILED, 0, 0}};
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.name);
        uint32_t first = 0, last = 0;
        ASSERT_EQ(r.status, slot_range(table, r.name, first, last));
        if (r.status == ERR_OK) {
            EXPECT_EQ(std::make_pair(r.first, r.last), std::make_pair(first, last));
        }
    }
    struct Slot {
        uint32_t slot, status, algorithm, bits;
    } slots[] = {{1, ERR_OK, kAlgRsa, 1024},       {4, ERR_OK, kAlgRsa, 2048},
                 {6, ERR_OK, kAlgSm2, 256},        {7, ERR_INVALID_PARAM, 0, 0},
                 {12, ERR_OK, kAlgRsa, 1024},      {13, ERR_INVALID_PARAM, 0, 0},
                 {14, ERR_COMMAND_FAILED, 0, 0},   {0, ERR_COMMAND_FAILED, 0, 0}};
    for (const Slot& s : slots) {
        SCOPED_TRACE(s.slot);
        uint32_t algorithm = 0, bits = 0;
        ASSERT_EQ(s.status, slot_key_size(table, s.slot, algorithm, bits));
        if (s.status == ERR_OK) {
            EXPECT_EQ(std::make_pair(s.algorithm, s.bits), std::make_pair(algorithm, bits));
        }
    }
}

// ---- published PKCS #1 v1.5 verification vectors -----------------------------

struct SigVerCase {
    uint32_t bits;
    std::string hashName;
    Bytes n, e, msg, s;
    bool pass;
};

std::vector<SigVerCase> sigver_cases() {
    std::ifstream in(binary_directory() + "key-data/sigver15.rsp");
    std::vector<SigVerCase> cases;
    SigVerCase c;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
        if (key == "mod") c = SigVerCase{uint32_t(std::stoul(value)), {}, {}, {}, {}, {}, false};
        else if (key == "n") c.n = H(value);
        else if (key == "SHAAlg") c.hashName = value;
        else if (key == "e") c.e = H(value);
        else if (key == "Msg") c.msg = H(value);
        else if (key == "S") c.s = H(value);
        else if (key == "Result") {
            c.pass = value[0] == 'P';
            cases.push_back(c);
        }
    }
    return cases;
}

TEST_F(AsymKeyTest, VerifiesThePublishedSigVer15Vectors) {
    const auto cases = sigver_cases();
    ASSERT_EQ(72u, cases.size()) << "key-data/sigver15.rsp beside the test binary";
    int passed = 0;
    for (const SigVerCase& c : cases) {
        SCOPED_TRACE(c.hashName + " " + std::to_string(c.bits) + " " + hx(c.msg).substr(0, 16));
        RsaPublicKeyBlock block{};
        block.bits = c.bits;
        std::memcpy(block.modulus + 256 - c.n.size(), c.n.data(), c.n.size());
        const Bytes e(c.e.end() - std::min<std::size_t>(c.e.size(), 256), c.e.end());
        std::memcpy(block.publicExponent + 256 - e.size(), e.data(), e.size());
        QXRsaKey k;
        ASSERT_EQ(ERR_OK, k.Import(nullptr, 0, 2, reinterpret_cast<const uint8_t*>(&block), sizeof block));
        Bytes hash;
        uint32_t alg;
        if (c.hashName == "SHA1") {
            hash.resize(20);
            SHA1(c.msg.data(), c.msg.size(), hash.data());
            alg = 4;
        } else {
            hash.resize(32);
            SHA256(c.msg.data(), c.msg.size(), hash.data());
            alg = 5;
        }
        const uint32_t rc = k.VerifyHash(1, alg, hash.data(), uint32_t(hash.size()), c.s.data(), uint32_t(c.s.size()));
        if (c.pass) {
            EXPECT_EQ(ERR_OK, rc);
            ++passed;
        } else {
            EXPECT_NE(ERR_OK, rc);
        }
    }
    EXPECT_EQ(12, passed);
    EXPECT_TRUE(dev.sent.empty());
}

// A signature whose leading byte is zero may be handed over without it.
TEST_F(AsymKeyTest, ShortenedSignatureWithLeadingZeroStillVerifies) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> gen(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr),
                                                                    EVP_PKEY_CTX_free);
    ASSERT_EQ(1, EVP_PKEY_keygen_init(gen.get()));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_keygen_bits(gen.get(), 1024));
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(1, EVP_PKEY_keygen(gen.get(), &raw));
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(raw, EVP_PKEY_free);
    BIGNUM* n = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(pkey.get(), "n", &n));
    RsaPublicKeyBlock block{};
    block.bits = 1024;
    BN_bn2binpad(n, block.modulus, 256);
    BN_free(n);
    block.publicExponent[253] = 1;
    block.publicExponent[255] = 1;
    QXRsaKey k;
    ASSERT_EQ(ERR_OK, k.Import(nullptr, 0, 2, reinterpret_cast<const uint8_t*>(&block), sizeof block));

    for (uint32_t counter = 0; counter < 5000; ++counter) {
        uint8_t hash[32];
        SHA256(reinterpret_cast<const uint8_t*>(&counter), sizeof counter, hash);
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> sign(EVP_PKEY_CTX_new(pkey.get(), nullptr),
                                                                         EVP_PKEY_CTX_free);
        ASSERT_EQ(1, EVP_PKEY_sign_init(sign.get()));
        ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(sign.get(), RSA_PKCS1_PADDING));
        ASSERT_EQ(1, EVP_PKEY_CTX_set_signature_md(sign.get(), EVP_sha256()));
        Bytes sig(128);
        std::size_t length = sig.size();
        ASSERT_EQ(1, EVP_PKEY_sign(sign.get(), sig.data(), &length, hash, 32));
        if (sig[0] != 0) continue;
        EXPECT_EQ(ERR_OK, k.VerifyHash(1, 5, hash, 32, sig.data() + 1, 127));
        EXPECT_EQ(ERR_OK, k.VerifyHash(1, 5, hash, 32, sig.data(), 128));
        sig[127] ^= 1;
        EXPECT_EQ(ERR_COMMAND_FAILED, k.VerifyHash(1, 5, hash, 32, sig.data() + 1, 127));
        return;
    }
    FAIL() << "no signature with a leading zero byte";
}

}  // namespace
}  // namespace qx::kernel::test
