// qxtoken cert list|read|write|delete|register|unregister and cert install-ca.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "cli.h"
#include "session.h"
#include "qx/platform/cert_store.h"
#include "qx/platform/file_io.h"
#include "qx/platform/text.h"

namespace qx::qxtoken {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kExchange = 1, kSignature = 2;
// A certificate the user has stored with the key pair (the status the
// import dialogs leave); 3 and 4 mean "key pair, no certificate yet".
constexpr uint32_t kStatusCertStored = 2;
constexpr uint32_t kReadBuffer = 4096;

// The certificate exports, bound here so that the rest of the tool does not
// depend on them.
struct CertApi {
    explicit CertApi(KernelApi& k) : k(k) {
        bind(readCert, "QXToken_ReadCert");
        bind(writeCert, "QXToken_WriteCert");
        bind(deleteUserCert, "QXToken_DeleteUserCert");
        bind(regUserCert, "QXToken_RegUserCert");
        bind(unregUserCert, "QXToken_UnRegUserCert");
        bind(regCA, "QXToken_RegCACert");
        bind(certIndex, "QXToken_GetCertIndexFormContainer");
        bind(setStatus, "QXToken_SetContainerStatus");
    }
    template <typename F>
    void bind(F& fn, const char* name) {
        fn = k.module.function<F>(name);
        if (!fn) throw Failure{std::string("the token kernel lacks ") + name};
    }
    KernelApi& k;
    PFN_QXToken_ReadCert readCert = nullptr;
    PFN_QXToken_WriteCert writeCert = nullptr;
    PFN_QXToken_DeleteUserCert deleteUserCert = nullptr;
    PFN_QXToken_RegUserCert regUserCert = nullptr;
    PFN_QXToken_UnRegUserCert unregUserCert = nullptr;
    PFN_QXToken_RegCACert regCA = nullptr;
    PFN_QXToken_GetCertIndexFormContainer certIndex = nullptr;
    PFN_QXToken_SetContainerStatus setStatus = nullptr;
};

// ---- PEM ------------------------------------------------------------------------------

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kPemEnd[] = "-----END CERTIFICATE-----";

std::string to_pem(const Bytes& der) {
    std::string b64;
    for (std::size_t i = 0; i < der.size(); i += 3) {
        const uint32_t n = static_cast<uint32_t>(der[i]) << 16 | (i + 1 < der.size() ? der[i + 1] << 8 : 0) |
                           (i + 2 < der.size() ? der[i + 2] : 0);
        b64 += kB64[n >> 18 & 63];
        b64 += kB64[n >> 12 & 63];
        b64 += i + 1 < der.size() ? kB64[n >> 6 & 63] : '=';
        b64 += i + 2 < der.size() ? kB64[n & 63] : '=';
    }
    std::string out = std::string(kPemBegin) + "\n";
    for (std::size_t i = 0; i < b64.size(); i += 64) out += b64.substr(i, 64) + "\n";
    return out + kPemEnd + "\n";
}

// DER as it is, or the first PEM certificate block decoded.
Bytes from_file_bytes(const Bytes& content) {
    const std::string text(content.begin(), content.end());
    const std::size_t begin = text.find(kPemBegin);
    if (begin == std::string::npos) return content;
    const std::size_t end = text.find(kPemEnd, begin);
    if (end == std::string::npos) throw Failure{"the PEM certificate has no end line"};
    Bytes out;
    uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = begin + sizeof kPemBegin - 1; i < end; ++i) {
        const char c = text[i];
        if (c == '=') break;
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        const char* p = std::char_traits<char>::find(kB64, 64, c);
        if (!p) throw Failure{"the PEM certificate is not valid base64"};
        acc = acc << 6 | static_cast<uint32_t>(p - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return out;
}

// ---- token side -----------------------------------------------------------------------

struct Target {
    std::optional<std::string> container;
    uint32_t keySpec = kSignature;
    uint32_t slot = 0;
};

Target target_of(Words& w) {
    Target t;
    t.container = w.option("--container");
    const auto slot = w.option("--slot");
    t.keySpec = w.flag("--exchange") ? kExchange : kSignature;
    if (t.container.has_value() == slot.has_value()) throw UsageError{"give --container C or --slot N"};
    if (slot) {
        try {
            std::size_t used = 0;
            const unsigned long n = std::stoul(*slot, &used);
            if (used != slot->size() || n < 1 || n > 30) throw UsageError{""};
            t.slot = static_cast<uint32_t>(n);
        } catch (...) {
            throw UsageError{"--slot takes 1 to 30"};
        }
    }
    return t;
}

// The slot of a container's key pair: the certificate index when it has
// one, else the key pair's own slot (a key pair without a certificate yet).
uint32_t container_slot(KernelApi& k, CertApi& c, ContainerHandle container, uint32_t keySpec) {
    uint32_t slot = 0;
    if (c.certIndex(container, keySpec, &slot) == ERR_OK) return slot;
    KeyHandle key = nullptr;
    const uint32_t rc = k.keyFromContainer(container, keySpec, &key);
    if (rc != ERR_OK) throw Failure{"the container has no " + std::string(keySpec == kExchange ? "exchange" : "signature") +
                                    " key pair: " + describe_status(rc)};
    const uint32_t r = k.keyIndex(key, &slot);
    k.closeKey(key);
    check(r, "reading the key pair's slot");
    return slot;
}

// The certificate in `slot`; nullopt when the slot holds none.
std::optional<Bytes> token_certificate(CertApi& c, DeviceHandle h, uint32_t slot) {
    Bytes buffer(kReadBuffer);
    uint32_t length = kReadBuffer;
    const uint32_t rc = c.readCert(h, slot, buffer.data(), &length);
    if (rc == ERR_COMMAND_FAILED) return std::nullopt;
    check(rc, "reading the certificate of slot " + std::to_string(slot));
    buffer.resize(length);
    return buffer;
}

std::string utf8(const std::u16string& s) {
    std::string out;
    return platform::utf16_to_utf8(s, &out) ? out : std::string("?");
}

// YYYY-MM-DD of a time in seconds since 1970 (UTC), by the civil calendar.
std::string date(int64_t seconds) {
    int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    std::string text = std::to_string(year);
    text.insert(0, text.size() < 4 ? 4 - text.size() : 0, '0');
    for (const int64_t part : {month, day}) text += (part < 10 ? "-0" : "-") + std::to_string(part);
    return text;
}

bool in_user_store(const Bytes& der) {
    auto store = platform::CertStore::open("MY");
    platform::StoredCertificate found;
    return store && store->find(der.data(), der.size(), &found) == platform::StoreStatus::Ok && found.der == der;
}

std::vector<std::string> container_names(KernelApi& k, DeviceHandle h) {
    std::vector<std::string> names;
    for_each_container(k, h, [&](ContainerHandle, const std::string& name) { names.push_back(name); });
    return names;
}

int list(KernelApi& k, CertApi& c, Io& io, DeviceHandle h) {
    bool any = false;
    for (const std::string& name : container_names(k, h)) {
        OpenContainer container(k, h, name);
        for (uint32_t spec : {kSignature, kExchange}) {
            uint32_t slot = 0;
            if (c.certIndex(container.handle, spec, &slot) != ERR_OK) continue;
            const auto der = token_certificate(c, h, slot);
            if (!der) continue;
            any = true;
            io.out << name << "  " << (spec == kExchange ? "exchange " : "signature") << "  slot " << slot << "\n";
            platform::CertificateInfo info;
            if (!platform::certificate_info(der->data(), der->size(), &info)) {
                io.out << "  not a readable certificate (" << der->size() << " bytes)\n";
                continue;
            }
            io.out << "  subject  " << utf8(info.subjectName) << "\n"
                   << "  issuer   " << utf8(info.issuerName) << "\n"
                   << "  valid    " << date(info.notBefore) << " to " << date(info.notAfter) << "\n"
                   << "  in store " << (in_user_store(*der) ? "yes" : "no") << "\n";
        }
    }
    if (!any) io.out << "no certificate on the token\n";
    return 0;
}

}  // namespace

int command_cert(KernelApi& k, Io& io, std::vector<std::string> words, const std::function<DeviceHandle()>& open) {
    Words w{std::move(words)};
    const std::string what = w.take("cert command");
    CertApi c(k);
    if (what == "install-ca") {
        w.done();
        c.regCA();
        io.out << "installed the CA and root certificates listed in Config.ini\n";
        return 0;
    }
    if (what == "list") {
        w.done();
        return list(k, c, io, open());
    }
    if (what != "read" && what != "write" && what != "delete" && what != "register" && what != "unregister")
        throw UsageError{"unknown cert command '" + what + "'"};

    Target t = target_of(w);
    const auto out = what == "read" ? w.option("--out") : std::nullopt;
    const bool pem = what == "read" && w.flag("--pem");
    const auto in = what == "write" ? w.option("--in") : std::nullopt;
    const auto pin = what == "write" || what == "delete" ? w.option("--pin") : std::nullopt;
    w.done();
    if (what == "read" && !out) throw UsageError{"cert read needs --out FILE"};
    if (what == "write" && !in) throw UsageError{"cert write needs --in FILE"};
    if ((what == "register") && !t.container) throw UsageError{"cert register needs --container C"};

    Bytes input;
    if (in) {
        auto content = platform::read_file(*in);
        if (!content) throw Failure{"cannot read " + *in};
        input = from_file_bytes(*content);
        if (input.empty()) throw Failure{*in + " holds no certificate"};
    }

    DeviceHandle h = open();
    std::optional<OpenContainer> container;
    if (t.container) {
        container.emplace(k, h, *t.container);
        t.slot = container_slot(k, c, container->handle, t.keySpec);
    }
    const std::string where = "slot " + std::to_string(t.slot);

    if (what == "write") {
        verify_user_pin(k, io, h, pin ? &*pin : nullptr);
        check(c.writeCert(h, t.slot, input.data(), static_cast<uint32_t>(input.size())), "writing the certificate");
        if (container) check(c.setStatus(container->handle, kStatusCertStored), "marking the container");
        io.out << "wrote the certificate (" << input.size() << " bytes) to " << where << "\n";
        return 0;
    }
    const auto der = token_certificate(c, h, t.slot);
    if (what == "delete") {
        verify_user_pin(k, io, h, pin ? &*pin : nullptr);
        check(c.deleteUserCert(h, t.slot, der ? der->data() : nullptr, der ? static_cast<uint32_t>(der->size()) : 0),
              "unbinding " + where);
        io.out << "unbound " << where << " from its container\n";
        return 0;
    }
    if (!der) throw Failure{where + " holds no certificate"};
    if (what == "read") {
        const Bytes bytes = pem ? [&] {
            const std::string text = to_pem(*der);
            return Bytes(text.begin(), text.end());
        }()
                                : *der;
        if (!platform::write_file_atomically(*out, bytes)) throw Failure{"cannot write " + *out};
        io.out << "read the certificate of " << where << " (" << der->size() << " bytes) into " << *out << "\n";
        return 0;
    }
    if (what == "register") {
        char cn[1024] = {};
        check(c.regUserCert(der->data(), static_cast<uint32_t>(der->size()), t.container->c_str(), t.keySpec, cn),
              "registering the certificate");
        io.out << "registered " << cn << " for container " << *t.container << "\n";
        return 0;
    }
    check(c.unregUserCert(der->data(), static_cast<uint32_t>(der->size())), "unregistering the certificate");
    io.out << "unregistered the certificate of " << where << "\n";
    return 0;
}

}  // namespace qx::qxtoken
