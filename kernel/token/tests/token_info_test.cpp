// Token information against a scripted token: the record's label trimming,
// the button and language answers, and the card-OS information.
#include <gtest/gtest.h>

#include "QXTokenStatus.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"
#include "token/token_info.h"

namespace qx::kernel::test {
namespace {

class TokenInfoTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        dev.set_identity(H("01 02 03 04"));
    }
    ScriptedTransport dev;
};

TEST_F(TokenInfoTest, TransactionAnswersAsTheTransactionExportsGiveThem) {
    const struct {
        uint16_t sw;
        uint32_t status;
    } cases[] = {{0x9000, ERR_OK},         {0xD100, 0x7001}, {0xD101, 0x7002}, {0xD102, 0x7003},
                 {0xD104, 0x7004},         {0xD105, 0x7005}, {0xD107, 0x7006}, {0xD109, 0x7007},
                 {0xD10C, 0x7008},         {0xD10D, 0x700A}, {0x6983, 0x6018}, {0x63C0, 0x6018},
                 {0x63C2, 0x6025},         {0xD103, 0x7009}, {0x6A80, 0x7009}};
    for (const auto& c : cases) EXPECT_EQ(c.status, translate_transaction_sw(c.sw)) << std::hex << c.sw;
    dev.expect("80 77 00 00 03 09 01 00", "D1 01");
    EXPECT_EQ(ERR_TRANSACTION_D101, press_status(dev));
}

TEST_F(TokenInfoTest, DisplayLanguageCodes) {
    EXPECT_EQ(1, display_language_code(2052));
    for (uint32_t id : {1028u, 3076u, 4100u}) EXPECT_EQ(3, display_language_code(id)) << id;
    for (uint32_t id : {1033u, 2057u, 3081u, 0u, 1041u}) EXPECT_EQ(2, display_language_code(id)) << id;
    dev.expect("80 77 00 00 03 0A 01 03", "90 00");
    EXPECT_EQ(ERR_OK, set_display_language(dev, 1028));
    dev.expect("80 77 00 00 03 0A 01 02", "6A 80");
    EXPECT_EQ(ERR_COMMAND_FAILED, set_display_language(dev, 1033));
}

TEST_F(TokenInfoTest, LabelTrimsOnlyTrailingSpaces) {
    dev.expect("00 A4 00 00 02 00 01", "90 00");
    dev.expect("00 B0 00 00 18", "20 41 20 42 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 90 00");
    std::vector<uint8_t> label;
    ASSERT_EQ(ERR_OK, read_label(dev, label));
    EXPECT_EQ("20 41 20 42 00", hex(label));

    // The record: trailing spaces of the first 24 bytes become NULs, nothing else changes.
    std::string answer = "41 20 42";
    for (int i = 3; i < 160; ++i) answer += " 20";
    dev.expect("00 A4 00 00 02 00 01", "90 00");
    dev.expect("00 B0 00 00 A0", answer + " 90 00");
    uint8_t record[160];
    ASSERT_EQ(ERR_OK, read_token_info(dev, record));
    EXPECT_EQ("41 20 42 00", hex(record, 4));
    EXPECT_EQ(0, record[23]);
    EXPECT_EQ(' ', record[24]);
    EXPECT_EQ(' ', record[159]);

    // A record cut short is a failure, not a record.
    dev.expect("00 A4 00 00 02 00 01", "90 00");
    dev.expect("00 B0 00 00 A0", "41 42 90 00");
    EXPECT_EQ(ERR_COMMAND_FAILED, read_token_info(dev, record));
}

TEST_F(TokenInfoTest, LabelWritesAPaddedFieldOfTwentyFourBytes) {
    dev.expect("00 A4 00 00 02 00 01", "90 00");
    dev.expect("00 D6 00 00 18 41 42 43 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20", "90 00");
    EXPECT_EQ(ERR_OK, write_label(dev, reinterpret_cast<const uint8_t*>("ABC"), 3));
    EXPECT_EQ(ERR_INVALID_HANDLE, write_label(dev, reinterpret_cast<const uint8_t*>("ABC"), 0));
    const std::string big(25, 'x');
    EXPECT_EQ(ERR_INVALID_HANDLE, write_label(dev, reinterpret_cast<const uint8_t*>(big.data()), 25));
}

TEST_F(TokenInfoTest, CardOsInformationAndChannel) {
    dev.expect("80 7D 00 00 10", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00");
    uint8_t cos[16];
    ASSERT_EQ(ERR_OK, read_cos_info(dev, cos));
    EXPECT_EQ("0D 0E 0F", hex(cos + 13, 3));
    dev.expect("80 7D 00 00 10", "6D 00");
    EXPECT_EQ(ERR_COMMAND_FAILED, read_cos_info(dev, cos));
    dev.expect("F0 0F 00 00 00", "90 10");
    EXPECT_EQ(0x9010u, channel_status_word(dev));
    dev.fail("F0 0F 00 00 00", QXDEV_ERR_DEVICE_IO);
    EXPECT_EQ(0u, channel_status_word(dev));
}

}  // namespace
}  // namespace qx::kernel::test
