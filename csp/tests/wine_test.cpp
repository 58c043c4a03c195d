// The provider as Windows applications reach it, through advapi32 and crypt32
// (under Wine in the test run), on fresh virtual tokens with the scripted
// dialog library: registration, a certificate of the token found in "MY" by
// another process and used for signing, CryptSignMessage with one token
// signature for its two passes, deciphering, keysets made and deleted, PINs,
// a token pulled out, and bad arguments.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "QXTokenKernel.h"
#include "QXTokenStatus.h"
#include "csp_test_support.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "support/kernel_fixture.h"
#include "tests/support/qx_test_main.h"
#include "token_env.h"

namespace {

using namespace qx::kernel::test;
using qx::platform::module_file_name;

constexpr char kUserPin[] = "123456";
constexpr char kSoPin[] = "87654321";
constexpr DWORD kCancelled = 0x8010006E, kWrongChv = 0x8010006B, kSilentContext = 0x80090022,
                kRemoved = 0x80100069, kNoCard = 0x8010000C;

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Sets the scripted dialogs' answers in this process.
// (Each test's installation has its own copy, loaded once and kept.)
void script(const std::string& dir, const std::string& lines) {
    static std::map<std::string, std::unique_ptr<qx::platform::Module>> dialogs;
    auto& m = dialogs[dir];
    if (!m) m = std::make_unique<qx::platform::Module>(dir + module_file_name("QXUI"));
    m->function<void (*)(const char*)>("QXUIScript_Set")(lines.c_str());
}

// The provider's installation: QXCSP beside the kernel, the UI extension,
// the scripted dialogs, the language files and a Config.ini whose kernel
// trace counts the signing calls.
std::string install(const std::string& name) {
    const std::string dir = install_kernel(name);
    const std::string bin = binary_directory();
    const auto overwrite = std::filesystem::copy_options::overwrite_existing;
    for (const char* m : {"QXCSP", "QXUIExtend"})
        std::filesystem::copy_file(bin + module_file_name(m), dir + module_file_name(m), overwrite);
    std::filesystem::copy_file(bin + "scripted-ui/" + module_file_name("QXUI"), dir + module_file_name("QXUI"),
                               overwrite);
    std::filesystem::create_directories(dir + "Languages");
    std::filesystem::copy_file(std::string(QX_LANGUAGE_SOURCE_DIR) + "/language_enu.ini",
                               dir + "Languages/language_enu.ini", overwrite);
    write_bytes(dir + "Config.ini",
                plain_ini("[QXTokenInfo]\r\nCSPName = " + provider_of(name) + "\r\nDebug = 256\r\nLogFile = " + dir +
                          "kernel.log\r\n[DeviceInfo]\r\n" + kChannelWords +
                          "[PIN]\r\nRetryTimes = 3\r\nMaxPinLen = 16\r\nMinPinLen = 1\r\nRequireDigit = 2\r\n"
                          "RequireAlphabetic = 2\r\nRequireSpecial = 2\r\nRequireComplex = 0\r\n"
                          "[LanguageDefaultSetting]\r\nlanguage = English\r\n"
                          "[InitKeypairsNum]\r\nRSA1024 = 4\r\nRSA2048 = 2\r\n"));
    return dir;
}

PCCERT_CONTEXT find_in_my(const std::string& commonName) {
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    if (!my) return nullptr;
    PCCERT_CONTEXT found = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A,
                                                      commonName.c_str(), nullptr);
    CertCloseStore(my, 0);
    return found;
}

Bytes sign_with(HCRYPTPROV prov, DWORD spec, ALG_ID alg, const Bytes& data) {
    HCRYPTHASH h = 0;
    if (!CryptCreateHash(prov, alg, 0, 0, &h)) return {};
    Bytes sig;
    DWORD n = 0;
    if (CryptHashData(h, data.data(), static_cast<DWORD>(data.size()), 0) &&
        CryptSignHashA(h, spec, nullptr, 0, nullptr, &n)) {
        sig.resize(n);
        if (!CryptSignHashA(h, spec, nullptr, 0, sig.data(), &n)) sig.clear();
    }
    const DWORD error = GetLastError();
    CryptDestroyHash(h);
    SetLastError(error);
    return sig;
}

// Another process finds the certificate in "MY", follows its key-provider
// property to the provider and signs with SHA-1 and SHA-256.
QX_TEST_CHILD(csp_sign_from_store) {
    const std::string dir = args.at(0), cn = args.at(1), out = args.at(2);
    script(dir, std::string(kUserPin) + "\n");
    PCCERT_CONTEXT cert = find_in_my(cn);
    if (!cert) return 2;
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    BOOL mustFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &spec, &mustFree)) return 3;
    std::ofstream file(out, std::ios::binary);
    for (ALG_ID alg : {CALG_SHA1, CALG_SHA_256}) {
        const Bytes sig = sign_with(prov, spec, alg, bytes("signed in another process"));
        if (sig.empty()) return 4;
        const uint32_t n = static_cast<uint32_t>(sig.size());
        file.write(reinterpret_cast<const char*>(&n), 4);
        file.write(reinterpret_cast<const char*>(sig.data()), n);
    }
    if (mustFree) CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(cert);
    return 0;
}

class CspWine : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        name_ = "cspw" + std::to_string(++counter_);
        device_ = create_blank_token(name_);
        dir_ = install(name_);
        provider_ = provider_of(name_);
        Kernel k(dir_);
        auto init = k.module.function<PFN_QXToken_InitToken>("QXToken_InitToken");
        DeviceHandle h = nullptr;
        k.openDezo(device_.c_str(), &h);
        ASSERT_NE(nullptr, h);
        ASSERT_EQ(ERR_OK, init(h, kUserPin, 6, kSoPin, 8, reinterpret_cast<const uint8_t*>("T"), 1));
        k.close(h);
        csp_ = std::make_unique<qx::platform::Module>(dir_ + module_file_name("QXCSP"));
        ASSERT_TRUE(*csp_);
        ASSERT_EQ(S_OK, csp_->function<HRESULT(WINAPI*)()>("DllRegisterServer")());
    }
    void TearDown() override {
        if (csp_ && *csp_) csp_->function<HRESULT(WINAPI*)()>("DllUnregisterServer")();
    }
    HCRYPTPROV acquire(const char* container, DWORD flags, DWORD* error = nullptr) {
        HCRYPTPROV prov = 0;
        const BOOL ok = CryptAcquireContextA(&prov, container, provider_.c_str(), PROV_RSA_FULL, flags);
        if (error) *error = ok ? 0 : GetLastError();
        return ok ? prov : 0;
    }
    Bytes export_public(HCRYPTKEY key) {
        DWORD n = 0;
        EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &n));
        Bytes blob(n);
        EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &n));
        blob.resize(n);
        return blob;
    }
    // A keyset with a key pair and its certificate, as the PIN dialog allows.
    Bytes keyset_with_certificate(const char* container, DWORD spec, const std::string& cn, void** pub) {
        script(dir_, std::string(kUserPin) + "\n");
        HCRYPTPROV prov = acquire(container, CRYPT_NEWKEYSET);
        EXPECT_NE(0u, prov) << std::hex << GetLastError();
        HCRYPTKEY key = 0;
        EXPECT_TRUE(CryptGenKey(prov, spec, 1024u << 16, &key)) << std::hex << GetLastError();
        *pub = qx::csp::test::key_from_public_blob(export_public(key));
        const Bytes cert = qx::csp::test::certificate_for(*pub, cn);
        EXPECT_TRUE(CryptSetKeyParam(key, KP_CERTIFICATE, cert.data(), 0)) << std::hex << GetLastError();
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
        return cert;
    }
    std::string signing_calls() { return std::to_string(count(read_all(dir_ + "kernel.log"), "Enter QXToken_SignHash")); }

    static inline int counter_ = 0;
    std::string name_, device_, dir_, provider_;
    std::unique_ptr<qx::platform::Module> csp_;
};

TEST_F(CspWine, RegistrationWritesTheProviderEntry) {
    const std::string key = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + provider_;
    char path[MAX_PATH] = {};
    DWORD n = sizeof path, type = 0, value = 99;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "Image Path", RRF_RT_REG_SZ, nullptr, path, &n));
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(path), std::filesystem::path(dir_ + "QXCSP.dll")))
        << path;
    EXPECT_NE(std::string::npos, std::string(path).find(':')) << "an absolute path";
    n = sizeof value;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "Type", RRF_RT_REG_DWORD, &type, &value, &n));
    EXPECT_EQ(1u, value);
    n = sizeof value;
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "SigInFile", RRF_RT_REG_DWORD, nullptr, &value, &n));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(S_OK, csp_->function<HRESULT(WINAPI*)()>("DllUnregisterServer")());
    HKEY h = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h));
    EXPECT_EQ(S_OK, csp_->function<HRESULT(WINAPI*)()>("DllUnregisterServer")()) << "nothing left to remove";
    ASSERT_EQ(S_OK, csp_->function<HRESULT(WINAPI*)()>("DllRegisterServer")());
}

TEST_F(CspWine, ApplicationsSignThroughTheStoreAndCryptSignMessageSignsOnce) {
    void* pub = nullptr;
    const std::string cn = "CSP Wine signer " + name_ + " " + std::to_string(GetCurrentProcessId());
    const Bytes cert = keyset_with_certificate("signer", AT_SIGNATURE, cn, &pub);
    ASSERT_NE(nullptr, pub);

    // Another process: store, key-provider property, provider, signatures.
    const std::string out = dir_ + "signatures.bin";
    auto child = qx::platform::ChildProcess::spawn(qx::test::child_command("csp_sign_from_store", {dir_, cn, out}));
    ASSERT_NE(nullptr, child);
    ASSERT_EQ(0, child->wait());
    const std::string sigs = read_all(out);
    std::size_t at = 0;
    for (const char* digest : {"SHA1", "SHA256"}) {
        ASSERT_LE(at + 4, sigs.size());
        uint32_t n = 0;
        std::memcpy(&n, sigs.data() + at, 4);
        const Bytes sig(sigs.begin() + at + 4, sigs.begin() + at + 4 + n);
        at += 4 + n;
        EXPECT_TRUE(qx::csp::test::verify_reversed(pub, digest, bytes("signed in another process"), sig)) << digest;
    }

    // CryptSignMessage: a PKCS #7 OpenSSL accepts, from one token signature.
    PCCERT_CONTEXT context = find_in_my(cn);
    ASSERT_NE(nullptr, context);
    CRYPT_SIGN_MESSAGE_PARA para = {};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = context;
    para.HashAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_SHA256RSA);
    para.cMsgCert = 1;
    para.rgpMsgCert = &context;
    const Bytes message = bytes("a message signed by the token");
    const BYTE* parts[] = {message.data()};
    DWORD partLengths[] = {static_cast<DWORD>(message.size())};
    const std::string before = signing_calls();
    DWORD n = 0;
    script(dir_, std::string(kUserPin) + "\n");
    ASSERT_TRUE(CryptSignMessage(&para, TRUE, 1, parts, partLengths, nullptr, &n)) << std::hex << GetLastError();
    Bytes pkcs7(n);
    ASSERT_TRUE(CryptSignMessage(&para, TRUE, 1, parts, partLengths, pkcs7.data(), &n)) << std::hex << GetLastError();
    pkcs7.resize(n);
    EXPECT_EQ(std::to_string(std::stoul(before) + 1), signing_calls()) << "one token signature for the two passes";
    CertFreeCertificateContext(context);

    BIO* in = BIO_new_mem_buf(pkcs7.data(), static_cast<int>(pkcs7.size()));
    PKCS7* p7 = d2i_PKCS7_bio(in, nullptr);
    ASSERT_NE(nullptr, p7);
    BIO* content = BIO_new_mem_buf(message.data(), static_cast<int>(message.size()));
    EXPECT_EQ(1, PKCS7_verify(p7, nullptr, nullptr, content, nullptr, PKCS7_NOVERIFY | PKCS7_BINARY));
    PKCS7_free(p7);
    BIO_free(content);
    BIO_free(in);
    qx::csp::test::free_key(pub);

    // The keyset goes with its registration.
    HCRYPTPROV gone = 0;
    ASSERT_TRUE(CryptAcquireContextA(&gone, "signer", provider_.c_str(), PROV_RSA_FULL, CRYPT_DELETEKEYSET))
        << std::hex << GetLastError();
    EXPECT_EQ(nullptr, find_in_my(cn));
    DWORD error = 0;
    EXPECT_EQ(0u, acquire("signer", 0, &error));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), error);
}

TEST_F(CspWine, DecryptsWhatOpenSslEncryptedToTheCertificate) {
    void* pub = nullptr;
    const std::string cn = "CSP Wine exchange " + name_ + " " + std::to_string(GetCurrentProcessId());
    keyset_with_certificate("exchange", AT_KEYEXCHANGE, cn, &pub);
    PCCERT_CONTEXT cert = find_in_my(cn);
    ASSERT_NE(nullptr, cert);
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    BOOL mustFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &spec, &mustFree));
    EXPECT_EQ(static_cast<DWORD>(AT_KEYEXCHANGE), spec);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    const Bytes secret = bytes("for the token's eyes only");
    Bytes data = qx::csp::test::encrypt_to(pub, secret);
    std::reverse(data.begin(), data.end());
    DWORD n = static_cast<DWORD>(data.size());
    script(dir_, std::string(kUserPin) + "\n");
    ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &n)) << std::hex << GetLastError();
    EXPECT_EQ(secret, Bytes(data.begin(), data.begin() + n));
    DWORD length = 0;
    EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &length));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY_STATE), GetLastError());
    CryptDestroyKey(key);
    if (mustFree) CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(cert);
    qx::csp::test::free_key(pub);
    // The user's store keeps nothing of the test.
    HCRYPTPROV gone = 0;
    EXPECT_TRUE(CryptAcquireContextA(&gone, "exchange", provider_.c_str(), PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(nullptr, find_in_my(cn));
}

TEST_F(CspWine, PinsMissingTokensAndBadArguments) {
    DWORD error = 0;
    script(dir_, "");
    EXPECT_EQ(0u, acquire("pins", CRYPT_NEWKEYSET | CRYPT_SILENT, &error));
    EXPECT_EQ(kSilentContext, error);
    script(dir_, "<cancel>\n");
    EXPECT_EQ(0u, acquire("pins", CRYPT_NEWKEYSET, &error));
    EXPECT_EQ(kCancelled, error);
    script(dir_, "111111\n<cancel>\n");
    EXPECT_EQ(0u, acquire("pins", CRYPT_NEWKEYSET, &error));
    EXPECT_EQ(kWrongChv, error);
    script(dir_, std::string(kUserPin) + "\n");
    HCRYPTPROV prov = acquire("pins", CRYPT_NEWKEYSET, &error);
    ASSERT_NE(0u, prov) << std::hex << error;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
    EXPECT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0));

    char name[300];
    DWORD n = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &n, 0));
    EXPECT_EQ(provider_, name);
    EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), nullptr, 0));
    HCRYPTHASH h = 0;
    EXPECT_FALSE(CryptCreateHash(prov, CALG_SHA1, 0, 0, nullptr));
    EXPECT_FALSE(CryptCreateHash(prov, 0x6610, 0, 0, &h));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
    BYTE random[16];
    EXPECT_TRUE(CryptGenRandom(prov, sizeof random, random));

    // Pulled out between acquiring and signing; then missing altogether.
    set_plugged(name_, false);
    EXPECT_TRUE(sign_with(prov, AT_SIGNATURE, CALG_SHA1, bytes("x")).empty());
    EXPECT_EQ(kRemoved, GetLastError());
    EXPECT_EQ(0u, acquire("pins", 0, &error));
    EXPECT_EQ(kNoCard, error);
    set_plugged(name_, true);
    HCRYPTPROV again = acquire("pins", 0, &error);
    ASSERT_NE(0u, again) << std::hex << error;
    script(dir_, std::string(kUserPin) + "\n");
    EXPECT_EQ(128u, sign_with(again, AT_SIGNATURE, CALG_SHA_256, bytes("x")).size()) << std::hex << GetLastError();
    CryptDestroyKey(key);
    CryptReleaseContext(again, 0);
    CryptReleaseContext(prov, 0);
}

}  // namespace
