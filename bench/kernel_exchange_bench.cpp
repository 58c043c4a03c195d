// Host cost of one APDU exchange through the whole kernel stack: export
// shape, logical lock, command object, packet lock, trace check and, in the
// second case, transport encryption; against a transport that answers at once.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "QXDevice.h"
#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "core/apdu.h"
#include "core/commands.h"
#include "core/export_shape.h"
#include "core/handles.h"
#include "core/kernel_state.h"
#include "qx/platform/module.h"

using namespace qx::kernel;

namespace {

class InstantTransport final : public QXDeviceTransport {
public:
    InstantTransport() {
        std::strcpy(deviceName, "Bench Reader 0");
        openStatus = 1;
        const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        std::memcpy(identity, id, sizeof id);
        identityLength = sizeof id;
    }
    uint32_t Open(const char*) override { return 0; }
    uint32_t Close(void*) override { return 0; }
    uint32_t Transmit(const uint8_t*, uint32_t, uint8_t* response, uint32_t* length) override {
        std::memcpy(response, reply.data(), reply.size());
        *length = static_cast<uint32_t>(reply.size());
        return 0;
    }
    uint32_t Reset(uint8_t*, uint32_t*) override { return 0; }
    uint32_t Enumerate(const char* const*, uint32_t, char (*)[QXDEV_NAME_SIZE], uint32_t* count) override {
        *count = 0;
        return 0;
    }
    std::vector<uint8_t> reply;
};

const SoftAlgFunctions& soft_alg() {
    static auto lib = SoftAlgLibrary::load(qx::platform::directory_of(qx::platform::executable_path()));
    static SoftAlgFunctions none;
    return lib ? lib->functions() : none;
}

void run(benchmark::State& st, bool encrypted) {
    state().set_directory(qx::platform::directory_of(qx::platform::executable_path()));
    state().set_soft_alg(soft_alg());
    if (!soft_alg().complete()) {
        st.SkipWithError("QXSoftAlg not found next to the benchmark");
        return;
    }
    InstantTransport transport;
    // 16 data bytes and 90 00, as a READ BINARY answer.
    std::vector<uint8_t> plain(16, 0x5A);
    plain.push_back(0x90);
    plain.push_back(0x00);
    transport.reply = plain;
    if (encrypted) {
        for (int i = 0; i < 16; ++i) transport.transportKey[i] = static_cast<uint8_t>(i);
        transport.transportKeyLength = 16;
        uint8_t key[16];
        transport_session_key(transport, key);
        SoftCipher rc4(soft_alg(), QXSA_CIPHER_RC4);
        rc4.init(0, key, 16, QXSA_ENCRYPT);
        rc4.process_in_place(transport.reply.data(), static_cast<uint32_t>(transport.reply.size()));
    }
    DeviceRecord record;
    record.device = &transport;
    register_handle(&record, HandleKind::Device);
    const std::vector<uint8_t> command{0x00, 0xB0, 0x00, 0x00, 0x10};
    for (auto _ : st) {
        uint32_t rc = run_export({"QXToken_Bench"}, [&](ExportContext& ctx) {
            DeviceRecord& dev = ctx.device(&record, ERR_INVALID_HANDLE);
            ctx.lock_token(dev);
            auto& files = ctx.command<FileCommands>(dev);
            ApduResponse r;
            ctx.check(files.send(command, r));
            return r.sw == 0x9000 ? ERR_OK : ERR_COMMAND_FAILED;
        });
        if (rc != ERR_OK) {
            st.SkipWithError("exchange failed");
            break;
        }
    }
    unregister_handle(&record, HandleKind::Device);
}

void BM_Exchange(benchmark::State& st) { run(st, false); }
void BM_ExchangeTransportEncrypted(benchmark::State& st) { run(st, true); }

}  // namespace

BENCHMARK(BM_Exchange);
BENCHMARK(BM_ExchangeTransportEncrypted);
BENCHMARK_MAIN();
