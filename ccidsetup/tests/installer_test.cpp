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
const std::string kInfPath = "C:\\Program Files\\Quorvantix\\usbccid.inf";

// The sample package: one models line with two identifiers.
std::vector<Section> sample_sections() {
    return {{"Version", {{"Signature", "$Windows NT$"}}},
            {"Manufacturer", {{"Quorvantix", "QuorvantixReaders"}}},
            {"QuorvantixReaders", {{"Quorvantix UKey CCID Reader", "UKey_Install", kFirstId, kSecondId}}}};
}

std::vector<Section> with_models(std::vector<Fields> lines) {
    return {{"Manufacturer", {{"Quorvantix", "Models"}}}, {"Models", std::move(lines)}};
}

struct SearchCase {
    const char* name;
    std::vector<Section> sections;
    std::string wanted;
    uint32_t status;
    std::string id;
    std::string description;
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

class Search : public testing::TestWithParam<SearchCase> {};

TEST_P(Search, FindsTheFirstMatchingIdentifier) {
    const SearchCase& c = GetParam();
    FakeSetupApi api;
    api.sections = c.sections;
    FoundDevice found;
    EXPECT_EQ(search_device(api, &api, c.wanted, found), c.status);
    EXPECT_EQ(found.hardware_id, c.id);
    EXPECT_EQ(found.description, c.description);
    EXPECT_EQ(api.unsized_reads, 0) << "a field was read without asking its size first";
}

const std::string kLongId = "USB\\VID_3A7C&PID_0C1D&REV_" + std::string(1000, '7');

INSTANTIATE_TEST_SUITE_P(
    Installer, Search,
    testing::Values(
        SearchCase{"TwoIdentifiersFirstWins", sample_sections(), "", 0, kFirstId, "Quorvantix UKey CCID Reader"},
        SearchCase{"LineWithoutIdentifiersIsSkipped",
                   with_models({{"Bare", "Install"}, {"Reader", "Install", kSecondId}}), "", 0, kSecondId, "Reader"},
        SearchCase{"EmptyIdentifierNeverMatches", with_models({{"Reader", "Install", "", kSecondId}}), "", 0,
                   kSecondId, "Reader"},
        SearchCase{"WantedIdentifierIgnoresCase",
                   with_models({{"Composite", "Install", kFirstId}, {"Reader", "Install", "usb\\vid_3a7c&pid_0c1d"}}),
                   kSecondId, 0, "usb\\vid_3a7c&pid_0c1d", "Reader"},
        SearchCase{"FieldOfAnyLength", with_models({{"Long", "Install", kLongId}}), "", 0, kLongId, "Long"},
        SearchCase{"NoManufacturerSection", {{"Models", {{"Reader", "Install", kFirstId}}}}, "", kLineNotFound, "",
                   ""},
        SearchCase{"ManufacturerWithoutModelsField",
                   {{"Manufacturer", {{"Quorvantix"}}}, {"Models", {{"Reader", "Install", kFirstId}}}}, "",
                   kInvalidParameter, "", ""},
        SearchCase{"ModelsSectionMissing", {{"Manufacturer", {{"Quorvantix", "Models"}}}}, "", kLineNotFound, "", ""},
        SearchCase{"NoIdentifiers", with_models({{"Bare", "Install"}, {"Empty", "Install", ""}}), "", kNoMoreItems,
                   "", ""},
        SearchCase{"WantedIdentifierAbsent", with_models({{"Reader", "Install", kFirstId}}), "USB\\VID_0000", 
                   kNoMoreItems, "", ""},
        SearchCase{"LaterManufacturerLinesAreNotVisited",
                   {{"Manufacturer", {{"First", "Empty"}, {"Second", "Models"}}},
                    {"Empty", {{"Bare", "Install"}}},
                    {"Models", {{"Reader", "Install", kFirstId}}}},
                   "", kNoMoreItems, "", ""}),
    [](const testing::TestParamInfo<SearchCase>& info) { return info.param.name; });

TEST(InstallerSearch, UnreadableIdentifierEndsTheSearchWithItsCode) {
    FakeSetupApi api;
    api.sections = sample_sections();
    api.failures["SetupGetStringField"] = 0xE0000003;
    FoundDevice found;
    EXPECT_EQ(search_device(api, &api, "", found), 0xE0000003u);
}

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
    EXPECT_EQ(error_line(api, "SetupOpenInfFile", c.code), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Installer, ErrorLine,
    testing::Values(
        LineCase{"SystemTextWithoutItsLineEnding", 2, "The system cannot find the file specified.\r\n",
                 "Error 2 in SetupOpenInfFile: The system cannot find the file specified.\n"},
        LineCase{"MultiLineSystemTextJoined", 5, "Access\r\nis denied.\r\n\r\n",
                 "Error 5 in SetupOpenInfFile: Access is denied.\n"},
        LineCase{"SystemTextWinsOverTheName", 0xE0000203, "No driver.\r\n",
                 "Error -536870397 in SetupOpenInfFile: No driver.\n"},
        LineCase{"NamedSetupCode", 0xE0000203, "",
                 "Error E0000203 in SetupOpenInfFile: ERROR_NO_DRIVER_SELECTED\n"},
        LineCase{"NotInstalled", 0xE0001000, "", "Error E0001000 in SetupOpenInfFile: ERROR_NOT_INSTALLED\n"},
        LineCase{"CurrentNameBeforeOlderName", 0xE000021A, "",
                 "Error E000021A in SetupOpenInfFile: ERROR_NO_DEFAULT_DEVICE_INTERFACE\n"},
        LineCase{"LastCurrentName", 0xE0000225, "",
                 "Error E0000225 in SetupOpenInfFile: ERROR_NO_SUCH_DEVICE_INTERFACE\n"},
        LineCase{"FirstName", 0xE0000000, "", "Error E0000000 in SetupOpenInfFile: ERROR_EXPECTED_SECTION_NAME\n"},
        LineCase{"CodeBeyondTheTable", 0xE0000300, "", "Error E0000300 in SetupOpenInfFile\n"},
        LineCase{"UnknownSmallCode", 0x1234, "", "Error 00001234 in SetupOpenInfFile\n"}),
    [](const testing::TestParamInfo<LineCase>& info) { return info.param.name; });

TEST(InstallerErrorLine, OverlongSystemTextIsCutToAWholeLine) {
    const std::string head = "Error 31 in SetupOpenInfFile: ";
    struct Case {
        size_t text_length;
        size_t line_length;
    };
    // 511 characters fit exactly; one more and the line is cut at 511.
    for (const Case c : {Case{511 - head.size() - 1, 511}, Case{511 - head.size(), 511}, Case{2000, 511},
                         Case{10, head.size() + 11}}) {
        FakeSetupApi api;
        const std::string text(c.text_length, 'x');
        api.messages[31] = text + "\r\n";
        const std::string line = error_line(api, "SetupOpenInfFile", 31);
        SCOPED_TRACE(c.text_length);
        ASSERT_EQ(line.size(), c.line_length);
        EXPECT_EQ(line.rfind(head + "xxx", 0), 0u);
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        EXPECT_EQ(line.find('\r'), std::string::npos);
    }
}

TEST(InstallerErrorLine, NameTableListsEachCodeOnceBeforeTheOlderNames) {
    const auto names = setup_error_names();
    ASSERT_EQ(names.size(), 58u);
    // The current names ascend strictly, so each code is found under them first.
    for (size_t i = 1; i < 53; ++i) EXPECT_LT(names[i - 1].code, names[i].code) << names[i].name;
    EXPECT_EQ(names[52].code, 0xE000022Cu);
    for (size_t i = 53; i < 57; ++i) {
        EXPECT_STRNE(setup_error_name(names[i].code), names[i].name);
        EXPECT_NE(std::string(names[i].name).find("INTERFACE_DEVICE"), std::string::npos);
    }
    EXPECT_EQ(names[57].code, 0xE0001000u);
}

TEST(InstallerPath, InfBesideTheProgram) {
    struct Case {
        std::string program, inf;
    };
    for (const Case& c : {Case{"C:\\Program Files\\Quorvantix\\ccidsetup.exe", kInfPath},
                          Case{"C:\\ccidsetup.exe", "C:\\usbccid.inf"},
                          Case{"\\\\server\\share.d\\bin\\ccidsetup.exe", "\\\\server\\share.d\\bin\\usbccid.inf"},
                          Case{"ccidsetup.exe", "usbccid.inf"}}) {
        EXPECT_EQ(inf_path_for(c.program), c.inf) << c.program;
    }
}

// The calls of a whole successful run, in order.
std::vector<std::string> successful_run() {
    return {"GetModuleFileName",
            "SetupOpenInfFile " + kInfPath,
            "SetupDiGetINFClass " + kInfPath,
            "SetupFindFirstLine Manufacturer",
            "SetupGetStringField 1, size",
            "SetupGetStringField 1, text",
            "SetupFindFirstLine QuorvantixReaders",
            "SetupGetFieldCount",
            "SetupGetStringField 2, size",
            "SetupGetStringField 2, text",
            "SetupGetStringField 0, size",
            "SetupGetStringField 0, text",
            "SetupDiCreateDeviceInfoList reader class",
            "SetupDiCreateDeviceInfo SmartCardReader",
            "SetupDiSetDeviceRegistryProperty element",
            "SetupDiCallClassInstaller(0x19) element",
            "UpdateDriverForPlugAndPlayDevices " + kFirstId + ", " + kInfPath + ", force 1",
            "SetupDiCallClassInstaller(0x5) element",
            "SetupDiDestroyDeviceInfoList set",
            "SetupCloseInfFile inf"};
}

TEST(InstallerRun, SuccessfulRunCallsInOrderAndRemovesTheDevice) {
    FakeSetupApi api;
    api.sections = sample_sections();
    std::string output;
    EXPECT_EQ(run_installer(api, output), 0);
    EXPECT_EQ(output, "Install Success!\n");
    EXPECT_EQ(api.calls, successful_run());
    EXPECT_EQ(api.hardware_id_property, kFirstId + std::string(2, '\0'));
}

TEST(InstallerRun, NullClassGuidIsLookedUpByName) {
    FakeSetupApi api;
    api.sections = sample_sections();
    api.inf_guid = ClassGuid{};
    std::string output;
    EXPECT_EQ(run_installer(api, output), 0);
    ASSERT_EQ(api.count("SetupDiClassGuidsFromName SmartCardReader"), 1);
    EXPECT_EQ(api.count("SetupDiCreateDeviceInfoList reader class"), 1);
}

TEST(InstallerRun, FailedRemovalAfterSuccessStillSucceeds) {
    FakeSetupApi api;
    api.sections = sample_sections();
    api.failures["SetupDiCallClassInstaller(0x5)"] = 0xE000020B;
    std::string output;
    EXPECT_EQ(run_installer(api, output), 0);
    EXPECT_EQ(output, "Install Success!\n");
    EXPECT_EQ(api.count("SetupCloseInfFile"), 1);
}

struct FailureCase {
    const char* name;
    std::string failing_call;  // empty: the INF content makes the run fail
    uint32_t code;
    std::string expected;
    bool removed, destroyed, closed;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailingStep : public testing::TestWithParam<FailureCase> {};

TEST_P(FailingStep, PrintsOneLineCleansUpAndFails) {
    const FailureCase& c = GetParam();
    FakeSetupApi api;
    api.sections = sample_sections();
    if (c.failing_call.empty())
        api.sections.erase(api.sections.begin() + 1);  // no [Manufacturer]
    else
        api.failures[c.failing_call] = c.code;
    api.messages[2] = "The system cannot find the file specified.\r\n";
    api.messages[8] = "Not enough memory resources are available to process this command.\r\n";
    std::string output;
    EXPECT_EQ(run_installer(api, output), -1);
    EXPECT_EQ(output, c.expected);
    EXPECT_EQ(api.count("SetupDiCallClassInstaller(0x5)"), c.removed ? 1 : 0);
    EXPECT_EQ(api.count("SetupDiDestroyDeviceInfoList"), c.destroyed ? 1 : 0);
    EXPECT_EQ(api.count("SetupCloseInfFile"), c.closed ? 1 : 0);
    EXPECT_EQ(api.count("UpdateDriverForPlugAndPlayDevices"),
              c.failing_call == "UpdateDriverForPlugAndPlayDevices" ? 1 : 0);
    // Clean-up comes last, in order: remove, destroy, close.
    if (c.closed) {
        EXPECT_EQ(api.calls.back(), "SetupCloseInfFile inf");
    }
    if (c.destroyed) {
        EXPECT_EQ(api.calls.end()[-2], "SetupDiDestroyDeviceInfoList set");
    }
    if (c.removed) {
        EXPECT_EQ(api.calls.end()[-3], "SetupDiCallClassInstaller(0x5) element");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Installer, FailingStep,
    testing::Values(
        FailureCase{"ProgramPath", "GetModuleFileName", 0xCE, "Error 000000CE in SetupOpenInfFile\n", false, false,
                    false},
        FailureCase{"MissingInf", "SetupOpenInfFile", 2,
                    "Error 2 in SetupOpenInfFile: The system cannot find the file specified.\n", false, false, false},
        FailureCase{"InfClass", "SetupDiGetINFClass", 0xE0000100,
                    "Error E0000100 in SetupOpenInfFile: ERROR_WRONG_INF_STYLE\n", false, false, true},
        FailureCase{"NoManufacturer", "", 0,
                    "Error E0000102 in search for specified device: ERROR_LINE_NOT_FOUND\n", false, false, true},
        FailureCase{"UnreadableField", "SetupGetStringField", 0xE0000003,
                    "Error E0000003 in search for specified device: ERROR_GENERAL_SYNTAX\n", false, false, true},
        FailureCase{"CreateSet", "SetupDiCreateDeviceInfoList", 8,
                    "Error 8 in SetupDiCreateDeviceInfoList: Not enough memory resources are available to process "
                    "this command.\n",
                    false, false, true},
        FailureCase{"CreateElement", "SetupDiCreateDeviceInfo", 0xE0000207,
                    "Error E0000207 in SetupDiCreateDeviceInfo or SetupDiSetDeviceRegistryProperty: "
                    "ERROR_DEVINST_ALREADY_EXISTS\n",
                    false, true, true},
        FailureCase{"SetHardwareId", "SetupDiSetDeviceRegistryProperty", 0xE0000209,
                    "Error E0000209 in SetupDiCreateDeviceInfo or SetupDiSetDeviceRegistryProperty: "
                    "ERROR_INVALID_REG_PROPERTY\n",
                    false, true, true},
        FailureCase{"RegisterDevice", "SetupDiCallClassInstaller(0x19)", 0xE000020D,
                    "Error E000020D in SetupDiCallClassInstaller(DIF_REGISTERDEVICE): "
                    "ERROR_INVALID_CLASS_INSTALLER\n",
                    false, true, true},
        FailureCase{"UpdateDriver", "UpdateDriverForPlugAndPlayDevices", 0xE0000203,
                    "Error E0000203 in UpdateDriverForPlugAndPlayDevices: ERROR_NO_DRIVER_SELECTED\n", true, true,
                    true}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qx::ccid::test
