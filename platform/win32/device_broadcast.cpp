#include "qx/platform/device_broadcast.h"

#include <windows.h>
#include <dbt.h>

#include <cstring>
#include <vector>

namespace qx::platform {

namespace {
constexpr UINT kTimeoutMs = 5000;
const wchar_t kUsbInterface[] = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const GUID kUsbInterfaceGuid = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};
}  // namespace

void broadcast_device_change(bool arrival, const std::string& deviceName) {
    std::wstring name = L"\\\\?\\QXVTOKEN#";
    for (unsigned char c : deviceName) name += static_cast<wchar_t>(c);  // device names are ASCII
    name += L"#";
    name += kUsbInterface;
    // The record with its name inline; the size covers the terminator.
    const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t);
    std::vector<uint8_t> bytes(size, 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = kUsbInterfaceGuid;
    std::memcpy(record->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    DWORD_PTR result = 0;
    // SendMessageTimeout keeps the record intact across processes; a posted
    // or system-broadcast message would lose it.
    SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        reinterpret_cast<LPARAM>(record), SMTO_ABORTIFHUNG, kTimeoutMs, &result);
    SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG, kTimeoutMs, &result);
}

}  // namespace qx::platform
