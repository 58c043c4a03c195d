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

inline constexpr uint32_t kLineNotFound = 0xE0000102;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr ClassGuid kReaderClass{0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

using Fields = std::vector<std::string>;  // one INF line, the key first
struct Section {
    std::string name;
    std::vector<Fields> lines;
};

class FakeSetupApi final : public SetupApi {
public:
    std::string program = "C:\\Program Files\\Quorvantix\\ccidsetup.exe";
    ClassGuid inf_guid = kReaderClass;
    std::vector<Section> sections;
    std::map<std::string, uint32_t> failures;  // call name -> its error
    std::map<uint32_t, std::string> messages;
    std::vector<std::string> calls;    // "name arguments", in order
    std::string hardware_id_property;  // byte for byte
    int unsized_reads = 0;             // text reads without a size query first

    uint32_t module_file_name(std::string& path) override { return path = program, record("GetModuleFileName"); }
    uint32_t open_inf_file(const std::string& path, InfHandle& inf) override {
        return inf = &inf_, record("SetupOpenInfFile", path);
    }
    void close_inf_file(InfHandle inf) override { record("SetupCloseInfFile", inf == &inf_ ? "inf" : "?"); }
    uint32_t inf_class(const std::string& path, ClassGuid& guid, std::string& name) override {
        guid = inf_guid, name = "SmartCardReader";
        return record("SetupDiGetINFClass", path);
    }
    uint32_t class_guid_from_name(const std::string& name, ClassGuid& guid, uint32_t& found) override {
        guid = kReaderClass, found = 1;
        return record("SetupDiClassGuidsFromName", name);
    }
    uint32_t find_first_line(InfHandle inf, const std::string& name, InfLine& line) override {
        if (uint32_t e = record("SetupFindFirstLine", name)) return e;
        auto lower = [](std::string s) {
            for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s;
        };
        for (uint32_t i = 0; i < sections.size(); ++i)
            if (lower(sections[i].name) == lower(name) && !sections[i].lines.empty())
                return line = InfLine{inf, inf, i, 0}, 0;
        return kLineNotFound;
    }
    uint32_t find_next_line(InfLine& line) override {
        if (uint32_t e = record("SetupFindNextLine")) return e;
        return ++line.line < sections.at(line.section).lines.size() ? 0 : kLineNotFound;
    }
    uint32_t field_count(const InfLine& line) override {
        record("SetupGetFieldCount");
        return static_cast<uint32_t>(fields(line).size() - 1);
    }
    uint32_t string_field(const InfLine& line, uint32_t index, char* buffer, uint32_t size,
                          uint32_t& required) override {
        if (uint32_t e = record("SetupGetStringField", std::to_string(index) + (buffer ? ", text" : ", size")))
            return e;
        if (index >= fields(line).size()) return kInvalidParameter;
        const std::string& text = fields(line)[index];
        const auto key = std::make_tuple(line.section, line.line, index);
        required = static_cast<uint32_t>(text.size() + 1);
        if (!buffer) return sized_.insert(key), 0;
        unsized_reads += sized_.count(key) ? 0 : 1;
        if (size < required) return 122;  // insufficient buffer
        return std::memcpy(buffer, text.c_str(), required), 0;
    }
    uint32_t create_device_info_list(const ClassGuid& guid, DeviceSet& set) override {
        return set = &set_, record("SetupDiCreateDeviceInfoList", guid == kReaderClass ? "reader class" : "?");
    }
    void destroy_device_info_list(DeviceSet set) override {
        record("SetupDiDestroyDeviceInfoList", set == &set_ ? "set" : "?");
    }
    uint32_t create_device_info(DeviceSet set, const std::string& name, const ClassGuid& guid,
                                DeviceElement& element) override {
        element.dev_inst = 7;
        return record("SetupDiCreateDeviceInfo", name + (set == &set_ && guid == kReaderClass ? "" : " ?"));
    }
    uint32_t set_hardware_id(DeviceSet set, DeviceElement& element, const std::string& id_list) override {
        hardware_id_property = id_list;
        return record("SetupDiSetDeviceRegistryProperty", element.dev_inst == 7 ? "element" : "?");
    }
    uint32_t call_class_installer(uint32_t function, DeviceSet set, DeviceElement& element) override {
        char name[48];
        std::snprintf(name, sizeof name, "SetupDiCallClassInstaller(0x%X)", static_cast<unsigned>(function));
        return record(name, element.dev_inst == 7 && set == &set_ ? "element" : "?");
    }
    uint32_t update_driver(const std::string& id, const std::string& inf, uint32_t flags, bool&) override {
        return record("UpdateDriverForPlugAndPlayDevices", id + ", " + inf + ", force " + std::to_string(flags));
    }
    std::optional<std::string> system_message(uint32_t code) override {
        auto it = messages.find(code);
        return it == messages.end() ? std::nullopt : std::optional<std::string>(it->second);
    }

    int count(const std::string& prefix) const {
        return static_cast<int>(
            std::count_if(calls.begin(), calls.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
    }

private:
    uint32_t record(const std::string& name, const std::string& args = "") {
        calls.push_back(args.empty() ? name : name + " " + args);
        auto it = failures.find(name);
        return it == failures.end() ? 0 : it->second;
    }
    const Fields& fields(const InfLine& line) const { return sections.at(line.section).lines.at(line.line); }

    int inf_ = 0, set_ = 0;
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> sized_;
};

}  // namespace qx::ccid::test
