// The current user's certificate stores ("MY", "ca", "root", ...) and the
// few certificate fields the middleware shows or compares.
//
// Windows: the system's CryptoAPI stores.  POSIX: one folder per store under
// the per-user data directory (see the implementation file for the layout).
//
// Semantics follow the system store in both builds: an add is keyed on the
// certificate's bytes (SHA-1 thumbprint); find, remove and compare match on
// issuer and serial number only.  Bytes after the end of the certificate's
// DER encoding are ignored everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qx::platform {

// The key-provider property of a stored certificate (which key container of
// which provider holds its private key).
struct KeyProvider {
    std::u16string container;
    std::u16string provider;
    uint32_t providerType = 1;
    uint32_t flags = 0;
    uint32_t keySpec = 0;

    bool operator==(const KeyProvider&) const = default;
};

struct StoredCertificate {
    std::vector<uint8_t> der;
    std::optional<KeyProvider> keyProvider;
};

enum class AddMode {
    ReplaceExisting,  // an entry with the same bytes is replaced (with its property)
    UseExisting,      // an entry with the same bytes is kept (a property given is set on it)
};

enum class StoreStatus {
    Ok,
    NotFound,        // no certificate with that issuer and serial number
    BadCertificate,  // the bytes do not parse as an X.509 certificate
    BadName,         // the store name is not 1 to 64 ASCII letters or digits
    Cancelled,       // the user refused the change (root store confirmation)
    Failed,          // any other failure of the store
};

// 1 to 64 ASCII letters or digits.  Store names are case-insensitive.
bool valid_store_name(const std::string& name);

// The length of the DER certificate at the start of `data` (the outer
// SEQUENCE's header and content); 0 when the header is malformed or claims
// more bytes than `length`.
std::size_t der_certificate_length(const uint8_t* data, std::size_t length);

class CertStore {
public:
    // Opens (creating it if needed) the current user's store `name`.
    // Null with *status set (BadName, Failed) when it cannot be opened.
    static std::unique_ptr<CertStore> open(const std::string& name, StoreStatus* status = nullptr);

    virtual ~CertStore() = default;
    CertStore(const CertStore&) = delete;
    CertStore& operator=(const CertStore&) = delete;

    // Adds the certificate, with `keyProvider` as its property when given.
    virtual StoreStatus add(const uint8_t* der, std::size_t length, AddMode mode,
                            const KeyProvider* keyProvider) = 0;
    // The first certificate whose issuer and serial number equal the given one's.
    virtual StoreStatus find(const uint8_t* der, std::size_t length, StoredCertificate* found) = 0;
    // Removes the first certificate whose issuer and serial number equal the given one's.
    virtual StoreStatus remove(const uint8_t* der, std::size_t length) = 0;
    // Every certificate in the store.
    virtual std::vector<StoredCertificate> list() = 0;

protected:
    CertStore() = default;
};

// Fields of a certificate as the system shows them.  Names are UTF-16: the
// subject's common name (attribute 2.5.4.3; empty when absent) and the
// simple display names of subject and issuer (common name, else the first
// organisational unit, organisation or e-mail address).  Validity in seconds
// since 1970-01-01 UTC.
struct CertificateInfo {
    std::u16string subjectCommonName;
    std::u16string subjectName;
    std::u16string issuerName;
    int64_t notBefore = 0;
    int64_t notAfter = 0;
    // Lowercase hexadecimal SHA-1 of the DER bytes.
    std::string thumbprint;
};
// False when the bytes do not parse as an X.509 certificate.
bool certificate_info(const uint8_t* der, std::size_t length, CertificateInfo* info);

}  // namespace qx::platform
