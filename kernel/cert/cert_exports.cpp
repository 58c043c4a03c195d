// Certificate exports: certificates on the token, the user's certificate
// store and the certificate cache in shared memory.
#include <cstring>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "cert/cert_registry.h"
#include "cert/cert_token.h"
#include "core/export_shape.h"
#include "core/logical_lock.h"
#include "core/shared_area.h"

using namespace qx::kernel;

namespace {

static_assert(sizeof(QXWCHAR) == sizeof(char16_t), "store names are UTF-16");

// The read position of QXToken_ReadMemCert, one per thread so that two
// threads walking the cache do not skip each other's entries.
thread_local uint32_t t_memCertPosition = 0;

QXDeviceTransport& transport(const DeviceRecord& dev) {
    if (!dev.device) throw KernelError{ERR_DEVICE_IO};
    return *dev.device;
}

// Exports that answer 1 or 0: anything but a clean 1 is 0.
uint32_t one_or_zero(uint32_t status) { return status == 1 ? 1 : 0; }

}  // namespace

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ReadCert(DeviceHandle device, uint32_t slot, uint8_t* buffer,
                                                      uint32_t* length) {
    return run_export({"QXToken_ReadCert", TraceCalls::Both}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(length != nullptr);
        ctx.require(valid_cert_slot(slot));
        std::vector<uint8_t> cert;
        {
            LogicalLock lock;
            ctx.check(lock.acquire(transport(dev)));
            CertCommands commands(dev.device);
            uint32_t total = 0;
            ctx.check(commands.read_length(static_cast<uint8_t>(slot), total));
            if (!buffer) {
                *length = total;
                return ERR_OK;
            }
            // A short buffer leaves the length as it was.
            if (*length < total) return ERR_BUFFER_TOO_SMALL;
            ctx.check(commands.read_data(static_cast<uint8_t>(slot), total, cert));
        }
        std::memcpy(buffer, cert.data(), cert.size());
        *length = static_cast<uint32_t>(cert.size());
        cache_certificate(dev, slot, cert.data(), static_cast<uint32_t>(cert.size()));
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_WriteCert(DeviceHandle device, uint32_t slot, const uint8_t* data,
                                                       uint32_t length) {
    return run_export({"QXToken_WriteCert", TraceCalls::Both}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(data != nullptr && length != 0);
        ctx.require(valid_cert_slot(slot));
        {
            LogicalLock lock;
            ctx.check(lock.acquire(transport(dev)));
            CertCommands commands(dev.device);
            ctx.check(commands.write(static_cast<uint8_t>(slot), data, length));
        }
        cache_certificate(dev, slot, data, length);
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DeleteUserCert(DeviceHandle device, uint32_t slot, const uint8_t* cert,
                                                            uint32_t certLength) {
    return run_export({"QXToken_DeleteUserCert", TraceCalls::Both}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(valid_cert_slot(slot));
        transport(dev);
        const uint32_t rc = unbind_slot(dev, slot);
        if (rc == ERR_OK && cert && certLength) uncache_certificate(dev, slot, cert, certLength);
        return rc;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_RegUserCert(const uint8_t* cert, uint32_t length, const char* container,
                                                         uint32_t keySpec, char* commonName) {
    return run_export({"QXToken_RegUserCert", TraceCalls::Both, false}, [&](ExportContext& ctx) {
        ctx.require(cert != nullptr && length != 0 && container != nullptr);
        return register_user_certificate(cert, length, container, keySpec, commonName);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UnRegUserCert(const uint8_t* cert, uint32_t length) {
    return run_export({"QXToken_UnRegUserCert", TraceCalls::Both, false}, [&](ExportContext& ctx) {
        ctx.require(cert != nullptr && length != 0);
        return unregister_user_certificate(cert, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_RegCertToStore(const QXWCHAR* store, const uint8_t* cert,
                                                            uint32_t length) {
    return one_or_zero(run_export({"QXToken_RegCertToStore", TraceCalls::Both, false}, [&](ExportContext&) {
        if (!store) return 0u;
        std::u16string name;
        for (const QXWCHAR* p = store; *p && name.size() <= 64; ++p) name.push_back(static_cast<char16_t>(*p));
        return register_certificate_to_store(name, cert, length);
    }));
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_RegCACert(void) {
    run_export({"QXToken_RegCACert", TraceCalls::Both, false}, [&](ExportContext&) {
        install_listed_certificates();
        return ERR_OK;
    });
    return 1;
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_IsSignSelf(const uint8_t* cert, uint32_t length) {
    return one_or_zero(run_export({"QXToken_IsSignSelf", TraceCalls::None, false},
                                  [&](ExportContext&) { return cert && length ? is_self_signed(cert, length) : 0u; }));
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ReadMemCert(uint32_t slot, uint8_t* buffer, uint32_t* length,
                                                         uint32_t restart) {
    return run_export({"QXToken_ReadMemCert", TraceCalls::None, false}, [&](ExportContext& ctx) {
        ctx.require(buffer != nullptr && length != nullptr);
        // Past the last entry the position stays put, so the walk keeps ending.
        const uint32_t entry = restart ? 1 : (t_memCertPosition > kCertEntries ? kCertEntries + 1 : t_memCertPosition + 1);
        t_memCertPosition = entry;
        return cert_cache_read(slot, entry, buffer, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ClearMemInfo(uint32_t slot) {
    return run_export({"QXToken_ClearMemInfo", TraceCalls::Both, false},
                      [&](ExportContext&) { return slot_clear(slot); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DeleteMemCert(DeviceHandle device, uint32_t slot, const uint8_t* cert,
                                                           uint32_t length) {
    return run_export({"QXToken_DeleteMemCert", TraceCalls::Both, false}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(cert != nullptr && length != 0);
        return cert_cache_delete(transport(dev).slotNumber, slot, cert, length);
    });
}

}  // extern "C"
