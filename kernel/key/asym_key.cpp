#include "asym_key.h"

namespace qx::kernel {

// Key-pair operations arrive in the next commits; until then they refuse.
uint32_t QXRsaKey::Generate(const uint8_t*, uint32_t) { return ERR_INVALID_PARAM; }
uint32_t QXRsaKey::Encrypt(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }
uint32_t QXRsaKey::Decrypt(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }
uint32_t QXRsaKey::GetKeyBuffer(uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }
uint32_t QXRsaKey::Import(QXKey*, uint32_t, uint32_t, const uint8_t*, uint32_t) { return ERR_INVALID_PARAM; }
uint32_t QXRsaKey::SignHash(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }
uint32_t QXRsaKey::VerifyHash(uint32_t, uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) { return ERR_INVALID_PARAM; }
uint32_t QXSm2Key::Generate(const uint8_t*, uint32_t) { return ERR_INVALID_PARAM; }
uint32_t QXSm2Key::Encrypt(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }
uint32_t QXSm2Key::Decrypt(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }
uint32_t QXSm2Key::GetKeyBuffer(uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }
uint32_t QXSm2Key::Import(QXKey*, uint32_t, uint32_t, const uint8_t*, uint32_t) { return ERR_INVALID_PARAM; }
uint32_t QXSm2Key::SignHash(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }
uint32_t QXSm2Key::VerifyHash(uint32_t, uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) { return ERR_INVALID_PARAM; }
uint32_t QXSm2Key::GetZA(uint8_t*, uint32_t*) { return ERR_INVALID_PARAM; }

std::unique_ptr<QXKey> make_asym_key(uint32_t algorithm) {
    if (algorithm == kAlgRsa) return std::make_unique<QXRsaKey>();
    if (algorithm == kAlgSm2) return std::make_unique<QXSm2Key>();
    return nullptr;
}

}  // namespace qx::kernel
