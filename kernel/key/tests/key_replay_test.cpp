// Key objects on recorded token answers: an operation replayed on the answers
// of an earlier run sends exactly the same commands and gives the same result,
// and one with different input is refused by the replay, never taken as done.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "core/export_shape.h"
#include "core/handles.h"
#include "core/kernel_state.h"
#include "key/asym_key.h"
#include "key_layers.h"
#include "support/kernel_fixture.h"

namespace qx::kernel::test {
namespace {

class KeyReplayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(prepare_key_token("keyreplay", module_, card_));
    }
    static void TearDownTestSuite() {
        delete dir_;
        module_.reset();
    }
    void SetUp() override {
        state().set_directory(*dir_);
        state().set_soft_alg_directory(binary_directory());
        state().set_soft_alg(soft_alg());
        ASSERT_TRUE(soft_alg().complete());
        transport = std::make_unique<LayerTransport>(card_);
        record.device = transport.get();
        register_handle(&record, HandleKind::Device);
        rsa = std::make_unique<QXRsaKey>();
        sm2 = std::make_unique<QXSm2Key>();
        for (QXAsymKey* k : {static_cast<QXAsymKey*>(rsa.get()), static_cast<QXAsymKey*>(sm2.get())})
            k->bind_device(&record);
        rsa->slot = 1;
        rsa->keyBits = rsa->blockBits = 2048;
        sm2->slot = 2;
        sm2->keyBits = sm2->blockBits = 256;
    }
    void TearDown() override {
        rsa.reset();
        sm2.reset();
        unregister_handle(&record, HandleKind::Device);
    }

    uint32_t sign(QXAsymKey& key, uint32_t flag, uint32_t alg, const Bytes& in, Bytes& out) {
        uint8_t sig[256];
        uint32_t length = sizeof sig;
        const uint32_t rc = run_export({"QXToken_Test"}, [&](ExportContext&) {
            return key.SignHash(flag, alg, in.data(), uint32_t(in.size()), sig, &length);
        });
        out.assign(sig, sig + (rc == ERR_OK ? length : 0));
        return rc;
    }
    uint32_t verify(QXAsymKey& key, uint32_t flag, uint32_t alg, const Bytes& in, const Bytes& sig) {
        return run_export({"QXToken_Test"}, [&](ExportContext&) {
            return key.VerifyHash(flag, alg, in.data(), uint32_t(in.size()), sig.data(), uint32_t(sig.size()));
        });
    }

    static inline std::unique_ptr<platform::Module> module_;
    static inline qx::vtoken::TokenState card_;
    static inline std::string* dir_ = nullptr;
    std::unique_ptr<LayerTransport> transport;
    DeviceRecord record;
    std::unique_ptr<QXRsaKey> rsa;
    std::unique_ptr<QXSm2Key> sm2;
};

TEST_F(KeyReplayTest, ReplayFollowsTheRecordingAndRefusesOtherInput) {
    const Bytes hash(32, 0x5A), otherHash(32, 0x5B);
    const Bytes message(64, 0x6D), otherMessage(64, 0x6E);
    struct Case {
        const char* what;
        QXAsymKey* key;
        uint32_t flag, alg;
        const Bytes *in, *other;
        std::size_t apdus;      // commands the signature takes on the token
        std::size_t verifyApdus;  // and the verification (RSA verifies on the host)
    } cases[] = {
        {"RSA-2048, SHA-256 with DigestInfo", rsa.get(), 1, 5, &hash, &otherHash, 2, 0},
        {"SM2 over the message with Z_A", sm2.get(), 0, 16, &message, &otherMessage, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A first round fetches the public key, so that the recorded runs are the steady ones.
        Bytes first;
        ASSERT_EQ(ERR_OK, sign(*c.key, c.flag, c.alg, *c.in, first));
        ASSERT_EQ(ERR_OK, verify(*c.key, c.flag, c.alg, *c.in, first));

        Recording signing, verifying;
        Bytes signature;
        transport->use_card(&signing);
        ASSERT_EQ(ERR_OK, sign(*c.key, c.flag, c.alg, *c.in, signature));
        transport->use_card(&verifying);
        ASSERT_EQ(ERR_OK, verify(*c.key, c.flag, c.alg, *c.in, signature));
        transport->use_card();
        EXPECT_EQ(c.apdus, signing.size());
        EXPECT_EQ(c.verifyApdus, verifying.size());

        // The same input on the recording: the same commands, the recorded signature.
        transport->replay(signing);
        Bytes replayed;
        EXPECT_EQ(ERR_OK, sign(*c.key, c.flag, c.alg, *c.in, replayed));
        EXPECT_TRUE(transport->replay_complete());
        EXPECT_EQ(signature, replayed);
        transport->replay(verifying);
        EXPECT_EQ(ERR_OK, verify(*c.key, c.flag, c.alg, *c.in, signature));
        EXPECT_TRUE(transport->replay_complete());

        // Other input sends other commands: the replay refuses them and the operation fails.
        transport->replay(signing);
        Bytes refused;
        EXPECT_NE(ERR_OK, sign(*c.key, c.flag, c.alg, *c.other, refused));
        EXPECT_TRUE(transport->diverged());
        transport->replay(verifying);
        EXPECT_NE(ERR_OK, verify(*c.key, c.flag, c.alg, *c.other, signature));
        EXPECT_EQ(c.verifyApdus != 0, transport->diverged());
        transport->use_card();
    }
}

}  // namespace
}  // namespace qx::kernel::test
