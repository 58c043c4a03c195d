// Token selection, rename, information, initialisation and key-pair
// generation through the UI extension, end to end on virtual tokens with
// the scripted dialogs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_dialogs.h"
#include "ui_token_fixture.h"

namespace qx::uiext::test {
namespace {

using SelectOp = uint32_t (*)(DeviceHandle*, uint32_t, DeviceHandle*);
using LabelOp = uint32_t (*)(DeviceHandle, QXUI_CHAR*);
using InfoOp = uint32_t (*)(DeviceHandle);
using GenOp = uint32_t (*)(DeviceHandle, uint32_t, uint32_t, uint32_t, uint32_t, KeyHandle*);

// UTF-16 text as the token stores it (two bytes per unit, low byte first).
std::string stored(const std::u16string& text) {
    std::string b;
    for (char16_t c : text) {
        b.push_back(static_cast<char>(c & 0xFF));
        b.push_back(static_cast<char>(c >> 8));
    }
    return b;
}

using DeviceDialogs = UiTokenTest;

TEST_F(DeviceDialogs, SelectionListsUpToFiveTokensAndClosesThemAgain) {
    start();
    // Six initialised tokens besides the fixture's (closed, so that the
    // enumeration's handles open them).
    kernel_->close(h_);
    h_ = nullptr;
    for (int i = 1; i <= 6; ++i) {
        DeviceHandle h = open_and_initialise(create_blank_token(name_ + "s" + std::to_string(i)),
                                             "Tok" + std::to_string(i));
        ASSERT_NE(nullptr, h);
        kernel_->close(h);
    }
    uint32_t count = 0;
    ASSERT_EQ(0u, kernel_->enumDevice(&count, nullptr));
    std::vector<DeviceHandle> handles(count);
    ASSERT_EQ(0u, kernel_->enumDevice(&count, handles.data()));
    ASSERT_EQ(7u, count);
    // The fixture's token ("T") stays out of the list.
    std::vector<DeviceHandle> tokens;
    for (DeviceHandle h : handles) {
        char name[260] = {};
        kernel_->name(h, name);
        if (std::string(name) != device_) tokens.push_back(h);
    }
    ASSERT_EQ(6u, tokens.size());

    auto select = fn<SelectOp>("QXUIEx_SelectDevice");
    DeviceHandle chosen = nullptr;
    script("1\n");
    EXPECT_EQ(0u, select(tokens.data(), 1, &chosen));
    EXPECT_EQ(tokens[0], chosen);

    script("5\n");
    EXPECT_EQ(0u, select(tokens.data(), 5, &chosen)) << transcript();
    EXPECT_EQ(tokens[4], chosen);
    for (int i = 1; i <= 5; ++i) EXPECT_TRUE(saw("Tok" + std::to_string(i))) << transcript();
    EXPECT_FALSE(saw("Tok6"));
    for (DeviceHandle h : tokens) {
        uint32_t open = 9;
        kernel_->status(h, &open);
        EXPECT_EQ(0u, open) << "opened for its label only";
    }

    script("<cancel>\n");
    chosen = nullptr;
    EXPECT_EQ(QXUI_CANCELLED, select(tokens.data(), 2, &chosen));
    EXPECT_EQ(nullptr, chosen);

    // Refused before any dialog: six tokens, none, no array, no output.
    script("1\n");
    EXPECT_EQ(ERR_INVALID_PARAM, select(tokens.data(), 6, &chosen));
    EXPECT_EQ(ERR_INVALID_PARAM, select(tokens.data(), 0, &chosen));
    EXPECT_EQ(ERR_INVALID_PARAM, select(nullptr, 1, &chosen));
    EXPECT_EQ(ERR_INVALID_PARAM, select(tokens.data(), 1, nullptr));
    EXPECT_EQ("", transcript());
    kernel_->destroyEnum();
}

TEST_F(DeviceDialogs, RenameWritesUtf16AndRefusesWhatDoesNotFit) {
    start();
    auto rename = fn<LabelOp>("QXUIEx_ChangeDevName");
    QXUI_CHAR label[QXUI_TEXT_UNITS] = {};

    // A last character whose high byte is 0x20 (the euro sign) survives the
    // kernel's trimming of trailing spaces when read back.
    const std::u16string euro = u"Kasse\u20AC";
    script(language::to_utf8(euro) + "\n");
    ASSERT_EQ(0u, rename(h_, label)) << transcript();
    std::string kept = stored(euro);
    kept.pop_back();  // the kernel hands the label back without its trailing 0x20
    EXPECT_EQ(kept, label_bytes());
    EXPECT_EQ(euro, std::u16string(reinterpret_cast<const char16_t*>(label)));
    script("<cancel>\n");
    rename(h_, label);
    EXPECT_TRUE(saw("show Label:" + language::to_utf8(euro) + "\n")) << transcript();

    struct Case {
        const char* label;
        uint32_t status;
    };
    const Case refused[] = {
        {"ends in space ", 21},           // no kernel call
        {"seventeen-chars-x", 21},        // over the 16 characters of the buffer
        {"thirteen-char", ERR_INVALID_HANDLE},  // reaches the kernel: over its 24 bytes
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.label);
        script(std::string(c.label) + "\n<cancel>\n");
        EXPECT_EQ(c.status, rename(h_, label));
        EXPECT_EQ(kept, label_bytes()) << "the token keeps its label";
    }
    EXPECT_EQ(ERR_INVALID_PARAM, rename(nullptr, label));
    EXPECT_EQ(ERR_INVALID_PARAM, rename(h_, nullptr));

    // An empty label reaches the kernel with length 0 and is refused there.
    QXUI_CHAR empty[QXUI_TEXT_UNITS] = {};
    EXPECT_EQ(ERR_INVALID_HANDLE, DevNameCallback(h_, empty, 1));
}

TEST_F(DeviceDialogs, InformationTrimsTheLabelAndPrintsVersionsInDecimal) {
    struct Case {
        const char* cos;  // 16 bytes of card-OS information: bytes 10 to 12 are the versions
        const char* firmware;
        const char* hardware;
    };
    const Case cases[] = {
        {"5158565430304B4E0000010203010000", "1.2.3", "1.2.3"},
        {"5158565430304B4E00000A000C010000", "10.0.12", "10.0.12"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firmware);
        start("", kLoosePolicy, c.cos);
        ASSERT_EQ(0u, k<PFN_QXToken_InitToken>("QXToken_InitToken")(h_, kUser, 6, kSo, 8,
                                                                   reinterpret_cast<const uint8_t*>("    "), 4));
        QXUI_CHAR label[QXUI_TEXT_UNITS], serial[QXUI_TEXT_UNITS], fw[QXUI_TEXT_UNITS], hw[QXUI_TEXT_UNITS];
        for (auto* b : {label, serial, fw, hw}) std::fill(b, b + QXUI_TEXT_UNITS, QXUI_CHAR('#'));
        ASSERT_EQ(0u, DevInfoCallback(h_, label, serial, fw, hw));
        EXPECT_EQ(u"", std::u16string(reinterpret_cast<const char16_t*>(label))) << "all spaces: empty";
        EXPECT_EQ(u16(c.firmware), std::u16string(reinterpret_cast<const char16_t*>(fw)));
        EXPECT_EQ(u16(c.hardware), std::u16string(reinterpret_cast<const char16_t*>(hw)));
        const std::u16string s(reinterpret_cast<const char16_t*>(serial));
        EXPECT_FALSE(s.empty());
        EXPECT_LT(s.size(), QXUI_TEXT_UNITS);

        script("yes\n");
        EXPECT_EQ(0u, fn<InfoOp>("QXUIEx_ShowDevInfo")(h_)) << transcript();
        EXPECT_TRUE(saw(std::string("show Firmware version:") + c.firmware + "\n")) << transcript();
        kernel_->close(h_);
        h_ = nullptr;
        frame().release();
    }
    EXPECT_EQ(ERR_INVALID_PARAM, DevInfoCallback(reinterpret_cast<DeviceHandle>(1), nullptr, nullptr, nullptr, nullptr));
}

TEST_F(DeviceDialogs, InitialisationChecksTheLabelBeforeTheToken) {
    start();
    auto init = fn<LabelOp>("QXUIEx_InitToken");
    QXUI_CHAR label[QXUI_TEXT_UNITS] = {};
    struct Case {
        std::string label;
        uint32_t status;
        const char* message;
    };
    const Case refused[] = {
        {"", 0xFFFFFFFFu, "Enter a label."},
        {"seventeen-chars-x", 0xFFFFFFFFu, "The label is too long."},
        {"space at end ", 21, "The label must not end in a space."},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.label);
        script(std::string("24680a\n13579b\n") + c.label + "\n<cancel>\n");
        EXPECT_EQ(c.status, init(h_, label));
        EXPECT_TRUE(saw(std::string("show ") + c.message + "\n")) << transcript();
        EXPECT_EQ(0u, verify_user()) << "the token was not initialised";
    }

    // The same refusal in Chinese once the language path changes.
    const std::u16string chs = u16(dir_ + "Languages/language_chs.ini");
    ASSERT_EQ(0u, fn<uint32_t (*)(const QXUI_CHAR*)>("QXUIEx_SetSysLangPath")(ui_text(chs)));
    script("24680a\n13579b\nseventeen-chars-x\n<cancel>\n");
    EXPECT_EQ(0xFFFFFFFFu, init(h_, label));
    EXPECT_TRUE(saw("show 设备名称过长\n")) << transcript();
    const std::u16string enu = u16(dir_ + "Languages/language_enu.ini");
    ASSERT_EQ(0u, fn<uint32_t (*)(const QXUI_CHAR*)>("QXUIEx_SetSysLangPath")(ui_text(enu)));

    // Sixteen characters fill the record's label field exactly.
    const std::string sixteen = "sixteen-chars-ok";
    script("24680a\n13579b\n" + sixteen + "\n");
    ASSERT_EQ(0u, init(h_, label)) << transcript();
    EXPECT_EQ(u16(sixteen), std::u16string(reinterpret_cast<const char16_t*>(label)));
    EXPECT_EQ(0u, verify_user("24680a"));
    EXPECT_EQ(stored(u16(sixteen)).substr(0, 24), label_bytes().substr(0, 24));
}

TEST_F(DeviceDialogs, SkippedRulesStillKeepPinsWithinTheTokensLengths) {
    start("", "MaxPinLen = 16\r\nMinPinLen = 6\r\nRequireDigit = 1\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\n"
              "RequireComplex = 1\r\n");
    QXUI_CHAR user[QXUI_TEXT_UNITS] = {}, so[QXUI_TEXT_UNITS] = {}, label[QXUI_TEXT_UNITS] = {},
              message[QXUI_TEXT_UNITS] = {};
    auto set = [](QXUI_CHAR* b, const std::u16string& s) {
        std::fill(b, b + QXUI_TEXT_UNITS, QXUI_CHAR(0));
        std::copy(s.begin(), s.end(), b);
    };
    // The policy refuses "aa" (too short, no digit, not complex) ...
    set(user, u"aa"), set(so, u"bbbbbbbb"), set(label, u"L");
    EXPECT_EQ(0xFFFFFFFFu, InitTokenCallback(h_, user, so, label, message, 0));
    EXPECT_EQ(0u, verify_user());
    EXPECT_EQ(u"", std::u16string(reinterpret_cast<const char16_t*>(user))) << "PIN wiped";
    // ... which the skip flag lets through to the token,
    set(user, u"aa"), set(so, u"bbbbbbbb"), set(label, u"L");
    EXPECT_EQ(0u, InitTokenCallback(h_, user, so, label, message, 1));
    EXPECT_EQ(0u, verify_user("aa"));
    // but never a PIN the token's VERIFY would refuse.
    set(user, u"a"), set(so, u"bbbbbbbb"), set(label, u"L");
    message[0] = 0;
    EXPECT_EQ(0xFFFFFFFFu, InitTokenCallback(h_, user, so, label, message, 1));
    EXPECT_EQ(u"A PIN takes 2 to 128 bytes.", std::u16string(reinterpret_cast<const char16_t*>(message)));
    EXPECT_EQ(0u, verify_user("aa"));
}

// A token that wants its button pressed for the initialisation: the wait
// dialog's result is the result.
uint32_t g_waitResult = 0;
int g_waits = 0;
uint32_t QXTOKEN_CALL init_wants_button(DeviceHandle, const char*, uint32_t, const char*, uint32_t, const uint8_t*,
                                        uint32_t) {
    return ERR_TRANSACTION_D10D;
}
uint32_t QXUI_CALL wait_answers(QXUI_PollCallback, DeviceHandle, KeyHandle, uint32_t, uint8_t*, uint32_t*, uint32_t,
                                const QXUI_CHAR*) {
    ++g_waits;
    return g_waitResult;
}

TEST_F(DeviceDialogs, InitialisationWaitsForTheButtonWhenTheTokenAsks) {
    start();
    frame().kernel.initToken = &init_wants_button;
    frame().ui.waitKeyPressEvent = &wait_answers;
    for (uint32_t result : {0u, static_cast<uint32_t>(ERR_TRANSACTION_D104)}) {
        SCOPED_TRACE(result);
        g_waitResult = result;
        g_waits = 0;
        QXUI_CHAR user[QXUI_TEXT_UNITS] = {'1', '2', '3', '4', '5', '6'}, so[QXUI_TEXT_UNITS] = {'8', '7', '6', '5'},
                  label[QXUI_TEXT_UNITS] = {'L'}, message[QXUI_TEXT_UNITS] = {};
        EXPECT_EQ(result, InitTokenCallback(h_, user, so, label, message, 0));
        EXPECT_EQ(1, g_waits);
        EXPECT_EQ(result ? u"The token cannot be initialised." : u"",
                  std::u16string(reinterpret_cast<const char16_t*>(message)));
    }
}

TEST_F(DeviceDialogs, KeyPairBehindTheProgressDialog) {
    start();
    ASSERT_EQ(0u, verify_user());
    KeyHandle key = nullptr;
    script("");
    EXPECT_EQ(0u, fn<GenOp>("QXUIEx_GenKeyPair")(h_, 0x20000, 1024, 1, 0, &key)) << transcript();
    EXPECT_NE(nullptr, key);
    EXPECT_TRUE(saw("show Generating the key pair, please wait")) << transcript();
    uint32_t slot = 0;
    EXPECT_EQ(0u, k<PFN_QXToken_GetKeyValue>("QXToken_GetAsymKeyIndex")(key, &slot));
    EXPECT_GE(slot, 1u);
    k<PFN_QXToken_CloseKey>("QXToken_CloseKey")(key);
    EXPECT_EQ(ERR_INVALID_PARAM, fn<GenOp>("QXUIEx_GenKeyPair")(h_, 0x20000, 1024, 1, 0, nullptr));
    EXPECT_EQ(ERR_INVALID_PARAM, fn<GenOp>("QXUIEx_GenKeyPair")(nullptr, 0x20000, 1024, 1, 0, &key));
}

}  // namespace
}  // namespace qx::uiext::test
