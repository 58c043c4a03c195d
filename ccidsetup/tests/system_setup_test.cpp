// The installer over the system's own setup API (Windows builds): the INF
// files of ccidsetup-data, each copied as "usbccid.inf" into a fresh
// directory that stands in for the program's own.
#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include <ostream>
#include <string>
#include <vector>

#include "installer.h"

namespace qx::ccid::test {
namespace {

const GUID kReaderClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

std::string directory_of(const std::string& path) { return path.substr(0, path.find_last_of('\\') + 1); }

std::string test_program_directory() {
    char path[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return directory_of(std::string(path, length));
}

// Instance identifiers of the registered devices the installer creates
// ("ROOT\SMARTCARDREADER\nnnn").
std::vector<std::string> root_reader_devices() {
    std::vector<std::string> found;
    HDEVINFO set = SetupDiGetClassDevsA(&kReaderClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        char id[512] = {};
        if (!SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, nullptr)) continue;
        if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, id, 21, "ROOT\\SMARTCARDREADER\\", 21) == CSTR_EQUAL)
            found.emplace_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// The system's setup API, except that the program lives in `directory`; it
// notes the devices present right after the driver update.
class ProgramInDirectory final : public SetupApi {
public:
    explicit ProgramInDirectory(std::string directory) : directory_(std::move(directory)) {}
    std::vector<std::string> devices_after_update;

    uint32_t module_file_name(std::string& path) override {
        path = directory_ + "ccidsetup.exe";
        return 0;
    }
    uint32_t open_inf_file(const std::string& path, InfHandle& inf) override { return sys().open_inf_file(path, inf); }
    void close_inf_file(InfHandle inf) override { sys().close_inf_file(inf); }
    uint32_t inf_class(const std::string& path, ClassGuid& guid, std::string& name) override {
        return sys().inf_class(path, guid, name);
    }
    uint32_t class_guid_from_name(const std::string& name, ClassGuid& guid, uint32_t& found) override {
        return sys().class_guid_from_name(name, guid, found);
    }
    uint32_t find_first_line(InfHandle inf, const std::string& section, InfLine& line) override {
        return sys().find_first_line(inf, section, line);
    }
    uint32_t find_next_line(InfLine& line) override { return sys().find_next_line(line); }
    uint32_t field_count(const InfLine& line) override { return sys().field_count(line); }
    uint32_t string_field(const InfLine& line, uint32_t index, char* buffer, uint32_t size,
                          uint32_t& required) override {
        return sys().string_field(line, index, buffer, size, required);
    }
    uint32_t create_device_info_list(const ClassGuid& guid, DeviceSet& set) override {
        return sys().create_device_info_list(guid, set);
    }
    void destroy_device_info_list(DeviceSet set) override { sys().destroy_device_info_list(set); }
    uint32_t create_device_info(DeviceSet set, const std::string& name, const ClassGuid& guid,
                                DeviceElement& element) override {
        return sys().create_device_info(set, name, guid, element);
    }
    uint32_t set_hardware_id(DeviceSet set, DeviceElement& element, const std::string& ids) override {
        return sys().set_hardware_id(set, element, ids);
    }
    uint32_t call_class_installer(uint32_t function, DeviceSet set, DeviceElement& element) override {
        return sys().call_class_installer(function, set, element);
    }
    uint32_t update_driver(const std::string& id, const std::string& inf, uint32_t flags, bool& reboot) override {
        const uint32_t result = sys().update_driver(id, inf, flags, reboot);
        devices_after_update = root_reader_devices();
        return result;
    }
    std::optional<std::string> system_message(uint32_t code) override { return sys().system_message(code); }

private:
    static SetupApi& sys() { return system_setup_api(); }
    std::string directory_;
};

// A fresh directory holding `inf` (a file of ccidsetup-data) as "usbccid.inf".
class ProgramDirectory {
public:
    explicit ProgramDirectory(const std::string& inf) {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        static int serial = 0;
        path_ = std::string(temp) + "ccidsetup-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++serial) + "\\";
        CreateDirectoryA(path_.c_str(), nullptr);
        if (!inf.empty()) {
            const std::string source = test_program_directory() + "ccidsetup-data\\" + inf;
            copied_ = CopyFileA(source.c_str(), (path_ + kInfFileName).c_str(), FALSE) != 0;
        }
    }
    ~ProgramDirectory() {
        DeleteFileA((path_ + kInfFileName).c_str());
        RemoveDirectoryA(path_.c_str());
    }
    const std::string& path() const { return path_; }
    bool copied() const { return copied_; }

private:
    std::string path_;
    bool copied_ = false;
};

TEST(SystemSetup, SampleInfInstallsAndLeavesNoDevice) {
    ASSERT_TRUE(root_reader_devices().empty()) << "a device is left over from an earlier run";
    ProgramDirectory dir("usbccid.inf");
    ASSERT_TRUE(dir.copied());
    ProgramInDirectory api(dir.path());
    std::string output;
    EXPECT_EQ(run_installer(api, output), 0);
    EXPECT_EQ(output, "Install Success!\n");
    ASSERT_EQ(api.devices_after_update.size(), 1u) << "the device was not there while its driver was installed";
    EXPECT_EQ(api.devices_after_update[0].rfind("ROOT\\SMARTCARDREADER\\", 0), 0u) << api.devices_after_update[0];
    EXPECT_TRUE(root_reader_devices().empty()) << root_reader_devices()[0];
}

struct FailureCase {
    const char* name;
    const char* inf;  // empty: no INF beside the program
    std::string line;  // the whole line, or its start when `prefix_only`
    bool prefix_only;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class SystemSetupFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SystemSetupFailure, OneLineAndNoDeviceLeft) {
    const FailureCase& c = GetParam();
    ProgramDirectory dir(c.inf);
    ASSERT_TRUE(*c.inf == '\0' || dir.copied());
    ProgramInDirectory api(dir.path());
    std::string output;
    EXPECT_EQ(run_installer(api, output), -1);
    if (c.prefix_only) {
        EXPECT_EQ(output.rfind(c.line, 0), 0u) << output;
        EXPECT_GT(output.size(), c.line.size() + 1) << "no system text: " << output;
    } else {
        EXPECT_EQ(output, c.line);
    }
    EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
    EXPECT_EQ(output.find('\r'), std::string::npos) << output;
    EXPECT_TRUE(root_reader_devices().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Installer, SystemSetupFailure,
    testing::Values(
        FailureCase{"MissingInf", "", "Error 2 in SetupOpenInfFile: ", true},
        FailureCase{"NoManufacturer", "no_manufacturer.inf",
                    "Error E0000102 in search for specified device: ERROR_LINE_NOT_FOUND\n", false},
        FailureCase{"ModelsSectionMissing", "no_models_section.inf",
                    "Error E0000102 in search for specified device: ERROR_LINE_NOT_FOUND\n", false},
        FailureCase{"NoIdentifiers", "no_identifiers.inf", "Error 259 in search for specified device: ", true},
        FailureCase{"NotWindowsNtStyle", "no_signature.inf",
                    "Error E0000100 in SetupOpenInfFile: ERROR_WRONG_INF_STYLE\n", false}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qx::ccid::test
