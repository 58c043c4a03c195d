// The installer's search, error lines and installation sequence, driven
// through a fake setup API.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fake_setup_api.h"
#include "installer.h"

namespace qx::ccid::test {
namespace {

const std::string kFirstId = "USB\\VID_3A7C&PID_0C1D&MI_00";
const std::string kSecondId = "USB\\VID_3A7C&PID_0C1D";
const std::string kLongId = kSecondId + "&REV_" + std::string(1000, '7');
const std::string kInfPath = "C:\\Program Files\\Quorvantix\\usbccid.inf";

std::vector<Section> with_models(std::vector<Fields> lines) {
    return {{"Version", {{"Signature", "$Windows NT$"}}},
            {"Manufacturer", {{"Quorvantix", "QuorvantixReaders"}, {"Later", "Other"}}},
            {"QuorvantixReaders", std::move(lines)},
            {"Other", {{"Other reader", "Install", kLongId}}}};
}
// The sample package: one models line with two identifiers.
const std::vector<Section> kSample = with_models({{"UKey reader", "UKey_Install", kFirstId, kSecondId}});

struct SearchCase {
    const char* name;
    std::vector<Section> sections;
    std::string wanted;
    uint32_t status;
    std::string id, description;
};
void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

class Search : public testing::TestWithParam<SearchCase> {};

TEST_P(Search, TakesTheFirstMatchingIdentifier) {
    const SearchCase& c = GetParam();
    FakeSetupApi api;
    api.sections = c.sections;
    FoundDevice found;
    EXPECT_EQ(search_device(api, &api, c.wanted, found), c.status);
    EXPECT_EQ(found.hardware_id, c.id);
    EXPECT_EQ(found.description, c.description);
    EXPECT_EQ(api.unsized_reads, 0) << "a field was read without asking its size first";
}

INSTANTIATE_TEST_SUITE_P(
    Installer, Search,
    testing::Values(
        SearchCase{"TwoIdentifiersFirstWins", kSample, "", 0, kFirstId, "UKey reader"},
        SearchCase{"EmptyIdentifiersNeverMatch", with_models({{"Bare", "In"}, {"Gap", "In", "", kSecondId}}), "", 0,
                   kSecondId, "Gap"},
        SearchCase{"FieldOfAnyLength", with_models({{"Long", "In", kLongId}}), "", 0, kLongId, "Long"},
        SearchCase{"WantedIdentifierIgnoresCase", with_models({{"A", "In", kFirstId}, {"B", "In", "usb\\vid_3a7c"}}),
                   "USB\\VID_3A7C", 0, "usb\\vid_3a7c", "B"},
        // Only the first [Manufacturer] line is followed.
        SearchCase{"NoIdentifiers", with_models({{"Bare", "In"}, {"Empty", "In", ""}}), "", kNoMoreItems, "", ""},
        SearchCase{"NoManufacturer", {{"QuorvantixReaders", {{"R", "In", kFirstId}}}}, "", kLineNotFound, "", ""},
        SearchCase{"ModelsSectionMissing", {{"Manufacturer", {{"Quorvantix", "Gone"}}}}, "", kLineNotFound, "", ""},
        SearchCase{"ManufacturerWithoutModels", {{"Manufacturer", {{"Quorvantix"}}}}, "", kInvalidParameter, "",
                   ""}),
    [](const testing::TestParamInfo<SearchCase>& info) { return info.param.name; });

struct LineCase {
    const char* name;
    uint32_t code;
    std::string message;  // empty: the system has no text
    std::string expected;
};
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class ErrorLine : public testing::TestWithParam<LineCase> {};

TEST_P(ErrorLine, IsOneLineInTheRightForm) {
    const LineCase& c = GetParam();
    FakeSetupApi api;
    if (!c.message.empty()) api.messages[c.code] = c.message;
    EXPECT_EQ(error_line(api, "Step", c.code), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Installer, ErrorLine,
    testing::Values(LineCase{"SystemTextLosesItsLineEnding", 2, "File not found.\r\n", "Error 2 in Step: File not found.\n"},
                    LineCase{"MultiLineSystemText", 5, "Access\r\nis denied.\r\n\r\n", "Error 5 in Step: Access is denied.\n"},
                    LineCase{"SystemTextBeforeName", 0xE0000203, "None.", "Error -536870397 in Step: None.\n"},
                    LineCase{"Named", 0xE0000203, "", "Error E0000203 in Step: ERROR_NO_DRIVER_SELECTED\n"},
                    LineCase{"FirstNamed", 0xE0000000, "", "Error E0000000 in Step: ERROR_EXPECTED_SECTION_NAME\n"},
                    LineCase{"NotInstalled", 0xE0001000, "", "Error E0001000 in Step: ERROR_NOT_INSTALLED\n"},
                    LineCase{"CurrentNameNotOlder", 0xE000021A, "", "Error E000021A in Step: ERROR_NO_DEFAULT_DEVICE_INTERFACE\n"},
                    LineCase{"CurrentNameNotOlder2", 0xE0000225, "", "Error E0000225 in Step: ERROR_NO_SUCH_DEVICE_INTERFACE\n"},
                    LineCase{"LastNamed", 0xE000022C, "", "Error E000022C in Step: ERROR_INVALID_FILTER_DRIVER\n"},
                    LineCase{"BeyondTheTable", 0xE0000300, "", "Error E0000300 in Step\n"},
                    LineCase{"Unnamed", 0x1234, "", "Error 00001234 in Step\n"}),
    [](const testing::TestParamInfo<LineCase>& info) { return info.param.name; });

TEST(InstallerErrorLine, EverySetupCodeUpToTheFilterDriverHasAName) {
    // The three ranges of setup codes and the first code after each.
    for (auto [first, end] : {std::pair<uint32_t, uint32_t>{0xE0000000, 0xE0000004}, {0xE0000100, 0xE0000104},
                              {0xE0000200, 0xE000022D}}) {
        for (uint32_t code = first; code < end; ++code) EXPECT_NE(setup_error_name(code), nullptr) << std::hex << code;
        EXPECT_EQ(setup_error_name(end), nullptr) << std::hex << end;
    }
}

TEST(InstallerErrorLine, OverlongSystemTextIsCutToAWholeLine) {
    const std::string head = "Error 31 in Step: ";
    // text length -> line length: 511 characters fit exactly, longer is cut at 511.
    for (auto [text_length, line_length] : {std::pair<size_t, size_t>{10, head.size() + 11}, {511 - head.size() - 1, 511},
                                            {511 - head.size(), 511}, {5000, 511}}) {
        FakeSetupApi api;
        api.messages[31] = std::string(text_length, 'x') + "\r\n";
        const std::string line = error_line(api, "Step", 31);
        ASSERT_EQ(line.size(), line_length) << text_length;
        EXPECT_EQ(line.rfind(head + "xxxxxxxxxx", 0), 0u);
        EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 1);
    }
}

const std::vector<std::string> kSuccessfulRun = {
    "GetModuleFileName", "SetupOpenInfFile " + kInfPath, "SetupDiGetINFClass " + kInfPath,
    "SetupFindFirstLine Manufacturer", "SetupGetStringField 1, size", "SetupGetStringField 1, text",
    "SetupFindFirstLine QuorvantixReaders", "SetupGetFieldCount", "SetupGetStringField 2, size",
    "SetupGetStringField 2, text", "SetupGetStringField 0, size", "SetupGetStringField 0, text",
    "SetupDiCreateDeviceInfoList reader class", "SetupDiCreateDeviceInfo SmartCardReader",
    "SetupDiSetDeviceRegistryProperty element", "SetupDiCallClassInstaller(0x19) element",
    "UpdateDriverForPlugAndPlayDevices " + kFirstId + ", " + kInfPath + ", force 1",
    "SetupDiCallClassInstaller(0x5) element", "SetupDiDestroyDeviceInfoList set", "SetupCloseInfFile inf"};

TEST(InstallerRun, SuccessCallsInOrderAndRemovesTheDevice) {
    for (const bool null_guid : {false, true}) {
        FakeSetupApi api;
        api.sections = kSample;
        if (null_guid) api.inf_guid = ClassGuid{};
        api.failures["SetupDiCallClassInstaller(0x5)"] = 0xE000020B;  // a failed removal changes nothing
        std::string output;
        EXPECT_EQ(run_installer(api, output), 0);
        EXPECT_EQ(output, "Install Success!\n");
        std::vector<std::string> expected = kSuccessfulRun;
        if (null_guid) expected.insert(expected.begin() + 3, "SetupDiClassGuidsFromName SmartCardReader");
        EXPECT_EQ(api.calls, expected);
        EXPECT_EQ(api.hardware_id_property, kFirstId + std::string(2, '\0'));
    }
}

struct FailureCase {
    const char* name;
    std::string failing_call;  // empty: an INF without [Manufacturer]
    uint32_t code;
    std::string expected;
    int cleaned_up;  // how many of remove, destroy, close ran (from the end)
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailingStep : public testing::TestWithParam<FailureCase> {};

TEST_P(FailingStep, PrintsOneLineCleansUpAndFails) {
    const FailureCase& c = GetParam();
    FakeSetupApi api;
    api.sections = kSample;
    if (c.failing_call.empty()) api.sections.erase(api.sections.begin() + 1);
    api.failures[c.failing_call] = c.code;
    api.messages[2] = "File not found.\r\n";
    std::string output;
    EXPECT_EQ(run_installer(api, output), -1);
    EXPECT_EQ(output, c.expected);
    EXPECT_EQ(api.count("UpdateDriver"), c.failing_call.rfind("UpdateDriver", 0) == 0 ? 1 : 0);
    // The clean-up: remove (only a registered device), destroy, close, in this order.
    const std::vector<std::string> cleanup(kSuccessfulRun.end() - c.cleaned_up, kSuccessfulRun.end());
    EXPECT_EQ(std::vector<std::string>(api.calls.end() - c.cleaned_up, api.calls.end()), cleanup);
    EXPECT_EQ(api.count("SetupDiCallClassInstaller(0x5)") + api.count("SetupDiDestroy") + api.count("SetupClose"),
              c.cleaned_up);
}

INSTANTIATE_TEST_SUITE_P(
    Installer, FailingStep,
    testing::Values(
        FailureCase{"ProgramPath", "GetModuleFileName", 0xCE, "Error 000000CE in SetupOpenInfFile\n", 0},
        FailureCase{"MissingInf", "SetupOpenInfFile", 2, "Error 2 in SetupOpenInfFile: File not found.\n", 0},
        FailureCase{"InfClass", "SetupDiGetINFClass", 0xE0000100,
                    "Error E0000100 in SetupOpenInfFile: ERROR_WRONG_INF_STYLE\n", 1},
        FailureCase{"NoManufacturer", "", 0, "Error E0000102 in search for specified device: ERROR_LINE_NOT_FOUND\n", 1},
        FailureCase{"UnreadableField", "SetupGetStringField", 0xE0000003,
                    "Error E0000003 in search for specified device: ERROR_GENERAL_SYNTAX\n", 1},
        FailureCase{"CreateSet", "SetupDiCreateDeviceInfoList", 2,
                    "Error 2 in SetupDiCreateDeviceInfoList: File not found.\n", 1},
        FailureCase{"CreateElement", "SetupDiCreateDeviceInfo", 0xE0000207,
                    "Error E0000207 in SetupDiCreateDeviceInfo or SetupDiSetDeviceRegistryProperty: "
                    "ERROR_DEVINST_ALREADY_EXISTS\n", 2},
        FailureCase{"SetHardwareId", "SetupDiSetDeviceRegistryProperty", 0xE0000209,
                    "Error E0000209 in SetupDiCreateDeviceInfo or SetupDiSetDeviceRegistryProperty: "
                    "ERROR_INVALID_REG_PROPERTY\n", 2},
        FailureCase{"Register", "SetupDiCallClassInstaller(0x19)", 0xE000020D,
                    "Error E000020D in SetupDiCallClassInstaller(DIF_REGISTERDEVICE): ERROR_INVALID_CLASS_INSTALLER\n",
                    2},
        FailureCase{"UpdateDriver", "UpdateDriverForPlugAndPlayDevices", 0xE0000203,
                    "Error E0000203 in UpdateDriverForPlugAndPlayDevices: ERROR_NO_DRIVER_SELECTED\n", 3}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qx::ccid::test
