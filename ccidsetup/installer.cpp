#include "installer.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

namespace qx::ccid {

bool ClassGuid::is_null() const { return *this == ClassGuid{}; }

namespace {

struct SetupErrorName {
    uint32_t code;
    const char* name;
};

// Every setup error code from 0xE0000000 to 0xE000022C under its current
// name, then the older names of four of them (found second, so never
// printed), then the "not installed" code.
constexpr SetupErrorName kSetupErrorNames[] = {
    {0xE0000000, "ERROR_EXPECTED_SECTION_NAME"},
    {0xE0000001, "ERROR_BAD_SECTION_NAME_LINE"},
    {0xE0000002, "ERROR_SECTION_NAME_TOO_LONG"},
    {0xE0000003, "ERROR_GENERAL_SYNTAX"},
    {0xE0000100, "ERROR_WRONG_INF_STYLE"},
    {0xE0000101, "ERROR_SECTION_NOT_FOUND"},
    {0xE0000102, "ERROR_LINE_NOT_FOUND"},
    {0xE0000103, "ERROR_NO_BACKUP"},
    {0xE0000200, "ERROR_NO_ASSOCIATED_CLASS"},
    {0xE0000201, "ERROR_CLASS_MISMATCH"},
    {0xE0000202, "ERROR_DUPLICATE_FOUND"},
    {0xE0000203, "ERROR_NO_DRIVER_SELECTED"},
    {0xE0000204, "ERROR_KEY_DOES_NOT_EXIST"},
    {0xE0000205, "ERROR_INVALID_DEVINST_NAME"},
    {0xE0000206, "ERROR_INVALID_CLASS"},
    {0xE0000207, "ERROR_DEVINST_ALREADY_EXISTS"},
    {0xE0000208, "ERROR_DEVINFO_NOT_REGISTERED"},
    {0xE0000209, "ERROR_INVALID_REG_PROPERTY"},
    {0xE000020A, "ERROR_NO_INF"},
    {0xE000020B, "ERROR_NO_SUCH_DEVINST"},
    {0xE000020C, "ERROR_CANT_LOAD_CLASS_ICON"},
    {0xE000020D, "ERROR_INVALID_CLASS_INSTALLER"},
    {0xE000020E, "ERROR_DI_DO_DEFAULT"},
    {0xE000020F, "ERROR_DI_NOFILECOPY"},
    {0xE0000210, "ERROR_INVALID_HWPROFILE"},
    {0xE0000211, "ERROR_NO_DEVICE_SELECTED"},
    {0xE0000212, "ERROR_DEVINFO_LIST_LOCKED"},
    {0xE0000213, "ERROR_DEVINFO_DATA_LOCKED"},
    {0xE0000214, "ERROR_DI_BAD_PATH"},
    {0xE0000215, "ERROR_NO_CLASSINSTALL_PARAMS"},
    {0xE0000216, "ERROR_FILEQUEUE_LOCKED"},
    {0xE0000217, "ERROR_BAD_SERVICE_INSTALLSECT"},
    {0xE0000218, "ERROR_NO_CLASS_DRIVER_LIST"},
    {0xE0000219, "ERROR_NO_ASSOCIATED_SERVICE"},
    {0xE000021A, "ERROR_NO_DEFAULT_DEVICE_INTERFACE"},
    {0xE000021B, "ERROR_DEVICE_INTERFACE_ACTIVE"},
    {0xE000021C, "ERROR_DEVICE_INTERFACE_REMOVED"},
    {0xE000021D, "ERROR_BAD_INTERFACE_INSTALLSECT"},
    {0xE000021E, "ERROR_NO_SUCH_INTERFACE_CLASS"},
    {0xE000021F, "ERROR_INVALID_REFERENCE_STRING"},
    {0xE0000220, "ERROR_INVALID_MACHINENAME"},
    {0xE0000221, "ERROR_REMOTE_COMM_FAILURE"},
    {0xE0000222, "ERROR_MACHINE_UNAVAILABLE"},
    {0xE0000223, "ERROR_NO_CONFIGMGR_SERVICES"},
    {0xE0000224, "ERROR_INVALID_PROPPAGE_PROVIDER"},
    {0xE0000225, "ERROR_NO_SUCH_DEVICE_INTERFACE"},
    {0xE0000226, "ERROR_DI_POSTPROCESSING_REQUIRED"},
    {0xE0000227, "ERROR_INVALID_COINSTALLER"},
    {0xE0000228, "ERROR_NO_COMPAT_DRIVERS"},
    {0xE0000229, "ERROR_NO_DEVICE_ICON"},
    {0xE000022A, "ERROR_INVALID_INF_LOGCONFIG"},
    {0xE000022B, "ERROR_DI_DONT_INSTALL"},
    {0xE000022C, "ERROR_INVALID_FILTER_DRIVER"},
    {0xE000021A, "ERROR_NO_DEFAULT_INTERFACE_DEVICE"},
    {0xE000021B, "ERROR_INTERFACE_DEVICE_ACTIVE"},
    {0xE000021C, "ERROR_INTERFACE_DEVICE_REMOVED"},
    {0xE0000225, "ERROR_NO_SUCH_INTERFACE_DEVICE"},
    {0xE0001000, "ERROR_NOT_INSTALLED"},
};

// Step names as they appear in the error line.
constexpr char kStepOpenInf[] = "SetupOpenInfFile";
constexpr char kStepSearch[] = "search for specified device";
constexpr char kStepCreateList[] = "SetupDiCreateDeviceInfoList";
constexpr char kStepCreateDevice[] = "SetupDiCreateDeviceInfo or SetupDiSetDeviceRegistryProperty";
constexpr char kStepRegister[] = "SetupDiCallClassInstaller(DIF_REGISTERDEVICE)";
constexpr char kStepUpdate[] = "UpdateDriverForPlugAndPlayDevices";

// The system text as part of one line: trailing line breaks go, and a break
// inside a multi-line text becomes one space.
std::string one_line(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool pending_break = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            pending_break = true;
            continue;
        }
        if (pending_break && !out.empty()) out.push_back(' ');
        pending_break = false;
        out.push_back(c);
    }
    return out;
}

// Hardware identifiers compare without regard to (ASCII) case.
bool same_identifier(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// An empty identifier names no device, so it never matches (not even the
// empty wanted identifier, which stands for "any").
bool identifier_matches(std::string_view wanted, std::string_view id) {
    if (id.empty()) return false;
    return wanted.empty() || same_identifier(wanted, id);
}

// Reads one field of any length: its size first, then its text.
uint32_t read_field(SetupApi& api, const InfLine& line, uint32_t index, std::string& text) {
    uint32_t required = 0;
    if (uint32_t error = api.string_field(line, index, nullptr, 0, required)) return error;
    std::vector<char> buffer(static_cast<size_t>(required) + 1, '\0');
    uint32_t written = 0;
    const auto size = static_cast<uint32_t>(buffer.size());
    if (uint32_t error = api.string_field(line, index, buffer.data(), size, written)) return error;
    text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
    return 0;
}

// Everything the installation holds, released in order on every path: the
// registered device is removed, the set destroyed, the INF closed.
class Installation {
public:
    Installation(SetupApi& api, std::string program) : api_(api), program_(std::move(program)) {}
    ~Installation() {
        if (registered_) api_.call_class_installer(kDifRemove, set_, element_);
        if (have_set_) api_.destroy_device_info_list(set_);
        if (have_inf_) api_.close_inf_file(inf_);
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    int run(std::string& output);

private:
    int fail(std::string& output, const char* step, uint32_t code) {
        output = error_line(api_, step, code);
        return -1;
    }
    uint32_t open_inf();

    SetupApi& api_;
    std::string program_;
    std::string inf_path_;
    InfHandle inf_ = nullptr;
    bool have_inf_ = false;
    ClassGuid guid_;
    std::string class_name_;
    DeviceSet set_ = nullptr;
    bool have_set_ = false;
    DeviceElement element_;
    bool registered_ = false;
};

uint32_t Installation::open_inf() {
    inf_path_ = inf_path_for(program_);
    if (uint32_t error = api_.open_inf_file(inf_path_, inf_)) return error;
    have_inf_ = true;
    if (uint32_t error = api_.inf_class(inf_path_, guid_, class_name_)) return error;
    if (guid_.is_null()) {
        uint32_t found = 0;
        if (uint32_t error = api_.class_guid_from_name(class_name_, guid_, found)) return error;
    }
    return 0;
}

int Installation::run(std::string& output) {
    if (uint32_t error = open_inf()) return fail(output, kStepOpenInf, error);

    FoundDevice device;
    if (uint32_t error = search_device(api_, inf_, "", device)) return fail(output, kStepSearch, error);

    if (uint32_t error = api_.create_device_info_list(guid_, set_)) return fail(output, kStepCreateList, error);
    have_set_ = true;

    std::string id_list = device.hardware_id;
    id_list.append(2, '\0');
    uint32_t error = api_.create_device_info(set_, class_name_, guid_, element_);
    if (!error) error = api_.set_hardware_id(set_, element_, id_list);
    if (error) return fail(output, kStepCreateDevice, error);

    if ((error = api_.call_class_installer(kDifRegisterDevice, set_, element_)))
        return fail(output, kStepRegister, error);
    registered_ = true;

    bool reboot = false;
    if ((error = api_.update_driver(device.hardware_id, inf_path_, kInstallFlagForce, reboot)))
        return fail(output, kStepUpdate, error);
    output = kSuccessLine;
    return 0;
}

}  // namespace

const char* setup_error_name(uint32_t code) {
    for (const SetupErrorName& entry : kSetupErrorNames)
        if (entry.code == code) return entry.name;
    return nullptr;
}

std::string error_line(SetupApi& api, std::string_view step_view, uint32_t code) {
    const std::string step(step_view);
    std::array<char, kMaxLineLength + 1> line{};
    int length = 0;
    if (std::optional<std::string> text = api.system_message(code)) {
        length = std::snprintf(line.data(), line.size(), "Error %d in %s: %s\n", static_cast<int>(code),
                               step.c_str(), one_line(*text).c_str());
    } else if (const char* name = setup_error_name(code)) {
        length = std::snprintf(line.data(), line.size(), "Error %8.8lX in %s: %s\n",
                               static_cast<unsigned long>(code), step.c_str(), name);
    } else {
        length = std::snprintf(line.data(), line.size(), "Error %8.8lX in %s\n", static_cast<unsigned long>(code),
                               step.c_str());
    }
    if (length < 0) return "Error\n";
    if (static_cast<size_t>(length) > kMaxLineLength) {
        // Cut, but still a whole line.
        line[kMaxLineLength - 1] = '\n';
        line[kMaxLineLength] = '\0';
        length = static_cast<int>(kMaxLineLength);
    }
    return std::string(line.data(), static_cast<size_t>(length));
}

uint32_t search_device(SetupApi& api, InfHandle inf, std::string_view wanted, FoundDevice& found) {
    InfLine manufacturer;
    if (uint32_t error = api.find_first_line(inf, "Manufacturer", manufacturer)) return error;
    std::string models;
    if (uint32_t error = read_field(api, manufacturer, 1, models)) return error;

    InfLine line;
    if (uint32_t error = api.find_first_line(inf, models, line)) return error;
    do {
        // Field 0 is the description, 1 the install section, 2 and up the
        // hardware and compatible identifiers.
        const uint32_t count = api.field_count(line);
        for (uint32_t index = 2; index <= count; ++index) {
            std::string id;
            if (uint32_t error = read_field(api, line, index, id)) return error;
            if (!identifier_matches(wanted, id)) continue;
            std::string description;
            if (uint32_t error = read_field(api, line, 0, description)) return error;
            found.hardware_id = std::move(id);
            found.description = std::move(description);
            return 0;
        }
    } while (api.find_next_line(line) == 0);
    return kNoMoreItems;
}

std::string inf_path_for(std::string_view program) {
    // The system gives backslashes; a slash separates as well.
    const size_t slash = program.find_last_of("\\/");
    std::string path = slash == std::string_view::npos ? std::string() : std::string(program.substr(0, slash + 1));
    return path + kInfFileName;
}

namespace {

// With a null `program`, the system names the running program.
int install(SetupApi& api, const std::string* program, std::string& output) {
    try {
        std::string own_path;
        if (!program) {
            // The program's own path is the first part of opening the INF.
            if (uint32_t error = api.module_file_name(own_path)) {
                output = error_line(api, kStepOpenInf, error);
                return -1;
            }
            program = &own_path;
        }
        Installation installation(api, *program);
        return installation.run(output);
    } catch (...) {
        // Only memory exhaustion gets here (the clean-up has run): the bare
        // form of "not enough memory", if even that can be had.
        try {
            output.assign("Error 00000008 in ccidsetup\n");
        } catch (...) {
            output.clear();
        }
        return -1;
    }
}

}  // namespace

int run_installer(SetupApi& api, std::string& output) { return install(api, nullptr, output); }

int install_beside(SetupApi& api, const std::string& program, std::string& output) {
    return install(api, &program, output);
}

}  // namespace qx::ccid
