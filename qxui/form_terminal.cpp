// The terminal form: dialogs on the controlling terminal.  PINs are read
// without echo through the platform console; choices are numbered; waits
// show a countdown.  Without a terminal every dialog answers cancelled.
// An empty line or the end of input cancels.
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "QXUI.h"
#include "form.h"
#include "qx/platform/console.h"
#include "qx/platform/text.h"

namespace qx::qxui {
namespace {

std::string utf8(const Text& t) {
    std::string s;
    return platform::utf16_to_utf8(t, &s) ? s : std::string("?");
}

intptr_t send_to_dialog(QXUI_Window*, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return on_message(message, wParam, lParam);
}

class TerminalForm final : public Form {
public:
    bool available() override { return platform::stdin_is_terminal(); }

    bool ask(const Text& title, const Text& prompt, bool secret, Text* answer) override {
        std::lock_guard<std::mutex> lock(console_);
        std::string line;
        bool ok;
        if (secret) {
            ok = platform::read_secret_line(utf8(title) + " - " + utf8(prompt) + " ", line);
            std::fputc('\n', stderr);
        } else {
            std::fprintf(stderr, "%s - %s ", utf8(title).c_str(), utf8(prompt).c_str());
            ok = static_cast<bool>(std::getline(std::cin, line));
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const bool given = ok && !line.empty() && platform::from_system_text(line, answer) == 0;
        volatile char* v = line.data();
        for (std::size_t i = 0; i < line.size(); ++i) v[i] = 0;
        return given;
    }

    bool choose(const Text& title, const std::vector<Text>& options, uint32_t* index) override {
        std::lock_guard<std::mutex> lock(console_);
        std::fprintf(stderr, "%s\n", utf8(title).c_str());
        for (std::size_t i = 0; i < options.size(); ++i)
            std::fprintf(stderr, "  %zu. %s\n", i + 1, utf8(options[i]).c_str());
        std::fprintf(stderr, "> ");
        std::string line;
        if (!std::getline(std::cin, line)) return false;
        try {
            std::size_t used = 0;
            const unsigned long n = std::stoul(line, &used);
            if (n == 0 || n > options.size()) return false;
            *index = static_cast<uint32_t>(n - 1);
            return true;
        } catch (...) {
            return false;
        }
    }

    bool confirm(const Text& caption, const Text& text) override {
        std::lock_guard<std::mutex> lock(console_);
        std::fprintf(stderr, "%s\n%s [y/N] ", utf8(caption).c_str(), utf8(text).c_str());
        std::string line;
        return std::getline(std::cin, line) && !line.empty() && (line[0] == 'y' || line[0] == 'Y');
    }

    void show(const Text& line) override { std::fprintf(stderr, "%s\n", utf8(line).c_str()); }

    void countdown(int64_t secondsLeft) override {
        std::fprintf(stderr, "\r%lld s ", static_cast<long long>(secondsLeft));
        if (secondsLeft <= 1) std::fputc('\n', stderr);
    }

    void* window() override { return &window_; }

private:
    std::mutex console_;
    QXUI_Window window_{&send_to_dialog};
};

}  // namespace

Form& form() {
    static TerminalForm f;
    return f;
}

}  // namespace qx::qxui
