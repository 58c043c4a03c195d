// Certificate import from PFX files and the container override, end to end:
// PFX files made by OpenSSL while the test runs (modern and legacy
// protection, RSA and SM2 keys, certificate-only), a fresh virtual token per
// test, the scripted dialogs and the user's certificate store.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cert_import.h"
#include "key_containers.h"
#include "tool_message_watch.h"
#include "qx/platform/cert_store.h"
#include "qx/platform/pfx.h"
#include "ui_token_fixture.h"

namespace qx::uiext::test {
namespace {

constexpr char kPassword[] = "pfx-pass";

// ---- PFX files ----
OSSL_LIB_CTX* maker_context() {
    static OSSL_LIB_CTX* ctx = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        OSSL_PROVIDER_load(c, "default");
        OSSL_PROVIDER_load(c, "legacy");
        return c;
    }();
    return ctx;
}

struct PfxSpec {
    const char* algorithm = "RSA";  // or "SM2"
    int bits = 1024;
    bool legacy = false;
    bool withKey = true;
    std::string commonName = "uix test";
};

struct Pfx {
    std::vector<uint8_t> file;
    std::vector<uint8_t> cert;
};

Pfx make_pfx(const PfxSpec& spec) {
    OSSL_LIB_CTX* ctx = maker_context();
    EVP_PKEY* key = std::strcmp(spec.algorithm, "RSA") == 0
                        ? EVP_PKEY_Q_keygen(ctx, nullptr, "RSA", static_cast<size_t>(spec.bits))
                        : EVP_PKEY_Q_keygen(ctx, nullptr, "SM2");
    // SM2 certificates are signed by an RSA issuer: only their key matters here.
    EVP_PKEY* signer = std::strcmp(spec.algorithm, "RSA") == 0 ? key : EVP_PKEY_Q_keygen(ctx, nullptr, "RSA", size_t{1024});
    X509* x = X509_new_ex(ctx, nullptr);
    X509_set_version(x, X509_VERSION_3);
    // A random serial: the system store (under Wine it outlives the test)
    // finds certificates by issuer and serial number.
    BIGNUM* bn = BN_new();
    BN_rand(bn, 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
    BN_free(bn);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(spec.commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
    X509_set_pubkey(x, key);
    X509_sign(x, signer, EVP_sha256());
    const int keyNid = spec.legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : 0;
    const int certNid = spec.legacy ? NID_pbe_WithSHA1And40BitRC2_CBC : 0;
    PKCS12* p12 = PKCS12_create_ex(kPassword, "uix", spec.withKey ? key : nullptr, x, nullptr, keyNid, certNid, 0, 0,
                                   0, ctx, nullptr);
    Pfx out;
    unsigned char* der = nullptr;
    int n = i2d_PKCS12(p12, &der);
    if (n > 0) out.file.assign(der, der + n);
    OPENSSL_free(der);
    der = nullptr;
    n = i2d_X509(x, &der);
    if (n > 0) out.cert.assign(der, der + n);
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(x);
    if (signer != key) EVP_PKEY_free(signer);
    EVP_PKEY_free(key);
    return out;
}

using ImportOp = uint32_t (*)(DeviceHandle, const QXUI_CHAR*, const PfxDataBlob*);
using OverRideOp = uint32_t (*)(DeviceHandle, uint32_t);

class CertImport : public UiTokenTest {
protected:
    uint32_t import(const Pfx& pfx, const std::string& container, const std::string& answers) {
        script(answers);
        const std::u16string name = u16(container);
        PfxDataBlob blob{static_cast<uint32_t>(pfx.file.size()), pfx.file.data()};
        return fn<ImportOp>("QXUIEx_ImportCert")(h_, ui_text(name), &blob);
    }
    std::string answers(const std::string& middle = "") { return std::string(kPassword) + "\n" + middle + kUser + "\n"; }

    // The containers of the token by name.
    std::vector<std::string> containers() {
        std::vector<std::string> names;
        auto enumerate = k<PFN_QXToken_EnumContainer>("QXToken_EnumContainer");
        auto name = k<PFN_QXToken_GetContainerName>("QXToken_GetContainerName");
        uint32_t position = 0;
        ContainerHandle c = nullptr;
        while (enumerate(h_, 255, &position, &c) == 0) {
            char text[260] = {};
            uint32_t length = sizeof text;
            name(c, text, &length);
            names.push_back(text);
        }
        return names;
    }
    // The certificate of the container's exchange key pair ("" when none) and its status.
    std::vector<uint8_t> certificate_of(const std::string& container, uint32_t* status = nullptr) {
        ContainerHandle c = nullptr;
        if (k<PFN_QXToken_OpenContainer>("QXToken_OpenContainer")(h_, container.c_str(), &c) != 0) return {};
        uint32_t index = 0, length = 0;
        std::vector<uint8_t> cert;
        if (status) k<PFN_QXToken_GetContainerStatus>("QXToken_GetContainerStatus")(c, status);
        if (k<PFN_QXToken_GetCertIndexFormContainer>("QXToken_GetCertIndexFormContainer")(c, 1, &index) == 0 &&
            k<PFN_QXToken_ReadCert>("QXToken_ReadCert")(h_, index, nullptr, &length) == 0) {
            cert.resize(length);
            k<PFN_QXToken_ReadCert>("QXToken_ReadCert")(h_, index, cert.data(), &length);
        }
        k<PFN_QXToken_CloseContainer>("QXToken_CloseContainer")(c);
        return cert;
    }
    bool registered(const std::vector<uint8_t>& cert, std::u16string* container = nullptr) {
        auto store = platform::CertStore::open("MY");
        platform::StoredCertificate found;
        if (!store || store->find(cert.data(), cert.size(), &found) != platform::StoreStatus::Ok) return false;
        if (found.der != cert) return false;
        if (container && found.keyProvider) *container = found.keyProvider->container;
        return true;
    }
    void create_empty_container(const std::string& name) {
        ContainerHandle c = nullptr;
        ASSERT_EQ(0u, k<PFN_QXToken_CreateContainer>("QXToken_CreateContainer")(h_, name.c_str(), 1, &c));
        k<PFN_QXToken_CloseContainer>("QXToken_CloseContainer")(c);
    }
};

TEST_F(CertImport, RsaKeysOfModernAndLegacyFilesGoIntoANewContainer) {
    const PfxSpec specs[] = {{"RSA", 1024, false}, {"RSA", 2048, true}};
    for (const auto& spec : specs) {
        SCOPED_TRACE(spec.bits);
        start();
        const std::vector<std::string> keysBefore = persisted_key_containers();
        auto tool = ToolMessageWatch::start(provider_of(name_) + "_QX_MANAGE_TOOL", scratch_directory("uix-tool"));
        const Pfx pfx = make_pfx(spec);
        ASSERT_FALSE(pfx.file.empty());
        ASSERT_EQ(0u, import(pfx, "imported", answers())) << transcript();
        EXPECT_EQ(1, tool->seen(1)) << "the key manager tool was told";
        EXPECT_TRUE(saw("ask Import certificate: Certificate password:")) << transcript();
        EXPECT_TRUE(saw("ask Verify PIN: User PIN:")) << transcript();
        uint32_t status = 0;
        EXPECT_EQ(pfx.cert, certificate_of("imported", &status));
        EXPECT_EQ(2u, status);
        std::u16string provider;
        EXPECT_TRUE(registered(pfx.cert, &provider));
        EXPECT_EQ(u"imported", provider);

        // The key on the token is the file's: it signs what the certificate verifies.
        ContainerHandle c = nullptr;
        ASSERT_EQ(0u, k<PFN_QXToken_OpenContainer>("QXToken_OpenContainer")(h_, "imported", &c));
        KeyHandle key = nullptr;
        ASSERT_EQ(0u, k<PFN_QXToken_GetAsymKeyFormContainer>("QXToken_GetAsymKeyFormContainer")(c, 1, &key));
        uint8_t hash[20] = {1, 2, 3}, sig[256] = {};
        uint32_t sigLength = sizeof sig;
        ASSERT_EQ(0u, verify_user());
        ASSERT_EQ(0u, k<PFN_QXToken_SignHash>("QXToken_SignHash")(key, 1, 4, hash, 20, sig, &sigLength));
        const unsigned char* p = pfx.cert.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(pfx.cert.size()));
        EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new(X509_get0_pubkey(x), nullptr);
        EVP_PKEY_verify_init(vctx);
        EVP_PKEY_CTX_set_rsa_padding(vctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(vctx, EVP_sha1());
        EXPECT_EQ(1, EVP_PKEY_verify(vctx, sig, sigLength, hash, 20));
        EVP_PKEY_CTX_free(vctx);
        X509_free(x);
        k<PFN_QXToken_CloseKey>("QXToken_CloseKey")(key);
        k<PFN_QXToken_CloseContainer>("QXToken_CloseContainer")(c);

        // The same file again: already on the token, nothing asked past the password.
        EXPECT_EQ(kCertAlreadyOnToken, import(pfx, "again", answers()));
        EXPECT_FALSE(saw("Verify PIN")) << transcript();
        EXPECT_EQ(std::vector<std::string>{"imported"}, containers());
        EXPECT_EQ(1, tool->seen(1));
        EXPECT_EQ(keysBefore, persisted_key_containers()) << "the system keeps no key of the file";
        kernel_->close(h_);
        h_ = nullptr;
        frame().release();
    }
}

TEST_F(CertImport, RefusedFilesLeaveTheTokenAsItWas) {
    start();
    const std::vector<std::string> keysBefore = persisted_key_containers();
    create_empty_container("keep-me");  // stale, but nothing may change
    const Pfx big = make_pfx({"RSA", 4096});
    EXPECT_EQ(kNteBadData, import(big, "big", answers()));
    EXPECT_FALSE(saw("Verify PIN")) << "refused before the PIN dialog";
    EXPECT_EQ(std::vector<std::string>{"keep-me"}, containers());

    PfxSpec certOnly;
    certOnly.withKey = false;
    const Pfx bare = make_pfx(certOnly);
    EXPECT_EQ(kImportBadArgument, import(bare, "bare", answers()));

    // A wrong password is asked again; cancelling ends the import.
    const Pfx good = make_pfx({});
    EXPECT_EQ(kImportBadArgument, import(good, "x", "wrong\n<cancel>\n"));
    const std::string seen = transcript();
    EXPECT_EQ(2, std::count(seen.begin(), seen.end(), '\n')) << seen;

    Pfx junk = good;
    junk.file.resize(40);
    EXPECT_EQ(kImportBadArgument, import(junk, "x", answers()));
    auto importCert = fn<ImportOp>("QXUIEx_ImportCert");
    PfxDataBlob blob{static_cast<uint32_t>(good.file.size()), good.file.data()};
    EXPECT_EQ(kImportBadArgument, importCert(h_, nullptr, &blob));
    EXPECT_EQ(kImportBadArgument, importCert(h_, ui_text(u"x"), nullptr));
    EXPECT_EQ(std::vector<std::string>{"keep-me"}, containers());
    EXPECT_EQ(keysBefore, persisted_key_containers()) << "the system keeps no key of the files";
}

TEST_F(CertImport, StaleContainersGoEvenWhenTheImportFailsLater) {
    start();
    create_empty_container("stale-1");
    create_empty_container("stale-2");
    const Pfx pfx = make_pfx({});
    // The PIN dialog is cancelled after the stale containers went.
    EXPECT_EQ(kNteFail, import(pfx, "fresh", std::string(kPassword) + "\n<cancel>\n"));
    EXPECT_EQ(std::vector<std::string>{"fresh"}, containers());
    EXPECT_TRUE(certificate_of("fresh").empty());
    // The next import removes the unfinished one too.
    ASSERT_EQ(0u, import(pfx, "done", answers())) << transcript();
    EXPECT_EQ(std::vector<std::string>{"done"}, containers());
}

TEST_F(CertImport, FullTableWithOneContainerLosesItWithoutAQuestion) {
    start("MaxContainerCount = 1\r\n");
    const Pfx first = make_pfx({"RSA", 1024, false, true, "first"});
    const Pfx second = make_pfx({"RSA", 1024, false, true, "second"});
    ASSERT_EQ(0u, import(first, "c1", answers())) << transcript();
    ASSERT_TRUE(registered(first.cert));
    ASSERT_EQ(0u, import(second, "c2", answers())) << transcript();
    EXPECT_FALSE(saw("confirm")) << transcript();
    EXPECT_EQ(std::vector<std::string>{"c2"}, containers());
    EXPECT_EQ(second.cert, certificate_of("c2"));
    EXPECT_FALSE(registered(first.cert)) << "unregistered with its container";
}

TEST_F(CertImport, FullTableWithSeveralContainersLetsThePersonChoose) {
    start("MaxContainerCount = 2\r\n");
    const Pfx a = make_pfx({"RSA", 1024, false, true, "a"});
    const Pfx b = make_pfx({"RSA", 1024, false, true, "b"});
    const Pfx c = make_pfx({"RSA", 1024, false, true, "c"});
    ASSERT_EQ(0u, import(a, "c1", answers()));
    ASSERT_EQ(0u, import(b, "c2", answers()));

    EXPECT_EQ(kNteFail, import(c, "c3", std::string(kPassword) + "\n2\nno\n"));
    EXPECT_TRUE(saw("choose Select a container: c1|c2\n")) << transcript();
    EXPECT_TRUE(saw("confirm Select a container: The container \"c2\" already holds keys. Replace them?\n"))
        << transcript();
    EXPECT_EQ((std::vector<std::string>{"c1", "c2"}), containers());

    const std::u16string chs = u16(dir_ + "Languages/language_chs.ini");
    ASSERT_EQ(0u, fn<uint32_t (*)(const QXUI_CHAR*)>("QXUIEx_SetSysLangPath")(ui_text(chs)));
    EXPECT_EQ(kNteFail, import(c, "c3", std::string(kPassword) + "\n1\nno\n"));
    EXPECT_TRUE(saw("confirm 选择容器: 容器“c1”中已有密钥，是否覆盖？\n")) << transcript();
    const std::u16string enu = u16(dir_ + "Languages/language_enu.ini");
    ASSERT_EQ(0u, fn<uint32_t (*)(const QXUI_CHAR*)>("QXUIEx_SetSysLangPath")(ui_text(enu)));

    ASSERT_EQ(0u, import(c, "c3", answers("2\nyes\n"))) << transcript();
    EXPECT_EQ((std::vector<std::string>{"c1", "c3"}), containers());
    EXPECT_FALSE(registered(b.cert));
    EXPECT_TRUE(registered(a.cert));
    EXPECT_EQ(c.cert, certificate_of("c3"));
}

TEST_F(CertImport, OverrideMarksOrDeletesTheOnlyContainer) {
    start();
    auto over = fn<OverRideOp>("QXUIEx_OverRideContainer");
    EXPECT_EQ(ERR_NO_CONTAINER, over(h_, 1));
    EXPECT_EQ(ERR_INVALID_PARAM, over(nullptr, 1));
    const Pfx pfx = make_pfx({});
    ASSERT_EQ(0u, import(pfx, "only", answers()));
    script("");
    EXPECT_EQ(0u, over(h_, 0));
    uint32_t status = 0;
    EXPECT_EQ(pfx.cert, certificate_of("only", &status));
    EXPECT_EQ(5u, status) << "given up, kept";
    auto tool = ToolMessageWatch::start(provider_of(name_) + "_QX_MANAGE_TOOL", scratch_directory("uix-tool"));
    EXPECT_EQ(0u, over(h_, 1));
    EXPECT_EQ(1, tool->seen(1)) << "told of the deleted container";
    EXPECT_TRUE(containers().empty());
    EXPECT_FALSE(registered(pfx.cert));
}

TEST_F(CertImport, Sm2KeyImportsAsAnExchangeKey) {
    const Pfx pfx = make_pfx({"SM2"});
    ASSERT_FALSE(pfx.file.empty());
    if (!platform::PfxFile::open(pfx.file.data(), pfx.file.size(), u16(kPassword)))
        GTEST_SKIP() << "the system's PFX service cannot read SM2 files";
    start();
    ASSERT_EQ(0u, import(pfx, "sm2", answers())) << transcript();
    EXPECT_EQ(pfx.cert, certificate_of("sm2"));
    ContainerHandle c = nullptr;
    ASSERT_EQ(0u, k<PFN_QXToken_OpenContainer>("QXToken_OpenContainer")(h_, "sm2", &c));
    KeyHandle key = nullptr;
    ASSERT_EQ(0u, k<PFN_QXToken_GetAsymKeyFormContainer>("QXToken_GetAsymKeyFormContainer")(c, 1, &key));
    // The public key on the token is the certificate's.
    uint8_t block[132] = {};
    uint32_t length = sizeof block;
    ASSERT_EQ(0u, k<PFN_QXToken_GetKeyBuffer>("QXToken_GetKeyBuffer")(h_, key, block, &length));
    const unsigned char* p = pfx.cert.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(pfx.cert.size()));
    uint8_t point[65] = {};
    std::size_t pointLength = 0;
    EVP_PKEY_get_octet_string_param(X509_get0_pubkey(x), "encoded-pub-key", point, sizeof point, &pointLength);
    ASSERT_EQ(65u, pointLength);
    EXPECT_EQ(0, std::memcmp(block + 4 + 32, point + 1, 32));
    EXPECT_EQ(0, std::memcmp(block + 4 + 64 + 32, point + 33, 32));
    X509_free(x);
    k<PFN_QXToken_CloseKey>("QXToken_CloseKey")(key);
    k<PFN_QXToken_CloseContainer>("QXToken_CloseContainer")(c);
}

// The PFX service alone: keys the system persists while a file is open
// (Windows) are gone once the file object is; the export is the file's key.
TEST(PfxService, PersistedKeysLiveOnlyAsLongAsTheFile) {
    const Pfx pfx = make_pfx({"RSA", 1024, true});
    const std::vector<std::string> before = persisted_key_containers();
    {
        auto file = platform::PfxFile::open(pfx.file.data(), pfx.file.size(), u16(kPassword));
        ASSERT_NE(nullptr, file);
        EXPECT_EQ(nullptr, platform::PfxFile::open(pfx.file.data(), pfx.file.size(), u"wrong"));
        ASSERT_EQ(1u, file->count());
        EXPECT_EQ(pfx.cert, file->certificate(0));
        ASSERT_TRUE(file->has_private_key(0));
        platform::PfxKeyPair pair;
        ASSERT_TRUE(file->export_key(0, &pair));
        EXPECT_EQ(1u, pair.keySpec);
        EXPECT_EQ(0u, CheckKeyBlobs(pair.publicBlob, pair.privateBlob.bytes()));
        EXPECT_GE(persisted_key_containers().size(), before.size());
    }
    EXPECT_EQ(before, persisted_key_containers());

    // Damaged files are refused or read, never over-read (ASan) or crash.
    for (std::size_t i = 0; i < 64; ++i) {
        std::vector<uint8_t> damaged = pfx.file;
        damaged[i * damaged.size() / 64] ^= 0x5A;
        auto file = platform::PfxFile::open(damaged.data(), damaged.size(), u16(kPassword));
        platform::PfxKeyPair pair;
        if (file && file->count() > 0 && file->has_private_key(0)) file->export_key(0, &pair);
        std::vector<uint8_t> cut(pfx.file.begin(), pfx.file.begin() + static_cast<long>(i * pfx.file.size() / 64));
        EXPECT_EQ(nullptr, platform::PfxFile::open(cut.data(), cut.size(), u16(kPassword)));
    }
    EXPECT_EQ(before, persisted_key_containers());
}

// ---- the blob checks, without a token ----
std::vector<uint8_t> rsa_blob(uint8_t type, uint32_t bits, uint32_t algorithm = 0xA400, uint8_t version = 2) {
    std::vector<uint8_t> b = {type, version, 0, 0};
    auto le = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    le(algorithm);
    le(type == 7 ? 0x32415352u : 0x31415352u);
    le(bits);
    le(65537);
    const std::size_t numbers = type == 7 ? bits / 8 * 2 + bits / 16 * 5 : bits / 8;
    for (std::size_t i = 0; i < numbers; ++i) b.push_back(static_cast<uint8_t>(i + 1));
    return b;
}

TEST(KeyBlobs, OnlyVersionTwoKeysOfTheTableFitTheTokensFields) {
    struct Case {
        const char* what;
        std::vector<uint8_t> pub, priv;
        uint32_t status;
    };
    std::vector<uint8_t> shortPriv = rsa_blob(7, 1024);
    shortPriv.pop_back();
    const Case cases[] = {
        {"RSA 1024", rsa_blob(6, 1024), rsa_blob(7, 1024), 0},
        {"RSA 2048 signature", rsa_blob(6, 2048, 0x2400), rsa_blob(7, 2048, 0x2400), 0},
        {"RSA 4096", rsa_blob(6, 4096), rsa_blob(7, 4096), kNteBadData},
        {"public 4096, private 2048", rsa_blob(6, 4096), rsa_blob(7, 2048), kNteBadData},
        {"RSA 1536", rsa_blob(6, 1536), rsa_blob(7, 1536), kNteBadData},
        {"short private blob", rsa_blob(6, 1024), shortPriv, kNteBadData},
        {"version 3", rsa_blob(6, 1024, 0xA400, 3), rsa_blob(7, 1024, 0xA400, 3), kNteBadVersion},
        {"unknown algorithm", rsa_blob(6, 1024, 0x6610), rsa_blob(7, 1024, 0x6610), kNteBadData},
        {"types swapped", rsa_blob(7, 1024), rsa_blob(6, 1024), kNteBadData},
        {"no blob", {}, rsa_blob(7, 1024), kNoBlob},
    };
    for (const auto& c : cases) EXPECT_EQ(c.status, CheckKeyBlobs(c.pub, c.priv)) << c.what;
}

TEST(KeyBlobs, NumbersAreReversedIntoRightAlignedBigEndianFields) {
    const std::vector<uint8_t> priv = rsa_blob(7, 1024);
    KernelKeyBlock block;
    ASSERT_EQ(0u, BuildKeyBlock(priv, &block));
    ASSERT_EQ(1412u, block.bytes.size());
    EXPECT_EQ(0x20000u, block.algorithm);
    EXPECT_EQ(1u, block.keySpec);
    const uint8_t* b = block.bytes.data();
    // bits, then modulus[256]: the blob's first modulus byte is the field's last.
    EXPECT_EQ(1024u, b[0] | (b[1] << 8));
    EXPECT_EQ(priv[20], b[4 + 255]);
    EXPECT_EQ(priv[20 + 127], b[4 + 128]);
    EXPECT_EQ(0, b[4 + 127]);
    // publicExponent[256]: 65537 in the last four bytes.
    EXPECT_EQ(0x01, b[4 + 256 + 253]);
    EXPECT_EQ(0x01, b[4 + 256 + 255]);
    // privateExponent[256] comes last in the blob; prime p follows the modulus.
    EXPECT_EQ(priv[20 + 128 + 64 * 5], b[4 + 512 + 255]);
    EXPECT_EQ(priv[20 + 128], b[4 + 768 + 127]);

    std::vector<uint8_t> sm2 = {7, 2, 0, 0, 0x00, 0xBE, 0, 0, 0, 1, 0, 0};
    for (int i = 0; i < 64; ++i) sm2.push_back(i < 32 ? static_cast<uint8_t>(i + 1) : 0);
    KernelKeyBlock d;
    ASSERT_EQ(0u, BuildKeyBlock(sm2, &d));
    ASSERT_EQ(68u, d.bytes.size());
    EXPECT_EQ(0x10000u, d.algorithm);
    EXPECT_EQ(1, d.bytes[4 + 63]);
    EXPECT_EQ(32, d.bytes[4 + 32]);
    EXPECT_EQ(0, d.bytes[4 + 31]);
}

}  // namespace
}  // namespace qx::uiext::test
