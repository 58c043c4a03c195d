// The current user's certificate stores as folders.
//
// Layout: <root>/<store name in lower case>/ holds, per certificate,
// <thumbprint>.cer (the DER bytes) and, when it has a key-provider property,
// <thumbprint>.keyprov (key=value lines).  <root> is $QX_CERTSTORE_HOME when
// set, else "QuorvantixCertStore" in the per-user data directory.  Folders
// are 0700; files are replaced atomically; every operation holds the store's
// ".lock" file, so processes never see half an update.
#include "qx/platform/cert_store.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "qx/platform/file_io.h"
#include "qx/platform/system.h"
#include "qx/platform/text.h"

namespace qx::platform {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The certificate at the start of the bytes, trailing bytes ignored.
X509Ptr parse(const uint8_t* der, std::size_t length, std::size_t* used = nullptr) {
    const std::size_t n = der_certificate_length(der, length);
    if (n == 0 || n > 0x7FFFFFFF) return nullptr;
    const unsigned char* p = der;
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(n)));
    if (!x || static_cast<std::size_t>(p - der) != n) return nullptr;
    if (used) *used = n;
    return x;
}

std::string sha1_hex(const uint8_t* data, std::size_t length) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data, length, md, &n, EVP_sha1(), nullptr) != 1) return {};
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out.push_back(digits[md[i] >> 4]);
        out.push_back(digits[md[i] & 15]);
    }
    return out;
}

std::vector<uint8_t> encoded_issuer(X509* x) {
    unsigned char* buf = nullptr;
    const int n = i2d_X509_NAME(X509_get_issuer_name(x), &buf);
    std::vector<uint8_t> out;
    if (n > 0) out.assign(buf, buf + n);
    OPENSSL_free(buf);
    return out;
}

bool same_issuer_and_serial(X509* a, X509* b) {
    return encoded_issuer(a) == encoded_issuer(b) &&
           ASN1_INTEGER_cmp(X509_get0_serialNumber(a), X509_get0_serialNumber(b)) == 0;
}

// Values are written with %XX for '%', control characters and nothing else,
// so a name with a line break cannot forge another key.
std::string escape(const std::string& s) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c == '%' || c < 0x20 || c == 0x7F) {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

bool unescape(const std::string& s, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out->push_back(s[i]);
            continue;
        }
        if (i + 2 >= s.size()) return false;
        auto hexval = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            return -1;
        };
        const int hi = hexval(s[i + 1]), lo = hexval(s[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi << 4 | lo));
        i += 2;
    }
    return true;
}

std::vector<uint8_t> keyprov_text(const KeyProvider& k) {
    std::string container, provider;
    utf16_to_utf8(k.container, &container);
    utf16_to_utf8(k.provider, &provider);
    std::string t = "container=" + escape(container) + "\n" + "provider=" + escape(provider) + "\n" +
                    "type=" + std::to_string(k.providerType) + "\n" + "flags=" + std::to_string(k.flags) + "\n" +
                    "keyspec=" + std::to_string(k.keySpec) + "\n";
    return std::vector<uint8_t>(t.begin(), t.end());
}

bool parse_number(const std::string& v, uint32_t* out) {
    if (v.empty() || v.size() > 10) return false;
    uint64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFu) return false;
    *out = static_cast<uint32_t>(n);
    return true;
}

std::optional<KeyProvider> parse_keyprov(const std::vector<uint8_t>& bytes) {
    KeyProvider k;
    std::string text(bytes.begin(), bytes.end());
    std::size_t pos = 0;
    int seen = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), raw = line.substr(eq + 1);
        std::string value;
        if (!unescape(raw, &value)) return std::nullopt;
        if (key == "container") {
            if (!utf8_to_utf16(value, &k.container)) return std::nullopt;
            seen |= 1;
        } else if (key == "provider") {
            if (!utf8_to_utf16(value, &k.provider)) return std::nullopt;
            seen |= 2;
        } else if (key == "type") {
            if (!parse_number(value, &k.providerType)) return std::nullopt;
        } else if (key == "flags") {
            if (!parse_number(value, &k.flags)) return std::nullopt;
        } else if (key == "keyspec") {
            if (!parse_number(value, &k.keySpec)) return std::nullopt;
        }
    }
    if (seen != 3) return std::nullopt;
    return k;
}

std::string store_root() {
    std::string home = environment("QX_CERTSTORE_HOME");
    if (!home.empty()) return home;
    std::string data = user_data_directory();
    if (data.empty()) return {};
    return data + "/QuorvantixCertStore";
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ends_with(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

class FolderStore final : public CertStore {
public:
    explicit FolderStore(std::string dir) : dir_(std::move(dir)) {}

    StoreStatus add(const uint8_t* der, std::size_t length, AddMode mode, const KeyProvider* keyProvider) override {
        std::size_t n = 0;
        if (!parse(der, length, &n)) return StoreStatus::BadCertificate;
        auto lock = FileLock::acquire(lock_path());
        if (!lock) return StoreStatus::Failed;
        const std::string thumb = sha1_hex(der, n);
        if (thumb.empty()) return StoreStatus::Failed;
        const std::string cer = dir_ + "/" + thumb + ".cer", prov = dir_ + "/" + thumb + ".keyprov";
        if (mode == AddMode::UseExisting && file_exists(cer)) {
            // As the system store does: the entry stays, a property given
            // with the new one is set on it.
            if (keyProvider && !write_file_atomically(prov, keyprov_text(*keyProvider))) return StoreStatus::Failed;
            return StoreStatus::Ok;
        }
        // The property first: a crash in between leaves at worst a property
        // without its certificate, which nothing lists.
        if (keyProvider) {
            if (!write_file_atomically(prov, keyprov_text(*keyProvider))) return StoreStatus::Failed;
        } else if (file_exists(prov) && !remove_file(prov)) {
            return StoreStatus::Failed;
        }
        if (!write_file_atomically(cer, std::vector<uint8_t>(der, der + n))) return StoreStatus::Failed;
        return StoreStatus::Ok;
    }

    StoreStatus find(const uint8_t* der, std::size_t length, StoredCertificate* found) override {
        X509Ptr wanted = parse(der, length);
        if (!wanted) return StoreStatus::BadCertificate;
        auto lock = FileLock::acquire(lock_path());
        if (!lock) return StoreStatus::Failed;
        std::string thumb;
        StoredCertificate entry;
        if (!first_match(wanted.get(), &thumb, &entry)) return StoreStatus::NotFound;
        if (found) *found = std::move(entry);
        return StoreStatus::Ok;
    }

    StoreStatus remove(const uint8_t* der, std::size_t length) override {
        X509Ptr wanted = parse(der, length);
        if (!wanted) return StoreStatus::BadCertificate;
        auto lock = FileLock::acquire(lock_path());
        if (!lock) return StoreStatus::Failed;
        std::string thumb;
        StoredCertificate entry;
        if (!first_match(wanted.get(), &thumb, &entry)) return StoreStatus::NotFound;
        if (!remove_file(dir_ + "/" + thumb + ".cer")) return StoreStatus::Failed;
        const std::string prov = dir_ + "/" + thumb + ".keyprov";
        if (file_exists(prov)) remove_file(prov);
        return StoreStatus::Ok;
    }

    std::vector<StoredCertificate> list() override {
        std::vector<StoredCertificate> out;
        auto lock = FileLock::acquire(lock_path());
        if (!lock) return out;
        for (const std::string& thumb : thumbprints()) {
            StoredCertificate entry;
            if (load(thumb, &entry)) out.push_back(std::move(entry));
        }
        return out;
    }

private:
    std::string lock_path() const { return dir_ + "/.lock"; }

    std::vector<std::string> thumbprints() const {
        std::vector<std::string> out;
        for (const std::string& name : list_directory(dir_)) {
            if (ends_with(name, ".cer") && name.size() > 4 && name[0] != '.') out.push_back(name.substr(0, name.size() - 4));
        }
        return out;
    }

    bool load(const std::string& thumb, StoredCertificate* entry) const {
        auto der = read_file(dir_ + "/" + thumb + ".cer");
        if (!der || !parse(der->data(), der->size())) return false;
        entry->der = std::move(*der);
        entry->keyProvider.reset();
        if (auto prov = read_file(dir_ + "/" + thumb + ".keyprov")) entry->keyProvider = parse_keyprov(*prov);
        return true;
    }

    bool first_match(X509* wanted, std::string* thumb, StoredCertificate* entry) const {
        for (const std::string& t : thumbprints()) {
            StoredCertificate e;
            if (!load(t, &e)) continue;
            X509Ptr x = parse(e.der.data(), e.der.size());
            if (x && same_issuer_and_serial(x.get(), wanted)) {
                *thumb = t;
                *entry = std::move(e);
                return true;
            }
        }
        return false;
    }

    std::string dir_;
};

// Simple display name: common name, else organisational unit, organisation, e-mail.
std::u16string display_name(X509_NAME* name) {
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        const int i = X509_NAME_get_index_by_NID(name, nid, -1);
        if (i < 0) continue;
        ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, s);
        std::u16string out;
        if (n >= 0) utf8_to_utf16(std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n)), &out);
        OPENSSL_free(utf8);
        return out;
    }
    return {};
}

std::u16string common_name(X509_NAME* name) {
    const int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (i < 0) return {};
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    std::u16string out;
    if (n >= 0) utf8_to_utf16(std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n)), &out);
    OPENSSL_free(utf8);
    return out;
}

bool unix_time(const ASN1_TIME* t, int64_t* out) {
    struct tm tm {};
    if (ASN1_TIME_to_tm(t, &tm) != 1) return false;
    *out = static_cast<int64_t>(timegm(&tm));
    return true;
}

}  // namespace

std::unique_ptr<CertStore> CertStore::open(const std::string& name, StoreStatus* status) {
    auto fail = [&](StoreStatus s) -> std::unique_ptr<CertStore> {
        if (status) *status = s;
        return nullptr;
    };
    if (!valid_store_name(name)) return fail(StoreStatus::BadName);
    const std::string root = store_root();
    if (root.empty()) return fail(StoreStatus::Failed);
    const std::string dir = root + "/" + lower(name);
    if (!make_directories(dir)) return fail(StoreStatus::Failed);
    ::chmod(root.c_str(), 0700);
    ::chmod(dir.c_str(), 0700);
    if (status) *status = StoreStatus::Ok;
    return std::make_unique<FolderStore>(dir);
}

bool certificate_info(const uint8_t* der, std::size_t length, CertificateInfo* info) {
    std::size_t n = 0;
    X509Ptr x = parse(der, length, &n);
    if (!x || !info) return false;
    CertificateInfo out;
    out.subjectCommonName = common_name(X509_get_subject_name(x.get()));
    out.subjectName = display_name(X509_get_subject_name(x.get()));
    out.issuerName = display_name(X509_get_issuer_name(x.get()));
    if (!unix_time(X509_get0_notBefore(x.get()), &out.notBefore) ||
        !unix_time(X509_get0_notAfter(x.get()), &out.notAfter))
        return false;
    out.thumbprint = sha1_hex(der, n);
    *info = std::move(out);
    return true;
}

}  // namespace qx::platform
