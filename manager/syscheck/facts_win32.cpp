// The system check's probes on Windows.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <vector>

#include "syscheck.h"

namespace qx::syscheck {

namespace {

OsVersion os_version() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    OsVersion v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return v;
#pragma GCC diagnostic pop
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    v.major = info.dwMajorVersion;
    v.minor = info.dwMinorVersion;
    v.platformId = info.dwPlatformId;
    v.productType = info.wProductType;
    v.serverR2 = GetSystemMetrics(SM_SERVERR2);
    return v;
}

std::optional<Text> registry_text(HKEY key, const wchar_t* name) {
    wchar_t buffer[260] = {};  // 520 bytes
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    buffer[bytes / sizeof(wchar_t)] = 0;
    return Text(reinterpret_cast<const char16_t*>(buffer));
}

std::optional<Text> version_string(const std::vector<uint8_t>& block, const wchar_t* query) {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), query, &value, &length) || !value || length == 0) return std::nullopt;
    return Text(static_cast<const char16_t*>(value));
}

void schannel(SystemFacts* facts) {
    wchar_t path[MAX_PATH + 16] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, 0, path))) return;
    lstrcatW(path, L"\\schannel.dll");
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return;
    std::vector<uint8_t> block(size);
    if (!GetFileVersionInfoW(path, 0, size, block.data())) return;
    struct Translation {
        WORD language, codePage;
    }* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < sizeof(Translation))
        return;
    wchar_t query[96];
    swprintf(query, 96, L"\\StringFileInfo\\%04x%04x\\FileDescription", translation->language, translation->codePage);
    facts->schannelDescription = version_string(block, query);
    swprintf(query, 96, L"\\StringFileInfo\\%04x%04x\\FileVersion", translation->language, translation->codePage);
    facts->schannelVersion = version_string(block, query);
}

}  // namespace

SystemFacts read_system_facts() {
    SystemFacts facts;
    facts.os = os_version();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Internet Explorer", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        facts.ieSvcVersion = registry_text(key, L"svcVersion");
        if (!facts.ieSvcVersion) facts.ieVersion = registry_text(key, L"Version");
        RegCloseKey(key);
    }
    schannel(&facts);
    return facts;
}

}  // namespace qx::syscheck
