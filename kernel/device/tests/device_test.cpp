// The device exports end to end: the kernel module with the virtual-token
// transport, a fresh token directory per test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenKernel.h"
#include "device/device_manager.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr uint32_t kUnknownReader = 0x80100009;

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { clear_tokens(); }
    void TearDown() override { clear_tokens(); }

    // Installs and loads a kernel with the channel words and `config`.
    Kernel& load(const std::string& name, const std::string& config = std::string()) {
        provider_ = provider_of(name);
        // The channel words, unless `config` gives its own.
        std::string words;
        for (const char* key : {"VirtualReaderWords", "UMSFilterWords", "HIDFilterWords"}) {
            if (config.find(key) != std::string::npos) continue;
            const std::string all = kChannelWords;
            const auto at = all.find(key);
            words += all.substr(at, all.find('\n', at) + 1 - at);
        }
        kernel_.reset();
        kernel_ = std::make_unique<Kernel>(install_kernel(name, words + config));
        EXPECT_TRUE(kernel_->complete());
        return *kernel_;
    }
    std::vector<DeviceHandle> enumerate(uint32_t capacity = 16) {
        std::vector<DeviceHandle> handles(capacity);
        uint32_t count = capacity;
        EXPECT_EQ(ERR_OK, kernel_->enumDevice(&count, handles.data()));
        handles.resize(count);
        return handles;
    }
    std::string name_of(DeviceHandle h) {
        char name[260] = {};
        EXPECT_EQ(ERR_OK, kernel_->name(h, name));
        return name;
    }
    uint32_t slot_of(DeviceHandle h) {
        uint32_t slot = 0xDEAD;
        EXPECT_EQ(ERR_OK, kernel_->slot(h, &slot));
        return slot;
    }
    std::vector<uint32_t> changes() {
        uint32_t slots[16];
        uint32_t count = 99;
        EXPECT_EQ(ERR_OK, kernel_->change(slots, &count));
        return std::vector<uint32_t>(slots, slots + count);
    }

    std::string provider_;
    std::unique_ptr<Kernel> kernel_;
};

TEST(WordLists, MatchIgnoringCaseAndEmptyWordsMatchEverything) {
    EXPECT_TRUE(matches_word_list("Quorvantix VToken CCID a", "vtoken ccid"));
    EXPECT_TRUE(matches_word_list("Quorvantix VToken UMS a", "nothing;VTOKEN UMS"));
    EXPECT_FALSE(matches_word_list("Quorvantix VToken HID a", "ccid;ums"));
    EXPECT_TRUE(matches_word_list("anything", ""));
    EXPECT_TRUE(matches_word_list("anything", "ccid;"));
    EXPECT_TRUE(matches_word_list("anything", "ccid;;ums"));
    // Words are cut to 259 characters.
    const std::string longWord(300, 'x');
    EXPECT_TRUE(matches_word_list(std::string(259, 'x'), longWord));
    EXPECT_EQ(3u, split_word_list("a;b;").size());
}

TEST_F(DeviceTest, OpenByNameAuthenticatesAndTheAccessorsDescribeTheDevice) {
    Kernel& k = load("open");
    const std::string device = create_keyed_token("alpha", provider_);
    DeviceHandle h = nullptr;
    ASSERT_EQ(ERR_OK, k.openByName(device.c_str(), &h));
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1, security_state("alpha"));

    EXPECT_EQ(device, name_of(h));
    uint32_t value = 0;
    EXPECT_EQ(ERR_OK, k.type(h, &value));
    EXPECT_EQ(1u, value);
    EXPECT_EQ(ERR_OK, k.status(h, &value));
    EXPECT_EQ(1u, value);
    EXPECT_EQ(0u, slot_of(h));

    // The identity the token answered: 8 random bytes by default.
    uint32_t length = 0;
    EXPECT_EQ(ERR_OK, k.atr(h, nullptr, &length));
    EXPECT_EQ(8u, length);
    uint8_t identity[32] = {};
    length = 4;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k.atr(h, identity, &length));
    EXPECT_EQ(8u, length);
    EXPECT_EQ(0, identity[4]);  // nothing written past the short buffer
    length = sizeof identity;
    EXPECT_EQ(ERR_OK, k.atr(h, identity, &length));
    EXPECT_EQ(8u, length);

    // Resetting needs room for the longest answer to reset; the token's
    // security state goes with the reset.
    uint8_t answer[64];
    length = 32;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k.reset(h, answer, &length));
    EXPECT_EQ(64u, length);
    EXPECT_EQ(1, security_state("alpha"));
    length = sizeof answer;
    EXPECT_EQ(ERR_OK, k.reset(h, answer, &length));
    EXPECT_GT(length, 0u);
    EXPECT_EQ(0, security_state("alpha"));

    EXPECT_EQ(ERR_OK, k.close(h));
    // The record is gone: the handle is refused, not read.
    EXPECT_EQ(ERR_INVALID_PARAM, k.close(h));
    EXPECT_EQ(ERR_INVALID_PARAM, k.status(h, &value));
    EXPECT_EQ(ERR_INVALID_PARAM, k.status(nullptr, &value));
    EXPECT_EQ(ERR_INVALID_PARAM, k.openByName(nullptr, &h));
    EXPECT_EQ(ERR_INVALID_PARAM, k.openByName(device.c_str(), nullptr));
}

TEST_F(DeviceTest, ABlankTokenOpensOnlyWithoutChecksAndKeepsItsHandle) {
    Kernel& k = load("blank");
    const std::string device = create_blank_token("blank");
    DeviceHandle h = reinterpret_cast<DeviceHandle>(1);
    // No file system: SELECT of the application directory finds nothing.
    EXPECT_EQ(ERR_FILE_NOT_FOUND, k.openByName(device.c_str(), &h));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(ERR_FILE_NOT_FOUND, k.openDezo(device.c_str(), &h));
    ASSERT_NE(nullptr, h);
    uint32_t status = 0;
    EXPECT_EQ(ERR_OK, k.status(h, &status));
    EXPECT_EQ(1u, status);
    uint32_t length = 0;
    EXPECT_EQ(ERR_OK, k.atr(h, nullptr, &length));
    EXPECT_EQ(8u, length);
    EXPECT_EQ(ERR_OK, k.close(h));
    EXPECT_EQ(ERR_INVALID_PARAM, k.close(h));
}

TEST_F(DeviceTest, TheNameGivesTheChannelAndAmbiguousNamesAreRefused) {
    // "VToken" alone as the mass-storage word: a CCID name matches both lists.
    Kernel& k = load("ambiguous", "UMSFilterWords = VToken\r\n");
    const std::string ccid = create_keyed_token("c", provider_);
    const std::string ums = create_keyed_token("u", provider_, 16);
    DeviceHandle h = nullptr;
    EXPECT_EQ(ERR_INVALID_PARAM, k.openByName(ccid.c_str(), &h));
    EXPECT_EQ(nullptr, h);
    // Without the check there is no transport for the combined type.
    EXPECT_EQ(ERR_NO_MEMORY, k.openDezo(ccid.c_str(), &h));
    EXPECT_EQ(nullptr, h);
    ASSERT_EQ(ERR_OK, k.openByName(ums.c_str(), &h));
    uint32_t type = 0;
    EXPECT_EQ(ERR_OK, k.type(h, &type));
    EXPECT_EQ(16u, type);
    EXPECT_EQ(ERR_OK, k.close(h));
    // A token that does not exist: the transport's own status.
    EXPECT_EQ(kUnknownReader, k.openByName("Quorvantix VToken UMS none", &h));
    EXPECT_EQ(nullptr, h);
}

TEST_F(DeviceTest, CardOsVersionListsDecideWhichTokensAreSupported) {
    Kernel& k = load("versions", "SupportDevType = 17\r\nSupportCCIDCOSVers = 020000;0300AB\r\nSupportUMSCOSVers = 010000;\r\n");
    const std::string old = create_keyed_token("old", provider_, 1, "010000");
    const std::string current = create_keyed_token("new", provider_, 1, "0300ab");
    const std::string ums = create_keyed_token("ums", provider_, 16, "770000");
    DeviceHandle h = nullptr;
    EXPECT_EQ(ERR_FAILED, k.openByName(old.c_str(), &h));
    EXPECT_EQ(nullptr, h);
    ASSERT_EQ(ERR_OK, k.openByName(current.c_str(), &h));
    EXPECT_EQ(ERR_OK, k.close(h));
    // The trailing separator leaves an empty word that accepts every version.
    ASSERT_EQ(ERR_OK, k.openByName(ums.c_str(), &h));
    EXPECT_EQ(ERR_OK, k.close(h));
    // The DEZO opening does not look at the version.
    ASSERT_EQ(ERR_OK, k.openDezo(old.c_str(), &h));
    EXPECT_EQ(ERR_OK, k.close(h));

    const auto handles = enumerate();
    ASSERT_EQ(2u, handles.size());
    EXPECT_EQ(current, name_of(handles[0]));
    EXPECT_EQ(ums, name_of(handles[1]));
    EXPECT_EQ(ERR_OK, k.destroyEnum());
}

TEST_F(DeviceTest, EnumerationListsChannelsInOrderAndChecksTheArray) {
    Kernel& k = load("enum", "SupportDevType = 273\r\n");
    const std::string hid = create_blank_token("h1", 256);
    const std::string ums = create_blank_token("u1", 16);
    const std::string ccidB = create_blank_token("c2");
    const std::string ccidA = create_blank_token("c1");
    uint32_t count = 0;
    EXPECT_EQ(ERR_OK, k.enumDevice(&count, nullptr));
    EXPECT_EQ(4u, count);
    // An array too small for what was found is refused, nothing written.
    std::vector<DeviceHandle> small(2, nullptr);
    count = 2;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k.enumDevice(&count, small.data()));
    EXPECT_EQ(4u, count);
    EXPECT_EQ(nullptr, small[0]);

    const auto handles = enumerate();
    ASSERT_EQ(4u, handles.size());
    EXPECT_EQ(ccidA, name_of(handles[0]));
    EXPECT_EQ(ccidB, name_of(handles[1]));
    EXPECT_EQ(ums, name_of(handles[2]));
    EXPECT_EQ(hid, name_of(handles[3]));
    for (DeviceHandle h : handles) {
        uint32_t status = 1;
        EXPECT_EQ(ERR_OK, k.status(h, &status));
        EXPECT_EQ(0u, status);  // enumerated handles are not open
    }
    EXPECT_EQ(ERR_OK, k.destroyEnum());
    uint32_t status = 0;
    EXPECT_EQ(ERR_INVALID_PARAM, k.status(handles[0], &status));

    // Only the enabled channels are probed.
    Kernel& ccidOnly = load("enum-ccid", "SupportDevType = 1\r\nVirtualReaderWords = c1\r\n");
    count = 0;
    EXPECT_EQ(ERR_OK, ccidOnly.enumDevice(&count, nullptr));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(ERR_INVALID_PARAM, ccidOnly.enumDevice(nullptr, nullptr));
}

TEST_F(DeviceTest, SlotNumbersStickWhileATokenStaysAndTheChangeListFollowsTokens) {
    Kernel& k = load("slots", "SupportDevType = 17\r\n");
    create_blank_token("a");
    create_blank_token("b");
    auto first = enumerate();
    ASSERT_EQ(2u, first.size());
    EXPECT_EQ(0u, slot_of(first[0]));
    EXPECT_EQ(1u, slot_of(first[1]));
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), changes());

    // Nothing changed: same numbers, empty change list (read twice, not consumed).
    create_blank_token("0first");  // unplugged below before the next enumeration
    set_plugged("0first", false);
    auto second = enumerate();
    ASSERT_EQ(2u, second.size());
    EXPECT_EQ(0u, slot_of(second[0]));
    EXPECT_EQ(1u, slot_of(second[1]));
    EXPECT_TRUE(changes().empty());
    EXPECT_TRUE(changes().empty());

    // A token sorted before the others arrives: the others keep their numbers.
    set_plugged("0first", true);
    auto third = enumerate();
    ASSERT_EQ(3u, third.size());
    EXPECT_EQ(2u, slot_of(third[0]));
    EXPECT_EQ(0u, slot_of(third[1]));
    EXPECT_EQ(1u, slot_of(third[2]));
    EXPECT_EQ(std::vector<uint32_t>{2}, changes());

    // "a" leaves: its number is reported and later given to a newcomer.
    set_plugged("a", false);
    auto fourth = enumerate();
    ASSERT_EQ(2u, fourth.size());
    EXPECT_EQ(std::vector<uint32_t>{0}, changes());
    create_blank_token("c");
    auto fifth = enumerate();
    ASSERT_EQ(3u, fifth.size());
    EXPECT_EQ(0u, slot_of(fifth[2]));
    EXPECT_EQ(std::vector<uint32_t>{0}, changes());

    // One leaves and one arrives between two enumerations: both are reported.
    set_plugged("b", false);
    create_blank_token("d");
    auto sixth = enumerate();
    ASSERT_EQ(3u, sixth.size());
    EXPECT_EQ((std::vector<uint32_t>{1}), changes());  // "d" took the number "b" left
    set_plugged("c", false);
    set_plugged("b", true);
    enumerate();
    // As many tokens as before, yet "b" came back (slot 0) where "c" left.
    EXPECT_EQ(std::vector<uint32_t>{0}, changes());
    EXPECT_EQ(ERR_OK, k.destroyEnum());
}

TEST_F(DeviceTest, EnumeratedHandlesOpenBelongToTheirThreadAndSurviveDestroyWhileOpen) {
    Kernel& k = load("byhandle", "SupportDevType = 1\r\n");
    const std::string device = create_keyed_token("k", provider_);
    auto handles = enumerate();
    ASSERT_EQ(1u, handles.size());
    DeviceHandle h = handles[0];
    ASSERT_EQ(ERR_OK, k.openByHandle(h));
    EXPECT_EQ(1, security_state("k"));
    uint32_t status = 0;
    EXPECT_EQ(ERR_OK, k.status(h, &status));
    EXPECT_EQ(1u, status);

    // Another thread's DestroyEnum leaves this thread's handles alone.
    std::thread([&] { EXPECT_EQ(ERR_OK, k.destroyEnum()); }).join();
    EXPECT_EQ(ERR_OK, k.status(h, &status));

    // Closing keeps an enumerated handle; it can be opened again.
    EXPECT_EQ(ERR_OK, k.close(h));
    EXPECT_EQ(ERR_OK, k.status(h, &status));
    EXPECT_EQ(0u, status);
    ASSERT_EQ(ERR_OK, k.openByHandle(h));
    // Destroying the enumeration while the handle is open keeps it usable;
    // closing it then frees it.
    EXPECT_EQ(ERR_OK, k.destroyEnum());
    EXPECT_EQ(ERR_OK, k.status(h, &status));
    EXPECT_EQ(ERR_OK, k.close(h));
    EXPECT_EQ(ERR_INVALID_PARAM, k.status(h, &status));

    // A blank token fails authentication and the handle is closed again.
    clear_tokens();
    create_blank_token("blank");
    handles = enumerate();
    ASSERT_EQ(1u, handles.size());
    EXPECT_EQ(ERR_FILE_NOT_FOUND, k.openByHandle(handles[0]));
    EXPECT_EQ(ERR_OK, k.status(handles[0], &status));
    EXPECT_EQ(0u, status);
    EXPECT_EQ(ERR_OK, k.destroyEnum());
}

TEST_F(DeviceTest, ATokenUnpluggedBetweenCommands) {
    Kernel& k = load("unplug", "SupportDevType = 1\r\n");
    const std::string device = create_keyed_token("gone", provider_);
    auto handles = enumerate();
    ASSERT_EQ(1u, handles.size());
    DeviceHandle h = nullptr;
    ASSERT_EQ(ERR_OK, k.openByName(device.c_str(), &h));
    set_plugged("gone", false);
    // The open connection is dead; reopening and opening the enumerated handle fail.
    uint8_t answer[64];
    uint32_t length = sizeof answer;
    EXPECT_NE(ERR_OK, k.reset(h, answer, &length));
    EXPECT_EQ(kUnknownReader, k.openByHandle(handles[0]));
    DeviceHandle again = nullptr;
    EXPECT_EQ(kUnknownReader, k.openByName(device.c_str(), &again));
    EXPECT_EQ(nullptr, again);
    EXPECT_EQ(ERR_OK, k.close(h));
    EXPECT_TRUE(enumerate().empty());
    EXPECT_EQ(std::vector<uint32_t>{0}, changes());

    set_plugged("gone", true);
    ASSERT_EQ(ERR_OK, k.openByName(device.c_str(), &again));
    EXPECT_EQ(0u, slot_of(again));
    EXPECT_EQ(ERR_OK, k.close(again));
    EXPECT_EQ(ERR_OK, k.destroyEnum());
}

TEST_F(DeviceTest, SupportedNamesAndTheInertExports) {
    Kernel& k = load("support", "SupportDevType = 17\r\nQXFilterWords = Quorvantix\r\nCCIDFilterWords = CCID\r\n"
                                "HIDFilterWords = HID\r\n");
    uint32_t type = 99;
    EXPECT_EQ(ERR_OK, k.isSupportDev("Quorvantix VToken CCID x", &type));
    EXPECT_EQ(1u, type);
    EXPECT_EQ(ERR_OK, k.isSupportDev("Quorvantix VToken UMS x", &type));
    EXPECT_EQ(16u, type);
    // HID is not enabled.
    EXPECT_EQ(ERR_OK, k.isSupportDev("Quorvantix VToken HID x", &type));
    EXPECT_EQ(0u, type);
    EXPECT_EQ(ERR_OK, k.isSupportDev("Other CCID reader", &type));
    EXPECT_EQ(0u, type);
    EXPECT_EQ(ERR_INVALID_PARAM, k.isSupportDev("x", nullptr));
    EXPECT_EQ(ERR_OK, k.addDevice("x", 5));
    EXPECT_EQ(ERR_OK, k.removeDevice("x"));
}

}  // namespace
}  // namespace qx::kernel::test
