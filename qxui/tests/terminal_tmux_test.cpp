// The terminal dialogs on a real terminal: a child process of this test runs
// QXUI's verify dialog and device choice inside a private tmux server; the
// test types into the pane (send-keys) and reads what the pane shows
// (capture-pane).  PINs must never appear on the screen.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "QXTokenStatus.h"
#include "QXUI.h"
#include "qx/platform/module.h"
#include "tests/support/qx_test_main.h"

namespace {

const std::u16string& enu() {
    static const std::u16string path = [] {
        const std::string p = std::string(QX_LANGUAGE_SOURCE_DIR) + "/language_enu.ini";
        return std::u16string(p.begin(), p.end());
    }();
    return path;
}

int g_attempt = 0;
bool g_pinSeen = false;
uint32_t verify_cb(DeviceHandle, uint32_t, QXUI_CHAR* pin, QXUI_CHAR* message) {
    const std::u16string given(pin);
    if (++g_attempt == 1) {
        const std::u16string text = u"Wrong PIN: 2 tries left.";
        std::copy(text.begin(), text.end(), message);
        return ERR_PIN_INCORRECT;
    }
    g_pinSeen = given == u"s3cret-PIN";
    return 0;
}

// The child: the dialogs on its terminal, the outcome into the file args[0].
QX_TEST_CHILD(terminal_dialogs) {
    qx::platform::Module ui(qx::platform::directory_of(qx::test::self_path()) + qx::platform::module_file_name("QXUI"));
    if (!ui) return 2;
    const auto* lang = reinterpret_cast<const QXUI_CHAR*>(enu().c_str());
    const uint32_t verified = ui.function<PFN_QXUI_VerifyPin>("QXUI_VerifyPin")(&verify_cb, nullptr, 1, 1, lang);
    QXUI_DeviceEntry entries[3] = {};
    for (int i = 0; i < 3; ++i) {
        const std::string label = std::string("Token ") + char('A' + i);
        std::copy(label.begin(), label.end(), entries[i].bytes);
    }
    uint32_t index = 99;
    const uint32_t chosen = ui.function<PFN_QXUI_SelectDevice>("QXUI_SelectDevice")(entries, 3, &index, 1, lang);
    std::ofstream(args.at(0)) << "verify=" << verified << " attempts=" << g_attempt << " pin=" << (g_pinSeen ? "ok" : "bad")
                              << " choose=" << chosen << " index=" << index << "\n";
    return 0;
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Tmux {
public:
    Tmux() : socket_("qxui-test-" + std::to_string(getpid())) {}
    ~Tmux() { run(tmux("kill-server") + " 2>/dev/null"); }
    // A private server (its own socket), also when the tests run inside tmux.
    std::string tmux(const std::string& args) const { return "env -u TMUX tmux -L " + socket_ + " " + args; }
    bool start(const std::string& command) const {
        return std::system((tmux("new-session -d -s dialogs -x 120 -y 40 ") + quoted(command)).c_str()) == 0;
    }
    std::string screen() const { return run(tmux("capture-pane -p -S -100 -t dialogs") + " 2>/dev/null"); }
    bool keys(const std::string& text) const {
        return std::system((tmux("send-keys -t dialogs -l ") + quoted(text)).c_str()) == 0 &&
               std::system(tmux("send-keys -t dialogs Enter").c_str()) == 0;
    }
    // Waits until the pane shows `text`; everything seen goes into `seen`.
    bool shows(const std::string& text, std::string* seen) const {
        for (int i = 0; i < 200; ++i) {
            const std::string s = screen();
            *seen += s;
            if (s.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

private:
    std::string socket_;
};

TEST(QxuiTerminalTmux, PinsAreNotEchoedAndChoicesAreNumbered) {
    if (std::system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qxui-tmux-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    qx::test::remove_tree_at_exit(dir.string());
    const std::string result = (dir / "result.txt").string();

    std::string command;
    for (const std::string& part : qx::test::child_command("terminal_dialogs", {result})) command += quoted(part) + " ";
    // The pane stays a moment after the child so that its last lines can be read.
    command += "; sleep 3";
    Tmux t;
    ASSERT_TRUE(t.start(command));
    std::string seen;
    ASSERT_TRUE(t.shows("Verify PIN - User PIN:", &seen)) << seen;
    ASSERT_TRUE(t.keys("wrong-111"));
    EXPECT_TRUE(t.shows("Wrong PIN: 2 tries left.", &seen)) << seen;
    ASSERT_TRUE(t.keys("s3cret-PIN"));
    ASSERT_TRUE(t.shows("3. Token C", &seen)) << seen;
    EXPECT_NE(std::string::npos, seen.find("Select a token\n  1. Token A\n  2. Token B\n")) << seen;
    ASSERT_TRUE(t.keys("2"));
    for (int i = 0; i < 200 && !std::filesystem::exists(result); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seen += t.screen();
    std::ifstream in(result);
    std::stringstream outcome;
    outcome << in.rdbuf();
    EXPECT_EQ("verify=0 attempts=2 pin=ok choose=0 index=1\n", outcome.str());
    EXPECT_EQ(std::string::npos, seen.find("wrong-111")) << "a PIN was echoed:\n" << seen;
    EXPECT_EQ(std::string::npos, seen.find("s3cret")) << "a PIN was echoed:\n" << seen;
}

}  // namespace
