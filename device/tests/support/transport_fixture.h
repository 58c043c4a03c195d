// The QXDevice module loaded as the kernel loads it, for the transport tests:
// the bound factory functions, owned transport objects, a private token
// store, and APDU helpers.
#pragma once

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
#include <QXDevice.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <memory>
#include <string>
#include <string_view>

#include "device/tests/card_fixture.h"
#include "qx/platform/module.h"

namespace qx::vtoken::test {

struct Library {
    platform::Module module;
    PFN_QXCreateDevInstance create = nullptr;
    PFN_QXDestroyDevInstance destroy = nullptr;
    Library();
};

// QXDevice from the test's own directory, loaded once.
Library& lib();

struct DeviceDeleter {
    void operator()(QXDeviceTransport* d) const { lib().destroy(d); }
};
using Device = std::unique_ptr<QXDeviceTransport, DeviceDeleter>;

Device make_device(uint32_t channel);

// The token store directory of this process: $QX_VTOKEN_HOME when set (a
// parent hands it to its children that way), else a new one under the
// temporary directory named with `prefix`, which is then exported.
const std::string& store_dir(const char* prefix);

// Sends one APDU; `out` gets the response (empty on a transport failure).
uint32_t transmit(QXDeviceTransport* d, const Bytes& apdu, Bytes& out);
// Sends an APDU given in hex and returns the response in hex, or "rc=XXXXXXXX".
std::string run(QXDeviceTransport* d, std::string_view apdu);

}  // namespace qx::vtoken::test
