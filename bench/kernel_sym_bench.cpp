// Host cost of session-key work: a 4 KiB AES-CBC message in one call and in
// 256-byte parts (the parts re-key the cipher once, for the padded last part),
// and the block-cipher MAC of a 64-byte transaction piece under a key object.
#include <benchmark/benchmark.h>

#include <vector>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "core/kernel_state.h"
#include "key/sym_key.h"
#include "qx/platform/module.h"

using namespace qx::kernel;

namespace {

const SoftAlgFunctions& soft_alg() {
    static auto lib = SoftAlgLibrary::load(qx::platform::directory_of(qx::platform::executable_path()));
    static SoftAlgFunctions none;
    return lib ? lib->functions() : none;
}

std::unique_ptr<QXSymKeyBase> aes_key(benchmark::State& st) {
    state().set_soft_alg(soft_alg());
    if (!soft_alg().complete()) {
        st.SkipWithError("QXSoftAlg not found next to the benchmark");
        return nullptr;
    }
    std::unique_ptr<QXSymKeyBase> key(static_cast<QXSymKeyBase*>(make_sym_key(0x400).release()));
    const std::vector<uint8_t> bytes(16, 0x42), iv(16, 0x24);
    key->Import(nullptr, 0, 0, bytes.data(), 16);
    key->iv.assign(iv.data(), iv.size());
    key->mode = 1;
    key->padding = 1;
    return key;
}

void BM_SessionKeyMessage(benchmark::State& st) {
    auto key = aes_key(st);
    if (!key) return;
    const uint32_t part = static_cast<uint32_t>(st.range(0));
    const std::vector<uint8_t> message(4096, 0x5A);
    std::vector<uint8_t> out(4096 + 16);
    for (auto _ : st) {
        uint32_t produced = 0;
        for (uint32_t pos = 0; pos < message.size(); pos += part) {
            uint32_t length = static_cast<uint32_t>(out.size()) - produced;
            const uint32_t final = pos + part >= message.size();
            if (key->Encrypt(final, message.data() + pos, part, out.data() + produced, &length) != ERR_OK) {
                st.SkipWithError("encryption failed");
                return;
            }
            produced += length;
        }
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * 4096);
}
BENCHMARK(BM_SessionKeyMessage)->Arg(4096)->Arg(256);

void BM_BlockMac(benchmark::State& st) {
    auto key = aes_key(st);
    if (!key) return;
    const std::vector<uint8_t> data(64, 0x33), iv(16, 0);
    uint8_t mac[4];
    for (auto _ : st) {
        if (sym_key_mac(*key, iv.data(), data.data(), 64, mac, sizeof mac) != ERR_OK) {
            st.SkipWithError("MAC failed");
            return;
        }
        benchmark::DoNotOptimize(mac);
    }
}
BENCHMARK(BM_BlockMac);

}  // namespace

BENCHMARK_MAIN();
