#include "rsa_cipher.h"

#include "crypto_library.h"

#include <openssl/bn.h>

#include <cstring>
#include <memory>

namespace qx::softalg {

namespace {

constexpr size_t kModulusField = 256;
constexpr size_t kPrimeField = 128;
constexpr size_t kOffModulus = 4;
constexpr size_t kOffPublicExponent = 260;
constexpr size_t kOffPrime = 772;
constexpr size_t kOffPrimeExponent = 1028;
constexpr size_t kOffCoefficient = 1284;
constexpr int64_t kPkcs1Overhead = 11;  // 00, type, at least 8 padding bytes, 00

struct BnCtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;

// A number read from a key block, cleared when released.
struct BnClearFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnClearFree>;

Bn read(const uint8_t* bytes, size_t length) {
    return Bn(BN_bin2bn(bytes, static_cast<int>(length), nullptr));
}

Bn fresh() {
    return Bn(BN_new());
}

// Textbook RSA: result = x^e mod n (public) or x^d mod n through the primes
// (private).  The private path blinds the input and checks its result with the
// public exponent when the block carries one.
// Brings the blinding values up to date for (n, e); false on failure.
bool refresh_blinding(RsaBlinding& b, const uint8_t* block, const BIGNUM* n, const BIGNUM* e, BN_CTX* ctx) {
    const uint8_t* key = block + kOffModulus;  // modulus and public exponent are adjacent
    const bool same = b.a && b.ai && std::memcmp(b.key, key, sizeof b.key) == 0;
    if (same && b.uses < 32) {
        ++b.uses;
        return BN_mod_mul(b.a.get(), b.a.get(), b.a.get(), n, ctx) == 1 &&
               BN_mod_mul(b.ai.get(), b.ai.get(), b.ai.get(), n, ctx) == 1;
    }
    b.a.reset(BN_new());
    b.ai.reset(BN_new());
    Bn r = fresh();
    if (!b.a || !b.ai || !r) {
        b.a.reset();
        return false;
    }
    for (int attempt = 0; attempt < 32; ++attempt) {
        if (BN_priv_rand_range_ex(r.get(), n, 0, ctx) != 1) {
            break;
        }
        if (!BN_is_zero(r.get()) && BN_mod_inverse(b.ai.get(), r.get(), n, ctx) != nullptr) {
            if (BN_mod_exp(b.a.get(), r.get(), e, n, ctx) != 1) {
                break;
            }
            std::memcpy(b.key, key, sizeof b.key);
            b.uses = 0;
            return true;
        }
    }
    b.a.reset();
    return false;
}

uint32_t modexp(RsaBlinding& blinding, const uint8_t* block, bool is_private, const uint8_t* in, size_t length,
                uint8_t* result, size_t result_length) {
    CryptoLibrary* lib = CryptoLibrary::instance();
    if (lib == nullptr) {
        return QXSA_ERR_INTERNAL;
    }
    BnCtxPtr ctx(BN_CTX_new_ex(lib->context()));
    Bn n = read(block + kOffModulus, kModulusField);
    Bn e = read(block + kOffPublicExponent, kModulusField);
    Bn x = read(in, length);
    Bn y = fresh();
    if (!ctx || !n || !e || !x || !y) {
        return QXSA_ERR_NO_MEMORY;
    }
    if (BN_cmp(x.get(), n.get()) >= 0) {
        return QXSA_ERR_RSA_INPUT;
    }
    if (!is_private) {
        if (BN_mod_exp(y.get(), x.get(), e.get(), n.get(), ctx.get()) != 1) {
            return QXSA_ERR_INTERNAL;
        }
    } else {
        Bn p = read(block + kOffPrime, kPrimeField);
        Bn q = read(block + kOffPrime + kPrimeField, kPrimeField);
        Bn dp = read(block + kOffPrimeExponent, kPrimeField);
        Bn dq = read(block + kOffPrimeExponent + kPrimeField, kPrimeField);
        Bn qinv = read(block + kOffCoefficient, kPrimeField);
        Bn t = fresh(), m1 = fresh(), m2 = fresh(), h = fresh();
        if (!p || !q || !dp || !dq || !qinv || !t || !m1 || !m2 || !h) {
            return QXSA_ERR_NO_MEMORY;
        }
        for (BIGNUM* secret : {p.get(), q.get(), dp.get(), dq.get()}) {
            BN_set_flags(secret, BN_FLG_CONSTTIME);
        }
        const bool blind = !BN_is_zero(e.get());
        BIGNUM* c = x.get();
        if (blind) {
            // c = x * r^e mod n with a random unit r; unblinded below with r^-1.
            if (!refresh_blinding(blinding, block, n.get(), e.get(), ctx.get()) ||
                BN_mod_mul(t.get(), blinding.a.get(), x.get(), n.get(), ctx.get()) != 1) {
                return QXSA_ERR_INTERNAL;
            }
            c = t.get();
        }
        // m1 = c^dp mod p, m2 = c^dq mod q, y = m2 + q * (qinv * (m1 - m2) mod p)
        if (BN_nnmod(h.get(), c, p.get(), ctx.get()) != 1 ||
            BN_mod_exp_mont_consttime(m1.get(), h.get(), dp.get(), p.get(), ctx.get(), nullptr) != 1 ||
            BN_nnmod(h.get(), c, q.get(), ctx.get()) != 1 ||
            BN_mod_exp_mont_consttime(m2.get(), h.get(), dq.get(), q.get(), ctx.get(), nullptr) != 1 ||
            BN_mod_sub(h.get(), m1.get(), m2.get(), p.get(), ctx.get()) != 1 ||
            BN_mod_mul(h.get(), h.get(), qinv.get(), p.get(), ctx.get()) != 1 ||
            BN_mul(y.get(), h.get(), q.get(), ctx.get()) != 1 || BN_add(y.get(), y.get(), m2.get()) != 1) {
            return QXSA_ERR_INTERNAL;
        }
        if (blind) {
            if (BN_mod_mul(y.get(), y.get(), blinding.ai.get(), n.get(), ctx.get()) != 1 ||
                BN_mod_exp(t.get(), y.get(), e.get(), n.get(), ctx.get()) != 1) {
                return QXSA_ERR_INTERNAL;
            }
            // A key block whose prime parts do not match its modulus gives a
            // wrong result here; it is not handed out.
            if (BN_cmp(t.get(), x.get()) != 0) {
                return QXSA_ERR_INTERNAL;
            }
        }
    }
    if (BN_bn2binpad(y.get(), result, static_cast<int>(result_length)) < 0) {
        return QXSA_ERR_INTERNAL;
    }
    return QXSA_OK;
}

uint32_t read_bits(const uint8_t* block) {
    uint32_t bits = 0;
    std::memcpy(&bits, block, sizeof bits);
    return bits;
}

}  // namespace

uint32_t RsaCipher::Init(uint32_t, const uint8_t* key, uint32_t keyLength, const uint8_t*, uint32_t,
                         uint32_t direction, uint32_t padding) {
    KeyUser* user = keyLength == QXSA_RSA_PUBLIC_BLOCK_SIZE    ? &public_
                    : keyLength == QXSA_RSA_PRIVATE_BLOCK_SIZE ? &private_
                                                               : nullptr;
    if (user == nullptr || key == nullptr || (padding != QXSA_PAD_NONE && padding != QXSA_PAD_PKCS1) ||
        (direction != QXSA_ENCRYPT && direction != QXSA_DECRYPT)) {
        return QXSA_ERR_INVALID_PARAM;
    }
    const uint32_t bits = read_bits(key);
    if (bits == 0 || bits > QXSA_RSA_MAX_BITS) {
        return QXSA_ERR_INVALID_PARAM;
    }
    discard_collected();
    user->block = key;
    user->bits = bits;
    user->direction = direction;
    user->padding = padding;
    active_ = user;
    return QXSA_OK;
}

uint32_t RsaCipher::Update(const uint8_t* in, uint32_t inLength) {
    return active_ == nullptr ? QXSA_ERR_INVALID_PARAM : CipherObject::Update(in, inLength);
}

uint32_t RsaCipher::Final(uint8_t* out, uint32_t* outLength) {
    return active_ == nullptr ? QXSA_ERR_INVALID_PARAM : CipherObject::Final(out, outLength);
}

uint32_t RsaCipher::Process(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) {
    if (active_ == nullptr || (in == nullptr && inLength != 0) || out == nullptr || outLength == nullptr) {
        return QXSA_ERR_INVALID_PARAM;
    }
    const KeyUser& user = *active_;
    // Length rules use the whole bytes of the modulus, the numbers its rounded-up size.
    const int64_t rule = user.bits / 8;
    const size_t size = (user.bits + 7) / 8;
    const int64_t n = inLength;
    const bool pkcs1 = user.padding == QXSA_PAD_PKCS1;
    uint8_t em[kModulusField];
    struct Wipe {
        uint8_t* p;
        ~Wipe() { OPENSSL_cleanse(p, kModulusField); }
    } wipe{em};

    if (user.direction == QXSA_ENCRYPT) {
        const uint8_t* operand = in;
        size_t operand_length = inLength;
        if (pkcs1) {
            if (!user.is_private && n > rule - kPkcs1Overhead) {
                return QXSA_ERR_RSA_DATA_LEN;
            }
            if (user.is_private && n != rule - kPkcs1Overhead) {
                return QXSA_ERR_INVALID_PARAM;
            }
            // 00 02 <non-zero random> 00 data (public key), 00 01 <FF...> 00 data (private key)
            const size_t fill = size - 3 - inLength;
            em[0] = 0x00;
            em[1] = user.is_private ? 0x01 : 0x02;
            uint8_t* ps = em + 2;
            if (user.is_private) {
                std::memset(ps, 0xFF, fill);
            } else {
                CryptoLibrary* lib = CryptoLibrary::instance();
                if (lib == nullptr || !lib->random_bytes(ps, fill)) {
                    return QXSA_ERR_INTERNAL;
                }
                for (size_t i = 0; i < fill; ++i) {
                    while (ps[i] == 0) {
                        if (!lib->random_bytes(ps + i, 1)) {
                            return QXSA_ERR_INTERNAL;
                        }
                    }
                }
            }
            em[2 + fill] = 0x00;
            if (inLength != 0) {
                std::memcpy(em + 3 + fill, in, inLength);
            }
            operand = em;
            operand_length = size;
        } else if (n != rule) {
            return QXSA_ERR_INVALID_PARAM;
        }
        const uint32_t status = modexp(blinding_, user.block, user.is_private, operand, operand_length, out, size);
        if (status == QXSA_OK) {
            *outLength = static_cast<uint32_t>(size);
        }
        return status;
    }

    if (n != rule) {
        return QXSA_ERR_INVALID_PARAM;
    }
    const uint32_t status = modexp(blinding_, user.block, user.is_private, in, inLength, em, size);
    if (status != QXSA_OK) {
        return status;
    }
    if (!pkcs1) {
        std::memcpy(out, em, size);
        *outLength = static_cast<uint32_t>(size);
        return QXSA_OK;
    }
    // Public key: 00 01 FF..FF 00 data.  Private key: 00 02 <non-zero> 00 data.
    if (size < 2 || em[0] != 0x00 || em[1] != (user.is_private ? 0x02 : 0x01)) {
        return QXSA_ERR_RSA_INPUT;
    }
    size_t i = 2;
    while (i < size && em[i] != 0x00) {
        if (!user.is_private && em[i] != 0xFF) {
            return QXSA_ERR_RSA_INPUT;
        }
        ++i;
    }
    if (i >= size) {
        return QXSA_ERR_RSA_INPUT;
    }
    const size_t data_length = size - i - 1;
    if (static_cast<int64_t>(data_length) > rule - kPkcs1Overhead) {
        return QXSA_ERR_RSA_INPUT;
    }
    if (data_length != 0) {
        std::memcpy(out, em + i + 1, data_length);
    }
    *outLength = static_cast<uint32_t>(data_length);
    return QXSA_OK;
}

}  // namespace qx::softalg
