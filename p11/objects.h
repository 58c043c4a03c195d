// Token objects as Cryptoki sees them: attribute sets built from a
// container's key pairs and certificates, template matching and the reading
// rules of C_GetAttributeValue.  Pure data: nothing here talks to the token.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cryptoki.h"

namespace qx::p11 {

using Bytes = std::vector<uint8_t>;

struct Attribute {
    Bytes value;
    bool sensitive = false;  // present, but its value never leaves the token
};

struct Object {
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    bool isPrivate = false;
    std::string container;   // the container's name (also CKA_LABEL)
    uint32_t keySpec = 0;    // 1 exchange, 2 signature
    uint32_t keyIndex = 0;   // the key pair's slot on the token (also the certificate's)
    uint32_t algorithm = 0;  // 0x20000 RSA, 0x10000 SM2
    std::map<CK_ATTRIBUTE_TYPE, Attribute> attributes;

    const Bytes* value(CK_ATTRIBUTE_TYPE type) const;
    bool flag(CK_ATTRIBUTE_TYPE type) const;  // a CK_BBOOL attribute that is present and true
};

Bytes ulong_value(CK_ULONG v);
Bytes bool_value(bool v);
// Big-endian number without leading zero bytes (at least one byte).
Bytes strip_leading_zeros(const uint8_t* data, size_t length);
Bytes sha1(const Bytes& data);

// The DER encoding of the SM2 curve's object identifier.
extern const Bytes kSm2CurveOid;

// The public part of a key pair, as read from the token's key block.
struct PublicKey {
    uint32_t algorithm = 0;
    uint32_t bits = 0;
    Bytes modulus, exponent;  // RSA
    Bytes point;              // SM2: 04 || X || Y
};
// From the kernel's public key block (RSA 516 bytes, SM2 132 bytes); nullopt when malformed.
std::optional<PublicKey> parse_public_block(uint32_t algorithm, const uint8_t* block, size_t length);
// The identifier shared by a key pair and its certificate: SHA-1 of the modulus or point.
Bytes key_id(const PublicKey& key);

std::vector<Object> key_pair_objects(const std::string& container, uint32_t keySpec, uint32_t keyIndex,
                                     const PublicKey& key);

struct CertificateFields {
    Bytes subject, issuer, serial;  // DER of the names and of the serial number's INTEGER
    std::optional<PublicKey> publicKey;
};
std::optional<CertificateFields> parse_certificate(const Bytes& der);
// id empty: taken from the certificate's own public key.
std::optional<Object> certificate_object(const std::string& container, uint32_t keySpec, uint32_t keyIndex,
                                         const Bytes& der, const Bytes& id);

// Every template attribute present with exactly the template's bytes.
bool matches(const Object& object, const CK_ATTRIBUTE* templ, CK_ULONG count);
// C_GetAttributeValue's rules for one object (template already checked non-null).
CK_RV read_attributes(const Object& object, CK_ATTRIBUTE* templ, CK_ULONG count);
// A template attribute's value; nullopt when absent; bad length or pointer: *error set.
std::optional<Bytes> template_value(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type);
std::optional<CK_ULONG> template_ulong(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type,
                                       bool& malformed);
std::optional<bool> template_bool(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type,
                                  bool& malformed);

// The DigestInfo prefix of CKM_SHA*_RSA_PKCS's digest, empty for other mechanisms.
Bytes digest_info_prefix(CK_MECHANISM_TYPE mechanism);

// Copies `text` into a fixed Cryptoki text field padded with spaces.
void pad_text(CK_UTF8CHAR* field, size_t size, const std::string& text);

}  // namespace qx::p11

namespace qx::p11 {
// Token labels are UTF-16 little-endian on the token (as the manager tool and
// the dialogs write them); Cryptoki's are UTF-8.  Other bytes pass unchanged.
std::string label_from_token(const uint8_t* field, size_t size);
// nullopt: not text of the basic multilingual plane, or longer than maxBytes once encoded.
std::optional<Bytes> label_to_token(const std::string& utf8, size_t maxBytes);
}  // namespace qx::p11
