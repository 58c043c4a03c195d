// The four exports.  Each is a thin dispatcher that lets no exception out.
#include "QXSoftAlg.h"
#include "objects.h"

#include "qx/platform/system.h"

namespace {

// Announces loading and unloading of the library on the debugger output.
struct LoadNotice {
    LoadNotice() { qx::platform::debug_output("QXSoftAlg: DLL_PROCESS_ATTACH\n"); }
    ~LoadNotice() { qx::platform::debug_output("QXSoftAlg: DLL_PROCESS_DETACH\n"); }
};
const LoadNotice load_notice;

}  // namespace

extern "C" {

QXSA_EXPORT MessageDigest* QXSA_CALL QXCreateMessageDigest(uint32_t algorithm) {
    try {
        return qx::softalg::create_digest(algorithm);
    } catch (...) {
        return nullptr;
    }
}

QXSA_EXPORT void QXSA_CALL QXDestroyMessageDigest(MessageDigest* digest) {
    try {
        qx::softalg::destroy_digest(digest);
    } catch (...) {
    }
}

QXSA_EXPORT Cipher* QXSA_CALL QXCreateCipher(uint32_t algorithm) {
    try {
        return qx::softalg::create_cipher(algorithm);
    } catch (...) {
        return nullptr;
    }
}

QXSA_EXPORT void QXSA_CALL QXDestroyCipher(Cipher* cipher) {
    try {
        qx::softalg::destroy_cipher(cipher);
    } catch (...) {
    }
}

}  // extern "C"
