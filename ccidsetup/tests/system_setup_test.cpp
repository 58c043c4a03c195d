// The installer over the system's own setup API (Windows builds): each INF of
// ccidsetup-data copied as "usbccid.inf" into a fresh program directory.
#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include <ostream>
#include <string>
#include <vector>

#include "installer.h"

namespace qx::ccid::test {
namespace {

// Registered devices the installer creates ("ROOT\SMARTCARDREADER\nnnn").
std::vector<std::string> root_reader_devices() {
    const GUID reader_class = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
    std::vector<std::string> found;
    HDEVINFO set = SetupDiGetClassDevsA(&reader_class, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    char id[512];
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i)
        if (SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, nullptr) &&
            CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, id, 21, "ROOT\\SMARTCARDREADER\\", 21) == CSTR_EQUAL)
            found.emplace_back(id);
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// Runs the installer as if it were a program beside `inf` (none when empty).
int install_with(const std::string& inf, std::string& output) {
    char temp[MAX_PATH] = {}, self[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string self_path(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    const std::string dir = std::string(temp) + "ccidsetup-test-" + std::to_string(GetCurrentProcessId()) + "\\";
    const std::string target = dir + kInfFileName;
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string source = self_path.substr(0, self_path.rfind('\\') + 1) + "ccidsetup-data\\" + inf;
    if (!inf.empty() && !CopyFileA(source.c_str(), target.c_str(), FALSE)) return ADD_FAILURE() << source, 1;
    const int status = install_beside(system_setup_api(), dir + "ccidsetup.exe", output);
    DeleteFileA(target.c_str());
    RemoveDirectoryA(dir.c_str());
    return status;
}

TEST(SystemSetup, SampleInfInstallsAndLeavesNoDevice) {
    ASSERT_TRUE(root_reader_devices().empty()) << "left over: " << root_reader_devices()[0];
    std::string output;
    EXPECT_EQ(install_with("usbccid.inf", output), 0);
    EXPECT_EQ(output, "Install Success!\n");
    EXPECT_TRUE(root_reader_devices().empty()) << "left over: " << root_reader_devices()[0];
}

struct FailureCase {
    const char* name;
    const char* inf;
    std::string line;  // the whole line, or the part before the system text
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class SystemSetupFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SystemSetupFailure, PrintsOneLineAndLeavesNoDevice) {
    const FailureCase& c = GetParam();
    std::string output;
    EXPECT_EQ(install_with(c.inf, output), -1);
    if (c.line.back() == '\n')
        EXPECT_EQ(output, c.line);
    else
        EXPECT_TRUE(output.rfind(c.line, 0) == 0 && output.size() > c.line.size() + 1) << output;
    EXPECT_EQ(output.find_first_of("\r\n"), output.size() - 1) << output;
    EXPECT_TRUE(root_reader_devices().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Installer, SystemSetupFailure,
    testing::Values(
        FailureCase{"MissingInf", "", "Error 2 in SetupOpenInfFile: "},
        FailureCase{"NotWindowsNtStyle", "no_signature.inf", "Error E0000100 in SetupOpenInfFile: ERROR_WRONG_INF_STYLE\n"},
        FailureCase{"NoManufacturer", "no_manufacturer.inf",
                    "Error E0000102 in search for specified device: ERROR_LINE_NOT_FOUND\n"},
        FailureCase{"ModelsSectionMissing", "no_models_section.inf",
                    "Error E0000102 in search for specified device: ERROR_LINE_NOT_FOUND\n"},
        FailureCase{"NoIdentifiers", "no_identifiers.inf", "Error 259 in search for specified device: "}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qx::ccid::test
