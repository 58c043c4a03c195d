#include "fake_kernel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "QXTokenStatus.h"

namespace qx::manager::test {

namespace {

FakeKernel* g = nullptr;

std::size_t token_index(DeviceHandle h) { return reinterpret_cast<uintptr_t>(h) - 1; }
FakeToken* token(DeviceHandle h) {
    const std::size_t i = token_index(h);
    return g && i < g->tokens.size() ? &g->tokens[i] : nullptr;
}
ContainerHandle container_handle(std::size_t i) { return reinterpret_cast<ContainerHandle>(uintptr_t{0x1000 + i}); }
FakeContainer* container(ContainerHandle h) {
    const std::size_t i = reinterpret_cast<uintptr_t>(h) - 0x1000;
    return i < g->containers.size() ? &g->containers[i] : nullptr;
}

uint32_t QXTOKEN_CALL EnumDevice(uint32_t* count, DeviceHandle* handles) {
    if (g->failEnum) return ERR_DEVICE_IO;
    std::vector<std::size_t> present;
    for (std::size_t i = 0; i < g->tokens.size(); ++i)
        if (g->tokens[i].present) present.push_back(i);
    if (!handles) {
        ++g->countQueries;
        *count = static_cast<uint32_t>(present.size());
        return ERR_OK;
    }
    if (*count < present.size()) {
        *count = static_cast<uint32_t>(present.size());
        return ERR_BUFFER_TOO_SMALL;
    }
    ++g->enumerations;
    std::set<uint32_t> now;
    for (std::size_t k = 0; k < present.size(); ++k) {
        handles[k] = reinterpret_cast<DeviceHandle>(uintptr_t{present[k] + 1});
        now.insert(g->tokens[present[k]].slot);
    }
    g->changes.clear();
    std::set_symmetric_difference(now.begin(), now.end(), g->lastSlots.begin(), g->lastSlots.end(),
                                  std::back_inserter(g->changes));
    if (g->changes.size() > 16) g->changes.resize(16);
    g->lastSlots = now;
    *count = static_cast<uint32_t>(present.size());
    return ERR_OK;
}
uint32_t QXTOKEN_CALL DestroyEnum() {
    ++g->destroys;
    return ERR_OK;
}
uint32_t QXTOKEN_CALL GetDeviceChange(uint32_t* slots, uint32_t* count) {
    if (slots) std::copy(g->changes.begin(), g->changes.end(), slots);
    *count = static_cast<uint32_t>(g->changes.size());
    return ERR_OK;
}
uint32_t QXTOKEN_CALL GetDeviceName(DeviceHandle h, char* name) {
    FakeToken* t = token(h);
    if (!t) return ERR_INVALID_PARAM;
    std::snprintf(name, 260, "%s", t->name.c_str());
    return ERR_OK;
}
uint32_t QXTOKEN_CALL OpenDeviceByHandle(DeviceHandle h) {
    FakeToken* t = token(h);
    if (!t || t->failOpen) return ERR_DEVICE_IO;
    ++g->opens;
    g->openTokens.insert(token_index(h));
    return ERR_OK;
}
uint32_t QXTOKEN_CALL CloseDevice(DeviceHandle h) {
    ++g->closes;
    g->openTokens.erase(token_index(h));
    return ERR_OK;
}
uint32_t QXTOKEN_CALL GetTokenLabel(DeviceHandle h, uint8_t* label, uint32_t* length) {
    FakeToken* t = token(h);
    if (!t || t->failLabel) return ERR_COMMAND_FAILED;
    // Labels are UTF-16 little-endian on the token.
    const std::size_t n = std::min<std::size_t>(2 * t->label.size(), *length & ~1u);
    for (std::size_t i = 0; i < n; i += 2) {
        label[i] = static_cast<uint8_t>(t->label[i / 2]);
        label[i + 1] = 0;
    }
    *length = static_cast<uint32_t>(n);
    return ERR_OK;
}
uint32_t QXTOKEN_CALL GetDeviceSlotNO(DeviceHandle h, uint32_t* slot) {
    FakeToken* t = token(h);
    if (!t) return ERR_INVALID_PARAM;
    *slot = t->slot;
    return ERR_OK;
}
uint32_t QXTOKEN_CALL GetTokenInfo(DeviceHandle h, uint8_t* info, uint32_t* length) {
    FakeToken* t = token(h);
    if (!t || *length < 160) return ERR_BUFFER_TOO_SMALL;
    std::memset(info, static_cast<int>('A' + t->slot), 160);
    *length = 160;
    return ERR_OK;
}
uint32_t QXTOKEN_CALL ReadMemCert(uint32_t slot, uint8_t* buffer, uint32_t* length, uint32_t first) {
    ++g->memCertReads;
    if (g->memCertAnswer) return g->memCertAnswer;
    if (first) g->memCertPosition = 0;
    const auto& certs = g->memCerts[slot];
    if (g->memCertPosition >= certs.size()) return ERR_NOT_FOUND;
    const auto& c = certs[g->memCertPosition++];
    if (!c.empty()) std::memcpy(buffer, c.data(), c.size());
    *length = static_cast<uint32_t>(c.size());
    return ERR_OK;
}
uint32_t QXTOKEN_CALL UnRegUserCert(const uint8_t* cert, uint32_t length) {
    g->unregistered.emplace_back(cert, cert + length);
    return ERR_OK;
}
uint32_t QXTOKEN_CALL ClearMemInfo(uint32_t slot) {
    g->cleared.push_back(slot);
    return ERR_OK;
}
uint32_t QXTOKEN_CALL IsMeetSecurityStatus(DeviceHandle, uint32_t) { return 0; }
uint32_t QXTOKEN_CALL ExternalAuth(DeviceHandle) {
    ++g->externalAuths;
    return ERR_OK;
}
uint32_t QXTOKEN_CALL EnumContainer(DeviceHandle, uint32_t, uint32_t* position, ContainerHandle* out) {
    if (*position >= g->containers.size()) return ERR_NO_CONTAINER;
    *out = container_handle((*position)++);
    return ERR_OK;
}
uint32_t QXTOKEN_CALL GetContainerName(ContainerHandle h, char* name, uint32_t* length) {
    FakeContainer* c = container(h);
    if (!c || c->name.size() + 1 > *length) return ERR_BUFFER_TOO_SMALL;
    std::memcpy(name, c->name.c_str(), c->name.size() + 1);
    *length = static_cast<uint32_t>(c->name.size() + 1);
    return ERR_OK;
}
uint32_t QXTOKEN_CALL GetCertIndexFormContainer(ContainerHandle h, uint32_t keySpec, uint32_t* index) {
    FakeContainer* c = container(h);
    if (c->indexFailure) return c->indexFailure;
    auto it = c->certIndex.find(keySpec);
    if (it == c->certIndex.end()) return ERR_KEY_NOT_IN_CONTAINER;
    *index = it->second;
    return ERR_OK;
}
uint32_t QXTOKEN_CALL ReadCert(DeviceHandle, uint32_t slot, uint8_t* buffer, uint32_t* length) {
    auto it = g->certificates.find(slot);
    if (it == g->certificates.end()) return ERR_COMMAND_FAILED;
    if (it->second.size() > *length) return ERR_BUFFER_TOO_SMALL;
    std::memcpy(buffer, it->second.data(), it->second.size());
    *length = static_cast<uint32_t>(it->second.size());
    return ERR_OK;
}
uint32_t QXTOKEN_CALL RegUserCert(const uint8_t*, uint32_t, const char* name, uint32_t keySpec, char*) {
    g->registered.push_back({name, keySpec});
    return ERR_OK;
}
uint32_t QXTOKEN_CALL DeleteUserCert(DeviceHandle h, uint32_t slot, const uint8_t*, uint32_t) {
    g->deleted.emplace_back(token_index(h), slot);
    return ERR_OK;
}

}  // namespace

FakeKernel::FakeKernel() { g = this; }
FakeKernel::~FakeKernel() { g = nullptr; }

DeviceHandle FakeKernel::handle_of(std::size_t t) const { return reinterpret_cast<DeviceHandle>(uintptr_t{t + 1}); }

KernelApi FakeKernel::api() const {
    const std::map<std::string, void*> table = {
        {"QXToken_EnumDevice", reinterpret_cast<void*>(&EnumDevice)},
        {"QXToken_DestroyEnum", reinterpret_cast<void*>(&DestroyEnum)},
        {"QXToken_GetDeviceChange", reinterpret_cast<void*>(&GetDeviceChange)},
        {"QXToken_GetDeviceName", reinterpret_cast<void*>(&GetDeviceName)},
        {"QXToken_OpenDeviceByHandle", reinterpret_cast<void*>(&OpenDeviceByHandle)},
        {"QXToken_CloseDevice", reinterpret_cast<void*>(&CloseDevice)},
        {"QXToken_GetTokenLabel", reinterpret_cast<void*>(&GetTokenLabel)},
        {"QXToken_GetDeviceSlotNO", reinterpret_cast<void*>(&GetDeviceSlotNO)},
        {"QXToken_GetTokenInfo", reinterpret_cast<void*>(&GetTokenInfo)},
        {"QXToken_ReadMemCert", reinterpret_cast<void*>(&ReadMemCert)},
        {"QXToken_UnRegUserCert", reinterpret_cast<void*>(&UnRegUserCert)},
        {"QXToken_ClearMemInfo", reinterpret_cast<void*>(&ClearMemInfo)},
        {"QXToken_IsMeetSecurityStatus", reinterpret_cast<void*>(&IsMeetSecurityStatus)},
        {"QXToken_ExternalAuth", reinterpret_cast<void*>(&ExternalAuth)},
        {"QXToken_EnumContainer", reinterpret_cast<void*>(&EnumContainer)},
        {"QXToken_GetContainerName", reinterpret_cast<void*>(&GetContainerName)},
        {"QXToken_GetCertIndexFormContainer", reinterpret_cast<void*>(&GetCertIndexFormContainer)},
        {"QXToken_ReadCert", reinterpret_cast<void*>(&ReadCert)},
        {"QXToken_RegUserCert", reinterpret_cast<void*>(&RegUserCert)},
        {"QXToken_DeleteUserCert", reinterpret_cast<void*>(&DeleteUserCert)},
    };
    return bind_kernel([&](const char* name) -> void* {
               auto it = table.find(name);
               return it == table.end() ? nullptr : it->second;
           })
        .api;
}

}  // namespace qx::manager::test
