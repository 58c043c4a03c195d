// Objects, mechanisms and cryptographic functions, and the function list.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/asn1.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

#include "module_state.h"

namespace qx::p11 {

namespace {

constexpr uint32_t kRsa = 0x20000, kSm2 = 0x10000;
constexpr uint32_t kContainerRsa = 1, kContainerSm2 = 2;
constexpr uint32_t kStatusCertStored = 2;
constexpr uint32_t kExchange = 1, kSignature = 2;

struct MechanismEntry {
    CK_MECHANISM_TYPE type;
    CK_ULONG minBits, maxBits;
    CK_FLAGS flags;
};

constexpr MechanismEntry kMechanisms[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 2048, CKF_HW | CKF_GENERATE_KEY_PAIR},
    {CKM_RSA_PKCS, 1024, 2048, CKF_HW | CKF_SIGN | CKF_VERIFY | CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_SHA1_RSA_PKCS, 1024, 2048, CKF_HW | CKF_SIGN | CKF_VERIFY},
    {CKM_SHA256_RSA_PKCS, 1024, 2048, CKF_HW | CKF_SIGN | CKF_VERIFY},
    {CKM_SHA384_RSA_PKCS, 1024, 2048, CKF_HW | CKF_SIGN | CKF_VERIFY},
    {CKM_SHA512_RSA_PKCS, 1024, 2048, CKF_HW | CKF_SIGN | CKF_VERIFY},
    {CKM_SHA_1, 0, 0, CKF_DIGEST},
    {CKM_SHA256, 0, 0, CKF_DIGEST},
    {CKM_SHA384, 0, 0, CKF_DIGEST},
    {CKM_SHA512, 0, 0, CKF_DIGEST},
    {CKM_QX_SM2_KEY_PAIR_GEN, 256, 256, CKF_HW | CKF_GENERATE_KEY_PAIR},
    {CKM_QX_SM2, 256, 256, CKF_HW | CKF_SIGN | CKF_VERIFY},
    {CKM_QX_SM2_SM3, 256, 256, CKF_HW | CKF_SIGN | CKF_VERIFY},
    {CKM_QX_SM2_CIPHER, 256, 256, CKF_HW | CKF_ENCRYPT | CKF_DECRYPT},
};

// SM2 ciphertext C1 (X || Y) || C3 || C2: 96 bytes more than the plaintext.
// The token deciphers at most 255 bytes, so at most 159 bytes are enciphered.
constexpr CK_ULONG kSm2CipherOverhead = 96;
constexpr CK_ULONG kSm2MaxPlain = 159;
// The signer identity of CKM_QX_SM2_SM3 (Z_A).
constexpr char kSm2Identity[] = "1234567812345678";

const EVP_MD* digest_of(CK_MECHANISM_TYPE m) {
    switch (m) {
    case CKM_SHA_1:
    case CKM_SHA1_RSA_PKCS:
        return EVP_sha1();
    case CKM_SHA256:
    case CKM_SHA256_RSA_PKCS:
        return EVP_sha256();
    case CKM_SHA384:
    case CKM_SHA384_RSA_PKCS:
        return EVP_sha384();
    case CKM_SHA512:
    case CKM_SHA512_RSA_PKCS:
        return EVP_sha512();
    default:
        return nullptr;
    }
}

std::string handle_key(const Object& o) {
    return o.container + '\n' + std::to_string(o.keySpec) + '\n' + std::to_string(o.objectClass);
}

void add_object(State& s, CK_SLOT_ID slot, Token& t, Object o) {
    const std::string key = handle_key(o);
    auto it = t.handles.find(key);
    const CK_OBJECT_HANDLE h = it != t.handles.end() ? it->second : (t.handles[key] = s.nextObject++);
    s.objects[h] = StoredObject{slot, std::move(o)};
}

// The kernel's key object of a container's key pair, with the container open.
class KernelKey {
public:
    KernelKey(State& s, Token& t, const Object& o) : k_(*s.kernel) {
        check(k_.openContainer(t.device, o.container.c_str(), &container_));
        check(k_.keyFromContainer(container_, o.keySpec, &key_));
    }
    ~KernelKey() {
        if (key_) k_.closeKey(key_);
        if (container_) k_.closeContainer(container_);
    }
    KernelKey(const KernelKey&) = delete;
    KernelKey& operator=(const KernelKey&) = delete;
    KeyHandle key() const { return key_; }
    ContainerHandle container() const { return container_; }

private:
    KernelBinding& k_;
    ContainerHandle container_ = nullptr;
    KeyHandle key_ = nullptr;
};

std::string key_id_of(const Object& o) { return o.container + '\n' + std::to_string(o.keySpec); }

// The kernel's key object of the object's key pair, opened on first use.  The
// container is closed at once: a new enumeration of the token's containers
// (every C_FindObjectsInit) discards open container handles, but not key objects.
KeyHandle open_key(State& s, Token& t, const Object& o) {
    auto it = t.keys.find(key_id_of(o));
    if (it != t.keys.end()) {
        if (it->second.keyIndex == o.keyIndex) return it->second.key;
        s.kernel->closeKey(it->second.key);  // the container's pair lives in another slot now
        t.keys.erase(it);
    }
    ContainerHandle container = nullptr;
    check(s.kernel->openContainer(t.device, o.container.c_str(), &container));
    KeyHandle key = nullptr;
    const uint32_t rc = s.kernel->keyFromContainer(container, o.keySpec, &key);
    s.kernel->closeContainer(container);
    check(rc);
    if (!key) throw Fail{CKR_GENERAL_ERROR};
    t.keys[key_id_of(o)] = Token::OpenKey{key, o.keyIndex};
    return key;
}

// Runs `op(KeyHandle)` on the pair's open key object.  A handle the kernel no
// longer takes is opened afresh once.
template <typename F>
uint32_t with_key(State& s, Token& t, const Object& o, F&& op) {
    uint32_t rc = op(open_key(s, t, o));
    if (rc == ERR_INVALID_HANDLE || rc == ERR_INVALID_PARAM) {
        auto it = t.keys.find(key_id_of(o));
        if (it != t.keys.end()) {
            s.kernel->closeKey(it->second.key);
            t.keys.erase(it);
        }
        rc = op(open_key(s, t, o));
    }
    return rc;
}

bool visible(const State& s, const StoredObject& o) {
    auto t = s.tokens.find(o.slot);
    return t != s.tokens.end() && (!o.object.isPrivate || t->second.login == CKU_USER);
}

StoredObject& object_of(State& s, const Session& session, CK_OBJECT_HANDLE h, CK_RV invalid) {
    auto it = s.objects.find(h);
    if (it == s.objects.end() || it->second.slot != session.slot) {
        load_objects(s, session.slot);
        it = s.objects.find(h);
    }
    if (it == s.objects.end() || it->second.slot != session.slot || !visible(s, it->second)) throw Fail{invalid};
    return it->second;
}

// The public-key object of a key pair, for the host's side of an operation
// given the private key's object (an SM2 private key has no CKA_EC_POINT).
const Object& public_half(const State& s, const StoredObject& key) {
    if (key.object.objectClass == CKO_PUBLIC_KEY) return key.object;
    for (const auto& [h, o] : s.objects)
        if (o.slot == key.slot && o.object.objectClass == CKO_PUBLIC_KEY && o.object.container == key.object.container &&
            o.object.keySpec == key.object.keySpec)
            return o.object;
    throw Fail{CKR_KEY_HANDLE_INVALID};
}

CK_ULONG key_bytes(const Object& o) {
    if (o.algorithm == kSm2) return 64;
    const Bytes* n = o.value(CKA_MODULUS);
    return n ? n->size() : 0;
}

// The host's copy of an RSA public key for verifying and enciphering.
struct HostKey {
    EVP_PKEY* pkey = nullptr;
    explicit HostKey(const Object& o) {
        const Bytes *n = o.value(CKA_MODULUS), *e = o.value(CKA_PUBLIC_EXPONENT);
        if (!n || !e) throw Fail{CKR_KEY_TYPE_INCONSISTENT};
        BIGNUM* bn = BN_bin2bn(n->data(), static_cast<int>(n->size()), nullptr);
        BIGNUM* be = BN_bin2bn(e->data(), static_cast<int>(e->size()), nullptr);
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM* params = nullptr;
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        if (bn && be && bld && ctx && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn) == 1 &&
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be) == 1 &&
            (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1)
            EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        EVP_PKEY_CTX_free(ctx);
        BN_free(bn);
        BN_free(be);
        if (!pkey) throw Fail{CKR_FUNCTION_FAILED};
    }
    ~HostKey() { EVP_PKEY_free(pkey); }
    HostKey(const HostKey&) = delete;
    HostKey& operator=(const HostKey&) = delete;
};

// The host's copy of an SM2 public key (the point 04 || X || Y of CKA_EC_POINT).
struct Sm2HostKey {
    EVP_PKEY* pkey = nullptr;
    explicit Sm2HostKey(const Object& o) {
        const Bytes* der = o.value(CKA_EC_POINT);  // 04 41 04 X Y
        if (!der || der->size() != 67) throw Fail{CKR_KEY_TYPE_INCONSISTENT};
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM* params = nullptr;
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
        if (bld && ctx && OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) == 1 &&
            OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, der->data() + 2, 65) == 1 &&
            (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1)
            EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        EVP_PKEY_CTX_free(ctx);
        if (!pkey) throw Fail{CKR_FUNCTION_FAILED};
    }
    ~Sm2HostKey() { EVP_PKEY_free(pkey); }
    Sm2HostKey(const Sm2HostKey&) = delete;
    Sm2HostKey& operator=(const Sm2HostKey&) = delete;
};

// r || s (32 bytes each) as the DER signature OpenSSL verifies; empty when not a signature.
Bytes sm2_der_signature(const uint8_t* sig) {
    ECDSA_SIG* es = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(sig, 32, nullptr);
    BIGNUM* sv = BN_bin2bn(sig + 32, 32, nullptr);
    Bytes der;
    if (es && r && sv && ECDSA_SIG_set0(es, r, sv) == 1) {
        r = sv = nullptr;  // owned by the signature now
        unsigned char* out = nullptr;
        const int length = i2d_ECDSA_SIG(es, &out);
        if (length > 0) der.assign(out, out + length);
        OPENSSL_free(out);
    }
    BN_free(r);
    BN_free(sv);
    ECDSA_SIG_free(es);
    return der;
}

// CKM_QX_SM2: `data` is the digest e; CKM_QX_SM2_SM3: the message, hashed with Z_A of kSm2Identity.
bool sm2_verify(const Object& o, CK_MECHANISM_TYPE mechanism, const Bytes& data, const uint8_t* sig) {
    Sm2HostKey host(o);
    const Bytes der = sm2_der_signature(sig);
    if (der.empty()) return false;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(host.pkey, nullptr);
    if (!ctx) throw Fail{CKR_HOST_MEMORY};
    int verdict = -1;
    if (mechanism == CKM_QX_SM2) {
        if (EVP_PKEY_verify_init(ctx) == 1) verdict = EVP_PKEY_verify(ctx, der.data(), der.size(), data.data(), data.size());
    } else {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        if (md && EVP_PKEY_CTX_set1_id(ctx, kSm2Identity, sizeof kSm2Identity - 1) == 1) {
            EVP_MD_CTX_set_pkey_ctx(md, ctx);
            if (EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, host.pkey) == 1)
                verdict = EVP_DigestVerify(md, der.data(), der.size(), data.data(), data.size());
        }
        EVP_MD_CTX_free(md);
    }
    EVP_PKEY_CTX_free(ctx);
    return verdict == 1;
}

// Fixed-width big-endian bytes of an ASN.1 INTEGER; false when it does not fit.
bool integer_bytes(const ASN1_TYPE* t, uint8_t* out, int width) {
    if (!t || t->type != V_ASN1_INTEGER) return false;
    BIGNUM* bn = ASN1_INTEGER_to_BN(t->value.integer, nullptr);
    const bool ok = bn && !BN_is_negative(bn) && BN_bn2binpad(bn, out, width) == width;
    BN_free(bn);
    return ok;
}

// SM2 encryption on the host, in the token's layout C1 (X || Y) || C3 || C2
// (OpenSSL gives the DER form SEQUENCE { X, Y, C3, C2 }).
Bytes sm2_encrypt(const Object& o, const uint8_t* data, size_t length) {
    Sm2HostKey host(o);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(host.pkey, nullptr);
    size_t derLength = 0;
    Bytes der;
    bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_encrypt(ctx, nullptr, &derLength, data, length) == 1;
    if (ok) {
        der.resize(derLength);
        ok = EVP_PKEY_encrypt(ctx, der.data(), &derLength, data, length) == 1;
        der.resize(derLength);
    }
    EVP_PKEY_CTX_free(ctx);
    if (!ok) throw Fail{CKR_FUNCTION_FAILED};
    const unsigned char* p = der.data();
    ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
    Bytes out(kSm2CipherOverhead + length);
    ok = seq && sk_ASN1_TYPE_num(seq) == 4 && integer_bytes(sk_ASN1_TYPE_value(seq, 0), out.data(), 32) &&
         integer_bytes(sk_ASN1_TYPE_value(seq, 1), out.data() + 32, 32);
    for (int i = 2; ok && i < 4; ++i) {
        const ASN1_TYPE* t = sk_ASN1_TYPE_value(seq, i);
        const size_t want = i == 2 ? 32 : length;
        ok = t && t->type == V_ASN1_OCTET_STRING && static_cast<size_t>(ASN1_STRING_length(t->value.octet_string)) == want;
        if (ok) std::memcpy(out.data() + (i == 2 ? 64 : 96), ASN1_STRING_get0_data(t->value.octet_string), want);
    }
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    if (!ok) throw Fail{CKR_FUNCTION_FAILED};
    return out;
}

enum class Use { Sign, Verify, Encrypt, Decrypt };

bool mechanism_fits(CK_MECHANISM_TYPE m, uint32_t algorithm, Use use) {
    if (algorithm == kRsa) {
        if (m == CKM_RSA_PKCS) return true;
        return (use == Use::Sign || use == Use::Verify) && !digest_info_prefix(m).empty();
    }
    if (algorithm == kSm2) {
        if (use == Use::Sign || use == Use::Verify) return m == CKM_QX_SM2 || m == CKM_QX_SM2_SM3;
        return m == CKM_QX_SM2_CIPHER;
    }
    return false;
}

bool known_mechanism(CK_MECHANISM_TYPE m) {
    for (auto& e : kMechanisms)
        if (e.type == m) return true;
    return false;
}

std::unique_ptr<Operation>& slot_of(Session& session, Use use) {
    switch (use) {
    case Use::Sign:
        return session.sign;
    case Use::Verify:
        return session.verify;
    case Use::Encrypt:
        return session.encrypt;
    default:
        return session.decrypt;
    }
}

CK_RV operation_init(State& s, CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key, Use use) {
    Session& session = session_of(s, h);
    if (!mech) return CKR_ARGUMENTS_BAD;
    auto& op = slot_of(session, use);
    if (op) return CKR_OPERATION_ACTIVE;
    if (!known_mechanism(mech->mechanism)) return CKR_MECHANISM_INVALID;
    if (mech->pParameter || mech->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
    auto it = s.objects.find(key);
    if (it == s.objects.end()) {
        load_objects(s, session.slot);
        it = s.objects.find(key);
    }
    if (it == s.objects.end() || it->second.slot != session.slot) return CKR_KEY_HANDLE_INVALID;
    const Object& o = it->second.object;
    const bool privateUse = use == Use::Sign || use == Use::Decrypt;
    if (o.objectClass != (privateUse ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY) &&
        !(o.objectClass == CKO_PRIVATE_KEY && !privateUse))
        return CKR_KEY_TYPE_INCONSISTENT;
    if (o.isPrivate && token_of(s, session.slot).login != CKU_USER) return CKR_USER_NOT_LOGGED_IN;
    if (!mechanism_fits(mech->mechanism, o.algorithm, use)) return CKR_KEY_TYPE_INCONSISTENT;
    const CK_ATTRIBUTE_TYPE permission = use == Use::Sign      ? CKA_SIGN
                                         : use == Use::Decrypt ? CKA_DECRYPT
                                         : use == Use::Encrypt ? CKA_ENCRYPT
                                                               : CKA_VERIFY;
    // A private key's object stands in for its public key when verifying or enciphering.
    if (o.objectClass == CKO_PUBLIC_KEY || privateUse) {
        if (!o.flag(permission)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    }
    auto next = std::make_unique<Operation>();
    next->mechanism = mech->mechanism;
    next->key = key;
    if (const EVP_MD* md = digest_of(mech->mechanism)) {
        next->digest = std::make_unique<DigestContext>();
        next->digest->ctx = EVP_MD_CTX_new();
        if (!next->digest->ctx || EVP_DigestInit_ex(next->digest->ctx, md, nullptr) != 1) return CKR_HOST_MEMORY;
    }
    op = std::move(next);
    return CKR_OK;
}

void feed(Operation& op, CK_BYTE_PTR data, CK_ULONG length) {
    if (!data && length) throw Fail{CKR_ARGUMENTS_BAD};
    if (op.digest) {
        if (length && EVP_DigestUpdate(op.digest->ctx, data, length) != 1) throw Fail{CKR_FUNCTION_FAILED};
    } else if (length) {
        if (op.data.size() + length > (1u << 20)) throw Fail{CKR_DATA_LEN_RANGE};
        op.data.insert(op.data.end(), data, data + length);
    }
}

Bytes finish_digest(Operation& op) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(op.digest->ctx, out.data(), &length) != 1) throw Fail{CKR_FUNCTION_FAILED};
    out.resize(length);
    return out;
}

// What the token's private-key operation signs: PKCS #1 block content (RSA)
// or the SM2 input.  Ends the digest of hashing mechanisms.
Bytes signed_payload(Operation& op, CK_ULONG k) {
    if (op.mechanism == CKM_QX_SM2) {
        if (op.data.size() != 32) throw Fail{CKR_DATA_LEN_RANGE};
        return op.data;
    }
    if (op.mechanism == CKM_QX_SM2_SM3) {
        if (op.data.empty()) throw Fail{CKR_DATA_LEN_RANGE};
        return op.data;
    }
    Bytes payload = op.digest ? digest_info_prefix(op.mechanism) : op.data;
    if (op.digest) {
        const Bytes hash = finish_digest(op);
        payload.insert(payload.end(), hash.begin(), hash.end());
    }
    if (payload.size() + 11 > k) throw Fail{CKR_DATA_LEN_RANGE};
    return payload;
}

// Runs a finishing step; a result other than a length question or a short
// buffer ends the operation, as Cryptoki requires.
template <typename F>
CK_RV finishing(std::unique_ptr<Operation>& op, F&& step) {
    CK_RV rv;
    try {
        rv = step(*op);
    } catch (const Fail& f) {
        rv = f.rv;
    }
    if (rv != CKR_BUFFER_TOO_SMALL && rv != CKR_OK) op.reset();
    return rv;
}

CK_RV sign_final(State& s, Session& session, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen) {
    auto& op = session.sign;
    if (!op) return CKR_OPERATION_NOT_INITIALIZED;
    return finishing(op, [&](Operation& o) -> CK_RV {
        if (!sigLen) throw Fail{CKR_ARGUMENTS_BAD};
        const StoredObject& key = object_of(s, session, o.key, CKR_KEY_HANDLE_INVALID);
        const CK_ULONG k = key_bytes(key.object);
        if (!sig) {
            *sigLen = k;
            return CKR_OK;
        }
        if (*sigLen < k) {
            *sigLen = k;
            return CKR_BUFFER_TOO_SMALL;
        }
        const Bytes payload = signed_payload(o, k);
        Token& t = token_of(s, session.slot);
        Bytes out(512);
        uint32_t outLen = 0;
        // RSA: flag 0 with a digest identifier pads the given bytes as they are (type 1 block).
        const uint32_t hashAlg = o.mechanism == CKM_QX_SM2_SM3 ? 16 : o.mechanism == CKM_QX_SM2 ? 0 : 8;
        check(with_key(s, t, key.object, [&](KeyHandle k) {
            outLen = static_cast<uint32_t>(out.size());
            return s.kernel->signHash(k, 0, hashAlg, payload.data(), static_cast<uint32_t>(payload.size()), out.data(),
                                      &outLen);
        }));
        if (outLen > *sigLen) throw Fail{CKR_FUNCTION_FAILED};
        std::memcpy(sig, out.data(), outLen);
        *sigLen = outLen;
        op.reset();
        return CKR_OK;
    });
}

CK_RV verify_final(State& s, Session& session, CK_BYTE_PTR sig, CK_ULONG sigLen) {
    auto& op = session.verify;
    if (!op) return CKR_OPERATION_NOT_INITIALIZED;
    const CK_RV rv = finishing(op, [&](Operation& o) -> CK_RV {
        if (!sig) throw Fail{CKR_ARGUMENTS_BAD};
        const StoredObject& key = object_of(s, session, o.key, CKR_KEY_HANDLE_INVALID);
        const CK_ULONG k = key_bytes(key.object);
        if (sigLen != k) throw Fail{CKR_SIGNATURE_LEN_RANGE};
        const Bytes expected = signed_payload(o, k);
        if (key.object.algorithm == kSm2) {
            if (!sm2_verify(public_half(s, key), o.mechanism, expected, sig)) throw Fail{CKR_SIGNATURE_INVALID};
            return CKR_OK;
        }
        HostKey host(key.object);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(host.pkey, nullptr);
        Bytes recovered(k);
        size_t length = recovered.size();
        const bool ok = ctx && EVP_PKEY_verify_recover_init(ctx) == 1 &&
                        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                        EVP_PKEY_verify_recover(ctx, recovered.data(), &length, sig, sigLen) == 1;
        EVP_PKEY_CTX_free(ctx);
        if (!ok || length != expected.size() || std::memcmp(recovered.data(), expected.data(), length) != 0)
            throw Fail{CKR_SIGNATURE_INVALID};
        return CKR_OK;
    });
    op.reset();
    return rv;
}

CK_RV encrypt_once(State& s, Session& session, CK_BYTE_PTR data, CK_ULONG dataLen, CK_BYTE_PTR out,
                   CK_ULONG_PTR outLen) {
    auto& op = session.encrypt;
    if (!op) return CKR_OPERATION_NOT_INITIALIZED;
    return finishing(op, [&](Operation& o) -> CK_RV {
        if (!outLen || (!data && dataLen)) throw Fail{CKR_ARGUMENTS_BAD};
        const StoredObject& key = object_of(s, session, o.key, CKR_KEY_HANDLE_INVALID);
        if (key.object.algorithm == kSm2) {
            if (dataLen == 0 || dataLen > kSm2MaxPlain) throw Fail{CKR_DATA_LEN_RANGE};
            const CK_ULONG needed = dataLen + kSm2CipherOverhead;
            if (!out) {
                *outLen = needed;
                return CKR_OK;
            }
            if (*outLen < needed) {
                *outLen = needed;
                return CKR_BUFFER_TOO_SMALL;
            }
            const Bytes cipher = sm2_encrypt(public_half(s, key), data, dataLen);
            std::memcpy(out, cipher.data(), cipher.size());
            *outLen = cipher.size();
            op.reset();
            return CKR_OK;
        }
        const CK_ULONG k = key_bytes(key.object);
        if (dataLen + 11 > k) throw Fail{CKR_DATA_LEN_RANGE};
        if (!out) {
            *outLen = k;
            return CKR_OK;
        }
        if (*outLen < k) {
            *outLen = k;
            return CKR_BUFFER_TOO_SMALL;
        }
        HostKey host(key.object);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(host.pkey, nullptr);
        size_t length = *outLen;
        const bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 &&
                        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                        EVP_PKEY_encrypt(ctx, out, &length, data, dataLen) == 1;
        EVP_PKEY_CTX_free(ctx);
        if (!ok) throw Fail{CKR_FUNCTION_FAILED};
        *outLen = length;
        op.reset();
        return CKR_OK;
    });
}

CK_RV decrypt_once(State& s, Session& session, CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    auto& op = session.decrypt;
    if (!op) return CKR_OPERATION_NOT_INITIALIZED;
    return finishing(op, [&](Operation& o) -> CK_RV {
        if (!outLen || !in) throw Fail{CKR_ARGUMENTS_BAD};
        const StoredObject& key = object_of(s, session, o.key, CKR_KEY_HANDLE_INVALID);
        const bool sm2 = key.object.algorithm == kSm2;
        const CK_ULONG k = key_bytes(key.object);
        if (sm2 ? inLen <= kSm2CipherOverhead || inLen > kSm2CipherOverhead + kSm2MaxPlain : inLen != k)
            throw Fail{CKR_ENCRYPTED_DATA_LEN_RANGE};
        if (!out) {
            // An upper bound (RSA) or the exact length (SM2), without a private-key operation on the token.
            *outLen = sm2 ? inLen - kSm2CipherOverhead : k - 11;
            return CKR_OK;
        }
        Token& t = token_of(s, session.slot);
        Bytes plain(512);
        uint32_t length = 0;
        // RSA: final 3 removes the PKCS #1 padding; SM2: one whole message.
        const uint32_t rc = with_key(s, t, key.object, [&](KeyHandle h) {
            length = static_cast<uint32_t>(plain.size());
            return s.kernel->decrypt(h, sm2 ? 1 : 3, in, static_cast<uint32_t>(inLen), plain.data(), &length);
        });
        if (rc != ERR_OK) throw Fail{rc == ERR_COMMAND_FAILED || rc == ERR_KEY_COMMAND ? CKR_ENCRYPTED_DATA_INVALID
                                                                                       : kernel_rv(rc)};
        plain.resize(std::min<size_t>(length, plain.size()));
        if (*outLen < plain.size()) {
            OPENSSL_cleanse(plain.data(), plain.size());
            *outLen = plain.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        if (!plain.empty()) std::memcpy(out, plain.data(), plain.size());
        *outLen = plain.size();
        OPENSSL_cleanse(plain.data(), plain.size());
        op.reset();
        return CKR_OK;
    });
}

void require_rw_user(State& s, const Session& session) {
    if (!(session.flags & CKF_RW_SESSION)) throw Fail{CKR_SESSION_READ_ONLY};
    if (token_of(s, session.slot).login != CKU_USER) throw Fail{CKR_USER_NOT_LOGGED_IN};
}

CK_OBJECT_HANDLE handle_for(State& s, CK_SLOT_ID slot, const std::string& container, uint32_t keySpec,
                            CK_OBJECT_CLASS cls) {
    for (auto& [h, o] : s.objects)
        if (o.slot == slot && o.object.container == container && o.object.keySpec == keySpec &&
            o.object.objectClass == cls)
            return h;
    throw Fail{CKR_FUNCTION_FAILED};
}

}  // namespace

void load_objects(State& s, CK_SLOT_ID slot) {
    Token& t = token_of(s, slot);
    for (auto i = s.objects.begin(); i != s.objects.end();) i = i->second.slot == slot ? s.objects.erase(i) : ++i;
    if (!t.initialised) return;
    KernelBinding& k = *s.kernel;
    uint32_t position = 0;
    for (int guard = 0; guard < 1024; ++guard) {
        ContainerHandle c = nullptr;
        const uint32_t rc = k.enumContainer(t.device, 0xFFFFFFFF, &position, &c);
        if (rc != ERR_OK) break;  // ERR_NO_CONTAINER ends the list
        char nameBuffer[261] = {};
        uint32_t nameLength = 260;
        if (k.containerName(c, nameBuffer, &nameLength) != ERR_OK) continue;
        const std::string name(nameBuffer, strnlen(nameBuffer, 260));
        for (uint32_t keySpec : {kSignature, kExchange}) {
            KeyHandle key = nullptr;
            if (k.keyFromContainer(c, keySpec, &key) != ERR_OK || !key) continue;
            uint32_t algorithm = 0, index = 0;
            uint8_t block[516] = {};
            uint32_t blockLength = sizeof block;
            const bool ok = k.keyAlgorithm(key, &algorithm) == ERR_OK && k.keyIndex(key, &index) == ERR_OK &&
                            k.keyBuffer(nullptr, key, block, &blockLength) == ERR_OK;
            k.closeKey(key);
            if (!ok) continue;
            auto pub = parse_public_block(algorithm, block, blockLength);
            if (!pub) continue;
            for (Object& o : key_pair_objects(name, keySpec, index, *pub)) add_object(s, slot, t, std::move(o));
            uint32_t certLength = 0;
            if (k.readCert(t.device, index, nullptr, &certLength) == ERR_OK && certLength > 0 && certLength < 65536) {
                Bytes der(certLength);
                if (k.readCert(t.device, index, der.data(), &certLength) == ERR_OK) {
                    der.resize(std::min<size_t>(certLength, der.size()));
                    if (auto cert = certificate_object(name, keySpec, index, der, key_id(*pub)))
                        add_object(s, slot, t, std::move(*cert));
                }
            }
        }
    }
}

}  // namespace qx::p11

using namespace qx::p11;

extern "C" {

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) {
    return call([&](State& s) -> CK_RV {
        token_of(s, slotID);
        if (!pulCount) return CKR_ARGUMENTS_BAD;
        const CK_ULONG n = sizeof kMechanisms / sizeof kMechanisms[0];
        if (!pList) {
            *pulCount = n;
            return CKR_OK;
        }
        if (*pulCount < n) {
            *pulCount = n;
            return CKR_BUFFER_TOO_SMALL;
        }
        for (CK_ULONG i = 0; i < n; ++i) pList[i] = kMechanisms[i].type;
        *pulCount = n;
        return CKR_OK;
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return call([&](State& s) -> CK_RV {
        token_of(s, slotID);
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        for (auto& e : kMechanisms) {
            if (e.type != type) continue;
            pInfo->ulMinKeySize = e.minBits;
            pInfo->ulMaxKeySize = e.maxBits;
            pInfo->flags = e.flags;
            return CKR_OK;
        }
        return CKR_MECHANISM_INVALID;
    });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!pTemplate && ulCount) return CKR_ARGUMENTS_BAD;
        if (session.finding) return CKR_OPERATION_ACTIVE;
        load_objects(s, session.slot);
        session.found.clear();
        session.foundPos = 0;
        for (auto& [h, o] : s.objects)
            if (o.slot == session.slot && visible(s, o) && matches(o.object, pTemplate, ulCount))
                session.found.push_back(h);
        session.finding = true;
        return CKR_OK;
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!phObject || !pulObjectCount) return CKR_ARGUMENTS_BAD;
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        CK_ULONG n = 0;
        while (n < ulMaxObjectCount && session.foundPos < session.found.size())
            phObject[n++] = session.found[session.foundPos++];
        *pulObjectCount = n;
        return CKR_OK;
    });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
        session.finding = false;
        session.found.clear();
        return CKR_OK;
    });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        const StoredObject& o = object_of(s, session, hObject, CKR_OBJECT_HANDLE_INVALID);
        if (!pTemplate && ulCount) return CKR_ARGUMENTS_BAD;
        return read_attributes(o.object, pTemplate, ulCount);
    });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        object_of(s, session, hObject, CKR_OBJECT_HANDLE_INVALID);
        if (!pulSize) return CKR_ARGUMENTS_BAD;
        *pulSize = CK_UNAVAILABLE_INFORMATION;
        return CKR_OK;
    });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!pTemplate || !phObject) return CKR_ARGUMENTS_BAD;
        bool malformed = false;
        auto cls = template_ulong(pTemplate, ulCount, CKA_CLASS, malformed);
        auto certType = template_ulong(pTemplate, ulCount, CKA_CERTIFICATE_TYPE, malformed);
        auto isToken = template_bool(pTemplate, ulCount, CKA_TOKEN, malformed);
        auto isPrivate = template_bool(pTemplate, ulCount, CKA_PRIVATE, malformed);
        if (malformed) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (!cls) return CKR_TEMPLATE_INCOMPLETE;
        if (*cls != CKO_CERTIFICATE) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (certType && *certType != CKC_X_509) return CKR_ATTRIBUTE_VALUE_INVALID;
        if ((isToken && !*isToken) || (isPrivate && *isPrivate)) return CKR_TEMPLATE_INCONSISTENT;
        auto value = template_value(pTemplate, ulCount, CKA_VALUE);
        if (!value) return CKR_TEMPLATE_INCOMPLETE;
        auto fields = parse_certificate(*value);
        if (!fields) return CKR_ATTRIBUTE_VALUE_INVALID;
        require_rw_user(s, session);
        // The certificate goes into the slot of the key pair it belongs to:
        // the one with the given CKA_ID, else the one with its public key.
        auto id = template_value(pTemplate, ulCount, CKA_ID);
        const Bytes wanted = id && !id->empty() ? *id : fields->publicKey ? key_id(*fields->publicKey) : Bytes{};
        load_objects(s, session.slot);
        const Object* pair = nullptr;
        for (auto& [h, o] : s.objects) {
            const Bytes* oid = o.object.value(CKA_ID);
            if (o.slot == session.slot && o.object.objectClass == CKO_PRIVATE_KEY && oid && *oid == wanted)
                pair = &o.object;
        }
        if (!pair) return CKR_TEMPLATE_INCONSISTENT;
        const std::string container = pair->container;
        const uint32_t keySpec = pair->keySpec;
        Token& t = token_of(s, session.slot);
        {
            KernelKey kk(s, t, *pair);
            check(s.kernel->writeCert(t.device, pair->keyIndex, value->data(), static_cast<uint32_t>(value->size())));
            s.kernel->setContainerStatus(kk.container(), kStatusCertStored);
        }
        load_objects(s, session.slot);
        *phObject = handle_for(s, session.slot, container, keySpec, CKO_CERTIFICATE);
        return CKR_OK;
    });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        const StoredObject& o = object_of(s, session, hObject, CKR_OBJECT_HANDLE_INVALID);
        require_rw_user(s, session);
        Token& t = token_of(s, session.slot);
        // The token has no separate erase of a certificate: its key-pair slot
        // is unbound from the container (as the manager tool deletes a
        // certificate), which takes the pair's objects with it, and a
        // container left without key pairs is freed.
        const Bytes* cert = o.object.objectClass == CKO_CERTIFICATE ? o.object.value(CKA_VALUE) : nullptr;
        check(s.kernel->deleteUserCert(t.device, o.object.keyIndex, cert ? cert->data() : nullptr,
                                       cert ? static_cast<uint32_t>(cert->size()) : 0));
        close_keys(s, t);  // the pair left its container
        load_objects(s, session.slot);
        return CKR_OK;
    });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                        CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                        CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                        CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!pMechanism || !phPublicKey || !phPrivateKey) return CKR_ARGUMENTS_BAD;
        if ((!pPublicKeyTemplate && ulPublicKeyAttributeCount) || (!pPrivateKeyTemplate && ulPrivateKeyAttributeCount))
            return CKR_ARGUMENTS_BAD;
        const bool rsa = pMechanism->mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN;
        if (!rsa && pMechanism->mechanism != CKM_QX_SM2_KEY_PAIR_GEN) return CKR_MECHANISM_INVALID;
        if (pMechanism->pParameter || pMechanism->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
        bool malformed = false;
        CK_ULONG bits = 256;
        if (rsa) {
            auto b = template_ulong(pPublicKeyTemplate, ulPublicKeyAttributeCount, CKA_MODULUS_BITS, malformed);
            if (malformed) return CKR_ATTRIBUTE_VALUE_INVALID;
            if (!b) return CKR_TEMPLATE_INCOMPLETE;
            if (*b != 1024 && *b != 2048) return CKR_ATTRIBUTE_VALUE_INVALID;
            bits = *b;
            auto e = template_value(pPublicKeyTemplate, ulPublicKeyAttributeCount, CKA_PUBLIC_EXPONENT);
            if (e) {
                const Bytes stripped = strip_leading_zeros(e->data(), e->size());
                if (stripped != Bytes{0x01, 0x00, 0x01}) return CKR_ATTRIBUTE_VALUE_INVALID;
            }
        } else {
            auto params = template_value(pPublicKeyTemplate, ulPublicKeyAttributeCount, CKA_EC_PARAMS);
            if (params && *params != kSm2CurveOid) return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        auto sign = template_bool(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, CKA_SIGN, malformed);
        auto tokenPub = template_bool(pPublicKeyTemplate, ulPublicKeyAttributeCount, CKA_TOKEN, malformed);
        auto tokenPriv = template_bool(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, CKA_TOKEN, malformed);
        auto extractable = template_bool(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, CKA_EXTRACTABLE, malformed);
        if (malformed) return CKR_ATTRIBUTE_VALUE_INVALID;
        if ((tokenPub && !*tokenPub) || (tokenPriv && !*tokenPriv) || (extractable && *extractable))
            return CKR_TEMPLATE_INCONSISTENT;
        require_rw_user(s, session);
        Token& t = token_of(s, session.slot);

        auto label = template_value(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, CKA_LABEL);
        if (!label || label->empty()) label = template_value(pPublicKeyTemplate, ulPublicKeyAttributeCount, CKA_LABEL);
        std::string name;
        if (label && !label->empty()) {
            name.assign(label->begin(), label->end());
            if (name.size() > 259 || name.find('\0') != std::string::npos) return CKR_ATTRIBUTE_VALUE_INVALID;
        } else {
            uint8_t random[8] = {};
            check(s.kernel->genRandom(t.device, sizeof random, 0, random));
            static const char hex[] = "0123456789abcdef";
            name = "p11-";
            for (uint8_t b : random) name += {hex[b >> 4], hex[b & 15]};
        }
        // A key pair made only for signing goes into the signature place;
        // otherwise into the exchange place, which signs and deciphers.
        const uint32_t keySpec = (sign && *sign && rsa) || !rsa ? kSignature : kExchange;
        ContainerHandle container = nullptr;
        const uint32_t created =
            s.kernel->createContainer(t.device, name.c_str(), rsa ? kContainerRsa : kContainerSm2, &container);
        if (created == ERR_CONTAINER_EXISTS) return CKR_ATTRIBUTE_VALUE_INVALID;  // a container of that name
        check(created);
        KeyHandle key = nullptr;
        uint32_t rc = s.kernel->genAsymKey(t.device, rsa ? kRsa : kSm2, static_cast<uint32_t>(bits), keySpec, 0, &key);
        if (rc == ERR_OK) rc = s.kernel->bindKey(container, key);
        if (key) s.kernel->closeKey(key);
        s.kernel->closeContainer(container);
        if (rc != ERR_OK) {
            s.kernel->deleteContainer(t.device, name.c_str());
            check(rc);
        }
        load_objects(s, session.slot);
        *phPublicKey = handle_for(s, session.slot, name, keySpec, CKO_PUBLIC_KEY);
        *phPrivateKey = handle_for(s, session.slot, name, keySpec, CKO_PRIVATE_KEY);
        return CKR_OK;
    });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR RandomData, CK_ULONG ulRandomLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!RandomData && ulRandomLen) return CKR_ARGUMENTS_BAD;
        Token& t = token_of(s, session.slot);
        CK_ULONG done = 0;
        while (done < ulRandomLen) {
            const uint32_t piece = static_cast<uint32_t>(std::min<CK_ULONG>(ulRandomLen - done, 128));
            check(s.kernel->genRandom(t.device, piece, 1, RandomData + done));
            done += piece;
        }
        return CKR_OK;
    });
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    return call([&](State& s) -> CK_RV {
        session_of(s, hSession);
        if (!pSeed && ulSeedLen) return CKR_ARGUMENTS_BAD;
        return CKR_RANDOM_SEED_NOT_SUPPORTED;
    });
}

CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!pMechanism) return CKR_ARGUMENTS_BAD;
        if (session.digest) return CKR_OPERATION_ACTIVE;
        const EVP_MD* md = digest_of(pMechanism->mechanism);
        if (!md || !digest_info_prefix(pMechanism->mechanism).empty()) return CKR_MECHANISM_INVALID;
        if (pMechanism->pParameter || pMechanism->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
        auto op = std::make_unique<Operation>();
        op->mechanism = pMechanism->mechanism;
        op->digest = std::make_unique<DigestContext>();
        op->digest->ctx = EVP_MD_CTX_new();
        if (!op->digest->ctx || EVP_DigestInit_ex(op->digest->ctx, md, nullptr) != 1) return CKR_HOST_MEMORY;
        session.digest = std::move(op);
        return CKR_OK;
    });
}

static CK_RV digest_final(Session& session, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    auto& op = session.digest;
    if (!op) return CKR_OPERATION_NOT_INITIALIZED;
    return finishing(op, [&](Operation& o) -> CK_RV {
        if (!pulDigestLen) throw Fail{CKR_ARGUMENTS_BAD};
        const CK_ULONG size = static_cast<CK_ULONG>(EVP_MD_get_size(EVP_MD_CTX_get0_md(o.digest->ctx)));
        if (!pDigest) {
            *pulDigestLen = size;
            return CKR_OK;
        }
        if (*pulDigestLen < size) {
            *pulDigestLen = size;
            return CKR_BUFFER_TOO_SMALL;
        }
        const Bytes d = finish_digest(o);
        std::memcpy(pDigest, d.data(), d.size());
        *pulDigestLen = d.size();
        op.reset();
        return CKR_OK;
    });
}

CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
               CK_ULONG_PTR pulDigestLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!session.digest) return CKR_OPERATION_NOT_INITIALIZED;
        if (!pulDigestLen || (!pData && ulDataLen)) {
            session.digest.reset();
            return CKR_ARGUMENTS_BAD;
        }
        if (!pDigest) return digest_final(session, nullptr, pulDigestLen);
        // Hash into a copy so that a short buffer leaves the operation as it was.
        const CK_ULONG size = static_cast<CK_ULONG>(EVP_MD_get_size(EVP_MD_CTX_get0_md(session.digest->digest->ctx)));
        if (*pulDigestLen < size) {
            *pulDigestLen = size;
            return CKR_BUFFER_TOO_SMALL;
        }
        feed(*session.digest, pData, ulDataLen);
        return digest_final(session, pDigest, pulDigestLen);
    });
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!session.digest) return CKR_OPERATION_NOT_INITIALIZED;
        return finishing(session.digest, [&](Operation& o) -> CK_RV {
            feed(o, pPart, ulPartLen);
            return CKR_OK;
        });
    });
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    return call([&](State& s) -> CK_RV { return digest_final(session_of(s, hSession), pDigest, pulDigestLen); });
}

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return call([&](State& s) -> CK_RV { return operation_init(s, hSession, pMechanism, hKey, Use::Sign); });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
        if (!pulSignatureLen) {
            session.sign.reset();
            return CKR_ARGUMENTS_BAD;
        }
        CK_ULONG needed = 0;
        const CK_RV sized = sign_final(s, session, nullptr, &needed);
        if (sized != CKR_OK) return sized;
        if (!pSignature || *pulSignatureLen < needed) {
            // A length question or a short buffer: the data is taken only with the real call.
            *pulSignatureLen = needed;
            return pSignature ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        }
        const CK_RV rv = finishing(session.sign, [&](Operation& o) -> CK_RV {
            if (!pulSignatureLen) throw Fail{CKR_ARGUMENTS_BAD};
            feed(o, pData, ulDataLen);
            return CKR_OK;
        });
        if (rv != CKR_OK) return rv;
        return sign_final(s, session, pSignature, pulSignatureLen);
    });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
        return finishing(session.sign, [&](Operation& o) -> CK_RV {
            feed(o, pPart, ulPartLen);
            o.updated = true;
            return CKR_OK;
        });
    });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return call([&](State& s) -> CK_RV { return sign_final(s, session_of(s, hSession), pSignature, pulSignatureLen); });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return call([&](State& s) -> CK_RV { return operation_init(s, hSession, pMechanism, hKey, Use::Verify); });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!session.verify) return CKR_OPERATION_NOT_INITIALIZED;
        const CK_RV rv = finishing(session.verify, [&](Operation& o) -> CK_RV {
            feed(o, pData, ulDataLen);
            return CKR_OK;
        });
        if (rv != CKR_OK) return rv;
        return verify_final(s, session, pSignature, ulSignatureLen);
    });
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!session.verify) return CKR_OPERATION_NOT_INITIALIZED;
        return finishing(session.verify, [&](Operation& o) -> CK_RV {
            feed(o, pPart, ulPartLen);
            return CKR_OK;
        });
    });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return call([&](State& s) -> CK_RV { return verify_final(s, session_of(s, hSession), pSignature, ulSignatureLen); });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return call([&](State& s) -> CK_RV { return operation_init(s, hSession, pMechanism, hKey, Use::Encrypt); });
}

CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                CK_ULONG_PTR pulEncryptedDataLen) {
    return call([&](State& s) -> CK_RV {
        return encrypt_once(s, session_of(s, hSession), pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
    });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return call([&](State& s) -> CK_RV { return operation_init(s, hSession, pMechanism, hKey, Use::Decrypt); });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                CK_ULONG_PTR pulDataLen) {
    return call([&](State& s) -> CK_RV {
        return decrypt_once(s, session_of(s, hSession), pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
    });
}

// ---- functions this token does not offer ----------------------------------------

CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_SetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV C_DecryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_DecryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                  CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                  CK_OBJECT_HANDLE_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_PARALLEL; }
CK_RV C_CancelFunction(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_PARALLEL; }

static CK_FUNCTION_LIST kFunctionList = {
    {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},
    C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo, C_GetTokenInfo,
    C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN, C_OpenSession, C_CloseSession,
    C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState, C_SetOperationState, C_Login, C_Logout,
    C_CreateObject, C_CopyObject, C_DestroyObject, C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue,
    C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate,
    C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest,
    C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate, C_SignFinal, C_SignRecoverInit,
    C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate, C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover,
    C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate, C_DecryptVerifyUpdate, C_GenerateKey,
    C_GenerateKeyPair, C_WrapKey, C_UnwrapKey, C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus,
    C_CancelFunction, C_WaitForSlotEvent,
};

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (!ppFunctionList) return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &kFunctionList;
    return CKR_OK;
}

}  // extern "C"
