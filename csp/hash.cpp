#include "hash.h"

#include "QXSoftAlg.h"
#include "capi.h"

namespace qx::csp {

namespace {

struct Algorithm {
    uint32_t algId, softId, size;
    Bytes prefix;  // DER DigestInfo up to the digest
};

const Algorithm kAlgorithms[] = {
    {capi::kCalgMd5, QXSA_MD_MD5, 16,
     {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10}},
    {capi::kCalgSha1, QXSA_MD_SHA1, 20,
     {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
    {capi::kCalgSha256, QXSA_MD_SHA256, 32,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20}},
    {capi::kCalgSha384, QXSA_MD_SHA384, 48,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30}},
    {capi::kCalgSha512, QXSA_MD_SHA512, 64,
     {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40}},
    // MD5 || SHA-1 of TLS client authentication: set by value, signed without an identifier.
    {capi::kCalgSsl3ShaMd5, 0, 36, {}},
};

const Algorithm* find(uint32_t algId) {
    for (const auto& a : kAlgorithms)
        if (a.algId == algId) return &a;
    return nullptr;
}

}  // namespace

std::unique_ptr<Hash> Hash::create(const kernel::SoftAlgFunctions& fns, uint32_t algId) {
    const Algorithm* a = find(algId);
    if (!a) return nullptr;
    MessageDigest* digest = nullptr;
    if (a->softId) {
        if (!fns.createDigest || !fns.destroyDigest) return nullptr;
        digest = fns.createDigest(a->softId);
        if (!digest) return nullptr;
    }
    return std::unique_ptr<Hash>(new Hash(fns, algId, a->size, digest));
}

Hash::~Hash() {
    if (digest_ && fns_.destroyDigest) fns_.destroyDigest(digest_);
}

uint32_t Hash::update(const uint8_t* data, uint32_t length) {
    if (finished_) return capi::kNteBadHashState;
    if (!digest_) return capi::kNteBadAlgId;
    if (length && digest_->Update(data, length) != 0) return capi::kNteFail;
    return 0;
}

uint32_t Hash::value(Bytes* out) {
    if (!finished_) {
        if (!digest_) return capi::kNteBadHashState;  // SSL3_SHAMD5 before its value was set
        value_.assign(size_, 0);
        uint32_t length = size_;
        if (digest_->Final(value_.data(), &length) != 0 || length != size_) return capi::kNteFail;
        finished_ = true;
    }
    *out = value_;
    return 0;
}

uint32_t Hash::set_value(const uint8_t* data, uint32_t length) {
    if (!data) return capi::kErrorInvalidParameter;
    if (length != size_) return capi::kNteBadLen;
    value_.assign(data, data + length);
    finished_ = true;
    return 0;
}

uint32_t Hash::signed_message(bool noOid, Bytes* out) {
    Bytes v;
    if (uint32_t rc = value(&v)) return rc;
    const Algorithm* a = find(algId_);
    *out = noOid ? Bytes() : a->prefix;
    out->insert(out->end(), v.begin(), v.end());
    return 0;
}

}  // namespace qx::csp
