// PKCS #12 (PFX) files: their certificates in file order and the private key
// of the one it belongs to, exported as key blobs in the layout of the
// Windows cryptography service (blob header: type, version 2, algorithm;
// RSA: "RSA1"/"RSA2" header and little-endian numbers; SM2: bit length and
// little-endian 64-byte numbers).
//
// Windows: the system's PFX import (keys exportable), the private key found
// with the compare-key flag and exported; every key container the import
// persisted is deleted again when the file object goes.  POSIX: OpenSSL in a
// library context of its own with the default and legacy providers (so that
// RC2-protected files open); RSA and SM2 keys come out as exchange keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "qx/platform/cert_store.h"

namespace qx::platform {

// Blob algorithm identifiers.
constexpr uint32_t kBlobRsaSign = 0x2400;
constexpr uint32_t kBlobRsaExchange = 0xA400;
constexpr uint32_t kBlobSm2Sign = 0x3E00;
constexpr uint32_t kBlobSm2Exchange = 0xBE00;
constexpr uint8_t kPublicKeyBlob = 6;
constexpr uint8_t kPrivateKeyBlob = 7;

// Bytes wiped when they go.
class SecretBlob {
public:
    SecretBlob() = default;
    ~SecretBlob() { wipe(); }
    SecretBlob(const SecretBlob&) = delete;
    SecretBlob& operator=(const SecretBlob&) = delete;
    void wipe();
    std::vector<uint8_t>& bytes() { return bytes_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

struct PfxKeyPair {
    std::vector<uint8_t> publicBlob;
    SecretBlob privateBlob;
    // 1 exchange, 2 signature: from the exported blob's algorithm.
    uint32_t keySpec = 0;
};

// Whether the bytes look like a PKCS #12 file at all.
bool is_pfx_blob(const uint8_t* data, std::size_t length);

class PfxFile {
public:
    // Opens the file with the password (UTF-16, may be empty).  Null when the
    // bytes are not a PFX file or the password does not open it.
    static std::unique_ptr<PfxFile> open(const uint8_t* data, std::size_t length, std::u16string_view password);

    virtual ~PfxFile() = default;
    PfxFile(const PfxFile&) = delete;
    PfxFile& operator=(const PfxFile&) = delete;

    // The certificates in file order, each exactly its DER encoding.
    virtual std::size_t count() const = 0;
    virtual const std::vector<uint8_t>& certificate(std::size_t index) const = 0;
    // Whether the file holds the private key of certificate `index`.
    virtual bool has_private_key(std::size_t index) = 0;
    // The key pair of certificate `index` as public and private blobs; false
    // when it cannot be exported.
    virtual bool export_key(std::size_t index, PfxKeyPair* out) = 0;
    // Names the key provider of certificate `index` (where its key lives from
    // now on) on the file's own copy; false when the system refuses.
    virtual bool set_key_provider(std::size_t index, const KeyProvider& provider) = 0;

protected:
    PfxFile() = default;
};

}  // namespace qx::platform
