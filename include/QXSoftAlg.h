/* QXSoftAlg: message-digest and cipher objects implemented in software.
 *
 * The library exports four factory functions; everything else is reached
 * through the virtual operations of the objects they hand out.  Callers in
 * other modules call those operations through the vtable, so the order of the
 * virtual functions below is an interface between separately built modules and
 * never changes.  Objects are destroyed only by QXDestroyMessageDigest and
 * QXDestroyCipher of the library that created them (their destructors are
 * protected so that a caller cannot delete them on its own heap).
 *
 * Conventions: statuses are 32-bit unsigned values (QXSA_OK = 0); lengths are
 * 32-bit unsigned; an output length is passed by pointer.  Objects carry no
 * locks: one object is used by one thread at a time.
 */
#ifndef QX_SOFTALG_H
#define QX_SOFTALG_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#define QXSA_CALL __stdcall
#define QXSA_EXPORT
#else
#define QXSA_CALL
#define QXSA_EXPORT __attribute__((visibility("default")))
#endif

/* Digest identifiers (QXCreateMessageDigest). */
#define QXSA_MD_MD2 1u    /* 16-byte digest */
#define QXSA_MD_MD4 2u    /* 16 */
#define QXSA_MD_MD5 3u    /* 16 */
#define QXSA_MD_SHA1 4u   /* 20 */
#define QXSA_MD_SHA256 5u /* 32 */
#define QXSA_MD_SHA384 6u /* 48 */
#define QXSA_MD_SHA512 7u /* 64 */
#define QXSA_MD_SM3 0x10u /* 32 */

/* Cipher identifiers (QXCreateCipher). */
#define QXSA_CIPHER_DES 0x100u       /* key 8, block 8 */
#define QXSA_CIPHER_DES_EDE2 0x200u  /* two-key triple DES, key K1 || K2 (16), block 8 */
#define QXSA_CIPHER_DES_EDE3 0x300u  /* three-key triple DES, key K1 || K2 || K3 (24), block 8 */
#define QXSA_CIPHER_AES 0x400u       /* key 16, 24 or 32, block 16 */
#define QXSA_CIPHER_SM4 0x600u       /* key 16, block 16 */
#define QXSA_CIPHER_RC2 0x800u       /* key 1 to 128, effective key bits 128, block 8 */
#define QXSA_CIPHER_RC4 0x1100u      /* key 1 to 256, stream */
#define QXSA_CIPHER_RSA 0x20000u     /* key: RsaPublicKeyBlock or RsaPrivateKeyBlock */

/* Modes (Cipher::Init mode).  RC4 and RSA ignore the mode. */
#define QXSA_MODE_CBC 1u
#define QXSA_MODE_ECB 2u

/* Directions (Cipher::Init direction). */
#define QXSA_DECRYPT 0u
#define QXSA_ENCRYPT 1u

/* Padding values (Cipher::Init padding).  With k = bs - (n mod bs), 1..bs:
 * NONE: input must be a multiple of the block size.
 * PKCS5: k bytes of value k.                  Removal: last byte's value.
 * ISO10126: k-1 random bytes, then k.         Removal: last byte's value.
 * ZERO: k bytes 0x00.                         Removal: every trailing 0x00.
 * X923: k-1 bytes 0x00, then k.               Removal: last byte's value.
 * ISO9797_M2: 0x80, then k-1 bytes 0x00.      Removal: trailing 0x00 run and the
 *   0x80 before it, unless that 0x80 is the first byte or another byte ends
 *   the run (then nothing is removed).
 * Removal never checks the removed bytes; a count beyond the data fails (19).
 * Padding an empty input fails (19).
 * PKCS1 is for RSA only (block type 01 or 02 formatting); RSA also takes NONE. */
#define QXSA_PAD_NONE 0u
#define QXSA_PAD_PKCS5 1u
#define QXSA_PAD_ISO10126 2u
#define QXSA_PAD_ZERO 3u
#define QXSA_PAD_X923 4u
#define QXSA_PAD_ISO9797_M2 5u
#define QXSA_PAD_PKCS1 6u

/* Status values. */
#define QXSA_OK 0u
#define QXSA_ERR_INTERNAL 2u          /* failure while processing blocks */
#define QXSA_ERR_NO_MEMORY 3u
#define QXSA_ERR_INVALID_PARAM 0x13u  /* bad mode/padding/direction/key/IV/length, padding, not initialised */
#define QXSA_ERR_RSA_INPUT 0x401u     /* RSA: input not below the modulus, or bad block after decryption */
#define QXSA_ERR_RSA_DATA_LEN 0x406u  /* RSA: data too long for PKCS #1 formatting */
#define QXSA_DIGEST_FAILED 0xFFFFFFFFu /* digests: null/empty input to Digest, short or null output length */

#define QXSA_RSA_MAX_BITS 2048u
#define QXSA_RSA_PUBLIC_BLOCK_SIZE 516u
#define QXSA_RSA_PRIVATE_BLOCK_SIZE 1412u

/* RSA key blocks: numbers big-endian, right-aligned in their fields (leading
 * zero bytes); bits in host byte order.  The RSA object keeps a pointer to the
 * block passed to Init: the caller keeps it alive and unchanged until the
 * next Init or the destruction of the object. */
typedef struct RsaPublicKeyBlock {
    uint32_t bits;               /* modulus length in bits, 1..2048 */
    uint8_t modulus[256];
    uint8_t publicExponent[256];
} RsaPublicKeyBlock;

typedef struct RsaPrivateKeyBlock {
    uint32_t bits;
    uint8_t modulus[256];
    uint8_t publicExponent[256];
    uint8_t privateExponent[256];
    uint8_t prime[2][128];       /* p, q */
    uint8_t primeExponent[2][128]; /* d mod (p-1), d mod (q-1) */
    uint8_t coefficient[128];    /* q^-1 mod p */
} RsaPrivateKeyBlock;

#ifdef __cplusplus
static_assert(sizeof(RsaPublicKeyBlock) == QXSA_RSA_PUBLIC_BLOCK_SIZE, "RsaPublicKeyBlock size");
static_assert(sizeof(RsaPrivateKeyBlock) == QXSA_RSA_PRIVATE_BLOCK_SIZE, "RsaPrivateKeyBlock size");
static_assert(offsetof(RsaPublicKeyBlock, publicExponent) == 260, "publicExponent offset");
static_assert(offsetof(RsaPrivateKeyBlock, privateExponent) == 516, "privateExponent offset");
static_assert(offsetof(RsaPrivateKeyBlock, prime) == 772, "prime offset");
static_assert(offsetof(RsaPrivateKeyBlock, primeExponent) == 1028, "primeExponent offset");
static_assert(offsetof(RsaPrivateKeyBlock, coefficient) == 1284, "coefficient offset");

/* A message digest.  Created initialised.  After Final or Digest the object is
 * back at the start of a new message by itself. */
class MessageDigest {
public:
    /* slot 0: start over on a new message; returns 0. */
    virtual uint32_t Init() = 0;
    /* slot 1: one-call digest.  Null data or length 0: QXSA_DIGEST_FAILED.  Null
     * out: *outLength = digest length, returns 0, nothing hashed.  *outLength
     * smaller than the digest length: set to it, QXSA_DIGEST_FAILED.  Otherwise
     * data is added to the running message (SM3: data alone, earlier Update
     * input is not included), the digest written and *outLength set. */
    virtual uint32_t Digest(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t* outLength) = 0;
    /* slot 2: add data to the running message; returns 0. */
    virtual uint32_t Update(const uint8_t* data, uint32_t length) = 0;
    /* slot 3: finish the message; out and outLength as for Digest. */
    virtual uint32_t Final(uint8_t* out, uint32_t* outLength) = 0;

protected:
    MessageDigest() = default;
    MessageDigest(const MessageDigest&) = delete;
    MessageDigest& operator=(const MessageDigest&) = delete;
    /* last slot(s): destroyed only through QXDestroyMessageDigest. */
    virtual ~MessageDigest() = default;
};

/* A cipher.  Created uninitialised; Init must succeed before Process/Final. */
class Cipher {
public:
    /* slot 0: set key, mode, direction and padding; discards collected input.
     * Returns 0 or 19 (RC4: 3 when out of memory).  CBC needs an IV of the
     * block size.  RC4 takes only key/keyLength.  RSA: key points to a
     * RsaPublicKeyBlock (keyLength 516) or RsaPrivateKeyBlock (1412), padding
     * QXSA_PAD_NONE or QXSA_PAD_PKCS1. */
    virtual uint32_t Init(uint32_t mode, const uint8_t* key, uint32_t keyLength, const uint8_t* iv,
                          uint32_t ivLength, uint32_t direction, uint32_t padding) = 0;
    /* slot 1: encrypt or decrypt the whole input.  out must hold inLength plus
     * one block (block ciphers encrypting with padding), inLength (decrypting,
     * RC4) or the modulus length (RSA).  *outLength is output only.  CBC
     * chaining carries over to the next call for triple DES, RC2 and AES; DES
     * and SM4 restart from the IV given to Init. */
    virtual uint32_t Process(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) = 0;
    /* slot 2: collect input for Final; returns 0 (3 when out of memory). */
    virtual uint32_t Update(const uint8_t* in, uint32_t inLength) = 0;
    /* slot 3: Process over the collected input; released on success only. */
    virtual uint32_t Final(uint8_t* out, uint32_t* outLength) = 0;

protected:
    Cipher() = default;
    Cipher(const Cipher&) = delete;
    Cipher& operator=(const Cipher&) = delete;
    /* last slot(s): destroyed only through QXDestroyCipher. */
    virtual ~Cipher() = default;
};

extern "C" {
#else
typedef struct MessageDigest MessageDigest;
typedef struct Cipher Cipher;
#endif /* __cplusplus */

/* A new digest object, initialised; null for an unknown identifier or when
 * memory runs out. */
QXSA_EXPORT MessageDigest* QXSA_CALL QXCreateMessageDigest(uint32_t algorithm);
/* Destroys a digest object of this library; null is ignored. */
QXSA_EXPORT void QXSA_CALL QXDestroyMessageDigest(MessageDigest* digest);
/* A new cipher object, not yet initialised; null for an unknown identifier or
 * when memory runs out. */
QXSA_EXPORT Cipher* QXSA_CALL QXCreateCipher(uint32_t algorithm);
/* Destroys a cipher object of this library; null is ignored. */
QXSA_EXPORT void QXSA_CALL QXDestroyCipher(Cipher* cipher);

typedef MessageDigest*(QXSA_CALL* PFN_QXCreateMessageDigest)(uint32_t algorithm);
typedef void(QXSA_CALL* PFN_QXDestroyMessageDigest)(MessageDigest* digest);
typedef Cipher*(QXSA_CALL* PFN_QXCreateCipher)(uint32_t algorithm);
typedef void(QXSA_CALL* PFN_QXDestroyCipher)(Cipher* cipher);

#ifdef __cplusplus
}
#endif

#endif /* QX_SOFTALG_H */
