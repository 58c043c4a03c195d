// The dialogs of QXUI through the scripted library (what they ask, show and
// return, where call-backs run, messages sent to the window), and the
// terminal library without a terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "QXTokenStatus.h"
#include "QXUI.h"
#include "qx/platform/console.h"
#include "qx/platform/module.h"
#include "qx/platform/ui_shared.h"
#include "tests/support/qx_test_main.h"

namespace {

using SetScript = void (*)(const char*);
using Transcript = uint32_t (*)(char*, uint32_t*);

std::string bin_dir() { return qx::platform::directory_of(qx::test::self_path()); }

const std::u16string& enu() {
    static const std::u16string path = [] {
        const std::string p = std::string(QX_LANGUAGE_SOURCE_DIR) + "/language_enu.ini";
        return std::u16string(p.begin(), p.end());
    }();
    return path;
}
const QXUI_CHAR* lang() { return reinterpret_cast<const QXUI_CHAR*>(enu().c_str()); }

struct Scripted {
    qx::platform::Module m{bin_dir() + "scripted-ui/" + qx::platform::module_file_name("QXUI")};
    template <typename F>
    F fn(const char* name) {
        return m.function<F>(name);
    }
    void script(const char* s) { fn<SetScript>("QXUIScript_Set")(s); }
    std::string transcript() {
        auto t = fn<Transcript>("QXUIScript_Transcript");
        uint32_t n = 0;
        t(nullptr, &n);
        std::string out(n, '\0');
        t(out.data(), &n);
        out.resize(n - 1);
        return out;
    }
};

// A verify call-back that fails with "bad PIN" until it sees "good".
std::thread::id g_callbackThread;
std::u16string g_seen;
uint32_t QXUI_CALL verify_cb(DeviceHandle, uint32_t, QXUI_CHAR* pin, QXUI_CHAR* message) {
    g_callbackThread = std::this_thread::get_id();
    g_seen.assign(reinterpret_cast<const char16_t*>(pin));
    if (g_seen == u"good") return 0;
    const std::u16string text = u"bad PIN";
    std::copy(text.begin(), text.end(), message);
    return ERR_PIN_INCORRECT;
}

TEST(QxuiScripted, VerifyAsksAgainAfterAFailureUntilCancelled) {
    Scripted ui;
    ASSERT_TRUE(ui.m);
    auto verify = ui.fn<PFN_QXUI_VerifyPin>("QXUI_VerifyPin");
    struct Case {
        const char* script;
        uint32_t status;
        const char* transcript;
    };
    const Case cases[] = {
        {"", QXUI_CANCELLED, "ask Verify PIN: User PIN:\n"},
        {"good\n", 0, "ask Verify PIN: User PIN:\n"},
        {"one\ngood\n", 0, "ask Verify PIN: User PIN:\nshow bad PIN\nask Verify PIN: User PIN:\n"},
        {"one\n<cancel>\n", ERR_PIN_INCORRECT, "ask Verify PIN: User PIN:\nshow bad PIN\nask Verify PIN: User PIN:\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        ui.script(c.script);
        EXPECT_EQ(c.status, verify(&verify_cb, nullptr, 1, 1, lang()));
        EXPECT_EQ(c.transcript, ui.transcript());
    }
    EXPECT_NE(std::this_thread::get_id(), g_callbackThread) << "call-backs run on a worker thread";
    EXPECT_EQ(ERR_INVALID_PARAM, verify(nullptr, nullptr, 1, 1, lang()));
    EXPECT_EQ(ERR_INVALID_PARAM, verify(&verify_cb, nullptr, 1, 1, nullptr));
}

std::u16string g_old, g_new, g_repeat;
uint32_t QXUI_CALL change_cb(DeviceHandle, uint32_t, QXUI_CHAR* o, QXUI_CHAR* n, QXUI_CHAR* r, QXUI_CHAR*) {
    g_old.assign(reinterpret_cast<const char16_t*>(o));
    g_new.assign(reinterpret_cast<const char16_t*>(n));
    g_repeat.assign(reinterpret_cast<const char16_t*>(r));
    return 0;
}

TEST(QxuiScripted, ChangeAsksOldNewAndRepeatedInOrder) {
    Scripted ui;
    ui.script("old1\nnew2\nnew3\n");
    EXPECT_EQ(0u, ui.fn<PFN_QXUI_ChangePin>("QXUI_ChangePin")(&change_cb, nullptr, 1, 1, 2, lang()));
    EXPECT_EQ(u"old1", g_old);
    EXPECT_EQ(u"new2", g_new);
    EXPECT_EQ(u"new3", g_repeat);
    EXPECT_EQ("ask Change PIN: Current PIN:\nask Change PIN: New PIN:\nask Change PIN: Repeat the new PIN:\n",
              ui.transcript());
}

TEST(QxuiScripted, ChoicesAndConfirmations) {
    Scripted ui;
    QXUI_DeviceEntry entries[2] = {};
    std::memcpy(entries[0].bytes, "Token A", 7);
    std::memcpy(entries[1].bytes, "Token B", 7);
    auto select = ui.fn<PFN_QXUI_SelectDevice>("QXUI_SelectDevice");
    struct Case {
        const char* script;
        uint32_t status;
        uint32_t index;
    };
    const Case cases[] = {{"2\n", 0, 1}, {"1\n", 0, 0}, {"3\n", QXUI_CANCELLED, 99}, {"", QXUI_CANCELLED, 99}};
    for (const auto& c : cases) {
        uint32_t index = 99;
        ui.script(c.script);
        EXPECT_EQ(c.status, select(entries, 2, &index, 1, lang()));
        EXPECT_EQ(c.index, index);
    }
    EXPECT_EQ("choose Select a token: Token A|Token B\n", ui.transcript());
    EXPECT_EQ(ERR_INVALID_PARAM, select(entries, 0, nullptr, 1, lang()));

    auto box = ui.fn<PFN_QXUI_MessageBox>("QXUI_MessageBox");
    const std::u16string text = u"Replace?", caption = u"Notice";
    ui.script("yes\nno\n");
    EXPECT_EQ(QXUI_CONFIRMED, box(reinterpret_cast<const QXUI_CHAR*>(text.c_str()),
                                  reinterpret_cast<const QXUI_CHAR*>(caption.c_str()), 1, 1, lang()));
    EXPECT_NE(QXUI_CONFIRMED, box(reinterpret_cast<const QXUI_CHAR*>(text.c_str()),
                                  reinterpret_cast<const QXUI_CHAR*>(caption.c_str()), 1, 1, lang()));
    EXPECT_EQ(QXUI_CANCELLED, ui.fn<PFN_QXUI_ShowKeyBoard>("QXUI_ShowKeyBoard")(nullptr, 1, lang()));
}

uint32_t QXUI_CALL poll_cb(DeviceHandle, KeyHandle, QXUI_DialogContext* context, uint8_t*, uint32_t*) {
    uint32_t piece = 3;
    qx::platform::send_dialog_message(context->window, QXUI_MSG_WAIT_BUTTON, 1, 0);
    qx::platform::send_dialog_message(context->window, QXUI_MSG_PIECE_SENT, 0, reinterpret_cast<intptr_t>(&piece));
    return 0x7003;
}

TEST(QxuiScripted, MessagesSentToTheWaitDialogAreShown) {
    Scripted ui;
    ui.script("");
    EXPECT_EQ(0x7003u, ui.fn<PFN_QXUI_WaitKeyPressEvent>("QXUI_WaitKeyPressEvent")(&poll_cb, nullptr, nullptr, 2,
                                                                                 nullptr, nullptr, 1, lang()));
    EXPECT_EQ("show Confirm on the token\nshow Press the button on your UKey to confirm.\nshow piece 3\n",
              ui.transcript());
}

TEST(QxuiTerminal, WithoutATerminalEveryDialogIsCancelled) {
#ifdef QX_QXUI_WINDOWS_DIALOGS
    GTEST_SKIP() << "the Windows library shows real dialogs (qxui_win32_test)";
#endif
    if (qx::platform::stdin_is_terminal()) GTEST_SKIP() << "standard input is a terminal";
    qx::platform::Module ui(bin_dir() + qx::platform::module_file_name("QXUI"));
    ASSERT_TRUE(ui);
    EXPECT_EQ(QXUI_CANCELLED, ui.function<PFN_QXUI_VerifyPin>("QXUI_VerifyPin")(&verify_cb, nullptr, 1, 1, lang()));
    EXPECT_EQ(QXUI_CANCELLED, ui.function<PFN_QXUI_WaitKeyPressEvent>("QXUI_WaitKeyPressEvent")(
                                  &poll_cb, nullptr, nullptr, 1, nullptr, nullptr, 1, lang()));
    const std::u16string text = u"t";
    EXPECT_EQ(QXUI_CANCELLED, ui.function<PFN_QXUI_MessageBox>("QXUI_MessageBox")(
                                  reinterpret_cast<const QXUI_CHAR*>(text.c_str()), nullptr, 1, 1, lang()));
}

}  // namespace
