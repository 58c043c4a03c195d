// System check report over fake probes: rows with and without a token, the
// user-certificate walk, the installation's CA and root certificates, and the
// edition and cipher-strength tables.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "language.h"
#include "syscheck.h"

using namespace qx::syscheck;

namespace {

Text T(const char* s) { return qx::language::to_text(s); }

// Localized words are their keys in angle brackets, so a test sees which key was used.
Text localize(const char* key) { return T((std::string("<") + key + ">").c_str()); }

struct FakeToken : TokenQueries {
    bool present = true;
    std::optional<std::string> serial = std::string("0123456789AB");
    bool extAuth = true;
    std::optional<uint32_t> retries = 3;
    std::optional<uint32_t> slot = 1;
    // Answers of ReadMemCert in order; the last repeats.
    std::vector<std::pair<uint32_t, Bytes>> answers = {{20, {}}};
    size_t next = 0;
    int reads = 0;
    int locked = 0;
    bool connected() const override { return present; }
    std::optional<std::string> serial_number() override { return serial; }
    bool extended_authentication() override { return extAuth; }
    std::optional<uint32_t> user_pin_retries() override { return retries; }
    std::optional<uint32_t> slot_number() override { return slot; }
    uint32_t read_mem_cert(uint32_t, bool first, Bytes* out) override {
        if (first) next = 0;
        ++reads;
        EXPECT_EQ(locked, 1) << "memory certificates read outside the lock";
        if (reads > 100) return 0x13;  // a walk that never ends fails the test, not the machine
        const auto& a = answers[std::min(next++, answers.size() - 1)];
        *out = a.second;
        return a.first;
    }
    void with_mem_cert_lock(const std::function<void()>& walk) override {
        ++locked;
        walk();
        --locked;
    }
};

struct FakeStores : StoreQueries {
    std::map<std::string, std::set<Bytes>> stores;
    bool decodes(const Bytes& der) override { return !der.empty() && der[0] == 0x30; }
    bool contains(const char* store, const Bytes& der) override { return stores[store].count(der) != 0; }
};

const Bytes kCertA = {0x30, 1, 0xAA};
const Bytes kCertB = {0x30, 1, 0xBB};

FileReader no_files() {
    return [](const Text&) { return std::optional<Bytes>(); };
}

SystemFacts win7() {
    SystemFacts f;
    f.os = {6, 1, 2, 1, 0};
    f.ieSvcVersion = u"11.0.9600.18376";
    f.schannelDescription = u"TLS / SSL Security Provider";
    f.schannelVersion = u"5.1.2600.2180";
    return f;
}

}  // namespace

TEST(SysCheckTables, Editions) {
    struct Case {
        OsVersion v;
        const char16_t* want;
    } cases[] = {
        {{4, 0, 2, 1, 0}, u"Microsoft Windows NT 4.0"},
        {{4, 0, 1, 1, 0}, u"Microsoft Windows 95"},
        {{4, 0, 0, 1, 0}, u""},
        {{4, 10, 1, 1, 0}, u"Microsoft Windows 98"},
        {{4, 90, 1, 1, 0}, u"Microsoft Windows Me"},
        {{5, 0, 2, 1, 0}, u"Microsoft Windows 2000"},
        {{5, 1, 2, 1, 0}, u"Microsoft Windows XP"},
        {{5, 2, 2, 1, 0}, u"Microsoft Windows XP Professional x64 Edition"},
        {{5, 2, 2, 3, 0}, u"Microsoft Windows Server 2003"},
        {{5, 2, 2, 3, 1}, u"Microsoft Windows Server 2003 R2"},
        {{6, 0, 2, 1, 0}, u"Microsoft Windows Vista"},
        {{6, 0, 2, 2, 0}, u"Microsoft Windows Server 2008"},
        {{6, 1, 2, 1, 0}, u"Microsoft Windows 7"},
        {{6, 1, 2, 3, 0}, u"Microsoft Windows Server 2008 R2"},
        {{6, 2, 2, 1, 0}, u"Microsoft Windows 8"},
        {{6, 2, 2, 3, 0}, u"Microsoft Windows Server 2010"},
        {{6, 3, 2, 1, 0}, u""},
        {{10, 0, 2, 1, 0}, u""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(edition_text(c.v), c.want) << c.v.major << "." << c.v.minor << " type " << c.v.productType;
}

TEST(SysCheckTables, BrowserVersionAndCipherStrength) {
    EXPECT_EQ(ie_version_text(u"11.0", u"9.11"), u"11.0");
    EXPECT_EQ(ie_version_text(std::nullopt, u"9.11"), u"9.11");
    EXPECT_EQ(ie_version_text(std::nullopt, std::nullopt), u"");

    using O = std::optional<Text>;
    struct Case {
        O description, version;
        const char16_t* want;
    } cases[] = {
        {std::nullopt, u"6.1", u""},
        {u"TLS Export Version provider", u"6.1", u"40-Bit"},
        {u"TLS provider", std::nullopt, u"128-Bit"},
        {u"TLS provider", u"5.1.2600.2180", u"128-Bit"},
        {u"TLS provider", u"6.1.7601", u"256-Bit"},
        {u"TLS provider", u"10.0", u""},
        {u"TLS provider", u"", u""},
    };
    for (const auto& c : cases) EXPECT_EQ(cipher_strength_text(c.description, c.version), c.want);
}

TEST(SysCheckReport, WithoutTokenRowsFourToSevenAreEmpty) {
    FakeToken token;
    token.present = false;
    FakeStores stores;
    const auto rows = build_report(win7(), token, stores, std::nullopt, no_files(), localize);
    ASSERT_EQ(rows.size(), 8u);  // no [InstallCert]: no root row
    EXPECT_EQ(rows[0].label, u"<OS_Version>");
    EXPECT_EQ(rows[0].value, u"Microsoft Windows 7");
    EXPECT_EQ(rows[1].value, u"11.0.9600.18376");
    EXPECT_EQ(rows[2].value, u"128-Bit");
    EXPECT_EQ(rows[3].value, u"<DisConnect>");
    for (size_t i = 4; i < 8; ++i) EXPECT_EQ(rows[i].value, u"") << i;
    EXPECT_EQ(rows[7].label, u"<UKey_UserCert>");
    EXPECT_EQ(token.reads, 0);
}

TEST(SysCheckReport, WithTokenEveryProbeShows) {
    FakeStores stores;
    stores.stores["MY"] = {kCertA};
    struct Case {
        const char* name;
        std::function<void(FakeToken&)> setup;
        std::vector<const char16_t*> want;  // rows 4..7
    } cases[] = {
        {"all good", [](FakeToken& t) { t.answers = {{0, kCertA}, {20, {}}}; },
         {u"0123456789AB", u"<ExtendAuth>", u"<PinUnlock>", u"<CertRegist>"}},
        {"blocked, no auth, empty slot", [](FakeToken& t) { t.extAuth = false; t.retries = 0; },
         {u"0123456789AB", u"<UnExtendAuth>", u"<PinLocked>", u"<NoCert>"}},
        {"failing probes", [](FakeToken& t) { t.serial.reset(); t.retries.reset(); t.slot.reset(); },
         {u"", u"<ExtendAuth>", u"", u"<NoCert>"}},
        {"slot unknown", [](FakeToken& t) { t.slot = 0xFFFFFFFFu; }, {u"0123456789AB", u"<ExtendAuth>", u"<PinUnlock>", u"<NoCert>"}},
        {"one missing from MY", [](FakeToken& t) { t.answers = {{0, kCertA}, {0, kCertB}, {20, {}}}; },
         {u"0123456789AB", u"<ExtendAuth>", u"<PinUnlock>", u"<CertUnRegist>"}},
        {"undecodable", [](FakeToken& t) { t.answers = {{0, Bytes{1, 2}}, {20, {}}}; },
         {u"0123456789AB", u"<ExtendAuth>", u"<PinUnlock>", u"<CertUnRegist>"}},
        {"empty entries skipped", [](FakeToken& t) { t.answers = {{0, {}}, {0, kCertA}, {20, {}}}; },
         {u"0123456789AB", u"<ExtendAuth>", u"<PinUnlock>", u"<CertRegist>"}},
    };
    for (auto& c : cases) {
        FakeToken token;
        c.setup(token);
        const auto rows = build_report(win7(), token, stores, std::nullopt, no_files(), localize);
        ASSERT_EQ(rows.size(), 8u) << c.name;
        EXPECT_EQ(rows[3].value, u"<Connect>") << c.name;
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(rows[4 + i].value, c.want[i]) << c.name << " row " << 4 + i;
    }
}

TEST(SysCheckReport, MemoryCertificateWalkStopsAtAnyFailure) {
    // A kernel answering a parameter error (a slot it does not keep) for
    // every read: the walk ends at once instead of asking for ever.
    FakeToken token;
    token.slot = 4;
    token.answers = {{0x13, {}}};
    FakeStores stores;
    EXPECT_EQ(user_cert_state(token, stores), UserCerts::noCert);
    EXPECT_EQ(token.reads, 1);

    token.reads = 0;
    token.answers = {{0, kCertA}, {0x13, {}}};
    stores.stores["MY"] = {kCertA};
    EXPECT_EQ(user_cert_state(token, stores), UserCerts::registered);
    EXPECT_EQ(token.reads, 2);
}

class SysCheckInstallCerts : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("qx-syscheck-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    Text config(const std::string& body) {
        const auto path = dir_ / "Config.ini";
        std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF" << body;
        return T(path.string().c_str());
    }
    void file(const std::string& name, const Bytes& bytes) {
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::filesystem::path dir_;
};

TEST_F(SysCheckInstallCerts, ListsAndRootRow) {
    EXPECT_EQ(install_cert_key("CACert", 1), "CACert[1]");
    EXPECT_EQ(install_cert_key("RootCert", 12), "RootCert[12]");

    EXPECT_FALSE(install_certs(T((dir_ / "none.ini").string().c_str())));       // no Config.ini
    EXPECT_FALSE(install_certs(config("[QXTokenInfo]\nUserType=1\n")));          // no [InstallCert]
    EXPECT_FALSE(install_certs(config("[InstallCert]\nCACertNum=0\nRootCertNum=0\n")));

    const Text configPath = config("[InstallCert]\nCACertNum=1\nRootCertNum=2\nCACert[1]=ca.cer\n"
                                   "RootCert[1]=root.cer\nRootCert[2]=gone.cer\n");
    const auto certs = install_certs(configPath);
    ASSERT_TRUE(certs);
    ASSERT_EQ(certs->caFiles.size(), 1u);
    ASSERT_EQ(certs->rootFiles.size(), 2u);
    EXPECT_EQ(certs->caFiles[0], qx::language::directory_part(configPath) + u"ca.cer");

    // Larger than the 4096 bytes an old reader stopped at: judged whole.
    Bytes big(6000, 0x42);
    big[0] = 0x30;
    file("ca.cer", big);
    file("root.cer", kCertA);
    FakeStores stores;
    stores.stores["ca"] = {big};
    stores.stores["root"] = {kCertA};
    FakeToken token;
    token.present = false;
    const auto reader = system_file_reader();

    // gone.cer is listed but missing on disk.
    auto rows = build_report(win7(), token, stores, certs, reader, localize);
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_EQ(rows[8].label, u"<Root_Cert>");
    EXPECT_EQ(rows[8].value, u"<CertUnRegist>");

    file("gone.cer", kCertA);
    rows = build_report(win7(), token, stores, certs, reader, localize);
    EXPECT_EQ(rows[8].value, u"<CertRegist>");

    stores.stores["ca"].clear();  // present on disk, not installed
    rows = build_report(win7(), token, stores, certs, reader, localize);
    EXPECT_EQ(rows[8].value, u"<CertUnRegist>");
}

TEST(SysCheckLayout, ColumnsAreAThirdAndTheRest) {
    EXPECT_EQ(column_widths(515), (std::pair<int, int>{171, 344}));
    EXPECT_EQ(column_widths(2), (std::pair<int, int>{0, 2}));
    EXPECT_EQ(column_widths(-5), (std::pair<int, int>{0, 0}));
}
