#include "token_env.h"

#include <cstdlib>
#include <stdexcept>

#include "core/key_derivation.h"
#include "device/cardos/state.h"
#include "device/store/token_store.h"
#include "qx/platform/file_io.h"
#include "qx/platform/system.h"
#include "support/kernel_fixture.h"

namespace qx::kernel::test {

namespace {

vtoken::Bytes from_hex(const std::string& text) {
    vtoken::Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

vtoken::TokenStore store() { return vtoken::TokenStore(vtoken_home()); }

void copy_file(const std::string& from, const std::string& to) {
    auto bytes = platform::read_file(from);
    if (!bytes) throw std::runtime_error("cannot read " + from);
    write_bytes(to, *bytes);
}

}  // namespace

const char kChannelWords[] = "VirtualReaderWords = VToken CCID\r\nUMSFilterWords = VToken UMS\r\nHIDFilterWords = VToken HID\r\n";

std::string vtoken_home() {
    static const std::string home = [] {
        std::string dir = platform::environment("QX_VTOKEN_HOME");
        if (dir.empty()) {
            dir = scratch_directory("vtokens");
            dir.pop_back();
            static std::string assignment = "QX_VTOKEN_HOME=" + dir;
            putenv(assignment.data());
        }
        return dir;
    }();
    return home;
}

void clear_tokens() {
    vtoken::TokenStore s = store();
    for (const std::string& name : s.names()) s.remove(name);
}

std::string create_blank_token(const std::string& name, uint32_t channel, const std::string& cosVersion) {
    vtoken::TokenState token = vtoken::make_token(channel, {}, from_hex(cosVersion), false);
    if (store().create(name, token) != vtoken::StoreStatus::Ok) throw std::runtime_error("cannot create " + name);
    return vtoken::device_name_for(channel, name);
}

std::string create_keyed_token(const std::string& name, const std::string& provider, uint32_t channel,
                               const std::string& cosVersion) {
    vtoken::TokenState token = vtoken::make_token(channel, {}, from_hex(cosVersion), false);
    uint8_t key[16];
    uint32_t keyLength = sizeof key;
    if (derive_key_for_index(provider, token.config.identity.data(), token.config.identity.size(), kKeyAdfExternalAuth,
                             key, &keyLength) != 0)
        throw std::runtime_error("no key");
    auto mf = std::make_unique<vtoken::CardFile>();
    mf->fid = 0x3F00;
    mf->is_df = true;
    auto adf = std::make_unique<vtoken::CardFile>();
    adf->fid = 0x3F01;
    adf->is_df = true;
    vtoken::CardKey auth;
    // F0 T I 00 A U C N: external authentication, id 0, two-key triple DES,
    // usable always, grants security state 1.
    auth.header = {0xF0, vtoken::kKeyExternalAuth, 0x00, 0x00, 0x00, 0xF0, 0xF0, 0x01};
    auth.value.assign(key, key + sizeof key);
    adf->keys.push_back(auth);
    mf->children.push_back(std::move(adf));
    token.mf = std::move(mf);
    if (store().create(name, token) != vtoken::StoreStatus::Ok) throw std::runtime_error("cannot create " + name);
    return vtoken::device_name_for(channel, name);
}

void set_plugged(const std::string& name, bool plugged) {
    store().update(name, [&](vtoken::TokenState& s) {
        if (plugged)
            s.plug();
        else
            s.unplug();
        return true;
    });
}

int security_state(const std::string& name) {
    vtoken::TokenState s;
    if (store().read(name, s) != vtoken::StoreStatus::Ok) return -1;
    return s.vol.security;
}

std::string provider_of(const std::string& name) {
    return "DevShm " + std::to_string(platform::process_id()) + " " + name;
}

std::string install_kernel(const std::string& name, const std::string& config, const std::string& pinConfig) {
    vtoken_home();
    const std::string dir = scratch_directory("install-" + name);
    const std::string bin = binary_directory();
    for (const char* module : {"QXTokenKernel", "QXDevice", "QXSoftAlg"})
        copy_file(bin + platform::module_file_name(module), dir + platform::module_file_name(module));
    write_bytes(dir + "Config.ini", plain_ini("[QXTokenInfo]\r\nCSPName = " + provider_of(name) +
                                              "\r\n[DeviceInfo]\r\n" + config + "[PIN]\r\n" + pinConfig));
    return dir;
}

Kernel::Kernel(const std::string& directory) : module(directory + platform::module_file_name("QXTokenKernel")) {
    isSupportDev = module.function<PFN_QXToken_IsSupportDev>("QXToken_IsSupportDev");
    enumDevice = module.function<PFN_QXToken_EnumDevice>("QXToken_EnumDevice");
    destroyEnum = module.function<PFN_QXToken_DestroyEnum>("QXToken_DestroyEnum");
    openByName = module.function<PFN_QXToken_OpenDeviceByName>("QXToken_OpenDeviceByName");
    openDezo = module.function<PFN_QXToken_OpenDevByNameDEZO>("QXToken_OpenDevByNameDEZO");
    openByHandle = module.function<PFN_QXToken_OpenDeviceByHandle>("QXToken_OpenDeviceByHandle");
    close = module.function<PFN_QXToken_CloseDevice>("QXToken_CloseDevice");
    reset = module.function<PFN_QXToken_ResetDevice>("QXToken_ResetDevice");
    addDevice = module.function<PFN_QXToken_AddDevice>("QXToken_AddDevice");
    removeDevice = module.function<PFN_QXToken_RemoveDevice>("QXToken_RemoveDevice");
    type = module.function<PFN_QXToken_GetDeviceType>("QXToken_GetDeviceType");
    status = module.function<PFN_QXToken_GetDeviceStatus>("QXToken_GetDeviceStatus");
    name = module.function<PFN_QXToken_GetDeviceName>("QXToken_GetDeviceName");
    atr = module.function<PFN_QXToken_GetDeviceATR>("QXToken_GetDeviceATR");
    change = module.function<PFN_QXToken_GetDeviceChange>("QXToken_GetDeviceChange");
    slot = module.function<PFN_QXToken_GetDeviceSlotNO>("QXToken_GetDeviceSlotNO");
    writePin = module.function<PFN_QXToken_WriteShmPin>("QXToken_WriteShmPin");
    readPin = module.function<PFN_QXToken_ReadShmPin>("QXToken_ReadShmPin");
}

bool Kernel::complete() const {
    return module && isSupportDev && enumDevice && destroyEnum && openByName && openDezo && openByHandle && close &&
           reset && addDevice && removeDevice && type && status && name && atr && change && slot && writePin && readPin;
}

}  // namespace qx::kernel::test
