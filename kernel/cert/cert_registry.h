// Certificates in the current user's certificate stores: the user's own
// certificates in "MY" with a reference to the key provider, CA and root
// certificates, and the self-signed test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "qx/platform/cert_store.h"

namespace qx::kernel {

// The common-name buffer RegUserCert fills (terminator included).
constexpr uint32_t kCommonNameSize = 1024;
// Container and provider names fit 259 UTF-16 units and a terminator.
constexpr std::size_t kMaxProviderNameUnits = 259;
// A store that keeps refusing (a user who keeps declining) is asked this often.
constexpr int kMaxStoreAddAttempts = 3;
// The largest CA or root certificate file RegCACert installs.
constexpr std::size_t kMaxInstallFile = 4096;
// No configuration lists more certificate files than this.
constexpr int32_t kMaxInstallCount = 999;

// Runs `attempt` until it succeeds, asking again only after a refusal by
// the user (StoreStatus::Cancelled), at most kMaxStoreAddAttempts times.
bool add_with_retries(const std::function<platform::StoreStatus()>& attempt);

// Adds the certificate to "MY" with the key-provider reference (container,
// the configured provider name, type 1, flags 0, `keySpec`), replacing an
// equal one; `commonName` (when given) receives the subject's common name in
// the system's 8-bit text, cut to kCommonNameSize - 1 bytes.  ERR_INVALID_PARAM
// for a container name over 259 UTF-16 units; ERR_COMMAND_FAILED when the
// certificate does not parse or the store fails.
uint32_t register_user_certificate(const uint8_t* der, uint32_t length, const char* container, uint32_t keySpec,
                                   char* commonName);
// Removes the first certificate of "MY" with the same issuer and serial
// number.  ERR_COMMAND_FAILED when it is not there or cannot be removed.
uint32_t unregister_user_certificate(const uint8_t* der, uint32_t length);
// 1 when the certificate was added to `store` (an equal one is kept), else 0.
uint32_t register_certificate_to_store(const std::u16string& store, const uint8_t* der, uint32_t length);
// Installs the CA and root certificates that Config.ini lists.
void install_listed_certificates();
// 1 when the certificate parses and its signature verifies with its own key.
uint32_t is_self_signed(const uint8_t* der, uint32_t length);
// Unregisters from "MY" every certificate held in the slot's certificate cache.
uint32_t unregister_slot_certificates(uint32_t slot);

}  // namespace qx::kernel
