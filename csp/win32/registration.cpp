// DllRegisterServer / DllUnregisterServer: the provider's entry under
// HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<CSPName> with the
// absolute path of this DLL ("Image Path"), "Type" 1 and "SigInFile" 0.
#include <windows.h>

#include <string>

#include "config/CU8Ini.h"
#include "qx/platform/module.h"

namespace {

constexpr char kDefaultProviderName[] = "Quorvantix Base CSP v1.0";
constexpr char kProviders[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";

std::string own_path() { return qx::platform::module_path_of(reinterpret_cast<const void*>(&own_path)); }

std::string provider_name(const std::string& directory) {
    qx::kernel::CU8Ini ini;
    if (ini.LoadFile(directory + "Config.ini", directory) != 0) return kDefaultProviderName;
    return ini.GetString("QXTokenInfo", "CSPName", 260, kDefaultProviderName);
}

HRESULT from_win32(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc)); }

}  // namespace

extern "C" HRESULT WINAPI DllRegisterServer() {
    try {
        const std::string path = own_path();
        if (path.empty() || path.find('\\') == std::string::npos) return E_UNEXPECTED;
        const std::string name = provider_name(qx::platform::directory_of(path));
        // A separator in the name would nest keys under another provider's.
        if (name.empty() || name.find('\\') != std::string::npos) return E_INVALIDARG;
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kProviders + name).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS) return from_win32(rc);
        const DWORD type = 1, sigInFile = 0;
        rc = RegSetValueExA(key, "Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                            static_cast<DWORD>(path.size() + 1));
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExA(key, "SigInFile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&sigInFile),
                                sizeof sigInFile);
        RegCloseKey(key);
        return from_win32(rc);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    try {
        const std::string path = own_path();
        const std::string name = provider_name(qx::platform::directory_of(path));
        if (name.empty() || name.find('\\') != std::string::npos) return E_INVALIDARG;
        const LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kProviders + name).c_str());
        return rc == ERROR_FILE_NOT_FOUND ? S_OK : from_win32(rc);
    } catch (...) {
        return E_UNEXPECTED;
    }
}
