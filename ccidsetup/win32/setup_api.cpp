// The driver installer's services on Windows: the ANSI setup API, the driver
// update of the new-device library and the system's message texts.
#include "setup_api.h"

#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstring>
#include <vector>

namespace qx::ccid {
namespace {

// The thread's error code for a failed call; a failure never reads as 0.
uint32_t failure() {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

GUID to_system(const ClassGuid& g) {
    GUID out{};
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    std::memcpy(out.Data4, g.data4, sizeof out.Data4);
    return out;
}

ClassGuid from_system(const GUID& g) {
    ClassGuid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    std::memcpy(out.data4, g.Data4, sizeof out.data4);
    return out;
}

INFCONTEXT to_system(const InfLine& line) {
    INFCONTEXT context{};
    context.Inf = line.inf;
    context.CurrentInf = line.current_inf;
    context.Section = line.section;
    context.Line = line.line;
    return context;
}

InfLine from_system(const INFCONTEXT& context) {
    return InfLine{context.Inf, context.CurrentInf, context.Section, context.Line};
}

SP_DEVINFO_DATA to_system(const DeviceElement& element) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    data.ClassGuid = to_system(element.class_guid);
    data.DevInst = element.dev_inst;
    data.Reserved = element.reserved;
    return data;
}

DeviceElement from_system(const SP_DEVINFO_DATA& data) {
    return DeviceElement{from_system(data.ClassGuid), data.DevInst, data.Reserved};
}

class WindowsSetupApi final : public SetupApi {
public:
    uint32_t module_file_name(std::string& path) override {
        // Grow the buffer until the whole path fits (the system cuts silently).
        std::vector<char> buffer(MAX_PATH);
        for (;;) {
            const DWORD size = static_cast<DWORD>(buffer.size());
            const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
            if (length == 0) return failure();
            if (length < size) {
                path.assign(buffer.data(), length);
                return 0;
            }
            if (buffer.size() >= 32768) return ERROR_FILENAME_EXCED_RANGE;
            buffer.resize(buffer.size() * 2);
        }
    }

    uint32_t open_inf_file(const std::string& path, InfHandle& inf) override {
        HINF handle = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return failure();
        inf = handle;
        return 0;
    }

    void close_inf_file(InfHandle inf) override { SetupCloseInfFile(inf); }

    uint32_t inf_class(const std::string& path, ClassGuid& guid, std::string& class_name) override {
        GUID system_guid{};
        char name[kClassNameSize] = {};
        DWORD required = 0;
        if (!SetupDiGetINFClassA(path.c_str(), &system_guid, name, kClassNameSize, &required)) return failure();
        guid = from_system(system_guid);
        class_name.assign(name, strnlen(name, sizeof name));
        return 0;
    }

    uint32_t class_guid_from_name(const std::string& class_name, ClassGuid& guid, uint32_t& found) override {
        std::vector<GUID> guids(1);
        DWORD required = 0;
        if (!SetupDiClassGuidsFromNameA(class_name.c_str(), guids.data(), 1, &required)) {
            // Several classes share the name: ask again with room for all, keep the first.
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= 1) return failure();
            guids.resize(required);
            if (!SetupDiClassGuidsFromNameA(class_name.c_str(), guids.data(), required, &required)) return failure();
        }
        found = required;
        if (required > 0) guid = from_system(guids[0]);
        return 0;
    }

    uint32_t find_first_line(InfHandle inf, const std::string& section, InfLine& line) override {
        INFCONTEXT context{};
        if (!SetupFindFirstLineA(inf, section.c_str(), nullptr, &context)) return failure();
        line = from_system(context);
        return 0;
    }

    uint32_t find_next_line(InfLine& line) override {
        INFCONTEXT current = to_system(line);
        INFCONTEXT next{};
        if (!SetupFindNextLine(&current, &next)) return failure();
        line = from_system(next);
        return 0;
    }

    uint32_t field_count(const InfLine& line) override {
        INFCONTEXT context = to_system(line);
        return SetupGetFieldCount(&context);
    }

    uint32_t string_field(const InfLine& line, uint32_t index, char* buffer, uint32_t size,
                          uint32_t& required) override {
        INFCONTEXT context = to_system(line);
        DWORD needed = 0;
        if (!SetupGetStringFieldA(&context, index, buffer, buffer ? size : 0, &needed)) return failure();
        required = needed;
        return 0;
    }

    uint32_t create_device_info_list(const ClassGuid& guid, DeviceSet& set) override {
        const GUID system_guid = to_system(guid);
        HDEVINFO handle = SetupDiCreateDeviceInfoList(&system_guid, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return failure();
        set = handle;
        return 0;
    }

    void destroy_device_info_list(DeviceSet set) override { SetupDiDestroyDeviceInfoList(set); }

    uint32_t create_device_info(DeviceSet set, const std::string& class_name, const ClassGuid& guid,
                                DeviceElement& element) override {
        const GUID system_guid = to_system(guid);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiCreateDeviceInfoA(set, class_name.c_str(), &system_guid, nullptr, nullptr, DICD_GENERATE_ID,
                                      &data))
            return failure();
        element = from_system(data);
        return 0;
    }

    uint32_t set_hardware_id(DeviceSet set, DeviceElement& element, const std::string& id_list) override {
        SP_DEVINFO_DATA data = to_system(element);
        if (!SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(id_list.data()),
                                               static_cast<DWORD>(id_list.size())))
            return failure();
        element = from_system(data);
        return 0;
    }

    uint32_t call_class_installer(uint32_t function, DeviceSet set, DeviceElement& element) override {
        SP_DEVINFO_DATA data = to_system(element);
        if (!SetupDiCallClassInstaller(function, set, &data)) return failure();
        element = from_system(data);
        return 0;
    }

    uint32_t update_driver(const std::string& hardware_id, const std::string& inf_path, uint32_t flags,
                           bool& reboot_required) override {
        BOOL reboot = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, hardware_id.c_str(), inf_path.c_str(), flags, &reboot))
            return failure();
        reboot_required = reboot != FALSE;
        return 0;
    }

    std::optional<std::string> system_message(uint32_t code) override {
        char* text = nullptr;
        // Inserts are left as they are: there are no arguments to put in them.
        const DWORD length = FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
        if (length == 0 || text == nullptr) {
            if (text) LocalFree(text);
            return std::nullopt;
        }
        std::string message(text, length);
        LocalFree(text);
        return message;
    }
};

}  // namespace

SetupApi& system_setup_api() {
    static WindowsSetupApi api;
    return api;
}

}  // namespace qx::ccid
