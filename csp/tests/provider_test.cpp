// The provider's logic as the Windows face drives it, against the real kernel
// and fresh virtual tokens, with the UI extension and the scripted dialog
// library answering PIN dialogs: contexts, parameters, keys, hashes,
// signatures checked by OpenSSL, deciphering, certificates and their store
// registration, PINs, a token pulled out, and bad handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "QXTokenStatus.h"
#include "capi.h"
#include "csp_test_support.h"
#include "provider.h"
#include "qx/platform/cert_store.h"
#include "qx/platform/module.h"
#include "status_map.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::csp {
namespace {

using namespace capi;
using kernel::test::binary_directory;
using kernel::test::kChannelWords;

constexpr char kUserPin[] = "123456";
constexpr char kSoPin[] = "87654321";

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An installation of the provider's neighbours: the kernel with the real
// transport, the UI extension, the scripted dialogs and the language files.
std::string install(const std::string& name, const std::string& pinExtra) {
    const std::string dir = kernel::test::install_kernel(name);
    const std::string bin = binary_directory();
    const auto overwrite = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(bin + platform::module_file_name("QXUIExtend"),
                               dir + platform::module_file_name("QXUIExtend"), overwrite);
    std::filesystem::copy_file(bin + "scripted-ui/" + platform::module_file_name("QXUI"),
                               dir + platform::module_file_name("QXUI"), overwrite);
    std::filesystem::create_directories(dir + "Languages");
    std::filesystem::copy_file(std::string(QX_LANGUAGE_SOURCE_DIR) + "/language_enu.ini",
                               dir + "Languages/language_enu.ini", overwrite);
    kernel::test::write_bytes(
        dir + "Config.ini",
        kernel::test::plain_ini("[QXTokenInfo]\r\nCSPName = " + kernel::test::provider_of(name) +
                                "\r\n[DeviceInfo]\r\n" + kChannelWords +
                                "[PIN]\r\nRetryTimes = 3\r\nMaxPinLen = 16\r\nMinPinLen = 1\r\nRequireDigit = 2\r\n"
                                "RequireAlphabetic = 2\r\nRequireSpecial = 2\r\nRequireComplex = 0\r\n" +
                                pinExtra + "[LanguageDefaultSetting]\r\nlanguage = English\r\n"
                                "[InitKeypairsNum]\r\nRSA1024 = 4\r\nRSA2048 = 2\r\n"));
    return dir;
}

class CspTest : public ::testing::Test {
protected:
    void start(const std::string& pinExtra = "") {
        kernel::test::clear_tokens();
        name_ = "csp" + std::to_string(++counter_);
        device_ = kernel::test::create_blank_token(name_);
        dir_ = install(name_, pinExtra);
        store_ = kernel::test::scratch_directory("store-" + name_);
        // The folder store of POSIX builds (Windows uses the user's system store).
        static std::string assignment;
        assignment = "QX_CERTSTORE_HOME=" + store_;
        putenv(assignment.data());
        kernel_ = std::make_unique<kernel::test::Kernel>(dir_);
        auto init = kernel_->module.function<PFN_QXToken_InitToken>("QXToken_InitToken");
        retries_ = kernel_->module.function<PFN_QXToken_GetPinRetryNum>("QXToken_GetPinRetryNum");
        kernel_->openDezo(device_.c_str(), &h_);
        ASSERT_NE(nullptr, h_);
        ASSERT_EQ(ERR_OK, init(h_, kUserPin, 6, kSoPin, 8, reinterpret_cast<const uint8_t*>("T"), 1));
        kernel_->close(h_);
        h_ = nullptr;
        dialogs_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUI"));
        ASSERT_TRUE(*dialogs_);
        p_ = std::make_unique<Provider>(dir_);
    }
    void TearDown() override {
        p_.reset();
        if (kernel_ && h_) kernel_->close(h_);
        static char cleared[] = "QX_CERTSTORE_HOME=";
        putenv(cleared);
    }
    void script(const std::string& lines) {
        dialogs_->function<void (*)(const char*)>("QXUIScript_Set")(lines.c_str());
    }
    std::string transcript() {
        auto t = dialogs_->function<uint32_t (*)(char*, uint32_t*)>("QXUIScript_Transcript");
        uint32_t n = 0;
        t(nullptr, &n);
        std::string s(n, '\0');
        t(s.data(), &n);
        return s.c_str();
    }
    uint32_t tries() {
        DeviceHandle d = nullptr;
        kernel_->openByName(device_.c_str(), &d);
        uint32_t n = 99;
        retries_(d, QXTOKEN_PIN_USER, &n);
        kernel_->close(d);
        return n;
    }
    // A new container with a key pair of `spec`, the PIN given through the dialog.
    Handle keyset(const char* container, uint32_t spec, uint32_t bits, Handle* key) {
        Handle prov = 0;
        script(std::string(kUserPin) + "\n");
        EXPECT_EQ(0u, p_->AcquireContext(&prov, container, kNewKeyset));
        EXPECT_EQ(0u, p_->GenKey(prov, spec, bits << 16, key));
        return prov;
    }
    Bytes public_blob(Handle prov, Handle key) {
        uint32_t n = 0;
        EXPECT_EQ(0u, p_->ExportKey(prov, key, 0, kPublicKeyBlob, 0, nullptr, &n));
        Bytes blob(n);
        EXPECT_EQ(0u, p_->ExportKey(prov, key, 0, kPublicKeyBlob, 0, blob.data(), &n));
        return blob;
    }
    Bytes sign(Handle prov, uint32_t alg, const Bytes& data, uint32_t spec, uint32_t* rc = nullptr) {
        Handle h = 0;
        EXPECT_EQ(0u, p_->CreateHash(prov, alg, 0, 0, &h));
        EXPECT_EQ(0u, p_->HashData(prov, h, data.data(), static_cast<uint32_t>(data.size()), 0));
        uint32_t n = 0;
        uint32_t r = p_->SignHash(prov, h, spec, 0, nullptr, &n);
        Bytes sig(n);
        if (r == 0) r = p_->SignHash(prov, h, spec, 0, sig.data(), &n);
        if (rc) *rc = r;
        else
            EXPECT_EQ(0u, r);
        p_->DestroyHash(prov, h);
        sig.resize(r == 0 ? n : 0);
        return sig;
    }

    static inline int counter_ = 0;
    std::string name_, device_, dir_, store_;
    std::unique_ptr<kernel::test::Kernel> kernel_;
    std::unique_ptr<platform::Module> dialogs_;
    std::unique_ptr<Provider> p_;
    PFN_QXToken_GetPinRetryNum retries_ = nullptr;
    DeviceHandle h_ = nullptr;
};

TEST(CspStatusMap, EachKernelStatusHasItsError) {
    const std::pair<uint32_t, uint32_t> rows[] = {
        {ERR_OK, 0},
        {ERR_PIN_INCORRECT, kScardWrongChv},
        {ERR_OLD_PIN_INCORRECT, kScardWrongChv},
        {ERR_TRANSACTION_PIN_INCORRECT, kScardWrongChv},
        {ERR_PIN_LOCKED, kScardChvBlocked},
        {0x800704C7u, kScardCancelledByUser},
        {ERR_PIN_MUST_CHANGE, kScardSecurityViolation},
        {ERR_SECURITY_STATUS, kScardSecurityViolation},
        {ERR_DEVICE_IO, kScardRemovedCard},
        {ERR_INVALID_HANDLE, kScardRemovedCard},
        {ERR_SCARD_RESET_CARD, kScardRemovedCard},
        {ERR_SCARD_SERVICE_STOPPED, kScardRemovedCard},
        {ERR_SCARD_INVALID_HANDLE, kScardRemovedCard},
        {ERR_NO_CONTAINER, kNteBadKeyset},
        {ERR_CONTAINER_NOT_FOUND, kNteBadKeyset},
        {ERR_READ_CONTAINER_FILE, kNteBadKeyset},
        {ERR_NOT_FOUND, kNteBadKeyset},
        {ERR_CONTAINER_EXISTS, kNteExists},
        {ERR_CONTAINER_FULL, kNteTokenKeysetStorageFull},
        {ERR_NO_FREE_KEY_INDEX, kNteTokenKeysetStorageFull},
        {ERR_KEY_NOT_IN_CONTAINER, kNteNoKey},
        {ERR_IMPORT_PUBLIC_KEY, kNteBadPublicKey},
        {ERR_IMPORT_PRIVATE_KEY, kNteBadData},
        {ERR_EXPORT_PUBLIC_KEY, kNteBadKey},
        {ERR_INVALID_PARAM, kNteBadData},
        {ERR_BUFFER_TOO_SMALL, kErrorMoreData},
        {ERR_NO_MEMORY, kNteNoMemory},
        {ERR_LIBRARY_LOAD, kNteProviderDllFail},
        {ERR_REMOTE_SESSION, kNtePerm},
        {ERR_FAILED, kNteFail},
        {ERR_KEY_COMMAND, kNteFail},
        {ERR_COMMAND_FAILED, kNteFail},
        {0x12345u, kNteFail},  // unnamed statuses
    };
    for (const auto& [status, error] : rows) EXPECT_EQ(error, capi_error(status)) << std::hex << status;
    std::size_t count = 0;
    const auto* table = status_table(&count);
    for (std::size_t i = 0; i < count; ++i) {
        bool listed = false;
        for (const auto& r : rows) listed = listed || r.first == table[i].first;
        EXPECT_TRUE(listed) << "untested row " << std::hex << table[i].first;
    }
}

TEST_F(CspTest, ContextsFindCreateAndRefuse) {
    start();
    Handle prov = 0;
    EXPECT_EQ(kNteBadKeyset, p_->AcquireContext(&prov, nullptr, 0)) << "no container yet";
    EXPECT_EQ(kNteBadKeyset, p_->AcquireContext(&prov, "nothing", 0));
    EXPECT_EQ(kNteBadFlags, p_->AcquireContext(&prov, nullptr, kVerifyContext | kNewKeyset));
    EXPECT_EQ(kNteBadFlags, p_->AcquireContext(&prov, nullptr, 0x4000));
    EXPECT_EQ(kErrorInvalidParameter, p_->AcquireContext(nullptr, nullptr, kVerifyContext));
    EXPECT_EQ(kNteSilentContext, p_->AcquireContext(&prov, "new", kNewKeyset | kSilent)) << "creating needs the PIN";

    script(std::string(kUserPin) + "\n");
    ASSERT_EQ(0u, p_->AcquireContext(&prov, "alpha", kNewKeyset));
    EXPECT_NE(std::string::npos, transcript().find("ask Verify PIN")) << transcript();
    EXPECT_EQ(kNteExists, p_->AcquireContext(&prov, "alpha", kNewKeyset));
    Handle again = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&again, "\\\\.\\VToken CCID 0\\alpha", 0)) << "reader-qualified name";
    ASSERT_EQ(0u, p_->AcquireContext(&again, nullptr, 0)) << "the default container";
    uint32_t n = 0;
    ASSERT_EQ(0u, p_->GetProvParam(again, kPpContainer, nullptr, &n, 0));
    std::string name(n, '\0');
    ASSERT_EQ(0u, p_->GetProvParam(again, kPpContainer, reinterpret_cast<uint8_t*>(name.data()), &n, 0));
    EXPECT_STREQ("alpha", name.c_str());
    EXPECT_EQ(0u, p_->ReleaseContext(again, 0));
    EXPECT_EQ(kNteBadUid, p_->ReleaseContext(again, 0)) << "released once";

    // A context without a name makes one of its own.
    Handle unnamed = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&unnamed, nullptr, kNewKeyset));
    n = 0;
    ASSERT_EQ(0u, p_->GetProvParam(unnamed, kPpContainer, nullptr, &n, 0));
    EXPECT_EQ(21u, n) << "csp- and 16 hexadecimal digits";
}

TEST_F(CspTest, ProviderParameters) {
    start();
    Handle prov = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&prov, nullptr, kVerifyContext));
    auto u32 = [&](uint32_t param) {
        uint8_t b[4] = {};
        uint32_t n = 4;
        EXPECT_EQ(0u, p_->GetProvParam(prov, param, b, &n, 0));
        return b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t(b[3]) << 24);
    };
    EXPECT_EQ(kImplHardware, u32(kPpImpType));
    EXPECT_EQ(0x200u, u32(kPpVersion));
    EXPECT_EQ(kProvRsaFull, u32(kPpProvType));
    EXPECT_EQ(3u, u32(kPpKeySpec));
    char name[300] = {};
    uint32_t n = 3;
    EXPECT_EQ(kErrorMoreData, p_->GetProvParam(prov, kPpName, reinterpret_cast<uint8_t*>(name), &n, 0));
    EXPECT_EQ(p_->name().size() + 1, n);
    n = sizeof name;
    EXPECT_EQ(0u, p_->GetProvParam(prov, kPpName, reinterpret_cast<uint8_t*>(name), &n, 0));
    EXPECT_EQ(kernel::test::provider_of(name_), name);
    EXPECT_EQ(kNteBadType, p_->GetProvParam(prov, 9999, nullptr, &n, 0));
    EXPECT_EQ(kNteBadKeyset, p_->GetProvParam(prov, kPpContainer, nullptr, &n, 0));

    for (uint32_t param : {kPpEnumAlgs, kPpEnumAlgsEx}) {
        std::vector<uint32_t> algs;
        uint8_t record[88];
        for (uint32_t flags = kCryptFirst;; flags = kCryptNext) {
            n = sizeof record;
            const uint32_t rc = p_->GetProvParam(prov, param, record, &n, flags);
            if (rc == kErrorNoMoreItems) break;
            ASSERT_EQ(0u, rc);
            algs.push_back(record[0] | (record[1] << 8));
        }
        EXPECT_EQ((std::vector<uint32_t>{kCalgRsaSign, kCalgRsaKeyx, kCalgMd5, kCalgSha1, kCalgSha256, kCalgSha384,
                                         kCalgSha512, kCalgSsl3ShaMd5}),
                  algs);
    }

    Handle k = 0;
    Handle a = keyset("first", kAtSignature, 1024, &k);
    Handle b = keyset("second", kAtKeyExchange, 1024, &k);
    (void)a;
    (void)b;
    std::vector<std::string> names;
    for (uint32_t flags = kCryptFirst;; flags = kCryptNext) {
        char buffer[260];
        n = sizeof buffer;
        const uint32_t rc = p_->GetProvParam(prov, kPpEnumContainers, reinterpret_cast<uint8_t*>(buffer), &n, flags);
        if (rc == kErrorNoMoreItems) break;
        ASSERT_EQ(0u, rc);
        names.emplace_back(buffer);
    }
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), names);
}

TEST_F(CspTest, HashesGiveTheirDigestsAndStates) {
    start();
    Handle prov = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&prov, nullptr, kVerifyContext));
    struct {
        uint32_t alg, size;
        const char* firstBytes;  // of the digest of "abc"
    } cases[] = {{kCalgMd5, 16, "\x90\x01\x50\x98"}, {kCalgSha1, 20, "\xa9\x99\x3e\x36"},
                 {kCalgSha256, 32, "\xba\x78\x16\xbf"}, {kCalgSha384, 48, "\xcb\x00\x75\x3f"},
                 {kCalgSha512, 64, "\xdd\xaf\x35\xa1"}};
    for (const auto& c : cases) {
        Handle h = 0;
        ASSERT_EQ(0u, p_->CreateHash(prov, c.alg, 0, 0, &h));
        ASSERT_EQ(0u, p_->HashData(prov, h, reinterpret_cast<const uint8_t*>("ab"), 2, 0));
        ASSERT_EQ(0u, p_->HashData(prov, h, reinterpret_cast<const uint8_t*>("c"), 1, 0));
        uint8_t v[64];
        uint32_t n = 0;
        ASSERT_EQ(0u, p_->GetHashParam(prov, h, kHpHashVal, nullptr, &n, 0));
        EXPECT_EQ(c.size, n);
        n = c.size - 1;
        EXPECT_EQ(kErrorMoreData, p_->GetHashParam(prov, h, kHpHashVal, v, &n, 0));
        ASSERT_EQ(0u, p_->GetHashParam(prov, h, kHpHashVal, v, &n, 0));
        EXPECT_EQ(0, std::memcmp(v, c.firstBytes, 4)) << std::hex << c.alg;
        EXPECT_EQ(kNteBadHashState, p_->HashData(prov, h, v, 1, 0)) << "finished";
        EXPECT_EQ(0u, p_->DestroyHash(prov, h));
    }
    Handle h = 0;
    ASSERT_EQ(0u, p_->CreateHash(prov, kCalgSsl3ShaMd5, 0, 0, &h));
    EXPECT_EQ(kNteBadAlgId, p_->HashData(prov, h, reinterpret_cast<const uint8_t*>("a"), 1, 0));
    uint8_t value[36];
    for (int i = 0; i < 36; ++i) value[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(0u, p_->SetHashParam(prov, h, kHpHashVal, value, 0));
    uint8_t back[36] = {};
    uint32_t n = sizeof back;
    EXPECT_EQ(0u, p_->GetHashParam(prov, h, kHpHashVal, back, &n, 0));
    EXPECT_EQ(0, std::memcmp(value, back, 36));
    EXPECT_EQ(kNteBadAlgId, p_->CreateHash(prov, 0x6610 /* AES-256 */, 0, 0, &h));
    EXPECT_EQ(kNteBadAlgId, p_->CreateHash(prov, 0x8001 /* MD2: not offered */, 0, 0, &h));
}

TEST_F(CspTest, SignaturesVerifyWithOpenSslAndRepeatsSignOnce) {
    start();
    Handle key = 0;
    const Handle prov = keyset("signer", kAtSignature, 2048, &key);
    const Bytes blob = public_blob(prov, key);
    ASSERT_EQ(20u + 256u, blob.size());
    void* pub = test::key_from_public_blob(blob);
    ASSERT_NE(nullptr, pub);
    const Bytes doc = bytes("the document to sign");
    for (auto [alg, name] : {std::pair{kCalgSha1, "SHA1"}, {kCalgSha256, "SHA256"}, {kCalgSha384, "SHA384"},
                             {kCalgSha512, "SHA512"}, {kCalgMd5, "MD5"}}) {
        const Bytes sig = sign(prov, alg, doc, kAtSignature);
        ASSERT_EQ(256u, sig.size());
        EXPECT_TRUE(test::verify_reversed(pub, name, doc, sig)) << name;
        // And the provider's own software check, with the key exported and imported.
        Handle imported = 0, h = 0;
        ASSERT_EQ(0u, p_->ImportKey(prov, blob.data(), static_cast<uint32_t>(blob.size()), 0, 0, &imported));
        ASSERT_EQ(0u, p_->CreateHash(prov, alg, 0, 0, &h));
        ASSERT_EQ(0u, p_->HashData(prov, h, doc.data(), static_cast<uint32_t>(doc.size()), 0));
        EXPECT_EQ(0u, p_->VerifySignature(prov, h, sig.data(), static_cast<uint32_t>(sig.size()), imported, 0));
        Bytes bad = sig;
        bad[10] ^= 1;
        EXPECT_EQ(kNteBadSignature,
                  p_->VerifySignature(prov, h, bad.data(), static_cast<uint32_t>(bad.size()), imported, 0));
        p_->DestroyHash(prov, h);
        p_->DestroyKey(prov, imported);
    }

    // Values signed without a digest identifier: TLS client authentication's
    // MD5 || SHA-1, and any hash with CRYPT_NOHASHOID; each checked against the
    // raw value by the provider's software verification.
    Handle imported = 0;
    ASSERT_EQ(0u, p_->ImportKey(prov, blob.data(), static_cast<uint32_t>(blob.size()), 0, 0, &imported));
    for (auto [alg, flags] : {std::pair{kCalgSsl3ShaMd5, 0u}, {kCalgSha1, kNoHashOid}}) {
        Handle h = 0;
        ASSERT_EQ(0u, p_->CreateHash(prov, alg, 0, 0, &h));
        uint8_t value[36];
        for (int i = 0; i < 36; ++i) value[i] = static_cast<uint8_t>(7 * i);
        ASSERT_EQ(0u, p_->SetHashParam(prov, h, kHpHashVal, value, 0));
        Bytes sig(256);
        uint32_t n = 256;
        ASSERT_EQ(0u, p_->SignHash(prov, h, kAtSignature, flags, sig.data(), &n)) << std::hex << alg;
        EXPECT_EQ(0u, p_->VerifySignature(prov, h, sig.data(), n, imported, flags)) << std::hex << alg;
        if (alg == kCalgSha1) {
            EXPECT_EQ(kNteBadSignature, p_->VerifySignature(prov, h, sig.data(), n, imported, 0))
                << "with and without the identifier are different signatures";
        }
        p_->DestroyHash(prov, h);
    }

    // Two passes over one hash value (as CryptSignMessage does): one token signature.
    const uint64_t before = p_->token_signatures();
    const Bytes first = sign(prov, kCalgSha256, bytes("twice"), kAtSignature);
    const Bytes second = sign(prov, kCalgSha256, bytes("twice"), kAtSignature);
    EXPECT_EQ(first, second);
    EXPECT_EQ(before + 1, p_->token_signatures());
    sign(prov, kCalgSha256, bytes("other"), kAtSignature);
    EXPECT_EQ(before + 2, p_->token_signatures()) << "another value signs again";

    // A size query touches no private key and asks for no PIN.
    Handle h = 0;
    ASSERT_EQ(0u, p_->CreateHash(prov, kCalgSha1, 0, 0, &h));
    uint32_t n = 0;
    EXPECT_EQ(0u, p_->SignHash(prov, h, kAtSignature, 0, nullptr, &n));
    EXPECT_EQ(256u, n);
    EXPECT_EQ(before + 2, p_->token_signatures());
    Bytes small(100);
    n = 100;
    EXPECT_EQ(kErrorMoreData, p_->SignHash(prov, h, kAtSignature, 0, small.data(), &n));
    EXPECT_EQ(256u, n);
    EXPECT_EQ(kNteNoKey, p_->SignHash(prov, h, kAtKeyExchange, 0, small.data(), &n)) << "no exchange pair";
    EXPECT_EQ(kNteBadFlags, p_->SignHash(prov, h, kAtSignature, 0x100, small.data(), &n));
    test::free_key(pub);
}

TEST_F(CspTest, KeysExportPublicOnlyAndDecryptOnTheToken) {
    start();
    Handle key = 0;
    const Handle prov = keyset("exchange", kAtKeyExchange, 1024, &key);
    uint8_t b[4];
    uint32_t n = 4;
    ASSERT_EQ(0u, p_->GetKeyParam(prov, key, kKpAlgId, b, &n, 0));
    EXPECT_EQ(kCalgRsaKeyx, b[0] | (b[1] << 8));
    n = 4;
    ASSERT_EQ(0u, p_->GetKeyParam(prov, key, kKpKeyLen, b, &n, 0));
    EXPECT_EQ(1024u, b[0] | (b[1] << 8));
    n = 0;
    EXPECT_EQ(kNteBadKeyState, p_->ExportKey(prov, key, 0, kPrivateKeyBlob, 0, nullptr, &n));
    EXPECT_EQ(kNteBadType, p_->ExportKey(prov, key, 0, 1 /* SIMPLEBLOB */, 0, nullptr, &n));
    Handle refused = 0;
    EXPECT_EQ(kNteBadAlgId, p_->GenKey(prov, 0x6610, 0, &refused));
    EXPECT_EQ(kNteBadFlags, p_->GenKey(prov, kAtSignature, 4096u << 16, &refused));

    void* pub = test::key_from_public_blob(public_blob(prov, key));
    ASSERT_NE(nullptr, pub);
    const Bytes secret = bytes("session key material");
    Bytes data = test::encrypt_to(pub, secret);
    ASSERT_EQ(128u, data.size());
    std::reverse(data.begin(), data.end());
    n = static_cast<uint32_t>(data.size());
    ASSERT_EQ(0u, p_->Decrypt(prov, key, 0, true, 0, data.data(), &n));
    EXPECT_EQ(secret, Bytes(data.begin(), data.begin() + n));

    // Enciphered by the provider in software, deciphered on the token.
    Bytes buffer(128, 0);
    std::copy(secret.begin(), secret.end(), buffer.begin());
    n = static_cast<uint32_t>(secret.size());
    ASSERT_EQ(0u, p_->Encrypt(prov, key, 0, true, 0, buffer.data(), &n, 128));
    ASSERT_EQ(128u, n);
    ASSERT_EQ(0u, p_->Decrypt(prov, key, 0, true, 0, buffer.data(), &n));
    EXPECT_EQ(secret, Bytes(buffer.begin(), buffer.begin() + n));
    n = 5;
    EXPECT_EQ(kNteBadLen, p_->Decrypt(prov, key, 0, true, 0, buffer.data(), &n));
    n = 128;
    EXPECT_EQ(kNteNotSupported, p_->Decrypt(prov, key, 0, true, kOaep, buffer.data(), &n));
    test::free_key(pub);

    // A key pair made elsewhere goes onto the token and signs there.
    void* made = nullptr;
    const Bytes priv = test::private_blob(1024, kCalgRsaSign, &made);
    Handle imported = 0;
    ASSERT_EQ(0u, p_->ImportKey(prov, priv.data(), static_cast<uint32_t>(priv.size()), 0, 0, &imported));
    const Bytes sig = sign(prov, kCalgSha256, bytes("imported"), kAtSignature);
    EXPECT_TRUE(test::verify_reversed(made, "SHA256", bytes("imported"), sig));
    Bytes broken = priv;
    broken[8] = 'X';
    EXPECT_EQ(kNteBadData, p_->ImportKey(prov, broken.data(), static_cast<uint32_t>(broken.size()), 0, 0, &imported));
    test::free_key(made);
}

TEST_F(CspTest, CertificatesGoToTheTokenAndTheStoreAndLeaveWithTheKeyset) {
    start();
    Handle key = 0;
    const Handle prov = keyset("mail", kAtKeyExchange, 1024, &key);
    uint32_t n = 0;
    EXPECT_EQ(kScardNoSuchCertificate, p_->GetKeyParam(prov, key, kKpCertificate, nullptr, &n, 0));
    void* pub = test::key_from_public_blob(public_blob(prov, key));
    const Bytes cert = test::certificate_for(pub, "CSP mail " + name_);
    test::free_key(pub);
    ASSERT_EQ(0u, p_->SetKeyParam(prov, key, kKpCertificate, cert.data(), 0));
    n = 0;
    ASSERT_EQ(0u, p_->GetKeyParam(prov, key, kKpCertificate, nullptr, &n, 0));
    Bytes back(n);
    ASSERT_EQ(0u, p_->GetKeyParam(prov, key, kKpCertificate, back.data(), &n, 0));
    EXPECT_EQ(cert, back);

    auto my = platform::CertStore::open("MY");
    ASSERT_NE(nullptr, my);
    platform::StoredCertificate found;
    ASSERT_EQ(platform::StoreStatus::Ok, my->find(cert.data(), cert.size(), &found));
    ASSERT_TRUE(found.keyProvider.has_value());
    EXPECT_EQ(u"mail", found.keyProvider->container);
    EXPECT_EQ(kAtKeyExchange, found.keyProvider->keySpec);
    EXPECT_EQ(1u, found.keyProvider->providerType);

    Handle gone = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&gone, "mail", kDeleteKeyset));
    EXPECT_EQ(0u, gone);
    my = platform::CertStore::open("MY");  // a system store handle keeps the view it opened with
    ASSERT_NE(nullptr, my);
    EXPECT_EQ(platform::StoreStatus::NotFound, my->find(cert.data(), cert.size(), &found));
    EXPECT_EQ(kNteBadKeyset, p_->AcquireContext(&gone, "mail", 0));
    EXPECT_EQ(kNteBadData, p_->SetKeyParam(prov, key, kKpCertificate, reinterpret_cast<const uint8_t*>("xx"), 0));
}

TEST_F(CspTest, PinsThroughTheDialogTheParameterAndSilence) {
    start();
    Handle key = 0;
    const Handle prov = keyset("pins", kAtSignature, 1024, &key);
    (void)prov;
    p_.reset();
    // A new process view of the token: the PIN is no longer verified.
    kernel_.reset();
    kernel_ = std::make_unique<kernel::test::Kernel>(dir_);
    p_ = std::make_unique<Provider>(dir_);

    Handle silent = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&silent, "pins", kSilent));
    uint32_t rc = 0;
    script("");
    sign(silent, kCalgSha1, bytes("x"), kAtSignature, &rc);
    EXPECT_EQ(kNteSilentContext, rc);
    EXPECT_EQ("", transcript()) << "a silent context shows nothing";

    Handle ctx = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&ctx, "pins", 0));
    script("<cancel>\n");
    sign(ctx, kCalgSha1, bytes("x"), kAtSignature, &rc);
    EXPECT_EQ(kScardCancelledByUser, rc);
    script("111111\n<cancel>\n");
    sign(ctx, kCalgSha1, bytes("x"), kAtSignature, &rc);
    EXPECT_EQ(kScardWrongChv, rc);
    EXPECT_EQ(2u, tries());

    const char wrong[] = "222222";
    EXPECT_EQ(kScardWrongChv, p_->SetProvParam(ctx, kPpSignaturePin, reinterpret_cast<const uint8_t*>(wrong), 0));
    EXPECT_EQ(1u, tries());
    EXPECT_EQ(kScardWrongChv, p_->SetProvParam(ctx, kPpSignaturePin, reinterpret_cast<const uint8_t*>("1"), 0))
        << "too short to try";
    EXPECT_EQ(1u, tries());
    EXPECT_EQ(0u, p_->SetProvParam(ctx, kPpSignaturePin, reinterpret_cast<const uint8_t*>(kUserPin), 0));
    EXPECT_EQ(3u, tries());
    script("");
    EXPECT_EQ(128u, sign(ctx, kCalgSha1, bytes("x"), kAtSignature).size()) << "no dialog once the PIN is verified";
    EXPECT_EQ("", transcript());
    EXPECT_EQ(kNteBadType, p_->SetProvParam(ctx, 999, reinterpret_cast<const uint8_t*>(kUserPin), 0));
}

TEST_F(CspTest, TheCachedPinSparesTheDialogAfterTheTokenWasReset) {
    start("CachePIN = 1\r\n");
    Handle key = 0;
    keyset("cached", kAtSignature, 1024, &key);
    // Pulled out and back: the token forgot the PIN, the kernel's cache did not.
    kernel::test::set_plugged(name_, false);
    kernel::test::set_plugged(name_, true);
    Handle ctx = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&ctx, "cached", kSilent));
    script("");
    uint32_t rc = 0;
    EXPECT_EQ(128u, sign(ctx, kCalgSha1, bytes("x"), kAtSignature, &rc).size()) << std::hex << rc;
    EXPECT_EQ("", transcript());
    EXPECT_EQ(3u, tries());
}

TEST_F(CspTest, BlockedPinIsReported) {
    start();
    Handle key = 0;
    keyset("blocked", kAtSignature, 1024, &key);
    p_.reset();
    kernel_.reset();
    kernel_ = std::make_unique<kernel::test::Kernel>(dir_);
    p_ = std::make_unique<Provider>(dir_);
    Handle ctx = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&ctx, "blocked", 0));
    uint32_t rc = 0;
    for (int i = 0; i < 3; ++i)
        p_->SetProvParam(ctx, kPpSignaturePin, reinterpret_cast<const uint8_t*>("999999"), 0);
    EXPECT_EQ(0u, tries());
    EXPECT_EQ(kScardChvBlocked,
              p_->SetProvParam(ctx, kPpSignaturePin, reinterpret_cast<const uint8_t*>(kUserPin), 0));
    script(std::string(kUserPin) + "\n<cancel>\n");
    sign(ctx, kCalgSha1, bytes("x"), kAtSignature, &rc);
    EXPECT_EQ(kScardChvBlocked, rc);
}

TEST_F(CspTest, MissingAndUnpluggedTokens) {
    start();
    Handle key = 0;
    const Handle prov = keyset("mobile", kAtSignature, 1024, &key);
    kernel::test::set_plugged(name_, false);
    uint32_t rc = 0;
    sign(prov, kCalgSha1, bytes("x"), kAtSignature, &rc);
    EXPECT_EQ(kScardRemovedCard, rc);
    Handle other = 0;
    EXPECT_EQ(kScardNoSmartcard, p_->AcquireContext(&other, "mobile", 0));
    kernel::test::set_plugged(name_, true);
    ASSERT_EQ(0u, p_->AcquireContext(&other, "mobile", 0)) << "usable again once plugged in";
    script(std::string(kUserPin) + "\n");
    EXPECT_EQ(128u, sign(other, kCalgSha1, bytes("x"), kAtSignature).size());

    // A verification context needs no token for hashing, but random bytes come from one.
    kernel::test::set_plugged(name_, false);
    Handle verify = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&verify, nullptr, kVerifyContext));
    uint8_t random[16];
    EXPECT_EQ(kScardNoSmartcard, p_->GenRandom(verify, sizeof random, random));
    kernel::test::set_plugged(name_, true);
    ASSERT_EQ(0u, p_->AcquireContext(&verify, nullptr, kVerifyContext));
    EXPECT_EQ(0u, p_->GenRandom(verify, sizeof random, random));
}

TEST_F(CspTest, BadHandlesAndNullPointersAreRefused) {
    start();
    Handle key = 0;
    const Handle prov = keyset("handles", kAtSignature, 1024, &key);
    Handle hash = 0;
    ASSERT_EQ(0u, p_->CreateHash(prov, kCalgSha1, 0, 0, &hash));
    Handle otherProv = 0;
    ASSERT_EQ(0u, p_->AcquireContext(&otherProv, nullptr, kVerifyContext));
    uint8_t buffer[300];
    uint32_t n = sizeof buffer;
    Handle out = 0;
    const Handle bogus = 0xDEAD;
    struct {
        const char* what;
        uint32_t rc, expected;
    } cases[] = {
        {"GetProvParam bogus", p_->GetProvParam(bogus, kPpName, buffer, &n, 0), kNteBadUid},
        {"GetProvParam null length", p_->GetProvParam(prov, kPpName, buffer, nullptr, 0), kErrorInvalidParameter},
        {"SetProvParam null", p_->SetProvParam(prov, kPpSignaturePin, nullptr, 0), kErrorInvalidParameter},
        {"GetUserKey null", p_->GetUserKey(prov, kAtSignature, nullptr), kErrorInvalidParameter},
        {"GetUserKey spec", p_->GetUserKey(prov, 7, &out), kNteBadKey},
        {"GetUserKey verify", p_->GetUserKey(otherProv, kAtSignature, &out), kNteNoKey},
        {"key of another context", p_->GetKeyParam(otherProv, key, kKpAlgId, buffer, &n, 0), kNteBadKey},
        {"hash of another context", p_->HashData(otherProv, hash, buffer, 1, 0), kNteBadHash},
        {"DestroyKey bogus", p_->DestroyKey(prov, bogus), kNteBadKey},
        {"DestroyHash bogus", p_->DestroyHash(prov, bogus), kNteBadHash},
        {"HashData null", p_->HashData(prov, hash, nullptr, 4, 0), kErrorInvalidParameter},
        {"SignHash bogus hash", p_->SignHash(prov, bogus, kAtSignature, 0, buffer, &n), kNteBadHash},
        {"SignHash null length", p_->SignHash(prov, hash, kAtSignature, 0, buffer, nullptr), kErrorInvalidParameter},
        {"VerifySignature bogus key", p_->VerifySignature(prov, hash, buffer, 128, bogus, 0), kNteBadKey},
        {"VerifySignature null", p_->VerifySignature(prov, hash, nullptr, 128, key, 0), kErrorInvalidParameter},
        {"Decrypt null", p_->Decrypt(prov, key, 0, true, 0, nullptr, &n), kErrorInvalidParameter},
        {"Encrypt null length", p_->Encrypt(prov, key, 0, true, 0, buffer, nullptr, 128), kErrorInvalidParameter},
        {"ExportKey null length", p_->ExportKey(prov, key, 0, kPublicKeyBlob, 0, buffer, nullptr),
         kErrorInvalidParameter},
        {"ImportKey null", p_->ImportKey(prov, nullptr, 10, 0, 0, &out), kErrorInvalidParameter},
        {"ImportKey short", p_->ImportKey(prov, buffer, 3, 0, 0, &out), kNteBadData},
        {"GenRandom null", p_->GenRandom(prov, 8, nullptr), kErrorInvalidParameter},
        {"CreateHash null", p_->CreateHash(prov, kCalgSha1, 0, 0, nullptr), kErrorInvalidParameter},
        {"CreateHash with key", p_->CreateHash(prov, kCalgSha1, key, 0, &out), kNteBadKey},
        {"GetHashParam type", p_->GetHashParam(prov, hash, 99, buffer, &n, 0), kNteBadType},
        {"SetHashParam null", p_->SetHashParam(prov, hash, kHpHashVal, nullptr, 0), kErrorInvalidParameter},
        {"DeriveKey", p_->DeriveKey(prov, 0x6801, hash, 0, &out), kNteBadAlgId},
        {"HashSessionKey", p_->HashSessionKey(prov, hash, key, 0), kNteBadKey},
        {"DuplicateHash", p_->DuplicateHash(prov, hash, nullptr, 0, &out), kNteNotSupported},
        {"DuplicateKey", p_->DuplicateKey(prov, key, nullptr, 0, &out), kNteNotSupported},
        {"DuplicateKey bogus", p_->DuplicateKey(prov, bogus, nullptr, 0, &out), kNteBadKey},
        {"SetKeyParam null", p_->SetKeyParam(prov, key, kKpCertificate, nullptr, 0), kErrorInvalidParameter},
        {"GetKeyParam type", p_->GetKeyParam(prov, key, 999, buffer, &n, 0), kNteBadType},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, c.rc) << c.what;
    EXPECT_EQ(0u, p_->ReleaseContext(prov, 0));
    EXPECT_EQ(kNteBadUid, p_->CreateHash(prov, kCalgSha1, 0, 0, &out)) << "released context";
}

}  // namespace
}  // namespace qx::csp
