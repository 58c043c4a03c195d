#include "key_derivation.h"

#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/des.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"

namespace qx::kernel {

const char kSaltTable[kSaltCount][32] = {
    "Qv7#mLx2Rt9p", "hB4!zN8wKe3s", "Tg6$yP1cVo5j", "Xa2%uD9rMf7q", "Lk8&nS3eWb6z", "Cy5*oJ4tHg1v",
    "Pe9(iR2mZx8d", "Wn3)aF7kQs4u", "Jr1-bT6yNc9h", "Ds4+gV8pLm2w", "Mu7=cK5xEj3r", "Fo2?hX9nBy6t",
    "Ui6<lW1qGa8e", "Gz9>dM4vSp7k", "Ni3[fQ2sYr5o", "Bh8]kC6wTe1x",
};

namespace {


struct Label {
    const char* suffix;
    uint16_t fileId;
};
constexpr Label kLabels[] = {
    {"", kFileMF},
    {" MF ERASE ADF", kFileADF},
    {" MF LINE PRO", kFileMF},
    {" MF EX AUTH", kFileMF},
    {" ADF MASTER", kFileADF},
    {" ADF LINE PRO", kFileADF},
    {" ADF EX AUTH", kFileADF},
    {" ADF IN AUTH", kFileADF},
    {" ADF SYMKEY PRO", kFileADF},
    {" ADF UNLOCK KEY", kFileADF},
    {" ADF PROTECT KEY", kFileADF},
};

std::mutex& derivation_mutex() {
    // libcrypto is linked into the kernel; left to itself it would register
    // its clean-up with the process's exit handlers, which then call into a
    // kernel library that callers may already have unloaded.
    static const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    (void)initialised;
    static std::mutex m;
    return m;
}

bool digest(const EVP_MD* md, const std::vector<uint8_t>& in, uint8_t* out) {
    unsigned int n = 0;
    return EVP_Digest(in.data(), in.size(), out, &n, md, nullptr) == 1;
}

void des_encrypt(const uint8_t* key, const uint8_t* in, uint8_t* out) {
    DES_cblock k;
    std::memcpy(k, key, 8);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&k, &schedule);
    DES_cblock block;
    std::memcpy(block, in, 8);
    DES_cblock result;
    DES_ecb_encrypt(&block, &result, &schedule, DES_ENCRYPT);
    std::memcpy(out, result, 8);
    secure_zero(&schedule, sizeof schedule);
    secure_zero(k, sizeof k);
}

// E(A1, E(A2, E(A1, B))): one half of the key.
void half(const uint8_t* a1, const uint8_t* a2, const uint8_t* b, uint8_t* out) {
    uint8_t x[8], y[8];
    des_encrypt(a1, b, x);
    des_encrypt(a2, x, y);
    des_encrypt(a1, y, out);
    secure_zero(x, sizeof x);
    secure_zero(y, sizeof y);
}

}  // namespace

bool derive_key(const char* label, std::size_t labelLength, const uint8_t* identity, std::size_t identityLength,
                uint16_t fileId, std::size_t keyLength, uint8_t* out) {
    if (!label || !identity || !out || identityLength == 0 || (keyLength != 8 && keyLength != 16)) return false;
    const char* salt = kSaltTable[(labelLength + identityLength + keyLength) % kSaltCount];
    const uint8_t fid[2] = {static_cast<uint8_t>(fileId & 0xFF), static_cast<uint8_t>(fileId >> 8)};

    std::vector<uint8_t> m(label, label + labelLength);
    m.insert(m.end(), fid, fid + 2);
    m.insert(m.end(), salt, salt + std::strlen(salt));
    std::vector<uint8_t> h(identity, identity + identityLength);
    h.insert(h.end(), fid, fid + 2);

    uint8_t a[16], sha[20];
    bool ok;
    {
        std::lock_guard lock(derivation_mutex());
        ok = digest(EVP_md5(), m, a) && digest(EVP_sha1(), h, sha);
        if (ok) {
            half(a, a + 8, sha, out);
            if (keyLength == 16) half(a, a + 8, sha + 12, out + 8);
        }
    }
    secure_zero(a, sizeof a);
    secure_zero(sha, sizeof sha);
    secure_zero(m);
    secure_zero(h);
    return ok;
}

const char* key_label_suffix(uint32_t index) { return index < std::size(kLabels) ? kLabels[index].suffix : ""; }

uint16_t key_file_id(uint32_t index) { return index < std::size(kLabels) ? kLabels[index].fileId : kFileADF; }

uint32_t derive_key_for_index(const std::string& providerName, const uint8_t* identity,
                              std::size_t identityLength, uint32_t index, uint8_t* out, uint32_t* length) {
    if (!length) return ERR_INVALID_PARAM;
    if (!out) {
        *length = 16;
        return ERR_OK;
    }
    if (*length < 16) {
        *length = 16;
        return ERR_BUFFER_TOO_SMALL;
    }
    std::string label = providerName + key_label_suffix(index);
    if (!derive_key(label.c_str(), label.size(), identity, identityLength, key_file_id(index), 16, out)) {
        return ERR_COMMAND_FAILED;
    }
    *length = 16;
    return ERR_OK;
}

}  // namespace qx::kernel
