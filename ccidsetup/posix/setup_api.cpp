// The driver installer's services where there is no setup API: every request
// is refused as "not supported", so the program reports that and stops.
#include "setup_api.h"

namespace qx::ccid {
namespace {

constexpr uint32_t kNotSupported = 50;

class UnsupportedSetupApi final : public SetupApi {
public:
    uint32_t module_file_name(std::string&) override { return kNotSupported; }
    uint32_t open_inf_file(const std::string&, InfHandle&) override { return kNotSupported; }
    void close_inf_file(InfHandle) override {}
    uint32_t inf_class(const std::string&, ClassGuid&, std::string&) override { return kNotSupported; }
    uint32_t class_guid_from_name(const std::string&, ClassGuid&, uint32_t&) override { return kNotSupported; }
    uint32_t find_first_line(InfHandle, const std::string&, InfLine&) override { return kNotSupported; }
    uint32_t find_next_line(InfLine&) override { return kNotSupported; }
    uint32_t field_count(const InfLine&) override { return 0; }
    uint32_t string_field(const InfLine&, uint32_t, char*, uint32_t, uint32_t&) override { return kNotSupported; }
    uint32_t create_device_info_list(const ClassGuid&, DeviceSet&) override { return kNotSupported; }
    void destroy_device_info_list(DeviceSet) override {}
    uint32_t create_device_info(DeviceSet, const std::string&, const ClassGuid&, DeviceElement&) override {
        return kNotSupported;
    }
    uint32_t set_hardware_id(DeviceSet, DeviceElement&, const std::string&) override { return kNotSupported; }
    uint32_t call_class_installer(uint32_t, DeviceSet, DeviceElement&) override { return kNotSupported; }
    uint32_t update_driver(const std::string&, const std::string&, uint32_t, bool&) override { return kNotSupported; }
    std::optional<std::string> system_message(uint32_t code) override {
        if (code == kNotSupported) return std::string("The request is not supported.\r\n");
        return std::nullopt;
    }
};

}  // namespace

SetupApi& system_setup_api() {
    static UnsupportedSetupApi api;
    return api;
}

}  // namespace qx::ccid
