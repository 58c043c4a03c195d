// Config.ini: the plain and enciphered forms, the value rules and the
// kernel's keys with their defaults.
#include <gtest/gtest.h>

#include <cstring>

#include "QXTokenStatus.h"
#include "config/CU8Ini.h"
#include "config/kernel_config.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"

namespace qx::kernel::test {
namespace {

class ConfigTest : public KernelTest {
protected:
    uint32_t load(CU8Ini& ini) { return ini.LoadFile(dir_ + "Config.ini", binary_directory()); }
};

const char kSample[] =
    "; comment\r\n"
    "[QXTokenInfo]\r\n"
    "CSPName = Example Provider\r\n"
    "MaxContainerCount = 0x0A\r\n"
    "SKAlg = 4\r\n"
    "Debug = 2048\r\n"
    "[DeviceInfo]\r\n"
    "SupportDevType = 273\r\n"
    "QXFilterWords = Quorva;QX Token\r\n"
    "[InitKeypairsNum]\r\n"
    "SM2256 = 3\r\n"
    "RSA2048 = 2\r\n"
    "RSA1024 = 1\r\n";

TEST_F(ConfigTest, PlainFileWithByteOrderMarkIsRead) {
    write_config(kSample);
    uint32_t status = 1;
    KernelConfig c = load_kernel_config(dir_ + "Config.ini", binary_directory(), &status);
    EXPECT_EQ(ERR_OK, status);
    EXPECT_EQ("Example Provider", c.cspName);
    EXPECT_EQ(10, c.maxContainerCount);
    EXPECT_EQ(4, c.skAlg);
    EXPECT_EQ(0x600u, sk_algorithm(c.skAlg));
    EXPECT_TRUE(c.getResponseCorrection());
    EXPECT_EQ("Quorva;QX Token", c.qxFilterWords);
    ASSERT_EQ(3u, c.keyPairRanges.size());
    EXPECT_EQ("SM2256", c.keyPairRanges[0].name);
    EXPECT_EQ(3, c.keyPairRanges[0].count);
    EXPECT_EQ("RSA2048", c.keyPairRanges[1].name);
    EXPECT_EQ("RSA1024", c.keyPairRanges[2].name);
    EXPECT_EQ(1, c.keyPairRanges[2].count);
    // Keys the file leaves out keep their defaults.
    EXPECT_EQ("QXUSBKey", c.defaultLabel);
    EXPECT_EQ(15, c.pinOperateWaitTime);
}

TEST_F(ConfigTest, FileWithoutByteOrderMarkIsRejectedAndDefaultsApply) {
    write_text(dir_ + "Config.ini", kSample);
    CU8Ini ini;
    EXPECT_EQ(QX_ERROR_INI_NOT_UTF8, load(ini));
    uint32_t status = 0;
    KernelConfig c = load_kernel_config(dir_ + "Config.ini", binary_directory(), &status);
    EXPECT_EQ(QX_ERROR_INI_NOT_UTF8, status);
    EXPECT_EQ(kDefaultProviderName, c.cspName);
    EXPECT_EQ(5, c.maxContainerCount);
    EXPECT_TRUE(c.keyPairRanges.empty());
}

TEST_F(ConfigTest, MissingAndEmptyFiles) {
    CU8Ini ini;
    EXPECT_EQ(ERR_INI_OPEN, load(ini));
    write_text(dir_ + "Config.ini", "");
    EXPECT_EQ(ERR_INI_EMPTY, load(ini));
    KernelConfig c = load_kernel_config(dir_ + "Config.ini", binary_directory());
    EXPECT_EQ(1, c.supportDevType);
    EXPECT_EQ(1, c.secMsg);
    EXPECT_EQ("314159", c.defaultPin);
    EXPECT_EQ("27182818", c.defaultSoPin);
    EXPECT_EQ("{81BCD07E-8752-48d9-B24B-7B983FF87DE5}", c.productName);
}

TEST_F(ConfigTest, EncipheredFileReadsLikeThePlainText) {
    std::vector<uint8_t> enciphered;
    ASSERT_EQ(ERR_OK, CU8Ini::Encipher(binary_directory(), plain_ini(kSample), &enciphered));
    // The marker is the RC4 encipherment of "Config.ini" under the fixed key.
    ASSERT_GT(enciphered.size(), 10u);
    EXPECT_NE(0, std::memcmp(enciphered.data(), "Config.ini", 10));
    write_bytes(dir_ + "Config.ini", enciphered);
    CU8Ini ini;
    ASSERT_EQ(ERR_OK, load(ini));
    EXPECT_TRUE(ini.enciphered());
    KernelConfig c = read_kernel_config(ini);
    EXPECT_EQ("Example Provider", c.cspName);
    EXPECT_EQ(3u, c.keyPairRanges.size());
}

// The enciphered marker under the key "zephyral lattice harbour" + 8 spaces,
// computed with an independent RC4 (the one in the APDU tests' style).
TEST_F(ConfigTest, EncipheredMarkerUsesTheThirtyTwoByteKey) {
    std::vector<uint8_t> key(32, ' ');
    std::memcpy(key.data(), "zephyral lattice harbour", 24);
    uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + key[i % 32]) & 255;
        std::swap(s[i], s[j]);
    }
    std::vector<uint8_t> marker(10);
    for (std::size_t n = 0, i = 0, j = 0; n < 10; ++n) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        marker[n] = static_cast<uint8_t>("Config.ini"[n] ^ s[(s[i] + s[j]) & 255]);
    }
    std::vector<uint8_t> enciphered;
    ASSERT_EQ(ERR_OK, CU8Ini::Encipher(binary_directory(), plain_ini("[A]\r\nB = 1\r\n"), &enciphered));
    EXPECT_EQ(hex(marker), hex(enciphered.data(), 10));
}

TEST_F(ConfigTest, EncipheredFileWithoutByteOrderMarkIsRejected) {
    std::vector<uint8_t> enciphered;
    const std::string text = "[QXTokenInfo]\r\nDebug = 1\r\n";
    ASSERT_EQ(ERR_OK, CU8Ini::Encipher(binary_directory(), std::vector<uint8_t>(text.begin(), text.end()), &enciphered));
    write_bytes(dir_ + "Config.ini", enciphered);
    CU8Ini ini;
    EXPECT_EQ(QX_ERROR_INI_NOT_UTF8, load(ini));
}

TEST_F(ConfigTest, ReaderNeedsTheSoftwareAlgorithmLibrary) {
    write_config(kSample);
    CU8Ini ini;
    EXPECT_EQ(ERR_LIBRARY_LOAD, ini.LoadFile(dir_ + "Config.ini", dir_));
}

TEST_F(ConfigTest, IntegerRules) {
    write_config(
        "[S]\r\n"
        "hex = 0x0A\r\nupper = 0XfF\r\ndec = 10\r\nneg = -7\r\nbad = 10abc\r\nbarehex = 0x\r\nbadhex = 0x1G\r\n"
        "empty =\r\nspace = 1 2\r\nwide = 0xFFFFFFFF\r\n"
        "long63 = 000000000000000000000000000000000000000000000000000000000000042\r\n"
        "long64 = 0000000000000000000000000000000000000000000000000000000000000042\r\n"
        "twice = 1\r\ntwice = 2\r\n");
    CU8Ini ini;
    ASSERT_EQ(ERR_OK, load(ini));
    EXPECT_EQ(10, ini.GetInteger("S", "hex", 5));
    EXPECT_EQ(255, ini.GetInteger("S", "upper", 5));
    EXPECT_EQ(10, ini.GetInteger("S", "dec", 5));
    EXPECT_EQ(-7, ini.GetInteger("S", "neg", 5));
    EXPECT_EQ(5, ini.GetInteger("S", "bad", 5));
    EXPECT_EQ(5, ini.GetInteger("S", "barehex", 5));
    EXPECT_EQ(5, ini.GetInteger("S", "badhex", 5));
    EXPECT_EQ(5, ini.GetInteger("S", "empty", 5));
    EXPECT_EQ(5, ini.GetInteger("S", "space", 5));
    EXPECT_EQ(-1, ini.GetInteger("S", "wide", 5));
    EXPECT_EQ(42, ini.GetInteger("S", "long63", 5));
    EXPECT_EQ(5, ini.GetInteger("S", "long64", 5));
    EXPECT_EQ(1, ini.GetInteger("S", "twice", 5));
    EXPECT_EQ(5, ini.GetInteger("S", "missing", 5));
    EXPECT_EQ(5, ini.GetInteger("Nope", "hex", 5));
}

TEST_F(ConfigTest, StringsAreCutToTheirBufferAndTheFirstOfTwoKeysWins) {
    std::string longName(300, 'n');
    std::string longWords(1100, 'w');
    write_config("[QXTokenInfo]\r\nCSPName = " + longName + "\r\nDefaultLabel = first\r\nDefaultLabel = second\r\n" +
                 "[DeviceInfo]\r\nQXFilterWords = " + longWords + "\r\n");
    CU8Ini ini;
    ASSERT_EQ(ERR_OK, load(ini));
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(0u, ini.GetString("QXTokenInfo", "DefaultLabel", buffer, sizeof buffer, "d"));
    EXPECT_STREQ("first", buffer);
    EXPECT_EQ(0u, ini.GetString("QXTokenInfo", "CSPName", buffer, sizeof buffer, "d"));
    EXPECT_STREQ("nnnnnnn", buffer);
    EXPECT_EQ(0u, ini.GetString("QXTokenInfo", "Missing", buffer, sizeof buffer, nullptr));
    EXPECT_STREQ("", buffer);
    KernelConfig c = read_kernel_config(ini);
    EXPECT_EQ(259u, c.cspName.size());
    EXPECT_EQ(1023u, c.qxFilterWords.size());
    EXPECT_EQ("first", c.defaultLabel);
}

TEST_F(ConfigTest, SectionKeysInFileOrder) {
    write_config("[K]\r\nzeta = 1\r\nalpha = 2\r\nmid = 3\r\nalpha = 4\r\n[Empty]\r\n");
    CU8Ini ini;
    ASSERT_EQ(ERR_OK, load(ini));
    char buffer[32];
    ASSERT_EQ(ERR_OK, ini.GetSectionKeys("K", buffer, sizeof buffer));
    EXPECT_EQ(0, std::memcmp(buffer, "zeta\0alpha\0mid\0\0", 16));
    char small[15];
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, ini.GetSectionKeys("K", small, sizeof small));
    ASSERT_EQ(ERR_OK, ini.GetSectionKeys("Empty", buffer, sizeof buffer));
    EXPECT_EQ('\0', buffer[0]);
    // An empty key-pair section yields an empty table.
    write_config("[InitKeypairsNum]\r\n");
    ASSERT_EQ(ERR_OK, load(ini));
    EXPECT_TRUE(read_kernel_config(ini).keyPairRanges.empty());
}

TEST_F(ConfigTest, SetStringAndSaveKeepTheFormAndEncipherment) {
    write_config("[QXTokenInfo]\r\nCSPName = Old\r\n");
    CU8Ini ini;
    ASSERT_EQ(ERR_OK, load(ini));
    ASSERT_EQ(ERR_OK, ini.SetString("QXTokenInfo", "CSPName", "New"));
    ASSERT_EQ(ERR_OK, ini.SetString("Added", "Text", "line one\nline two"));
    ASSERT_EQ(ERR_OK, ini.SaveFile(dir_ + "Saved.ini"));
    const std::string saved = read_text(dir_ + "Saved.ini");
    EXPECT_EQ(
        "\xEF\xBB\xBF[QXTokenInfo]\r\nCSPName = New\r\n\r\n\r\n[Added]\r\nText = <<<END_OF_TEXT\r\nline one\r\n"
        "line two\r\nEND_OF_TEXT\r\n",
        saved);
    CU8Ini again;
    ASSERT_EQ(ERR_OK, again.LoadFile(dir_ + "Saved.ini", binary_directory()));
    EXPECT_EQ("New", again.GetString("QXTokenInfo", "CSPName", 260, ""));

    // An enciphered file is saved enciphered.
    std::vector<uint8_t> enciphered;
    ASSERT_EQ(ERR_OK, CU8Ini::Encipher(binary_directory(), plain_ini("[QXTokenInfo]\r\nCSPName = Old\r\n"), &enciphered));
    write_bytes(dir_ + "Config.ini", enciphered);
    CU8Ini crypted;
    ASSERT_EQ(ERR_OK, load(crypted));
    ASSERT_EQ(ERR_OK, crypted.SetString("QXTokenInfo", "CSPName", "Newer"));
    ASSERT_EQ(ERR_OK, crypted.SaveFile(dir_ + "Config.ini"));
    EXPECT_EQ(read_text(dir_ + "Config.ini").find("Newer"), std::string::npos);
    CU8Ini reread;
    ASSERT_EQ(ERR_OK, load(reread));
    EXPECT_TRUE(reread.enciphered());
    EXPECT_EQ("Newer", reread.GetString("QXTokenInfo", "CSPName", 260, ""));

    EXPECT_EQ(ERR_INI_OPEN, ini.SaveFile(dir_ + "no-such-dir/x/Config.ini"));
}

TEST_F(ConfigTest, SkAlgMapping) {
    EXPECT_EQ(0x200u, sk_algorithm(0));
    EXPECT_EQ(0x100u, sk_algorithm(1));
    EXPECT_EQ(0x500u, sk_algorithm(2));
    EXPECT_EQ(0x700u, sk_algorithm(3));
    EXPECT_EQ(0x600u, sk_algorithm(4));
    EXPECT_EQ(0x200u, sk_algorithm(5));
    EXPECT_EQ(0x200u, sk_algorithm(-1));
}

}  // namespace
}  // namespace qx::kernel::test
