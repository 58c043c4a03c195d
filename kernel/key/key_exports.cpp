// Key-object exports: making, copying and closing keys, their properties,
// binding key pairs to containers, and the cryptographic operations, which
// check handles and arguments and then hand over to the key's own operation.
#include <cstring>

#include "QXTokenKernel.h"
#include "asym_key.h"
#include "container/container.h"
#include "core/export_shape.h"
#include "core/kernel_state.h"
#include "key_object.h"
#include "key_slots.h"

using namespace qx::kernel;

namespace {

// The live key behind a handle, or the call ends with `status`.
QXKey& key_or(void* handle, uint32_t status) {
    QXKey* key = key_from_handle(handle);
    if (!key) throw KernelError{status};
    return *key;
}

QXAsymKey& asym_or(void* handle, uint32_t status) {
    QXAsymKey* key = as_asym(key_from_handle(handle));
    if (!key) throw KernelError{status};
    return *key;
}

uint32_t put(uint32_t* out, uint32_t value) {
    *out = value;
    return ERR_OK;
}

}  // namespace

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GenAsymKey(DeviceHandle device, uint32_t algorithm, uint32_t keyBits,
                                                        uint32_t keySpec, uint32_t flags, KeyHandle* key) {
    return run_export({"QXToken_GenAsymKey", TraceCalls::Both}, [&](ExportContext& ctx) {
        ctx.require(keyBits != 0 && is_accepted_algorithm(algorithm) && is_asym_algorithm(algorithm));
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        ctx.require(key != nullptr);
        // A live key passed in is generated again in its slot; every argument
        // refusal leaves it as it was.
        QXAsymKey* reused = as_asym(key_from_handle(*key));
        if (key_from_handle(*key)) {
            ctx.require(reused && reused->algorithm == algorithm && reused->live_device() == &dev);
        }
        ctx.lock_token(dev);
        std::unique_ptr<QXKey> fresh;
        QXAsymKey* target = reused;
        if (!target) {
            fresh = make_key(algorithm);
            if (!fresh) return ERR_BUFFER_TOO_SMALL;
            target = static_cast<QXAsymKey*>(fresh.get());
            target->bind_device(device);
        }
        target->keyBits = target->blockBits = keyBits;
        target->keySpec = keySpec;
        target->flags = flags;
        uint32_t rc = ERR_OK;
        if (target->slot == kNoSlot || target->slot == kHostSlot) {
            uint32_t slot = kNoSlot;
            rc = allocate_slot(dev, algorithm, keyBits, slot);
            if (rc == ERR_OK) target->slot = slot;
        }
        if (rc == ERR_OK) rc = target->Generate(nullptr, 0);
        if (rc != ERR_OK) {
            if (reused) {
                destroy_key(reused);
                *key = nullptr;
            }
            return rc;
        }
        if (fresh) *key = adopt_key(std::move(fresh));
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ImportKey(DeviceHandle device, KeyHandle wrappingKey, uint32_t reserved,
                                                       uint32_t algorithm, uint32_t keySpec, const uint8_t* data,
                                                       uint32_t length, KeyHandle* key) {
    return run_export({"QXToken_ImportKey", TraceCalls::Both}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        QXKey* wrapper = nullptr;
        if (wrappingKey) wrapper = &key_or(wrappingKey, ERR_INVALID_PARAM);
        ctx.require(is_accepted_algorithm(algorithm) && (is_asym_algorithm(algorithm) || is_sym_algorithm(algorithm)));
        ctx.require(data != nullptr && length != 0 && key != nullptr);
        std::unique_ptr<QXKey> made = make_key(algorithm);
        if (!made) return ERR_BUFFER_TOO_SMALL;
        made->bind_device(device);
        made->flags = 1;
        // Key pairs choose a slot and write it: one sequence on the token.
        if (is_asym_algorithm(algorithm)) ctx.lock_token(dev);
        uint32_t rc = made->Import(wrapper, reserved, keySpec, data, length);
        if (rc != ERR_OK) return rc;
        *key = adopt_key(std::move(made));
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CloseKey(KeyHandle key) {
    return run_export({"QXToken_CloseKey", TraceCalls::Both}, [&](ExportContext&) {
        return destroy_key(key_from_handle(key)) ? ERR_OK : ERR_INVALID_PARAM;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DuplicateObject(KeyHandle key, uint32_t kind, KeyHandle* copy) {
    return run_export({"QXToken_DuplicateObject", TraceCalls::Both}, [&](ExportContext& ctx) {
        ctx.require(kind == static_cast<uint32_t>(HandleKind::Key), ERR_INVALID_HANDLE);
        QXKey& from = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(copy != nullptr);
        if (!is_asym_algorithm(from.algorithm) && !is_sym_algorithm(from.algorithm)) return ERR_INVALID_HANDLE;
        std::unique_ptr<QXKey> to = make_key(from.algorithm);
        if (!to) return ERR_BUFFER_TOO_SMALL;
        to->deviceHandle = from.deviceHandle;
        to->device = from.device;
        to->keyBits = from.keyBits;
        to->blockBits = from.blockBits;
        to->keyBuffer = from.keyBuffer;
        to->flags = from.flags;
        to->padding = from.padding;
        if (QXAsymKey* pair = as_asym(&from)) {
            QXAsymKey* pairCopy = static_cast<QXAsymKey*>(to.get());
            pairCopy->keySpec = pair->keySpec;
            pairCopy->slot = pair->slot;
        } else {
            QXSymKey* session = as_sym(&from);
            QXSymKey* sessionCopy = static_cast<QXSymKey*>(to.get());
            sessionCopy->effectiveBits = session->effectiveBits;
            sessionCopy->feedbackBits = session->feedbackBits;
            sessionCopy->mode = session->mode;
            sessionCopy->iv = session->iv;
            sessionCopy->salt = session->salt;
        }
        *copy = adopt_key(std::move(to));
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetKeyAlgID(KeyHandle key, uint32_t* algorithm) {
    return run_export({"QXToken_GetKeyAlgID"}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_PARAM);
        ctx.require(algorithm != nullptr);
        return put(algorithm, k.algorithm);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetKeyLen(KeyHandle key, uint32_t* bits) {
    return run_export({"QXToken_GetKeyLen"}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(bits != nullptr);
        return put(bits, k.keyBits);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetKeyBlockLen(KeyHandle key, uint32_t* bits) {
    return run_export({"QXToken_GetKeyBlockLen"}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(bits != nullptr);
        return put(bits, k.blockBits);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetAsymKeySpec(KeyHandle key, uint32_t* keySpec) {
    return run_export({"QXToken_GetAsymKeySpec"}, [&](ExportContext& ctx) {
        QXAsymKey& k = asym_or(key, ERR_INVALID_HANDLE);
        ctx.require(keySpec != nullptr);
        return put(keySpec, k.keySpec);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetAsymKeyIndex(KeyHandle key, uint32_t* slot) {
    return run_export({"QXToken_GetAsymKeyIndex"}, [&](ExportContext& ctx) {
        QXAsymKey& k = asym_or(key, ERR_INVALID_HANDLE);
        ctx.require(slot != nullptr);
        return put(slot, k.slot);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetKeyBuffer(DeviceHandle, KeyHandle key, uint8_t* buffer,
                                                          uint32_t* length) {
    return run_export({"QXToken_GetKeyBuffer", TraceCalls::Both}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(length != nullptr);
        return k.GetKeyBuffer(buffer, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetKeyBuffer(DeviceHandle, KeyHandle key, const uint8_t* data,
                                                          uint32_t length) {
    return run_export({"QXToken_SetKeyBuffer", TraceCalls::Both}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(data != nullptr && length != 0 && length == k.keyBuffer.size());
        std::memcpy(k.keyBuffer.data(), data, length);
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetAsymKeyFormContainer(ContainerHandle container, uint32_t keySpec,
                                                                     KeyHandle* key) {
    return run_export({"QXToken_GetAsymKeyFormContainer", TraceCalls::Both}, [&](ExportContext& ctx) {
        ContainerInfo info;
        ctx.require(container_info(container, info) && key != nullptr);
        if (info.status == kContainerFree) return ERR_CONTAINER_UNUSED;
        if (info.type != kContainerTypeRsa && info.type != kContainerTypeSm2) return ERR_KEY_NOT_IN_CONTAINER;
        ctx.require(keySpec == kKeySpecExchange || keySpec == kKeySpecSignature);
        const uint32_t slot = keySpec == kKeySpecExchange ? info.exchangeKeyIndex : info.signatureKeyIndex;
        if (slot == kNoKeyIndex) return ERR_KEY_NOT_IN_CONTAINER;

        const uint32_t algorithm = info.type == kContainerTypeRsa ? kAlgRsa : kAlgSm2;
        std::unique_ptr<QXKey> made = make_key(algorithm);
        if (!made) return ERR_BUFFER_TOO_SMALL;
        made->keyBuffer.reset(algorithm == kAlgRsa ? QXSA_RSA_PUBLIC_BLOCK_SIZE : kSm2PublicBlockSize);
        made->flags = 1;
        made->bind_device(info.deviceHandle);
        QXAsymKey* pair = static_cast<QXAsymKey*>(made.get());
        pair->keySpec = keySpec;
        pair->slot = slot;
        uint32_t rangeAlgorithm = 0, bits = 0;
        uint32_t rc = slot_key_size(state().config().keyPairRanges, slot, rangeAlgorithm, bits);
        if (rc != ERR_OK) return rc;
        made->keyBits = made->blockBits = bits;
        *key = adopt_key(std::move(made));
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UpdateAsymKeyToContainer(ContainerHandle container, KeyHandle key) {
    return run_export({"QXToken_UpdateAsymKeyToContainer", TraceCalls::Both}, [&](ExportContext& ctx) {
        QXAsymKey& k = asym_or(key, ERR_INVALID_PARAM);
        ContainerInfo info;
        ctx.require(container_info(container, info));
        // Only a key pair of this container's token, in a slot of its own, can be bound.
        ctx.require(k.device == info.device && k.slot >= 1 && k.slot <= kMaxKeySlot);
        const uint32_t slot = k.slot, spec = k.keySpec, algorithm = k.algorithm;
        return write_container_record(container, [&](ContainerFields& f) {
            f.status = kContainerStatusKeyBound;
            f.type = algorithm == kAlgSm2 ? kContainerTypeSm2 : kContainerTypeRsa;
            if (spec == kKeySpecExchange) f.exchangeKeyIndex = slot;
            else f.signatureKeyIndex = slot;
        });
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SignHash(KeyHandle key, uint32_t flag, uint32_t hashAlg,
                                                      const uint8_t* hash, uint32_t hashLength, uint8_t* signature,
                                                      uint32_t* signatureLength) {
    return run_export({"QXToken_SignHash", TraceCalls::Both}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(hash != nullptr && hashLength != 0 && signature != nullptr && signatureLength != nullptr);
        QXAsymKey* pair = as_asym(&k);
        ctx.require(pair != nullptr);
        return pair->SignHash(flag, hashAlg, hash, hashLength, signature, signatureLength);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_VerifyHash(KeyHandle key, uint32_t flag, uint32_t hashAlg,
                                                        const uint8_t* hash, uint32_t hashLength,
                                                        const uint8_t* signature, uint32_t signatureLength) {
    return run_export({"QXToken_VerifyHash", TraceCalls::Both}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(hash != nullptr && hashLength != 0 && signature != nullptr);
        ctx.require(signatureLength != 0 && signatureLength <= 256);
        QXAsymKey* pair = as_asym(&k);
        ctx.require(pair != nullptr);
        uint8_t copy[256] = {};
        std::memcpy(copy, signature, signatureLength);
        return pair->VerifyHash(flag, hashAlg, hash, hashLength, copy, signatureLength);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSM3DigestZA(KeyHandle key, uint8_t* za, uint32_t* length) {
    return run_export({"QXToken_GetSM3DigestZA", TraceCalls::Both}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(k.algorithm == kAlgSm2 && k.keyBits == 256 && length != nullptr);
        const uint32_t size = k.keyBits / 8;
        if (!za) return put(length, size);
        if (*length < size) {
            *length = size;
            return ERR_BUFFER_TOO_SMALL;
        }
        return static_cast<QXSm2Key&>(k).GetZA(za, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_Encrypt(KeyHandle key, uint32_t final, const uint8_t* input,
                                                     uint32_t inputLength, uint8_t* output, uint32_t* outputLength) {
    return run_export({"QXToken_Encrypt", TraceCalls::Both}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(input != nullptr && inputLength != 0 && output != nullptr && outputLength != nullptr);
        return k.Encrypt(final, input, inputLength, output, outputLength);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_Decrypt(KeyHandle key, uint32_t final, const uint8_t* input,
                                                     uint32_t inputLength, uint8_t* output, uint32_t* outputLength) {
    return run_export({"QXToken_Decrypt", TraceCalls::Both}, [&](ExportContext& ctx) {
        QXKey& k = key_or(key, ERR_INVALID_HANDLE);
        ctx.require(input != nullptr && inputLength != 0 && output != nullptr && outputLength != nullptr);
        return k.Decrypt(final, input, inputLength, output, outputLength);
    });
}

}  // extern "C"
