// The certificate commands on a scripted transport, the slot unbinding over a
// container table, the store retry rule with a store double, and the
// merging of initialisation's clean-up steps.
#include <gtest/gtest.h>

#include <cstring>

#include "QXTokenStatus.h"
#include "cert/cert_registry.h"
#include "cert/cert_token.h"
#include "init/after_init.h"
#include "platform/tests/test_certs.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"

namespace qx::kernel::test {
namespace {

using platform::StoreStatus;

class CertCommandTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        dev.set_identity(H("0102030405060708"));
    }
    // "data... 90 00" style answer of the given bytes and status word.
    static std::string answer(const std::vector<uint8_t>& data, const char* sw) { return hex(data) + " " + sw; }
    ScriptedTransport dev;
};

TEST_F(CertCommandTest, WritesShortCertificatesWholeAndLongOnesInPieces) {
    struct Case {
        uint32_t size;
        std::vector<std::pair<uint8_t, uint32_t>> pieces;  // P2 and length of each command
    } cases[] = {
        {1, {{0x03, 1}}},
        {254, {{0x03, 254}}},
        {255, {{0x00, 224}, {0x02, 31}}},
        {448, {{0x00, 224}, {0x02, 224}}},
        {449, {{0x00, 224}, {0x01, 224}, {0x02, 1}}},
        {500, {{0x00, 224}, {0x01, 224}, {0x02, 52}}},
        {2048, {{0x00, 224}, {0x01, 224}, {0x01, 224}, {0x01, 224}, {0x01, 224}, {0x01, 224}, {0x01, 224},
                {0x01, 224}, {0x01, 224}, {0x02, 32}}},
    };
    for (const auto& c : cases) {
        const auto cert = qx::test::der_blob(std::max<uint32_t>(c.size, 4), 3);
        const std::vector<uint8_t> data(cert.begin(), cert.begin() + c.size);
        for (std::size_t i = 0; i < c.pieces.size(); ++i) dev.expect("", "90 00");
        dev.sent.clear();
        CertCommands commands(&dev);
        ASSERT_EQ(ERR_OK, commands.write(7, data.data(), c.size)) << c.size;
        ASSERT_EQ(dev.sent.size(), c.pieces.size()) << c.size;
        std::vector<uint8_t> joined;
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            const auto& cmd = dev.sent[i];
            ASSERT_GE(cmd.size(), 5u);
            EXPECT_EQ(hex(std::vector<uint8_t>(cmd.begin(), cmd.begin() + 4)),
                      hex(std::vector<uint8_t>{0x80, 0x44, 0x07, c.pieces[i].first}))
                << c.size << " piece " << i;
            EXPECT_EQ(cmd[4], static_cast<uint8_t>(c.pieces[i].second)) << c.size << " piece " << i;
            EXPECT_EQ(cmd.size(), 5 + c.pieces[i].second);
            joined.insert(joined.end(), cmd.begin() + 5, cmd.end());
        }
        EXPECT_EQ(joined, data) << c.size;
    }
}

TEST_F(CertCommandTest, AWriteStopsAtTheFirstRefusedPiece) {
    const auto cert = qx::test::der_blob(500);
    dev.expect("", "90 00").expect("", "6A 84");
    CertCommands commands(&dev);
    EXPECT_EQ(ERR_COMMAND_FAILED, commands.write(2, cert.data(), 500));
    EXPECT_EQ(dev.sent.size(), 2u);
}

TEST_F(CertCommandTest, TheLengthAnswerMustBeFourBytesAnd9000) {
    struct Case {
        const char* reply;
        uint32_t status;
        uint32_t length;
    } cases[] = {
        {"00 00 08 00 90 00", ERR_OK, 2048},
        {"00 00 00 FE 90 00", ERR_OK, 254},
        {"00 08 00 90 00", ERR_COMMAND_FAILED, 0},
        {"00 00 00 08 00 90 00", ERR_COMMAND_FAILED, 0},
        {"90 00", ERR_COMMAND_FAILED, 0},
        {"6A 88", ERR_COMMAND_FAILED, 0},
        {"00 00 08 00 62 83", ERR_COMMAND_FAILED, 0},
    };
    for (const auto& c : cases) {
        dev.expect("80 42 05 00 04", c.reply);
        CertCommands commands(&dev);
        uint32_t length = 0;
        EXPECT_EQ(c.status, commands.read_length(5, length)) << c.reply;
        if (c.status == ERR_OK) {
            EXPECT_EQ(c.length, length) << c.reply;
        }
    }
}

// The token answers a long certificate in 256-byte answers chained with 61xx.
void script_chained(ScriptedTransport& dev, const std::vector<uint8_t>& data, const char* finalSw = "90 00") {
    std::size_t offset = 0;
    bool first = true;
    while (true) {
        const std::size_t n = std::min<std::size_t>(256, data.size() - offset);
        std::vector<uint8_t> part(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + n));
        offset += n;
        const std::size_t rest = data.size() - offset;
        std::string sw = rest ? "61 " + hex(std::vector<uint8_t>{static_cast<uint8_t>(std::min<std::size_t>(rest, 256))})
                              : finalSw;
        const std::string expect =
            first ? "80 42 03 01 00"
                  : "00 C0 00 00 " + hex(std::vector<uint8_t>{static_cast<uint8_t>(std::min<std::size_t>(n, 256))});
        dev.expect(first ? expect : "", hex(part) + " " + sw);
        first = false;
        if (!rest) break;
    }
}

TEST_F(CertCommandTest, LongCertificatesAreCollectedPastTheResponseBuffer) {
    for (uint32_t size : {254u, 1022u, 1023u, 1500u, 2048u}) {
        const auto cert = qx::test::der_blob(size, static_cast<uint8_t>(size));
        script_chained(dev, cert);
        CertCommands commands(&dev);
        std::vector<uint8_t> out;
        ASSERT_EQ(ERR_OK, commands.read_data(3, size, out)) << size;
        EXPECT_EQ(out, cert) << size;
    }
}

TEST_F(CertCommandTest, DataOfAnotherLengthThanAnnouncedFails) {
    struct Case {
        uint32_t announced;
        uint32_t sent;
        const char* sw;
    } cases[] = {
        {300, 200, "90 00"},   // short
        {300, 400, "90 00"},   // long
        {2048, 2047, "90 00"},
        {1200, 1200, "62 82"}, // right length, wrong status
    };
    for (const auto& c : cases) {
        script_chained(dev, qx::test::der_blob(c.sent), c.sw);
        CertCommands commands(&dev);
        std::vector<uint8_t> out;
        EXPECT_EQ(ERR_COMMAND_FAILED, commands.read_data(3, c.announced, out)) << c.announced << "/" << c.sent;
        EXPECT_TRUE(out.empty());
    }
    // Announced lengths no token file can hold are refused without a command.
    CertCommands commands(&dev);
    std::vector<uint8_t> out;
    EXPECT_EQ(ERR_COMMAND_FAILED, commands.read_data(3, 0, out));
    EXPECT_EQ(ERR_COMMAND_FAILED, commands.read_data(3, 0x7FFFFFFF, out));
}

ContainerRecord record(const char* name, uint32_t sig, uint32_t exch, uint32_t status = 1) {
    ContainerRecord r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.name, name);
    r.type = 1;
    r.status = status;
    r.signatureKeyIndex = sig;
    r.exchangeKeyIndex = exch;
    r.spare = kNoKeyIndex;
    return r;
}

TEST(CertUnbind, ChoosesTheFirstRecordNamingTheSlotAndFreesEmptiedOnes) {
    constexpr uint32_t N = kNoKeyIndex;
    struct Case {
        const char* what;
        std::vector<ContainerRecord> table;
        uint32_t slot;
        int chosen;
        uint32_t sig, exch;  // of the chosen record afterwards
        bool freed;
    } cases[] = {
        {"only key pair (signature)", {record("a", 4, N)}, 4, 0, N, N, true},
        {"only key pair (exchange)", {record("a", N, 4)}, 4, 0, N, N, true},
        {"one of two keeps the other", {record("a", 4, 5)}, 4, 0, N, 5, false},
        {"exchange of two keeps the signature", {record("a", 4, 5)}, 5, 0, 4, N, false},
        {"signature index tested first", {record("a", 6, 6)}, 6, 0, N, 6, false},
        {"free records are skipped", {record("x", 3, N, kContainerFree), record("b", 3, N)}, 3, 1, N, N, true},
        {"first of two naming it", {record("a", 1, 2), record("b", 2, N)}, 2, 0, 1, N, false},
        {"none names it", {record("a", 1, 2)}, 9, -1, 1, 2, false},
    };
    for (auto& c : cases) {
        auto table = c.table;
        ASSERT_EQ(unbind_in_table(table, c.slot), c.chosen) << c.what;
        if (c.chosen < 0) {
            EXPECT_EQ(0, std::memcmp(table.data(), c.table.data(), table.size() * sizeof(ContainerRecord))) << c.what;
            continue;
        }
        const ContainerRecord& r = table[static_cast<std::size_t>(c.chosen)];
        EXPECT_EQ(r.signatureKeyIndex, c.sig) << c.what;
        EXPECT_EQ(r.exchangeKeyIndex, c.exch) << c.what;
        EXPECT_EQ(!r.occupied(), c.freed) << c.what;
        if (c.freed) {
            ContainerRecord blank;
            std::memset(&blank, 0xFF, sizeof blank);
            EXPECT_EQ(0, std::memcmp(&r, &blank, sizeof r)) << c.what;
        }
    }
}

TEST(CertStoreRetry, AsksAgainOnlyAfterARefusalByTheUser) {
    struct Case {
        std::vector<StoreStatus> answers;
        bool added;
        std::size_t attempts;
    } cases[] = {
        {{StoreStatus::Ok}, true, 1},
        {{StoreStatus::Cancelled, StoreStatus::Ok}, true, 2},
        {{StoreStatus::Cancelled, StoreStatus::Cancelled, StoreStatus::Ok}, true, 3},
        {{StoreStatus::Cancelled, StoreStatus::Cancelled, StoreStatus::Cancelled, StoreStatus::Ok}, false, 3},
        {{StoreStatus::Failed, StoreStatus::Ok}, false, 1},
        {{StoreStatus::Cancelled, StoreStatus::Failed, StoreStatus::Ok}, false, 2},
        {{StoreStatus::BadCertificate}, false, 1},
    };
    for (const auto& c : cases) {
        std::size_t asked = 0;
        const bool added = add_with_retries([&] { return c.answers.at(asked++); });
        EXPECT_EQ(added, c.added);
        EXPECT_EQ(asked, c.attempts);
    }
}

TEST(CertAfterInit, InstallingOneStepKeepsTheOther) {
    const AfterInitSteps saved = after_init_steps();
    AfterInitSteps first;
    first.unregister_slot_certificates = [](uint32_t) -> uint32_t { return 7; };
    set_after_init_steps(first);
    AfterInitSteps second;
    second.forget_device_containers = [](QXDeviceTransport&) {};
    set_after_init_steps(second);
    const AfterInitSteps now = after_init_steps();
    ASSERT_NE(now.unregister_slot_certificates, nullptr);
    EXPECT_EQ(now.unregister_slot_certificates(0), 7u);
    EXPECT_EQ(now.forget_device_containers, second.forget_device_containers);
    set_after_init_steps(saved);
}

TEST(CertSelfSigned, RootsVerifyWithTheirOwnKeyOnly) {
    auto rsaRoot = qx::test::make_key(qx::test::KeyKind::Rsa);
    auto sm2Root = qx::test::make_key(qx::test::KeyKind::Sm2);
    auto leafKey = qx::test::make_key(qx::test::KeyKind::Rsa);
    qx::test::CertSpec root;
    root.subjectCN = "Test Root";
    root.subjectKey = rsaRoot.get();
    const auto rootDer = qx::test::make_certificate(root);
    qx::test::CertSpec sm2;
    sm2.subjectCN = "Test SM2 Root";
    sm2.subjectKey = sm2Root.get();
    const auto sm2Der = qx::test::make_certificate(sm2);
    qx::test::CertSpec leaf;
    leaf.subjectCN = "Test Leaf";
    leaf.serial = 9;
    leaf.subjectKey = leafKey.get();
    leaf.issuerKey = rsaRoot.get();
    leaf.issuerCert = rootDer;
    const auto leafDer = qx::test::make_certificate(leaf);
    auto tampered = rootDer;
    tampered[tampered.size() - 5] ^= 0x01;  // inside the signature
    auto trailing = sm2Der;
    trailing.push_back(0x00);

    struct Case {
        const char* what;
        std::vector<uint8_t> der;
        uint32_t expected;
    } cases[] = {
        {"RSA root", rootDer, 1},     {"SM2 root", sm2Der, 1},      {"end entity", leafDer, 0},
        {"tampered root", tampered, 0}, {"trailing byte", trailing, 1}, {"garbage", qx::test::der_blob(400), 0},
        {"empty", {}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(is_self_signed(c.der.data(), static_cast<uint32_t>(c.der.size())), c.expected) << c.what;
}

}  // namespace
}  // namespace qx::kernel::test
