// Initialisation's data (key files, the token information record, the label)
// and its command sequence against a scripted token.
#include <gtest/gtest.h>

#include <string>

#include "QXTokenStatus.h"
#include "init/token_init.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"
#include "token/token_info.h"

namespace qx::kernel::test {
namespace {

using InitTest = KernelTest;

TEST_F(InitTest, KeyFilesFollowTheSlotTableInSectionOrder) {
    const auto files = key_file_descriptions({{"RSA1024", 2}, {"SM2256", 1}});
    ASSERT_EQ(9u, files.size());
    EXPECT_EQ("00 EF 10 01 01 10 00 00 F1 F1 F1 FF", hex(files[0]));
    EXPECT_EQ("00 EF 20 01 01 20 00 00 33 33 EF FF", hex(files[1]));
    EXPECT_EQ("00 EF 80 01 01 80 08 00 F1 F1 F1 DF", hex(files[2]));
    EXPECT_EQ("00 EF 10 02 02 10 00 00 F1 F1 F1 FF", hex(files[3]));
    EXPECT_EQ("00 EF 10 03 03 10 00 02 F1 F1 F1 FF", hex(files[6]));
    EXPECT_EQ("00 EF 80 03 03 80 08 00 F1 F1 F1 DF", hex(files[8]));

    // An unknown type keeps its index range but gets no files; RSA2048 has type 00 01.
    const auto mixed = key_file_descriptions({{"DSA512", 2}, {"RSA2048", 1}, {"SM2256", 0}, {"RSA1024", -3}});
    ASSERT_EQ(3u, mixed.size());
    EXPECT_EQ("00 EF 10 03 03 10 00 01 F1 F1 F1 FF", hex(mixed[0]));
    EXPECT_TRUE(key_file_descriptions({}).empty());
}

TEST_F(InitTest, LabelIsTheCallersBytesOrTheDefaultAsUtf16) {
    EXPECT_EQ("41 42 43 44 45", hex(record_label(reinterpret_cast<const uint8_t*>("ABCDE"), 5, "ignored")));
    EXPECT_EQ("51 00 58 00", hex(record_label(nullptr, 0, "QX")));
    EXPECT_EQ("51 00 58 00", hex(record_label(reinterpret_cast<const uint8_t*>("x"), 0, "QX")));
    // Two-, three- and four-byte sequences; a four-byte one becomes a surrogate pair.
    EXPECT_EQ("E9 00 AC 20 3D D8 00 DE", hex(record_label(nullptr, 0, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")));
    // A malformed sequence is replaced, not copied.
    EXPECT_EQ("FD FF 41 00", hex(record_label(nullptr, 0, "\xC3" "A")));
    // At most 32 bytes.
    EXPECT_EQ(32u, record_label(nullptr, 0, std::string(40, 'a')).size());
}

TEST_F(InitTest, TokenInformationRecordByteForByte) {
    uint8_t cos[16] = {0};
    cos[10] = 3;
    cos[11] = 7;
    cos[12] = 0x41;
    const std::vector<uint8_t> label{'A', 'B', 'C', 'D', 'E'};
    const std::vector<uint8_t> serial{'0', '1', '2'};
    const auto r = token_info_record(label, serial, 0x60D | 0x80000, 8, 6, cos);
    ASSERT_EQ(160u, r.size());
    EXPECT_EQ("ABCDE" + std::string(27, ' '), std::string(r.begin(), r.begin() + 32));
    EXPECT_EQ("Quorvantix Co.,Ltd." + std::string(13, ' '), std::string(r.begin() + 32, r.begin() + 64));
    EXPECT_EQ("QuorvaCOS" + std::string(7, ' '), std::string(r.begin() + 64, r.begin() + 80));
    EXPECT_EQ("012" + std::string(13, ' '), std::string(r.begin() + 80, r.begin() + 96));
    EXPECT_EQ("0D 06 08 00", hex(r.data() + 96, 4));
    EXPECT_EQ(std::string(16, '\xFF'), std::string(r.begin() + 100, r.begin() + 116));
    EXPECT_EQ("08 00 00 00 06 00 00 00", hex(r.data() + 116, 8));
    EXPECT_EQ(std::string(16, '\xFF'), std::string(r.begin() + 124, r.begin() + 140));
    EXPECT_EQ("03 07 03 07", hex(r.data() + 140, 4));
    EXPECT_EQ("A" + std::string(15, ' '), std::string(r.begin() + 144, r.end()));

    // Without card-OS information: versions 1.0 and a time field of spaces.
    const auto plain = token_info_record(label, serial, 0x60D, 8, 6, nullptr);
    EXPECT_EQ("01 00 01 00", hex(plain.data() + 140, 4));
    EXPECT_EQ(std::string(16, ' '), std::string(plain.begin() + 144, plain.end()));
}

TEST_F(InitTest, SerialNumberFallsBackToTheIdentity) {
    ScriptedTransport dev;
    dev.set_identity(H("01 02 03 04 05 06 0A 0B 0C 0D"));
    dev.expect("80 7B 00 00 00", "6D 00");
    std::vector<uint8_t> serial;
    ASSERT_EQ(ERR_OK, read_serial_number(dev, serial));
    EXPECT_EQ("0506 0A0B0C0D", std::string(serial.begin(), serial.begin() + 4) + " " +
                                    std::string(serial.begin() + 4, serial.end()));
    dev.expect("80 7B 00 00 00", "53 4E 31 90 00");
    ASSERT_EQ(ERR_OK, read_serial_number(dev, serial));
    EXPECT_EQ("SN1", std::string(serial.begin(), serial.end()));
}

TEST_F(InitTest, TooManyKeyIndexesOrLongPinsAreRefusedBeforeAnyCommand) {
    ScriptedTransport dev;
    DeviceRecord record{2, &dev, 0, 0};
    dev.set_identity(H("01 02 03 04"));
    KernelConfig config;
    config.keyPairRanges = {{"RSA1024", 20}, {"SM2256", 11}};
    EXPECT_EQ(ERR_INVALID_PARAM, initialise_token(record, config, {}));
    config.keyPairRanges.clear();
    const std::string longPin(129, '1');
    InitRequest request;
    request.userPin = reinterpret_cast<const uint8_t*>(longPin.data());
    request.userPinLength = 129;
    EXPECT_EQ(ERR_COMMAND_FAILED, initialise_token(record, config, request));
    EXPECT_TRUE(dev.sent.empty());
}

TEST_F(InitTest, FailureAfterTheEraseStillEndsTheInitialisation) {
    ScriptedTransport dev;
    DeviceRecord record{2, &dev, 0, 0};
    dev.set_identity(H("01 02 03 04"));
    dev.expect("00 A4 00 00 02 3F 00", "6A 82");  // blank token: nothing to erase
    dev.expect("F0 F2 00 00 1E 00 DF 3F 00 12 00 FF 00 66 66 EF 00 10 51 75 6F 72 76 61 FF FF FF FF FF FF FF FF FF FF 00",
               "6A 84");
    dev.expect("F0 F3 00 00 00", "90 00");
    EXPECT_EQ(ERR_CREATE_FILE, initialise_token(record, KernelConfig{}, {}));
}

TEST_F(InitTest, WithoutEraseOnlyTheApplicationDirectoryIsReplaced) {
    ScriptedTransport dev;
    DeviceRecord record{2, &dev, 0, 0};
    dev.set_identity(H("01 02 03 04"));
    KernelConfig config;
    config.eraseMF = 0;
    config.maxContainerCount = 8;
    dev.expect("00 A4 00 00 02 3F 00", "90 00");
    dev.expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00");
    dev.expect("", "90 00");  // EXTERNAL AUTHENTICATE with MF key 3
    dev.expect("80 0E 00 00 02 3F 01", "6A 82");  // no ADF: accepted
    dev.expect("", "90 00");  // CREATE the ADF
    dev.expect("00 A4 00 00 02 3F 01", "90 00");
    for (int i = 0; i < 9; ++i) dev.expect("", "90 00");  // seven keys and two PINs
    dev.expect("80 E0 00 00 0C 00 EF 00 01 01 00 00 A0 F1 31 00 00", "90 00");
    dev.expect("80 E0 00 00 0C 00 EF 00 03 03 00 08 C0 F1 31 00 00", "6A 84");
    EXPECT_EQ(ERR_CREATE_FILE, initialise_token(record, config, {}));
    ASSERT_GE(dev.sent.size(), 9u);
    EXPECT_EQ("00 82 00 03 08", hex(dev.sent[2].data(), 5));
    // Keys are written with the plain write-key command, the algorithm byte from SKAlg.
    EXPECT_EQ("80 71 00 00 18 F0 35 00 00 00 F0 F0 08", hex(dev.sent[6].data(), 13));
    // The PINs: SO with 15 tries, the user PIN with 10.
    EXPECT_EQ("80 71 00 00 18 F0 66 01 00 00 F0 F1 02", hex(dev.sent[13].data(), 13));
    EXPECT_EQ("80 71 00 00 18 F0 66 02 00 00 A0 F1 03", hex(dev.sent[14].data(), 13));
}

}  // namespace
}  // namespace qx::kernel::test
