// Session keys and the properties of symmetric keys.
#include <cstring>

#include "QXTokenKernel.h"
#include "core/export_shape.h"
#include "key/sym_key.h"

using namespace qx::kernel;

namespace {

constexpr uint32_t kModeCfb = 3, kModeOfb = 4;

QXSymKey& sym_key(ExportContext& ctx, KeyHandle handle) {
    QXSymKey* key = as_sym(key_from_handle(handle));
    ctx.require(key != nullptr, ERR_INVALID_HANDLE);
    return *key;
}

uint32_t get_bytes(ExportContext& ctx, const SecureBytes& bytes, uint8_t* buffer, uint32_t* length) {
    ctx.require(!bytes.empty(), ERR_INVALID_HANDLE);
    ctx.require(length != nullptr);
    if (buffer && *length < bytes.size()) {
        *length = bytes.size();
        return ERR_BUFFER_TOO_SMALL;
    }
    if (buffer) std::memcpy(buffer, bytes.data(), bytes.size());
    *length = bytes.size();
    return ERR_OK;
}

void set_bytes(SecureBytes& bytes, const uint8_t* data, uint32_t length) {
    // Length 0 keeps the size the buffer has.
    bytes.assign(data, length ? length : bytes.size());
}

void unprime(QXKey& key) {
    if (QXSymKey* sym = as_sym(&key)) sym->primed = false;
}

}  // namespace

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GenSessionKey(DeviceHandle device, uint32_t algorithm, uint32_t keyBits,
                                                           const uint8_t* data, uint32_t dataLength, uint32_t flags,
                                                           KeyHandle* key) {
    return run_export({"QXToken_GenSessionKey"}, [&](ExportContext& ctx) {
        ctx.device(device, ERR_INVALID_PARAM);
        ctx.require(key != nullptr && keyBits != 0 && is_accepted_algorithm(algorithm) && is_sym_algorithm(algorithm));
        ctx.require(sym_key_bits_allowed(algorithm, keyBits));
        ctx.require(!data || (dataLength != 0 && keyBits <= kMaxDerivedKeyBits));
        std::unique_ptr<QXKey> made = make_key(algorithm);
        ctx.require(made != nullptr, ERR_BUFFER_TOO_SMALL);
        made->bind_device(device);
        made->flags = flags;
        made->keyBits = keyBits;
        if (made->Generate(data, dataLength) != ERR_OK) return ERR_COMMAND_FAILED;
        *key = adopt_key(std::move(made));
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeySalt(KeyHandle key, uint8_t* salt, uint32_t* length) {
    return run_export({"QXToken_GetSymKeySalt"},
                      [&](ExportContext& ctx) { return get_bytes(ctx, sym_key(ctx, key).salt, salt, length); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeySalt(KeyHandle key, const uint8_t* salt, uint32_t length) {
    return run_export({"QXToken_SetSymKeySalt"}, [&](ExportContext& ctx) {
        QXSymKey& k = sym_key(ctx, key);
        ctx.require(salt != nullptr);
        set_bytes(k.salt, salt, length);
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyIV(KeyHandle key, uint8_t* iv, uint32_t* length) {
    return run_export({"QXToken_GetSymKeyIV"},
                      [&](ExportContext& ctx) { return get_bytes(ctx, sym_key(ctx, key).iv, iv, length); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyIV(KeyHandle key, const uint8_t* iv, uint32_t length) {
    return run_export({"QXToken_SetSymKeyIV"}, [&](ExportContext& ctx) {
        QXSymKey& k = sym_key(ctx, key);
        ctx.require(iv != nullptr);
        set_bytes(k.iv, iv, length);
        k.mode = 1;
        k.primed = false;  // the next message starts from the new vector
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyPadding(KeyHandle key, uint32_t* padding) {
    return run_export({"QXToken_GetSymKeyPadding"}, [&](ExportContext& ctx) {
        QXKey* k = key_from_handle(key);
        ctx.require(k != nullptr, ERR_INVALID_HANDLE);
        ctx.require(padding != nullptr);
        *padding = k->padding;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyPadding(KeyHandle key, uint32_t padding) {
    return run_export({"QXToken_SetSymKeyPadding"}, [&](ExportContext& ctx) {
        QXKey* k = key_from_handle(key);
        ctx.require(k != nullptr, ERR_INVALID_HANDLE);
        k->padding = padding;
        unprime(*k);
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyMode(KeyHandle key, uint32_t* mode) {
    return run_export({"QXToken_GetSymKeyMode"}, [&](ExportContext& ctx) {
        QXSymKey& k = sym_key(ctx, key);
        ctx.require(mode != nullptr);
        *mode = k.mode;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyMode(KeyHandle key, uint32_t mode) {
    return run_export({"QXToken_SetSymKeyMode"}, [&](ExportContext& ctx) {
        QXSymKey& k = sym_key(ctx, key);
        k.mode = mode;
        k.primed = false;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyFeedBackLenBit(KeyHandle key, uint32_t* bits) {
    return run_export({"QXToken_GetSymKeyFeedBackLenBit"}, [&](ExportContext& ctx) {
        QXSymKey& k = sym_key(ctx, key);
        ctx.require(k.mode == kModeCfb || k.mode == kModeOfb, ERR_INVALID_HANDLE);
        ctx.require(bits != nullptr);
        *bits = k.feedbackBits;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyFeedbackLenBit(KeyHandle key, uint32_t bits) {
    return run_export({"QXToken_SetSymKeyFeedbackLenBit"}, [&](ExportContext& ctx) {
        QXSymKey& k = sym_key(ctx, key);
        ctx.require(k.mode == kModeCfb || k.mode == kModeOfb, ERR_INVALID_HANDLE);
        k.feedbackBits = bits;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyEffectiveLenBit(KeyHandle key, uint32_t* bits) {
    return run_export({"QXToken_GetSymKeyEffectiveLenBit"}, [&](ExportContext& ctx) {
        QXSymKey& k = sym_key(ctx, key);
        ctx.require((k.algorithm & kStreamMask) != 0, ERR_INVALID_HANDLE);
        ctx.require(bits != nullptr);
        *bits = k.effectiveBits;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyEffectLenBit(KeyHandle key, uint32_t bits) {
    return run_export({"QXToken_SetSymKeyEffectLenBit"}, [&](ExportContext& ctx) {
        QXSymKey& k = sym_key(ctx, key);
        ctx.require((k.algorithm & kStreamMask) != 0, ERR_INVALID_HANDLE);
        k.effectiveBits = bits;
        return ERR_OK;
    });
}

}  // extern "C"
