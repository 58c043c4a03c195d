#include "support/kernel_e2e.h"

#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {

KernelExports::KernelExports(const std::string& dir) : m(dir + platform::module_file_name("QXTokenKernel")) {}

std::string test_provider(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return provider_of(name) + " " + (info ? info->name() : "");
}

std::string e2e_config(const std::string& provider, const std::string& tokenInfo, const std::string& tail) {
    return "[QXTokenInfo]\r\nCSPName = " + provider + tokenInfo + "\r\n[DeviceInfo]\r\n" + kChannelWords + tail;
}

std::string install_e2e_kernel(const std::string& name, const std::string& tokenInfo, const std::string& tail) {
    const std::string dir = install_kernel(name);
    write_bytes(dir + "Config.ini", plain_ini(e2e_config(test_provider(name), tokenInfo, tail)));
    return dir;
}

DeviceHandle open_blank(KernelExports& k, const std::string& device) {
    DeviceHandle h = nullptr;
    EXPECT_NE(ERR_OK, k.openDezo(device.c_str(), &h));
    return h;
}

bool initialise_and_login(KernelExports& k, DeviceHandle h) {
    const uint32_t rc = k.init(h, kUserPin, 6, kSoPin, 8, reinterpret_cast<const uint8_t*>("T"), 1);
    EXPECT_EQ(ERR_OK, rc);
    if (rc != ERR_OK) return false;
    std::string pin = kUserPin;
    const uint32_t verified = k.verify(h, QXTOKEN_PIN_USER, pin.data(), 6);
    EXPECT_EQ(ERR_OK, verified);
    return verified == ERR_OK;
}

}  // namespace qx::kernel::test
