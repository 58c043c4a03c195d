// A setup API that answers from INF sections held in memory and records each
// call with its arguments, for driving the installer without a system.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "setup_api.h"

namespace qx::ccid::test {

// Setup error codes the fake gives as the system does.
inline constexpr uint32_t kLineNotFound = 0xE0000102;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kInsufficientBuffer = 122;

// The smart-card reader class of the samples.
inline constexpr ClassGuid kReaderClass{0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// One INF line: field 0 (the key) first.
using Fields = std::vector<std::string>;
struct Section {
    std::string name;
    std::vector<Fields> lines;
};

class FakeSetupApi final : public SetupApi {
public:
    std::string program = "C:\\Program Files\\Quorvantix\\ccidsetup.exe";
    ClassGuid inf_guid = kReaderClass;
    std::string inf_class_name = "SmartCardReader";
    ClassGuid registered_guid = kReaderClass;
    std::vector<Section> sections;
    // Call name (as recorded, without arguments) -> the error it fails with.
    std::map<std::string, uint32_t> failures;
    std::map<uint32_t, std::string> messages;

    std::vector<std::string> calls;
    // The hardware-identifier property as set, byte for byte.
    std::string hardware_id_property;
    // Text reads that were not preceded by a size query of the same field.
    int unsized_reads = 0;

    uint32_t module_file_name(std::string& path) override {
        if (uint32_t e = record("GetModuleFileName")) return e;
        path = program;
        return 0;
    }
    uint32_t open_inf_file(const std::string& path, InfHandle& inf) override {
        if (uint32_t e = record("SetupOpenInfFile", path)) return e;
        inf = &inf_token_;
        return 0;
    }
    void close_inf_file(InfHandle inf) override { record("SetupCloseInfFile", inf == &inf_token_ ? "inf" : "?"); }
    uint32_t inf_class(const std::string& path, ClassGuid& guid, std::string& class_name) override {
        if (uint32_t e = record("SetupDiGetINFClass", path)) return e;
        guid = inf_guid;
        class_name = inf_class_name;
        return 0;
    }
    uint32_t class_guid_from_name(const std::string& class_name, ClassGuid& guid, uint32_t& found) override {
        if (uint32_t e = record("SetupDiClassGuidsFromName", class_name)) return e;
        guid = registered_guid;
        found = 1;
        return 0;
    }
    uint32_t find_first_line(InfHandle inf, const std::string& section, InfLine& line) override {
        if (uint32_t e = record("SetupFindFirstLine", section)) return e;
        for (size_t i = 0; i < sections.size(); ++i) {
            if (!same_name(sections[i].name, section)) continue;
            if (sections[i].lines.empty()) return kLineNotFound;
            line = InfLine{inf, inf, static_cast<uint32_t>(i), 0};
            return 0;
        }
        return kLineNotFound;
    }
    uint32_t find_next_line(InfLine& line) override {
        if (uint32_t e = record("SetupFindNextLine")) return e;
        if (line.line + 1 >= sections.at(line.section).lines.size()) return kLineNotFound;
        ++line.line;
        return 0;
    }
    uint32_t field_count(const InfLine& line) override {
        record("SetupGetFieldCount");
        return static_cast<uint32_t>(fields(line).size() - 1);
    }
    uint32_t string_field(const InfLine& line, uint32_t index, char* buffer, uint32_t size,
                          uint32_t& required) override {
        const std::string what = std::to_string(index) + (buffer ? ", text" : ", size");
        if (uint32_t e = record("SetupGetStringField", what)) return e;
        const Fields& f = fields(line);
        if (index >= f.size()) return kInvalidParameter;
        const std::string& text = f[index];
        const auto key = std::make_pair(line.section * 1000 + line.line, index);
        required = static_cast<uint32_t>(text.size() + 1);
        if (!buffer) {
            sized_.insert(key);
            return 0;
        }
        if (!sized_.count(key)) ++unsized_reads;
        if (size < required) return kInsufficientBuffer;
        std::memcpy(buffer, text.c_str(), required);
        return 0;
    }
    uint32_t create_device_info_list(const ClassGuid& guid, DeviceSet& set) override {
        if (uint32_t e = record("SetupDiCreateDeviceInfoList", guid == kReaderClass ? "reader class" : "other class"))
            return e;
        set = &set_token_;
        return 0;
    }
    void destroy_device_info_list(DeviceSet set) override {
        record("SetupDiDestroyDeviceInfoList", set == &set_token_ ? "set" : "?");
    }
    uint32_t create_device_info(DeviceSet set, const std::string& class_name, const ClassGuid& guid,
                                DeviceElement& element) override {
        if (uint32_t e = record("SetupDiCreateDeviceInfo", class_name)) return e;
        element.class_guid = guid;
        element.dev_inst = 7;
        return 0;
    }
    uint32_t set_hardware_id(DeviceSet set, DeviceElement& element, const std::string& id_list) override {
        hardware_id_property = id_list;
        return record("SetupDiSetDeviceRegistryProperty", element.dev_inst == 7 ? "element" : "?");
    }
    uint32_t call_class_installer(uint32_t function, DeviceSet set, DeviceElement& element) override {
        char name[64];
        std::snprintf(name, sizeof name, "SetupDiCallClassInstaller(0x%X)", static_cast<unsigned>(function));
        return record(name, element.dev_inst == 7 && set == &set_token_ ? "element" : "?");
    }
    uint32_t update_driver(const std::string& hardware_id, const std::string& inf_path, uint32_t flags,
                           bool& reboot_required) override {
        return record("UpdateDriverForPlugAndPlayDevices",
                      hardware_id + ", " + inf_path + ", force " + std::to_string(flags));
    }
    std::optional<std::string> system_message(uint32_t code) override {
        auto it = messages.find(code);
        if (it == messages.end()) return std::nullopt;
        return it->second;
    }

    // The recorded calls whose name starts with `prefix`.
    int count(const std::string& prefix) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                              [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
    }

private:
    uint32_t record(const std::string& name, const std::string& args = "") {
        calls.push_back(args.empty() ? name : name + " " + args);
        auto it = failures.find(name);
        return it == failures.end() ? 0 : it->second;
    }
    static bool same_name(const std::string& a, const std::string& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
               });
    }
    const Fields& fields(const InfLine& line) const { return sections.at(line.section).lines.at(line.line); }

    int inf_token_ = 0;
    int set_token_ = 0;
    std::set<std::pair<uint32_t, uint32_t>> sized_;
};

}  // namespace qx::ccid::test
