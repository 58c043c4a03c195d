// The certificate table over a fake kernel table: listing order, skipped key
// specifications, any number of certificates, deleting only on the listed
// device, the confirmation text; and what the page shows of a certificate.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "QXTokenStatus.h"
#include "cert_table.h"
#include "fake_kernel.h"
#include "monitor.h"
#include "qx/platform/system.h"
#include "tests/support/scratch.h"

namespace qx::manager {
namespace {

using test::FakeContainer;
using test::FakeKernel;

std::vector<uint8_t> make_certificate(const std::string& subject, const std::string& issuer,
                                      const char* notBefore = "20240102030405Z",
                                      const char* notAfter = "20341231235959Z", bool utf8 = false) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_NAME* s = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(s, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quorvantix"), -1, -1, 0);
    if (!subject.empty())
        X509_NAME_add_entry_by_txt(s, "CN", utf8 ? MBSTRING_UTF8 : MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(subject.c_str()), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(issuer.c_str()), -1, -1, 0);
    ASN1_TIME_set_string_X509(X509_getm_notBefore(x), notBefore);
    ASN1_TIME_set_string_X509(X509_getm_notAfter(x), notAfter);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int n = i2d_X509(x, &der);
    std::vector<uint8_t> out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    X509_free(x);
    EVP_PKEY_free(key);
    return out;
}

TEST(ManagerCertSummary, NamesAndValidityOfACertificate) {
    const auto der = make_certificate("Alice", "Test CA");
    auto s = summarize_certificate(der.data(), der.size());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->subjectCommonName, u"Alice");
    EXPECT_EQ(s->subject, u"Alice");
    EXPECT_EQ(s->issuer, u"Test CA");
    EXPECT_EQ(validity_text(*s), u"2024/1/2-2034/12/31");
    // UTF-8 names, GeneralizedTime after 2049, no common name.
    const auto other = make_certificate("\xE5\xBC\xA0\xE4\xB8\x89", "CA", "20500101000000Z", "20600101000000Z", true);
    s = summarize_certificate(other.data(), other.size());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->subjectCommonName, u"\u5F20\u4E09");
    EXPECT_EQ(s->notBefore.year, 2050);
    const auto noCn = make_certificate("", "CA");
    s = summarize_certificate(noCn.data(), noCn.size());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->subjectCommonName, u"");
    EXPECT_EQ(s->subject, u"Quorvantix");
    // Truncated or foreign bytes are no certificate.
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{10}, der.size() / 2, der.size() - 1})
        EXPECT_FALSE(summarize_certificate(der.data(), cut)) << cut;
    const uint8_t junk[] = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02};
    EXPECT_FALSE(summarize_certificate(junk, sizeof junk));
}

TEST(ManagerCertText, ConfirmationFillsOnlyTheFirstPlaceholder) {
    EXPECT_EQ(fill_first_placeholder(u"Delete \"%s\"?", u"Alice"), u"Delete \"Alice\"?");
    EXPECT_EQ(fill_first_placeholder(u"%n%s %s %d %x", u"A%sB"), u"%nA%sB %s %d %x");
    EXPECT_EQ(fill_first_placeholder(u"no placeholder", u"A"), u"no placeholder");
    EXPECT_TRUE(is_pfx_path(u"C:\\Keys\\ALICE.PFX"));
    EXPECT_TRUE(is_pfx_path(u"/home/a/b.P12"));
    EXPECT_FALSE(is_pfx_path(u"/home/a/b.cer"));
}

TEST(ManagerCertImport, FilesOverOneMebibyteEmptyOrNotPfxAreRefused) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qx-pfx-limit-" + std::to_string(qx::platform::process_id()));
    std::filesystem::create_directories(dir);
    qx::test::remove_tree_at_exit(dir.string());
    auto file = [&](const char* name, std::size_t size) {
        const auto p = dir / name;
        std::ofstream(p, std::ios::binary) << std::string(size, '0');
        return p.u16string();
    };
    const auto limit = file("limit.pfx", kPfxImportLimit);
    ASSERT_TRUE(read_pfx_for_import(limit));
    EXPECT_EQ(read_pfx_for_import(limit)->size(), kPfxImportLimit);
    EXPECT_FALSE(read_pfx_for_import(file("over.p12", kPfxImportLimit + 1)));
    EXPECT_FALSE(read_pfx_for_import(file("empty.pfx", 0)));
    EXPECT_FALSE(read_pfx_for_import(file("small.cer", 16)));
    EXPECT_FALSE(read_pfx_for_import((dir / "missing.pfx").u16string()));
}

class CertTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        kernel.tokens = {{"a", 0, "a"}, {"b", 1, "b"}};
        api = kernel.api();
        current.set_kernel(&api);
        api.OpenDeviceByHandle(kernel.handle_of(0));
        current.replace(kernel.handle_of(0), "a");
    }
    void TearDown() override { current.forget(); }
    void container(const std::string& name, std::map<uint32_t, uint32_t> certs) {
        kernel.containers.push_back({name, certs});
        for (auto [spec, slot] : certs)
            kernel.certificates[slot] = make_certificate(name + "-" + std::to_string(spec), "CA");
    }
    FakeKernel kernel;
    KernelApi api{};
    CurrentDevice current;
    CertTable table;
};

TEST_F(CertTableTest, ExchangeBeforeSignatureSkippingMissingOnesAndRegisteringEach) {
    container("both", {{2, 5}, {1, 4}});
    container("none", {});
    container("sign", {{2, 9}});
    EXPECT_EQ(table.refresh(api, current), 1u);
    auto l = table.listing();
    ASSERT_EQ(l->records.size(), 3u);
    EXPECT_EQ(l->records[0].keySpec, 1);
    EXPECT_EQ(l->records[0].index, 4u);
    EXPECT_EQ(l->records[0].commonName, u"both-1");
    EXPECT_EQ(l->records[1].keySpec, 2);
    EXPECT_EQ(l->records[2].containerName, "sign");
    ASSERT_EQ(kernel.registered.size(), 3u);
    EXPECT_EQ(kernel.registered[1].container, "both");
    EXPECT_EQ(kernel.registered[1].keySpec, 2u);
    EXPECT_EQ(kernel.externalAuths, 1);

    // Another failure ends the listing: the result is 0.
    kernel.containers[1].indexFailure = ERR_INVALID_PARAM;
    EXPECT_EQ(table.refresh(api, current), 0u);
    EXPECT_EQ(table.listing()->records.size(), 2u);

    // Without a device the table is empty.
    current.forget();
    EXPECT_EQ(table.refresh(api, current), 0u);
    EXPECT_TRUE(table.listing()->records.empty());
    EXPECT_FALSE(table.listing()->hasDevice);
}

TEST_F(CertTableTest, TwelveCertificatesAllListed) {
    for (uint32_t i = 0; i < 6; ++i) container("c" + std::to_string(i), {{1, 2 * i + 1}, {2, 2 * i + 2}});
    EXPECT_EQ(table.refresh(api, current), 1u);
    const auto l = table.listing();
    ASSERT_EQ(l->records.size(), 12u);
    EXPECT_EQ(l->records[11].commonName, u"c5-2");
}

TEST_F(CertTableTest, ButtonsActOnTheSelectedRowOfTheListedDevice) {
    container("c", {{1, 3}});
    table.refresh(api, current);
    EXPECT_EQ(table.register_row(api, std::nullopt), CertAction::selectCert);
    EXPECT_EQ(table.unregister_row(api, 5), CertAction::selectCert);
    EXPECT_EQ(table.unregister_row(api, 0), CertAction::success);
    EXPECT_STREQ(cert_action_key(CertAction::selectCert), "SelectCert");

    std::u16string asked;
    const auto no = [&](const std::u16string& t) {
        asked = t;
        return false;
    };
    EXPECT_EQ(table.delete_row(api, current, 0, u"Delete %s? %n", no), CertAction::cancelled);
    EXPECT_EQ(asked, u"Delete c-1? %n");
    EXPECT_TRUE(kernel.deleted.empty());

    // Another token became current since the listing: nothing is deleted.
    api.OpenDeviceByHandle(kernel.handle_of(1));
    current.replace(kernel.handle_of(1), "b");
    const auto yes = [](const std::u16string&) { return true; };
    EXPECT_EQ(table.delete_row(api, current, 0, u"%s", yes), CertAction::failed);
    EXPECT_TRUE(kernel.deleted.empty());

    table.refresh(api, current);
    const std::size_t unregisteredBefore = kernel.unregistered.size();
    EXPECT_EQ(table.delete_row(api, current, 0, u"%s", yes), CertAction::success);
    ASSERT_EQ(kernel.deleted.size(), 1u);
    EXPECT_EQ(kernel.deleted[0], (std::pair<std::size_t, uint32_t>{1, 3}));
    EXPECT_EQ(kernel.unregistered.size(), unregisteredBefore + 1);
}

}  // namespace
}  // namespace qx::manager
