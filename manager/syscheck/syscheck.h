// The system check report: nine rows (eight when Config.ini lists no CA or
// root certificates) of what a support person asks first.  The rows are
// computed here from probes; the Win32 face supplies the system probes
// (version, registry, file version) and the page adapts the kernel.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qx::syscheck {

using Text = std::u16string;
using Bytes = std::vector<uint8_t>;

// ---- the Windows edition ----

struct OsVersion {
    uint32_t major = 0, minor = 0, platformId = 0;
    uint32_t productType = 0;  // 1 workstation, 2 domain controller, 3 server
    int serverR2 = 0;          // the SM_SERVERR2 metric
};
// The edition's name, empty for a version not in the table.
Text edition_text(const OsVersion& v);

// ---- Internet Explorer ----

// "svcVersion", else "Version", else empty.
Text ie_version_text(const std::optional<Text>& svcVersion, const std::optional<Text>& version);

// Cipher strength from schannel.dll's version strings (nullopt = the query
// failed): no description: empty; "Export Version" in it: "40-Bit"; no
// file version: "128-Bit"; a version beginning with '5': "128-Bit", with
// '6': "256-Bit"; anything else empty.
Text cipher_strength_text(const std::optional<Text>& fileDescription, const std::optional<Text>& fileVersion);

// What the system probes give; the Win32 face reads them, tests fake them.
struct SystemFacts {
    OsVersion os;
    std::optional<Text> ieSvcVersion, ieVersion;
    std::optional<Text> schannelDescription, schannelVersion;
};

// Reads the facts from the running system (Windows: version, registry,
// schannel.dll's version resource; elsewhere nothing is known).
SystemFacts read_system_facts();

// ---- the token ----

// The kernel calls the report needs, for the current device.  A missing
// kernel entry answers as a failing call.
class TokenQueries {
public:
    virtual ~TokenQueries() = default;
    virtual bool connected() const = 0;
    // ANSI serial number text (up to 260 bytes); nullopt on failure.
    virtual std::optional<std::string> serial_number() = 0;
    // QXToken_IsMeetSecurityStatus(handle, 3) != 0.
    virtual bool extended_authentication() = 0;
    // QXToken_GetPinRetryNum(handle, user PIN); nullopt on failure.
    virtual std::optional<uint32_t> user_pin_retries() = 0;
    // QXToken_GetDeviceSlotNO; nullopt on failure.
    virtual std::optional<uint32_t> slot_number() = 0;
    // QXToken_ReadMemCert(slot, out, first): the status, the certificate in `out`.
    virtual uint32_t read_mem_cert(uint32_t slot, bool first, Bytes* out) = 0;
    // Runs `walk` holding the process's memory-certificate lock (the
    // kernel's read position is per process, so walks must not interleave).
    virtual void with_mem_cert_lock(const std::function<void()>& walk) { walk(); }
};

// The current user's stores, as far as the report asks them.
class StoreQueries {
public:
    virtual ~StoreQueries() = default;
    // Whether the bytes decode as an X.509 certificate.
    virtual bool decodes(const Bytes& der) = 0;
    // Whether store `name` ("MY", "ca", "root") holds an equal certificate
    // (same issuer and serial number).
    virtual bool contains(const char* store, const Bytes& der) = 0;
};

// The system's stores through the platform certificate-store service.
std::unique_ptr<StoreQueries> system_stores();

enum class UserCerts { noCert, registered, unregistered };
// Row 7: the slot's memory certificates, all found in "MY" or not.
UserCerts user_cert_state(TokenQueries& token, StoreQueries& stores);

// ---- the installation's CA and root certificates ----

struct InstallCerts {
    std::vector<Text> caFiles, rootFiles;  // full paths
};
// The [InstallCert] lists of the Config.ini at `configPath` (names relative
// to its directory).  nullopt when Config.ini cannot be loaded or lists
// nothing: the row is then left out.
std::optional<InstallCerts> install_certs(const Text& configPath);
// "CACert[1]" and so on.
std::string install_cert_key(const char* word, int n);

// Reads a whole file; nullopt when it cannot be read.  Certificate files
// are read whole, whatever their size, so a large chain file is judged by
// its content rather than by a truncated prefix.
using FileReader = std::function<std::optional<Bytes>(const Text& path)>;
FileReader system_file_reader();

// Row 8: every listed file decodes and is found in its store.
bool install_certs_registered(const InstallCerts& certs, StoreQueries& stores, const FileReader& read);

// ---- the report ----

struct Row {
    Text label;
    Text value;
};

// Localized text of a [TEXT] key.
using Localize = std::function<Text(const char* key)>;

std::vector<Row> build_report(const SystemFacts& facts, TokenQueries& token, StoreQueries& stores,
                              const std::optional<InstallCerts>& installCerts, const FileReader& read,
                              const Localize& text);

// The page's column widths: a third of the list's width, then the rest.
std::pair<int, int> column_widths(int listWidth);

}  // namespace qx::syscheck
