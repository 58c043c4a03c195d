#include "syscheck.h"

#include <memory>

#include "config/CU8Ini.h"
#include "language.h"
#include "qx/platform/cert_store.h"
#include "qx/platform/wide_file.h"

namespace qx::syscheck {

namespace {
constexpr uint32_t kReadOk = 0;
constexpr uint32_t kMemCertBuffer = 2048;
}  // namespace

Text edition_text(const OsVersion& v) {
    constexpr uint32_t kWorkstation = 1, kServer = 3;
    if (v.major == 4 && v.minor == 0) {
        if (v.platformId == 2) return u"Microsoft Windows NT 4.0";
        if (v.platformId == 1) return u"Microsoft Windows 95";
        return {};
    }
    if (v.major == 4 && v.minor == 10) return u"Microsoft Windows 98";
    if (v.major == 4 && v.minor == 90) return u"Microsoft Windows Me";
    if (v.major == 5 && v.minor == 0) return u"Microsoft Windows 2000";
    if (v.major == 5 && v.minor == 1) return u"Microsoft Windows XP";
    if (v.major == 5 && v.minor == 2) {
        if (v.productType != kServer) return u"Microsoft Windows XP Professional x64 Edition";
        return v.serverR2 == 0 ? u"Microsoft Windows Server 2003" : u"Microsoft Windows Server 2003 R2";
    }
    if (v.major == 6) {
        const bool client = v.productType == kWorkstation;
        switch (v.minor) {
        case 0: return client ? u"Microsoft Windows Vista" : u"Microsoft Windows Server 2008";
        case 1: return client ? u"Microsoft Windows 7" : u"Microsoft Windows Server 2008 R2";
        case 2: return client ? u"Microsoft Windows 8" : u"Microsoft Windows Server 2010";
        default: break;
        }
    }
    return {};
}

Text ie_version_text(const std::optional<Text>& svcVersion, const std::optional<Text>& version) {
    if (svcVersion) return *svcVersion;
    if (version) return *version;
    return {};
}

Text cipher_strength_text(const std::optional<Text>& fileDescription, const std::optional<Text>& fileVersion) {
    if (!fileDescription) return {};
    if (fileDescription->find(u"Export Version") != Text::npos) return u"40-Bit";
    if (!fileVersion) return u"128-Bit";
    if (!fileVersion->empty() && (*fileVersion)[0] == u'5') return u"128-Bit";
    if (!fileVersion->empty() && (*fileVersion)[0] == u'6') return u"256-Bit";
    return {};
}

UserCerts user_cert_state(TokenQueries& token, StoreQueries& stores) {
    const auto slot = token.slot_number();
    if (!slot || *slot == 0xFFFFFFFFu) return UserCerts::noCert;
    UserCerts state = UserCerts::registered;
    token.with_mem_cert_lock([&] {
        bool first = true;
        for (;;) {
            Bytes cert;
            cert.reserve(kMemCertBuffer);
            const uint32_t rc = token.read_mem_cert(*slot, first, &cert);
            // Only success goes on: 20 ends the list, and any other answer
            // (a bad slot, a failing kernel) must end the walk as well.
            if (rc != kReadOk) {
                if (first) state = UserCerts::noCert;
                break;
            }
            first = false;
            if (cert.empty()) continue;
            if (!stores.decodes(cert) || !stores.contains("MY", cert)) {
                state = UserCerts::unregistered;
                break;
            }
        }
    });
    return state;
}

std::string install_cert_key(const char* word, int n) {
    return std::string(word) + '[' + std::to_string(n) + ']';
}

std::optional<InstallCerts> install_certs(const Text& configPath) {
    kernel::CU8Ini ini;
    if (language::load_ini(ini, configPath) != 0) return std::nullopt;
    const int caCount = ini.GetInteger("InstallCert", "CACertNum", 0);
    const int rootCount = ini.GetInteger("InstallCert", "RootCertNum", 0);
    if (caCount <= 0 && rootCount <= 0) return std::nullopt;
    const Text directory = language::directory_part(configPath);
    InstallCerts out;
    auto collect = [&](const char* word, int count, std::vector<Text>* files) {
        for (int n = 1; n <= count; ++n) {
            const Text name = language::ini_text(ini, "InstallCert", install_cert_key(word, n).c_str(), 260, u"");
            files->push_back(directory + name);
        }
    };
    collect("CACert", caCount, &out.caFiles);
    collect("RootCert", rootCount, &out.rootFiles);
    return out;
}

FileReader system_file_reader() {
    return [](const Text& path) { return platform::read_wide_file(path); };
}

bool install_certs_registered(const InstallCerts& certs, StoreQueries& stores, const FileReader& read) {
    auto all_found = [&](const std::vector<Text>& files, const char* store) {
        for (const auto& file : files) {
            const auto bytes = read(file);
            if (!bytes || !stores.decodes(*bytes) || !stores.contains(store, *bytes)) return false;
        }
        return true;
    };
    return all_found(certs.caFiles, "ca") && all_found(certs.rootFiles, "root");
}

namespace {

class SystemStores : public StoreQueries {
public:
    bool decodes(const Bytes& der) override {
        platform::CertificateInfo info;
        return !der.empty() && platform::certificate_info(der.data(), der.size(), &info);
    }
    bool contains(const char* name, const Bytes& der) override {
        auto store = platform::CertStore::open(name);
        if (!store) return false;
        platform::StoredCertificate found;
        return store->find(der.data(), der.size(), &found) == platform::StoreStatus::Ok;
    }
};

Text ansi_to_text(const std::string& s) {
    // Serial numbers are ASCII hex; anything else is shown byte for byte.
    Text out;
    for (char c : s) {
        if (c == '\0') break;
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return out;
}

}  // namespace

std::unique_ptr<StoreQueries> system_stores() { return std::make_unique<SystemStores>(); }

std::vector<Row> build_report(const SystemFacts& facts, TokenQueries& token, StoreQueries& stores,
                              const std::optional<InstallCerts>& installCerts, const FileReader& read,
                              const Localize& text) {
    std::vector<Row> rows;
    rows.push_back({text("OS_Version"), edition_text(facts.os)});
    rows.push_back({text("IE_Version"), ie_version_text(facts.ieSvcVersion, facts.ieVersion)});
    rows.push_back({text("IE_Key_Bit"), cipher_strength_text(facts.schannelDescription, facts.schannelVersion)});
    const bool connected = token.connected();
    rows.push_back({text("UKey_Connect"), text(connected ? "Connect" : "DisConnect")});

    Text serial, auth, pin, certs;
    if (connected) {
        if (auto sn = token.serial_number()) serial = ansi_to_text(*sn);
        auth = text(token.extended_authentication() ? "ExtendAuth" : "UnExtendAuth");
        if (auto retries = token.user_pin_retries()) pin = text(*retries != 0 ? "PinUnlock" : "PinLocked");
        switch (user_cert_state(token, stores)) {
        case UserCerts::noCert: certs = text("NoCert"); break;
        case UserCerts::registered: certs = text("CertRegist"); break;
        case UserCerts::unregistered: certs = text("CertUnRegist"); break;
        }
    }
    rows.push_back({text("UKey_SN"), serial});
    rows.push_back({text("UKey_Auth"), auth});
    rows.push_back({text("UKey_Pin_IsLocked"), pin});
    rows.push_back({text("UKey_UserCert"), certs});
    if (installCerts) {
        const bool ok = install_certs_registered(*installCerts, stores, read);
        rows.push_back({text("Root_Cert"), text(ok ? "CertRegist" : "CertUnRegist")});
    }
    return rows;
}

std::pair<int, int> column_widths(int listWidth) {
    if (listWidth < 0) listWidth = 0;
    const int first = listWidth / 3;
    return {first, listWidth - first};
}

}  // namespace qx::syscheck
