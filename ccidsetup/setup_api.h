// The system services the driver installer uses: its own file name, reading
// the driver package's INF file, device information sets, the driver update
// and the system's error texts.  One thin implementation per operating
// system (Windows: the setup API; elsewhere a stand-in that refuses every
// request); tests substitute a fake.
//
// Every call that can fail returns 0 on success or the system's error code
// (never 0 for a failure), so the installer needs no thread-local error state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qx::ccid {

// A device setup class identifier, laid out field by field like the system's GUID.
struct ClassGuid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};

    bool is_null() const;
    bool operator==(const ClassGuid&) const = default;
};

// An opened INF file and a device information set: opaque system handles.
using InfHandle = void*;
using DeviceSet = void*;

// The position of one line of an opened INF file (the system's line context,
// carried unchanged between calls).
struct InfLine {
    void* inf = nullptr;
    void* current_inf = nullptr;
    uint32_t section = 0;
    uint32_t line = 0;
};

// One element of a device information set (the system's element record,
// carried unchanged between calls).
struct DeviceElement {
    ClassGuid class_guid;
    uint32_t dev_inst = 0;
    uintptr_t reserved = 0;
};

// The class installer requests the installer makes.
inline constexpr uint32_t kDifRemove = 0x05;
inline constexpr uint32_t kDifRegisterDevice = 0x19;
// The driver update replaces whatever driver the device has.
inline constexpr uint32_t kInstallFlagForce = 0x01;
// Room for a device setup class name: 63 characters and the terminator.
inline constexpr uint32_t kClassNameSize = 64;

class SetupApi {
public:
    virtual ~SetupApi() = default;

    // Full path of the running program, in the system's 8-bit code page.
    virtual uint32_t module_file_name(std::string& path) = 0;

    // Opens a Windows NT style INF file without a class filter.
    virtual uint32_t open_inf_file(const std::string& path, InfHandle& inf) = 0;
    virtual void close_inf_file(InfHandle inf) = 0;

    // The class name (at most kClassNameSize - 1 characters) and class GUID an INF declares.
    virtual uint32_t inf_class(const std::string& path, ClassGuid& guid, std::string& class_name) = 0;
    // The first GUID registered for a class name; `found` counts the classes of that name.
    virtual uint32_t class_guid_from_name(const std::string& class_name, ClassGuid& guid,
                                          uint32_t& found) = 0;

    virtual uint32_t find_first_line(InfHandle inf, const std::string& section, InfLine& line) = 0;
    // Moves `line` to the next line of its section.
    virtual uint32_t find_next_line(InfLine& line) = 0;
    // Fields after the key on the line (0 when it cannot be read).
    virtual uint32_t field_count(const InfLine& line) = 0;
    // Field `index` (0 is the key) as text: with a null buffer only `required`
    // (the size in bytes with the terminator) is reported.
    virtual uint32_t string_field(const InfLine& line, uint32_t index, char* buffer, uint32_t size,
                                  uint32_t& required) = 0;

    // A device information set for the class, without an owner window.
    virtual uint32_t create_device_info_list(const ClassGuid& guid, DeviceSet& set) = 0;
    virtual void destroy_device_info_list(DeviceSet set) = 0;
    // A new element named after the class with a generated instance identifier.
    virtual uint32_t create_device_info(DeviceSet set, const std::string& class_name, const ClassGuid& guid,
                                        DeviceElement& element) = 0;
    // Sets the element's hardware-identifier property (a list of strings, each
    // terminated, the list ended by an empty string).
    virtual uint32_t set_hardware_id(DeviceSet set, DeviceElement& element, const std::string& id_list) = 0;
    virtual uint32_t call_class_installer(uint32_t function, DeviceSet set, DeviceElement& element) = 0;

    // Installs the INF's driver on every device with the hardware identifier.
    virtual uint32_t update_driver(const std::string& hardware_id, const std::string& inf_path, uint32_t flags,
                                   bool& reboot_required) = 0;

    // The system's message text for an error code, as the system gives it
    // (line ending included); nullopt when it has none.
    virtual std::optional<std::string> system_message(uint32_t code) = 0;
};

// The implementation for this operating system.
SetupApi& system_setup_api();

}  // namespace qx::ccid
