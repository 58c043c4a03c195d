// The certificate page's table: the certificates of the current token's
// containers, rebuilt aside and swapped in under a short lock, so the page
// thread always sees a whole listing.  Each listing remembers the device it
// came from; deleting acts only while that device is still the current one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "kernel_binding.h"

namespace qx::manager {

class CurrentDevice;

constexpr uint32_t kCertReadLimit = 4096;
constexpr uint32_t kContainerNameLimit = 260;
constexpr uint32_t kEnumContainerMask = 255;

struct CertRecord {
    uint32_t index = 0;      // certificate slot on the token
    uint8_t keySpec = 0;     // 1 exchange, 2 signature
    std::vector<uint8_t> der;
    std::u16string commonName;
    std::string containerName;  // 8-bit, as the kernel gives it
};

struct CertListing {
    std::vector<CertRecord> records;
    bool hasDevice = false;
    uint64_t deviceGeneration = 0;
    // 1 when the container enumeration ended with ERR_NO_CONTAINER, else 0.
    uint32_t result = 0;
};

// Outcomes of the page's buttons: the language key to show, or nothing.
enum class CertAction { success, failed, selectCert, cancelled, certExists };
const char* cert_action_key(CertAction action);  // "Success", "Failed", "SelectCert", "", "Cert_Exist"

class CertTable {
public:
    // Rebuilds from the current device (registering each certificate listed)
    // and swaps the new listing in.  Returns the listing's result.
    uint32_t refresh(const KernelApi& kernel, CurrentDevice& current);
    std::shared_ptr<const CertListing> listing() const;

    // Register / unregister the record of `row` (none: "SelectCert"); an
    // empty certificate counts as failure.
    CertAction register_row(const KernelApi& kernel, std::optional<std::size_t> row) const;
    CertAction unregister_row(const KernelApi& kernel, std::optional<std::size_t> row) const;
    // Deletes the record of `row` from the token after `confirm` (given the
    // confirmation text) says yes; refused ("Failed") when the current
    // device is not the one the listing came from.  Refreshes on success.
    CertAction delete_row(const KernelApi& kernel, CurrentDevice& current, std::optional<std::size_t> row,
                          const std::u16string& confirmFormat,
                          const std::function<bool(const std::u16string& text)>& confirm);

private:
    mutable std::mutex mutex_;       // guards the pointer swap only
    std::mutex refreshMutex_;        // one rebuild at a time
    std::shared_ptr<const CertListing> listing_ = std::make_shared<CertListing>();
};

// The confirmation text of a deletion: the first "%s" of `format` is replaced
// by `value`; everything else, further conversions included, stays as written.
std::u16string fill_first_placeholder(const std::u16string& format, const std::u16string& value);

// Whether a chosen file may be imported: its lower-cased path contains ".pfx" or ".p12".
bool is_pfx_path(const std::u16string& path);

// The largest PFX file the page imports.
constexpr std::size_t kPfxImportLimit = std::size_t{1} << 20;

// The bytes of a file chosen for import; nothing for a path that is not a PFX
// file's, a file that cannot be read, an empty one or one over the limit
// (the page then shows "Failed").
std::optional<std::vector<uint8_t>> read_pfx_for_import(const std::u16string& path);

// ---- what the page shows of a certificate (DER, X.509) ----

struct CertDate {
    int year = 0, month = 0, day = 0;
};

struct CertSummary {
    std::u16string subjectCommonName;  // attribute 2.5.4.3, empty when absent
    std::u16string subject;            // simple display name: CN, else O, else OU, else the first text attribute
    std::u16string issuer;
    CertDate notBefore, notAfter;
};

// Nothing for bytes that are not a certificate.
std::optional<CertSummary> summarize_certificate(const uint8_t* der, std::size_t length);
// "%d/%d/%d-%d/%d/%d": year, month, day of NotBefore, then of NotAfter.
std::u16string validity_text(const CertSummary& summary);

}  // namespace qx::manager
