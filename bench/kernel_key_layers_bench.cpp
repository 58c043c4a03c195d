// RSA-2048 and SM2 signing and verifying split by layer, so that the host's
// share of an operation is known apart from the token's:
//  - CardOs:    the card OS alone, running the command APDUs of one operation
//               on a token state in memory (no kernel, no transport, no file);
//  - KernelOnCard: the kernel's key objects on a transport that hands each
//               command straight to that in-memory card OS;
//  - KernelReplay: the kernel's key objects on a transport that answers at once
//               from the answers recorded during one run of the operation: the
//               host cost per operation.
// The token is initialised and given its key pairs through the kernel module
// (as kernel_key_bench does), then loaded from the token store into memory.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QXDevice.h"
#include "QXTokenKernel.h"
#include "QXTokenStatus.h"
#include "core/export_shape.h"
#include "core/handles.h"
#include "core/kernel_state.h"
#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "key/asym_key.h"
#include "qx/platform/module.h"
#include "key_layers.h"
#include "support/kernel_fixture.h"

using namespace qx::kernel;
using namespace qx::kernel::test;

// The test set-up finds the modules beside the running program; the test main
// normally says where that is.
namespace qx::test {
std::string self_path() { return qx::platform::executable_path(); }
}  // namespace qx::test

namespace {

const std::vector<uint8_t> kHash(32, 0x5A);
const std::vector<uint8_t> kMessage(64, 0x6D);

enum class Op { RsaSign, RsaVerify, Sm2Sign, Sm2Verify };

struct Bench {
    std::unique_ptr<qx::platform::Module> module;
    qx::vtoken::TokenState card;
    std::unique_ptr<LayerTransport> transport;
    DeviceRecord record;
    // Made once the software algorithms are bound: a key object takes its cipher at birth.
    std::unique_ptr<QXRsaKey> rsaKey;
    std::unique_ptr<QXSm2Key> sm2Key;
    std::vector<uint8_t> rsaSignature, sm2Signature;
    Recording recordings[4];
    std::string error;

    // One operation through the export shape, as the module's SignHash and VerifyHash run it.
    uint32_t run(Op op) {
        QXRsaKey& rsa = *rsaKey;
        QXSm2Key& sm2 = *sm2Key;
        return run_export({"QXToken_Bench"}, [&](ExportContext&) -> uint32_t {
            uint8_t sig[256];
            uint32_t length = sizeof sig;
            switch (op) {
            case Op::RsaSign:
                return rsa.SignHash(1, 5, kHash.data(), 32, sig, &length);
            case Op::RsaVerify:
                std::memcpy(sig, rsaSignature.data(), rsaSignature.size());
                return rsa.VerifyHash(1, 5, kHash.data(), 32, sig, uint32_t(rsaSignature.size()));
            case Op::Sm2Sign:
                return sm2.SignHash(0, 16, kMessage.data(), uint32_t(kMessage.size()), sig, &length);
            case Op::Sm2Verify:
                std::memcpy(sig, sm2Signature.data(), sm2Signature.size());
                return sm2.VerifyHash(0, 16, kMessage.data(), uint32_t(kMessage.size()), sig,
                                      uint32_t(sm2Signature.size()));
            }
            return ERR_INVALID_PARAM;
        });
    }
};

uint32_t sign_into(QXAsymKey& key, uint32_t flag, uint32_t alg, const std::vector<uint8_t>& in,
                   std::vector<uint8_t>& out) {
    uint8_t sig[256];
    uint32_t length = sizeof sig;
    uint32_t rc = run_export({"QXToken_Bench"}, [&](ExportContext&) {
        return key.SignHash(flag, alg, in.data(), uint32_t(in.size()), sig, &length);
    });
    if (rc == ERR_OK) out.assign(sig, sig + length);
    return rc;
}

std::string prepare(Bench& b) {
    const std::string dir = prepare_key_token("keylayers", b.module, b.card);
    state().set_directory(dir);
    state().set_soft_alg_directory(binary_directory());
    state().set_soft_alg(soft_alg());
    if (!soft_alg().complete()) return "QXSoftAlg not found next to the benchmark";
    b.transport = std::make_unique<LayerTransport>(b.card);
    b.record.device = b.transport.get();
    register_handle(&b.record, HandleKind::Device);
    b.rsaKey = std::make_unique<QXRsaKey>();
    b.rsaKey->bind_device(&b.record);
    b.rsaKey->slot = 1;
    b.rsaKey->keyBits = b.rsaKey->blockBits = 2048;
    b.sm2Key = std::make_unique<QXSm2Key>();
    b.sm2Key->bind_device(&b.record);
    b.sm2Key->slot = 2;
    b.sm2Key->keyBits = b.sm2Key->blockBits = 256;

    // A first round fetches the public keys into the key objects; the second is recorded.
    if (sign_into(*b.rsaKey, 1, 5, kHash, b.rsaSignature) != ERR_OK) return "RSA signing on the card failed";
    if (sign_into(*b.sm2Key, 0, 16, kMessage, b.sm2Signature) != ERR_OK) return "SM2 signing on the card failed";
    for (Op op : {Op::RsaSign, Op::RsaVerify, Op::Sm2Sign, Op::Sm2Verify})
        if (const uint32_t rc = b.run(op); rc != ERR_OK)
            return "operation " + std::to_string(int(op)) + " failed on the card: status " + std::to_string(rc);
    for (Op op : {Op::RsaSign, Op::RsaVerify, Op::Sm2Sign, Op::Sm2Verify}) {
        b.transport->use_card(&b.recordings[int(op)]);
        const uint32_t rc = b.run(op);
        b.transport->use_card();
        if (rc != ERR_OK) return "a recorded operation failed";
    }
    return {};
}

Bench& bench() {
    static Bench b;
    static const bool ready = [] {
        try {
            b.error = prepare(b);
        } catch (const std::exception& e) {
            b.error = e.what();
        }
        return true;
    }();
    (void)ready;
    return b;
}

// The card OS alone: the recorded commands of one operation, in order.
void card_os(benchmark::State& st, Op op) {
    Bench& b = bench();
    if (!b.error.empty()) return st.SkipWithError(b.error.c_str());
    const Recording& r = b.recordings[int(op)];
    if (r.empty()) return st.SkipWithError("the operation sends no command to the token");
    for (auto _ : st) {
        for (const Exchange& e : r) {
            Bytes answer = qx::vtoken::process_command(b.card, e.command, qx::vtoken::wall_clock_ms());
            // Signatures differ from run to run (SM2); the status word must not.
            if (answer.size() < 2 || answer[answer.size() - 2] != e.answer[e.answer.size() - 2] ||
                answer.back() != e.answer.back())
                return st.SkipWithError("the card OS answered differently from the recording");
        }
    }
    st.counters["apdus"] = double(r.size());
}

void kernel_on_card(benchmark::State& st, Op op) {
    Bench& b = bench();
    if (!b.error.empty()) return st.SkipWithError(b.error.c_str());
    b.transport->use_card();
    for (auto _ : st)
        if (b.run(op) != ERR_OK) return st.SkipWithError("the operation failed");
}

void kernel_replay(benchmark::State& st, Op op) {
    Bench& b = bench();
    if (!b.error.empty()) return st.SkipWithError(b.error.c_str());
    const Recording& r = b.recordings[int(op)];
    for (auto _ : st) {
        b.transport->replay(r);
        if (b.run(op) != ERR_OK || !b.transport->replay_complete())
            return st.SkipWithError("the operation did not follow its recording");
    }
    b.transport->use_card();
    st.counters["apdus"] = double(r.size());
}

}  // namespace

BENCHMARK_CAPTURE(card_os, Rsa2048Sign, Op::RsaSign)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(card_os, Sm2Sign, Op::Sm2Sign)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(card_os, Sm2Verify, Op::Sm2Verify)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(kernel_on_card, Rsa2048Sign, Op::RsaSign)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(kernel_on_card, Rsa2048Verify, Op::RsaVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(kernel_on_card, Sm2Sign, Op::Sm2Sign)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(kernel_on_card, Sm2Verify, Op::Sm2Verify)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(kernel_replay, Rsa2048Sign, Op::RsaSign)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(kernel_replay, Rsa2048Verify, Op::RsaVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(kernel_replay, Sm2Sign, Op::Sm2Sign)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(kernel_replay, Sm2Verify, Op::Sm2Verify)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
