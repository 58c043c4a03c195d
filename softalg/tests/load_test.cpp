// The library as its callers use it: loaded by file name from the directory of
// the program, the four exports bound by name, objects used through their
// vtables, then unloaded; again and again in one process.  (This test program
// does not link the library, so every unload really releases it.)
#include "QXSoftAlg.h"

#include "qx/platform/module.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using qx::platform::Module;

std::string library_path() {
    return qx::platform::directory_of(qx::platform::executable_path()) +
           qx::platform::module_file_name("QXSoftAlg");
}

TEST(Loading, BindUseAndUnloadRepeatedly) {
    for (int round = 0; round < 12; ++round) {
        Module lib(library_path());
        ASSERT_TRUE(lib) << qx::platform::last_module_error();
        auto createDigest = lib.function<PFN_QXCreateMessageDigest>("QXCreateMessageDigest");
        auto destroyDigest = lib.function<PFN_QXDestroyMessageDigest>("QXDestroyMessageDigest");
        auto createCipher = lib.function<PFN_QXCreateCipher>("QXCreateCipher");
        auto destroyCipher = lib.function<PFN_QXDestroyCipher>("QXDestroyCipher");
        ASSERT_TRUE(createDigest && destroyDigest && createCipher && destroyCipher);

        // A digest from the default provider and one from the legacy one.
        const uint8_t abc[] = {'a', 'b', 'c'};
        uint8_t out[32];
        uint32_t len = sizeof out;
        MessageDigest* sha = createDigest(QXSA_MD_SHA256);
        ASSERT_NE(sha, nullptr);
        ASSERT_EQ(sha->Digest(abc, 3, out, &len), QXSA_OK);
        EXPECT_EQ(out[0], 0xba);
        EXPECT_EQ(out[31], 0xad);
        destroyDigest(sha);
        MessageDigest* md4 = createDigest(QXSA_MD_MD4);
        ASSERT_NE(md4, nullptr);
        len = sizeof out;
        ASSERT_EQ(md4->Digest(abc, 3, out, &len), QXSA_OK);
        EXPECT_EQ(out[0], 0xa4);  // a448017a...
        destroyDigest(md4);
        destroyDigest(nullptr);

        // The kernel's channel ciphers: SM4 ECB without padding, then RC4.
        const uint8_t key[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
        Cipher* sm4 = createCipher(QXSA_CIPHER_SM4);
        ASSERT_NE(sm4, nullptr);
        ASSERT_EQ(sm4->Init(QXSA_MODE_ECB, key, 16, nullptr, 0, QXSA_ENCRYPT, QXSA_PAD_NONE), QXSA_OK);
        uint8_t block[16];
        ASSERT_EQ(sm4->Process(key, 16, block, &len), QXSA_OK);
        EXPECT_EQ(block[0], 0x68);  // 681edf34...
        destroyCipher(sm4);
        Cipher* rc4 = createCipher(QXSA_CIPHER_RC4);
        ASSERT_NE(rc4, nullptr);
        ASSERT_EQ(rc4->Init(0, key, 5, nullptr, 0, 0, 0), QXSA_OK);
        ASSERT_EQ(rc4->Update(block, 16), QXSA_OK);  // left collected: destruction releases it
        destroyCipher(rc4);
        destroyCipher(nullptr);
    }
}

}  // namespace
