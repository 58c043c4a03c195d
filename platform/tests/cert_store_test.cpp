// The certificate store service: names, DER extents, add/find/remove/list
// semantics and certificate fields.  Natively the stores live in a temporary
// folder; under Wine they are the prefix's own stores, so only the test's own
// certificates are ever looked for.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/tests/test_certs.h"
#include "qx/platform/cert_store.h"
#include "qx/platform/file_io.h"
#include "qx/platform/process.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"

using namespace qx::platform;
using qx::test::CertSpec;
using qx::test::KeyKind;

namespace {

std::string unique_store(const char* what) {
    return std::string("qxt") + what + std::to_string(process_id()) + std::to_string(tick_ms() % 100000);
}

class CertStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<CertStore> open_store(const std::string& name) {
        StoreStatus status = StoreStatus::Failed;
        auto store = CertStore::open(name, &status);
        EXPECT_EQ(status, StoreStatus::Ok);
        return store;
    }

    // Every stored certificate with exactly these bytes.
    static std::size_t count_of(CertStore& store, const std::vector<uint8_t>& der) {
        auto all = store.list();
        return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [&](auto& e) { return e.der == der; }));
    }
};

KeyProvider provider(const char16_t* container, uint32_t keySpec) {
    KeyProvider k;
    k.container = container;
    k.provider = u"Quorvantix Base CSP v1.0";
    k.keySpec = keySpec;
    return k;
}

}  // namespace

TEST(CertStoreNames, OnlyShortAsciiLettersAndDigits) {
    struct Case {
        std::string name;
        bool valid;
    } cases[] = {
        {"MY", true},          {"ca", true},           {"Root", true},
        {"a1", true},          {std::string(64, 'x'), true},
        {"", false},           {std::string(65, 'x'), false},
        {"a\\b", false},       {"a/b", false},        {"..", false},
        {"my store", false},   {"caf\xc3\xa9", false}, {std::string("a\0b", 3), false},
    };
    for (const auto& c : cases) EXPECT_EQ(valid_store_name(c.name), c.valid) << c.name;
}

TEST(CertDer, LengthOfTheOuterSequence) {
    struct Case {
        std::vector<uint8_t> bytes;
        std::size_t expected;
    } cases[] = {
        {{0x30, 0x02, 0x05, 0x00}, 4},
        {{0x30, 0x02, 0x05, 0x00, 0xAA, 0xBB}, 4},  // trailing bytes are not part of it
        {{0x30, 0x03, 0x05, 0x00}, 0},              // claims more than there is
        {{0x31, 0x02, 0x05, 0x00}, 0},              // not a SEQUENCE
        {{0x30, 0x80, 0x00, 0x00}, 0},              // indefinite length
        {{0x30, 0x81, 0x05, 1, 2, 3, 4, 5}, 0},     // long form for a short length
        {{0x30, 0x82, 0x00, 0x80}, 0},              // leading zero length byte
        {{0x30}, 0},
        {{}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(der_certificate_length(c.bytes.data(), c.bytes.size()), c.expected);
    const auto big = qx::test::der_blob(1500);
    EXPECT_EQ(der_certificate_length(big.data(), big.size()), 1500u);
    EXPECT_EQ(der_certificate_length(big.data(), big.size() - 1), 0u);
}

TEST_F(CertStoreTest, OpeningRefusesBadNames) {
    for (const char* name : {"", "a\\b", "../x", "sp ace"}) {
        StoreStatus status = StoreStatus::Ok;
        EXPECT_EQ(CertStore::open(name, &status), nullptr) << name;
        EXPECT_EQ(status, StoreStatus::BadName) << name;
    }
}

TEST_F(CertStoreTest, AddKeysOnBytesAndFindsOnIssuerAndSerial) {
    auto key = qx::test::make_key(KeyKind::Rsa);
    CertSpec spec;
    spec.subjectCN = "Store Test Alice";
    spec.serial = 4242;
    spec.subjectKey = key.get();
    const auto cert = qx::test::make_certificate(spec);
    spec.notAfter += 86400;  // same issuer and serial, other bytes
    const auto twin = qx::test::make_certificate(spec);
    ASSERT_FALSE(cert.empty());
    ASSERT_NE(cert, twin);

    const std::string name = unique_store("add");
    auto store = open_store(name);
    ASSERT_NE(store, nullptr);

    struct Step {
        const char* what;
        const std::vector<uint8_t>* der;
        AddMode mode;
        std::optional<KeyProvider> prov;
        std::optional<KeyProvider> expectedProv;  // of the entry with these bytes afterwards
    } steps[] = {
        {"first add", &cert, AddMode::ReplaceExisting, provider(u"ctr-one", 2), provider(u"ctr-one", 2)},
        {"replace", &cert, AddMode::ReplaceExisting, provider(u"ctr-two", 1), provider(u"ctr-two", 1)},
        {"use existing keeps the entry", &cert, AddMode::UseExisting, std::nullopt, provider(u"ctr-two", 1)},
        {"replace without property", &cert, AddMode::ReplaceExisting, std::nullopt, std::nullopt},
        {"replace with property again", &cert, AddMode::ReplaceExisting, provider(u"\u5bb9\u5668\n=x", 2),
         provider(u"\u5bb9\u5668\n=x", 2)},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(store->add(s.der->data(), s.der->size(), s.mode, s.prov ? &*s.prov : nullptr), StoreStatus::Ok)
            << s.what;
        EXPECT_EQ(count_of(*store, *s.der), 1u) << s.what;
        StoredCertificate found;
        ASSERT_EQ(store->find(s.der->data(), s.der->size(), &found), StoreStatus::Ok) << s.what;
        EXPECT_EQ(found.der, *s.der) << s.what;
        EXPECT_EQ(found.keyProvider, s.expectedProv) << s.what;
    }

    // The twin is found through the stored one (same issuer and serial) ...
    StoredCertificate found;
    ASSERT_EQ(store->find(twin.data(), twin.size(), &found), StoreStatus::Ok);
    EXPECT_EQ(found.der, cert);
    // ... but added as an entry of its own.
    ASSERT_EQ(store->add(twin.data(), twin.size(), AddMode::UseExisting, nullptr), StoreStatus::Ok);
    EXPECT_EQ(count_of(*store, twin), 1u);
    EXPECT_EQ(count_of(*store, cert), 1u);

    // Removing by issuer and serial takes one entry at a time.
    EXPECT_EQ(store->remove(twin.data(), twin.size()), StoreStatus::Ok);
    EXPECT_EQ(count_of(*store, cert) + count_of(*store, twin), 1u);
    EXPECT_EQ(store->remove(cert.data(), cert.size()), StoreStatus::Ok);
    EXPECT_EQ(count_of(*store, cert) + count_of(*store, twin), 0u);
    EXPECT_EQ(store->remove(cert.data(), cert.size()), StoreStatus::NotFound);
    EXPECT_EQ(store->find(cert.data(), cert.size(), nullptr), StoreStatus::NotFound);
}

TEST_F(CertStoreTest, ChangesOutliveTheHandleAndNamesIgnoreCase) {
    const auto cert = qx::test::self_signed(KeyKind::Sm2, "Store Test Bob", 77);
    const std::string name = unique_store("case");
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    // Trailing bytes after the certificate are not stored.
    std::vector<uint8_t> padded = cert;
    padded.insert(padded.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    {
        auto store = open_store(name);
        ASSERT_NE(store, nullptr);
        ASSERT_EQ(store->add(padded.data(), padded.size(), AddMode::ReplaceExisting, nullptr), StoreStatus::Ok);
        // A second change through the same handle.
        auto other = qx::test::self_signed(KeyKind::Rsa, "Store Test Carol", 78);
        ASSERT_EQ(store->add(other.data(), other.size(), AddMode::ReplaceExisting, nullptr), StoreStatus::Ok);
        ASSERT_EQ(store->remove(other.data(), other.size()), StoreStatus::Ok);
    }
    {
        auto store = open_store(upper);
        ASSERT_NE(store, nullptr);
        StoredCertificate found;
        ASSERT_EQ(store->find(cert.data(), cert.size(), &found), StoreStatus::Ok);
        EXPECT_EQ(found.der, cert);
        EXPECT_EQ(store->remove(cert.data(), cert.size()), StoreStatus::Ok);
    }
}

// Three changes through one handle in a process that then exits.
QX_TEST_CHILD(cert_store_changes) {
    auto store = CertStore::open(args.at(0));
    auto a = read_file(args.at(1)), b = read_file(args.at(2)), c = read_file(args.at(3));
    if (!store || !a || !b || !c) return 2;
    if (store->add(a->data(), a->size(), AddMode::ReplaceExisting, nullptr) != StoreStatus::Ok) return 3;
    if (store->add(b->data(), b->size(), AddMode::ReplaceExisting, nullptr) != StoreStatus::Ok) return 4;
    if (store->add(c->data(), c->size(), AddMode::UseExisting, nullptr) != StoreStatus::Ok) return 5;
    if (store->remove(b->data(), b->size()) != StoreStatus::Ok) return 6;
    return 0;
}

TEST_F(CertStoreTest, ChangesOfAnotherProcessPersist) {
    const std::string name = unique_store("proc");
    const std::string dir = temp_directory() + "/qx-certstore-files-" + std::to_string(process_id()) + "-";
    std::vector<std::vector<uint8_t>> certs;
    for (int i = 0; i < 3; ++i) {
        certs.push_back(qx::test::self_signed(KeyKind::Rsa, "Process Test " + std::to_string(i) + " " + name,
                                              static_cast<uint64_t>(100 + i)));
        ASSERT_TRUE(write_file_atomically(dir + std::to_string(i), certs.back()));
    }
    auto child = ChildProcess::spawn(qx::test::child_command("cert_store_changes", {name, dir + "0", dir + "1", dir + "2"}));
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(0, child->wait());
    auto store = open_store(name);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(count_of(*store, certs[0]), 1u);
    EXPECT_EQ(count_of(*store, certs[1]), 0u) << "the delete was lost";
    EXPECT_EQ(count_of(*store, certs[2]), 1u) << "the third add was lost";
    for (int i = 0; i < 3; ++i) remove_file(dir + std::to_string(i));
}

TEST_F(CertStoreTest, UnparsableCertificatesAreRefused) {
    auto store = open_store(unique_store("bad"));
    ASSERT_NE(store, nullptr);
    const std::vector<std::vector<uint8_t>> bad = {
        {},
        {0x30, 0x03, 0x02, 0x01, 0x01},
        qx::test::der_blob(300),
        {0x00, 0x01, 0x02},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(store->add(b.data(), b.size(), AddMode::ReplaceExisting, nullptr), StoreStatus::BadCertificate);
        EXPECT_EQ(store->find(b.data(), b.size(), nullptr), StoreStatus::BadCertificate);
        EXPECT_EQ(store->remove(b.data(), b.size()), StoreStatus::BadCertificate);
        CertificateInfo info;
        EXPECT_FALSE(certificate_info(b.data(), b.size(), &info));
    }
}

TEST(CertInfo, NamesValidityAndThumbprint) {
    auto key = qx::test::make_key(KeyKind::Rsa);
    struct Case {
        std::string cn, org;
        std::u16string commonName, display;
    } cases[] = {
        {"Alice Example", "Example Org", u"Alice Example", u"Alice Example"},
        {"", "Only Org", u"", u"Only Org"},
        {"\xe5\xbc\xa0\xe4\xb8\x89", "", u"\u5f20\u4e09", u"\u5f20\u4e09"},
    };
    for (const auto& c : cases) {
        CertSpec spec;
        spec.subjectCN = c.cn;
        spec.subjectOrg = c.org;
        spec.subjectKey = key.get();
        spec.notBefore = 1700000000;
        spec.notAfter = 1900000000;
        const auto der = qx::test::make_certificate(spec);
        ASSERT_FALSE(der.empty());
        CertificateInfo info;
        ASSERT_TRUE(certificate_info(der.data(), der.size(), &info));
        EXPECT_EQ(info.subjectCommonName, c.commonName);
        EXPECT_EQ(info.subjectName, c.display);
        EXPECT_EQ(info.issuerName, c.display);  // self-signed
        EXPECT_EQ(info.notBefore, 1700000000);
        EXPECT_EQ(info.notAfter, 1900000000);
        EXPECT_EQ(info.thumbprint.size(), 40u);
    }
}
