#include "soft_alg.h"

#include <cstring>

#include "qx/platform/module.h"

namespace qx::kernel {

std::unique_ptr<SoftAlgLibrary> SoftAlgLibrary::load(const std::string& directory) {
    platform::Module module(directory + platform::module_file_name("QXSoftAlg"));
    if (!module) return nullptr;
    SoftAlgFunctions f;
    f.createDigest = module.function<PFN_QXCreateMessageDigest>("QXCreateMessageDigest");
    f.destroyDigest = module.function<PFN_QXDestroyMessageDigest>("QXDestroyMessageDigest");
    f.createCipher = module.function<PFN_QXCreateCipher>("QXCreateCipher");
    f.destroyCipher = module.function<PFN_QXDestroyCipher>("QXDestroyCipher");
    if (!f.complete()) return nullptr;
    return std::unique_ptr<SoftAlgLibrary>(new SoftAlgLibrary(module.release(), f));
}

SoftAlgLibrary::~SoftAlgLibrary() { platform::free_module(module_); }

uint32_t SoftCipher::process_in_place(uint8_t* data, uint32_t length) {
    if (length == 0) return 0;
    // The objects do not promise that input and output may overlap.
    std::vector<uint8_t> out(length + 32);
    uint32_t outLength = 0;
    uint32_t rc = cipher_->Process(data, length, out.data(), &outLength);
    if (rc == 0 && outLength != length) rc = QXSA_ERR_INTERNAL;
    if (rc == 0) std::memcpy(data, out.data(), length);
    secure_zero(out);
    return rc;
}

void secure_zero(void* data, std::size_t length) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    while (length--) *p++ = 0;
}

}  // namespace qx::kernel
