#include "lifecycle.h"

#include <mutex>

#include "QXTokenStatus.h"
#include "kernel_state.h"
#include "key/key_object.h"
#include "qx/platform/load_counter.h"
#include "qx/platform/module.h"
#include "shared_area.h"
#include "trace.h"

namespace qx::kernel {

std::string load_counter_name() { return std::string(kLoadCounterName) + ":" + state().directory(); }


namespace {

struct Libraries {
    std::mutex mutex;
    platform::ModuleHandle device = nullptr;
    platform::ModuleHandle softAlg = nullptr;
    // How often this process has been counted in and not yet out.
    int countedIn = 0;
};

Libraries& libraries() {
    static Libraries l;
    return l;
}

}  // namespace

uint32_t kernel_initialise() {
    KernelState& s = state();
    const std::string directory = s.directory();
    Libraries& libs = libraries();
    std::lock_guard guard(libs.mutex);

    platform::Module device(directory + platform::module_file_name("QXDevice"));
    DeviceFunctions dev;
    dev.create = device.function<PFN_QXCreateDevInstance>("QXCreateDevInstance");
    dev.destroy = device.function<PFN_QXDestroyDevInstance>("QXDestroyDevInstance");

    platform::Module softAlg(directory + platform::module_file_name("QXSoftAlg"));
    SoftAlgFunctions alg;
    alg.createDigest = softAlg.function<PFN_QXCreateMessageDigest>("QXCreateMessageDigest");
    alg.destroyDigest = softAlg.function<PFN_QXDestroyMessageDigest>("QXDestroyMessageDigest");
    alg.createCipher = softAlg.function<PFN_QXCreateCipher>("QXCreateCipher");
    alg.destroyCipher = softAlg.function<PFN_QXDestroyCipher>("QXDestroyCipher");

    if (!dev.create || !alg.complete()) return ERR_LIBRARY_LOAD;

    // A repeated initialisation replaces the previous bindings.
    s.set_device_functions(dev);
    s.set_soft_alg(alg);
    platform::free_module(libs.device);
    platform::free_module(libs.softAlg);
    libs.device = device.release();
    libs.softAlg = softAlg.release();

    // A missing or unreadable file leaves every default in force.
    s.set_config(load_kernel_config(s.config_path(), directory));

    const int32_t count = platform::load_counter_increment(load_counter_name());
    ++libs.countedIn;
    trace(kTraceCalls, "QXTokenKernel", __LINE__, "InitQXToken: load count %d", static_cast<int>(count));

    return open_kernel_area(s.config().cspName);
}

uint32_t kernel_release() {
    KernelState& s = state();
    Libraries& libs = libraries();
    std::lock_guard guard(libs.mutex);

    // Key objects hold cipher objects of the software library unloaded below.
    release_all_keys();
    s.set_device_functions(DeviceFunctions{});
    s.set_soft_alg(SoftAlgFunctions{});
    platform::free_module(libs.device);
    platform::free_module(libs.softAlg);
    libs.device = nullptr;
    libs.softAlg = nullptr;

    KernelConfig config = s.config();
    config.keyPairRanges.clear();
    s.set_config(config);

    // A process whose initialisation stopped early was never counted in, and
    // must not take another process's count away.
    if (libs.countedIn > 0) {
        platform::load_counter_decrement(load_counter_name());
        --libs.countedIn;
    }
    return close_kernel_area();
}

}  // namespace qx::kernel
