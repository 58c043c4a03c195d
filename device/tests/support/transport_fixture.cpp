#include "device/tests/support/transport_fixture.h"

#include <cstdio>
#include <cstdlib>

#include "qx/platform/file_io.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"

namespace qx::vtoken::test {

Library::Library() {
    std::string dir = platform::directory_of(platform::executable_path());
    module = platform::Module(dir + platform::path_separator() + platform::module_file_name("QXDevice"));
    create = module.function<PFN_QXCreateDevInstance>("QXCreateDevInstance");
    destroy = module.function<PFN_QXDestroyDevInstance>("QXDestroyDevInstance");
}

Library& lib() {
    static Library l;
    return l;
}

Device make_device(uint32_t channel) { return Device(lib().create(channel)); }

const std::string& store_dir(const char* prefix) {
    static std::string dir = [prefix] {
        std::string d = platform::environment("QX_VTOKEN_HOME");
        if (d.empty()) {
            d = platform::temp_directory() + platform::path_separator() + prefix +
                std::to_string(platform::process_id());
            static std::string assignment = "QX_VTOKEN_HOME=" + d;
            putenv(assignment.data());
            qx::test::remove_tree_at_exit(d);
        }
        platform::make_directories(d);
        return d;
    }();
    return dir;
}

uint32_t transmit(QXDeviceTransport* d, const Bytes& apdu, Bytes& out) {
    uint8_t buf[1024];
    uint32_t len = sizeof buf;
    uint32_t rc = d->Transmit(apdu.data(), static_cast<uint32_t>(apdu.size()), buf, &len);
    out.assign(buf, buf + (rc == 0 ? len : 0));
    return rc;
}

std::string run(QXDeviceTransport* d, std::string_view apdu) {
    Bytes out;
    uint32_t rc = transmit(d, hex(apdu), out);
    if (rc != 0) {
        char text[16];
        std::snprintf(text, sizeof text, "rc=%08X", rc);
        return text;
    }
    return hexs(out);
}

}  // namespace qx::vtoken::test
