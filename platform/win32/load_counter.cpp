// Windows load counter: one 32-bit value in a data section that the loader
// shares between every process that maps this module.
#include "qx/platform/load_counter.h"

#include <windows.h>

namespace qx::platform {
namespace {
volatile LONG g_load_counter __attribute__((section(".qxshare"), shared)) = 0;
}

int32_t load_counter_increment(const std::string&) { return InterlockedIncrement(&g_load_counter); }
int32_t load_counter_decrement(const std::string&) { return InterlockedDecrement(&g_load_counter); }
int32_t load_counter_value(const std::string&) { return InterlockedCompareExchange(&g_load_counter, 0, 0); }

}  // namespace qx::platform
