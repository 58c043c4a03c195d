#include "cert_table.h"

#include <cstdio>
#include <cstring>

#include "QXTokenStatus.h"
#include "monitor.h"
#include "qx/platform/text.h"
#include "qx/platform/wide_file.h"

namespace qx::manager {

namespace {

// ---- a small DER reader: only what the page shows ----

struct Der {
    uint8_t tag = 0;
    const uint8_t* body = nullptr;
    std::size_t length = 0;
};

// Reads one element from [p, end); advances p past it.
bool read_der(const uint8_t*& p, const uint8_t* end, Der* out) {
    if (p >= end || end - p < 2) return false;
    out->tag = *p++;
    std::size_t length = *p++;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || static_cast<std::size_t>(end - p) < bytes) return false;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) length = (length << 8) | *p++;
    }
    if (length > static_cast<std::size_t>(end - p)) return false;
    out->body = p;
    out->length = length;
    p += length;
    return true;
}

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t kOid = 0x06;

const uint8_t kOidCommonName[] = {0x55, 0x04, 0x03};
const uint8_t kOidOrganisation[] = {0x55, 0x04, 0x0A};
const uint8_t kOidUnit[] = {0x55, 0x04, 0x0B};
const uint8_t kOidEmail[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01};

std::u16string decode_string(const Der& value) {
    std::u16string out;
    switch (value.tag) {
    case 0x1E:  // BMPString, big-endian UTF-16
        for (std::size_t i = 0; i + 1 < value.length; i += 2)
            out.push_back(static_cast<char16_t>(value.body[i] << 8 | value.body[i + 1]));
        return out;
    case 0x1C:  // UniversalString, big-endian UTF-32
        for (std::size_t i = 0; i + 3 < value.length; i += 4) {
            uint32_t c = static_cast<uint32_t>(value.body[i]) << 24 | static_cast<uint32_t>(value.body[i + 1]) << 16 |
                         static_cast<uint32_t>(value.body[i + 2]) << 8 | value.body[i + 3];
            if (c >= 0x10000 && c <= 0x10FFFF) {
                c -= 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
            } else if (c < 0x10000) {
                out.push_back(static_cast<char16_t>(c));
            }
        }
        return out;
    case 0x0C: {  // UTF8String
        const std::string_view text(reinterpret_cast<const char*>(value.body), value.length);
        if (platform::utf8_to_utf16(text, &out)) return out;
        out.clear();
        [[fallthrough]];
    }
    default:  // Printable, IA5, Teletex, Visible: one byte per character
        for (std::size_t i = 0; i < value.length; ++i) out.push_back(value.body[i]);
        return out;
    }
}

bool oid_is(const Der& oid, const uint8_t* want, std::size_t length) {
    return oid.tag == kOid && oid.length == length && std::memcmp(oid.body, want, length) == 0;
}

struct NameParts {
    std::u16string commonName, unit, organisation, email, first;
};

bool read_name(const Der& name, NameParts* parts) {
    if (name.tag != kSequence) return false;
    const uint8_t* p = name.body;
    const uint8_t* end = name.body + name.length;
    while (p < end) {
        Der set;
        if (!read_der(p, end, &set) || set.tag != kSet) return false;
        const uint8_t* q = set.body;
        const uint8_t* setEnd = set.body + set.length;
        while (q < setEnd) {
            Der pair, oid, value;
            if (!read_der(q, setEnd, &pair) || pair.tag != kSequence) return false;
            const uint8_t* r = pair.body;
            const uint8_t* pairEnd = pair.body + pair.length;
            if (!read_der(r, pairEnd, &oid) || !read_der(r, pairEnd, &value)) return false;
            const std::u16string text = decode_string(value);
            if (parts->first.empty()) parts->first = text;
            if (oid_is(oid, kOidCommonName, sizeof kOidCommonName) && parts->commonName.empty())
                parts->commonName = text;
            if (oid_is(oid, kOidUnit, sizeof kOidUnit) && parts->unit.empty()) parts->unit = text;
            if (oid_is(oid, kOidOrganisation, sizeof kOidOrganisation) && parts->organisation.empty())
                parts->organisation = text;
            if (oid_is(oid, kOidEmail, sizeof kOidEmail) && parts->email.empty()) parts->email = text;
        }
    }
    return true;
}

std::u16string display_name(const NameParts& n) {
    if (!n.commonName.empty()) return n.commonName;
    if (!n.unit.empty()) return n.unit;
    if (!n.organisation.empty()) return n.organisation;
    if (!n.email.empty()) return n.email;
    return n.first;
}

int digits(const uint8_t* p, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

bool read_time(const Der& t, CertDate* date) {
    int year;
    const uint8_t* rest;
    if (t.tag == 0x17 && t.length >= 6) {  // UTCTime YYMMDD...
        year = digits(t.body, 2);
        if (year < 0) return false;
        year += year < 50 ? 2000 : 1900;
        rest = t.body + 2;
    } else if (t.tag == 0x18 && t.length >= 8) {  // GeneralizedTime YYYYMMDD...
        year = digits(t.body, 4);
        rest = t.body + 4;
    } else {
        return false;
    }
    const int month = digits(rest, 2);
    const int day = digits(rest + 2, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    *date = {year, month, day};
    return true;
}

std::u16string ascii(const char* text) {
    std::u16string out;
    while (*text) out.push_back(static_cast<unsigned char>(*text++));
    return out;
}

}  // namespace

std::optional<CertSummary> summarize_certificate(const uint8_t* der, std::size_t length) {
    if (!der || length == 0) return std::nullopt;
    const uint8_t* p = der;
    Der certificate, tbs;
    if (!read_der(p, der + length, &certificate) || certificate.tag != kSequence) return std::nullopt;
    const uint8_t* c = certificate.body;
    if (!read_der(c, certificate.body + certificate.length, &tbs) || tbs.tag != kSequence) return std::nullopt;
    const uint8_t* t = tbs.body;
    const uint8_t* end = tbs.body + tbs.length;
    Der field;
    if (!read_der(t, end, &field)) return std::nullopt;
    if (field.tag == 0xA0 && !read_der(t, end, &field)) return std::nullopt;  // version, then serial
    Der algorithm, issuer, validity, subject;
    if (!read_der(t, end, &algorithm) || !read_der(t, end, &issuer) || !read_der(t, end, &validity) ||
        !read_der(t, end, &subject) || validity.tag != kSequence)
        return std::nullopt;
    NameParts issuerParts, subjectParts;
    if (!read_name(issuer, &issuerParts) || !read_name(subject, &subjectParts)) return std::nullopt;
    CertSummary s;
    const uint8_t* v = validity.body;
    const uint8_t* vEnd = validity.body + validity.length;
    Der notBefore, notAfter;
    if (!read_der(v, vEnd, &notBefore) || !read_der(v, vEnd, &notAfter) || !read_time(notBefore, &s.notBefore) ||
        !read_time(notAfter, &s.notAfter))
        return std::nullopt;
    s.subjectCommonName = subjectParts.commonName;
    s.subject = display_name(subjectParts);
    s.issuer = display_name(issuerParts);
    return s;
}

std::u16string validity_text(const CertSummary& s) {
    char text[96];
    std::snprintf(text, sizeof text, "%d/%d/%d-%d/%d/%d", s.notBefore.year, s.notBefore.month, s.notBefore.day,
                  s.notAfter.year, s.notAfter.month, s.notAfter.day);
    return ascii(text);
}

std::u16string fill_first_placeholder(const std::u16string& format, const std::u16string& value) {
    const std::size_t at = format.find(u"%s");
    if (at == std::u16string::npos) return format;
    return format.substr(0, at) + value + format.substr(at + 2);
}

bool is_pfx_path(const std::u16string& path) {
    std::u16string lower(path);
    for (char16_t& c : lower)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return lower.find(u".pfx") != std::u16string::npos || lower.find(u".p12") != std::u16string::npos;
}

std::optional<std::vector<uint8_t>> read_pfx_for_import(const std::u16string& path) {
    if (!is_pfx_path(path)) return std::nullopt;
    auto bytes = platform::read_wide_file(path);
    if (!bytes || bytes->empty() || bytes->size() > kPfxImportLimit) return std::nullopt;
    return bytes;
}

const char* cert_action_key(CertAction action) {
    switch (action) {
    case CertAction::success:
        return "Success";
    case CertAction::failed:
        return "Failed";
    case CertAction::selectCert:
        return "SelectCert";
    case CertAction::certExists:
        return "Cert_Exist";
    case CertAction::cancelled:
        break;
    }
    return "";
}

namespace {

void build_listing(const KernelApi& kernel, DeviceHandle device, CertListing* out) {
    if (kernel.IsMeetSecurityStatus(device, 1) == 0) kernel.ExternalAuth(device);
    uint32_t position = 0;
    uint32_t rc;
    ContainerHandle container = nullptr;
    while ((rc = kernel.EnumContainer(device, kEnumContainerMask, &position, &container)) == ERR_OK) {
        char name[kContainerNameLimit + 1] = {};
        uint32_t nameLength = kContainerNameLimit;
        rc = kernel.GetContainerName(container, name, &nameLength);
        if (rc != ERR_OK) break;
        bool stop = false;
        for (uint8_t keySpec : {uint8_t{1}, uint8_t{2}}) {
            uint32_t index = 0;
            const uint32_t found = kernel.GetCertIndexFormContainer(container, keySpec, &index);
            if (found == ERR_KEY_NOT_IN_CONTAINER) continue;
            if (found != ERR_OK) {
                rc = found;
                stop = true;
                break;
            }
            std::vector<uint8_t> der(kCertReadLimit);
            uint32_t length = kCertReadLimit;
            const uint32_t read = kernel.ReadCert(device, index, der.data(), &length);
            if (read != ERR_OK) {
                rc = read;
                stop = true;
                break;
            }
            if (length == 0 || length > kCertReadLimit) continue;
            der.resize(length);
            CertRecord record;
            record.index = index;
            record.keySpec = keySpec;
            record.containerName = name;
            if (auto summary = summarize_certificate(der.data(), der.size()))
                record.commonName = summary->subjectCommonName;
            kernel.RegUserCert(der.data(), length, record.containerName.c_str(), keySpec, nullptr);
            record.der = std::move(der);
            out->records.push_back(std::move(record));
        }
        if (stop) break;
    }
    out->result = rc == ERR_NO_CONTAINER ? 1u : 0u;
}

}  // namespace

uint32_t CertTable::refresh(const KernelApi& kernel, CurrentDevice& current) {
    std::lock_guard<std::mutex> one(refreshMutex_);
    auto fresh = std::make_shared<CertListing>();
    uint64_t generation = 0;
    fresh->hasDevice = current.use([&](DeviceHandle device) { build_listing(kernel, device, fresh.get()); },
                                   &generation);
    fresh->deviceGeneration = generation;
    const uint32_t result = fresh->result;
    std::lock_guard<std::mutex> lock(mutex_);
    listing_ = std::move(fresh);
    return result;
}

std::shared_ptr<const CertListing> CertTable::listing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listing_;
}

CertAction CertTable::register_row(const KernelApi& kernel, std::optional<std::size_t> row) const {
    auto l = listing();
    if (!row || *row >= l->records.size()) return CertAction::selectCert;
    const CertRecord& r = l->records[*row];
    if (r.der.empty()) return CertAction::failed;
    return kernel.RegUserCert(r.der.data(), static_cast<uint32_t>(r.der.size()), r.containerName.c_str(), r.keySpec,
                              nullptr) == ERR_OK
               ? CertAction::success
               : CertAction::failed;
}

CertAction CertTable::unregister_row(const KernelApi& kernel, std::optional<std::size_t> row) const {
    auto l = listing();
    if (!row || *row >= l->records.size()) return CertAction::selectCert;
    const CertRecord& r = l->records[*row];
    if (r.der.empty()) return CertAction::failed;
    return kernel.UnRegUserCert(r.der.data(), static_cast<uint32_t>(r.der.size())) == ERR_OK ? CertAction::success
                                                                                             : CertAction::failed;
}

CertAction CertTable::delete_row(const KernelApi& kernel, CurrentDevice& current, std::optional<std::size_t> row,
                                 const std::u16string& confirmFormat,
                                 const std::function<bool(const std::u16string& text)>& confirm) {
    auto l = listing();
    if (!row || *row >= l->records.size()) return CertAction::selectCert;
    const CertRecord& r = l->records[*row];
    if (!confirm || !confirm(fill_first_placeholder(confirmFormat, r.commonName))) return CertAction::cancelled;
    if (!l->hasDevice || r.der.empty()) return CertAction::failed;
    uint32_t rc = ERR_FAILED;
    uint64_t generation = 0;
    current.use(
        [&](DeviceHandle device) {
            // The listing belongs to the device it was made from; another
            // token now current would lose its own certificate at this index.
            if (generation != l->deviceGeneration) return;
            rc = kernel.DeleteUserCert(device, r.index, r.der.data(), static_cast<uint32_t>(r.der.size()));
            if (rc == ERR_OK) kernel.UnRegUserCert(r.der.data(), static_cast<uint32_t>(r.der.size()));
        },
        &generation);
    if (rc != ERR_OK) return CertAction::failed;
    refresh(kernel, current);
    return CertAction::success;
}

}  // namespace qx::manager
