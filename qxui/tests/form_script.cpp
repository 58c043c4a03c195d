// The scripted form of the test-only QXUI library: it answers from a script
// the test sets and keeps a transcript of everything the dialogs showed and
// asked.  The library carries the file name of the real one and lives in a
// test directory only; it is never shipped.
//
// Script: one answer per line, taken in order by whatever dialog asks next:
// the text typed (PINs, labels, passwords), the 1-based number of a choice,
// "yes"/"no" for a confirmation, "<cancel>" to cancel.  An empty script
// cancels.  Transcript: one line per event, "ask <title>: <prompt>",
// "choose <title>: a|b", "confirm <caption>: <text>", "show <line>".
//
// A test that starts another program using this library sets the script
// through the environment instead: QXUI_SCRIPT_FILE names a file in the same
// format, read once when the library is first used; QXUI_TRANSCRIPT_FILE
// names a file the transcript is appended to, one event at a time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "QXUI.h"
#include "form.h"
#include "script_window.h"
#include "qx/platform/export.h"
#include "qx/platform/text.h"

namespace qx::qxui {
namespace {

std::string utf8(const Text& t) {
    std::string s;
    return platform::utf16_to_utf8(t, &s) ? s : std::string("?");
}

class ScriptForm final : public Form {
public:
    void set(const std::string& script) {
        std::lock_guard<std::mutex> lock(m_);
        lines_.clear();
        transcript_.clear();
        std::size_t start = 0;
        while (start < script.size()) {
            std::size_t end = script.find('\n', start);
            if (end == std::string::npos) end = script.size();
            lines_.push_back(script.substr(start, end - start));
            start = end + 1;
        }
    }
    std::string transcript() {
        std::lock_guard<std::mutex> lock(m_);
        return transcript_;
    }
    std::size_t left() {
        std::lock_guard<std::mutex> lock(m_);
        return lines_.size();
    }

    // The script and transcript files named in the environment, if any.
    void load_from_environment() {
        const char* transcriptFile = std::getenv("QXUI_TRANSCRIPT_FILE");
        if (transcriptFile && *transcriptFile) transcriptFile_ = transcriptFile;
        const char* scriptFile = std::getenv("QXUI_SCRIPT_FILE");
        if (!scriptFile || !*scriptFile) return;
        std::FILE* f = std::fopen(scriptFile, "rb");
        if (!f) return;
        std::string script;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) script.append(buffer, n);
        std::fclose(f);
        // Files written on Windows end their lines with CR LF.
        std::string plain;
        for (char c : script)
            if (c != '\r') plain += c;
        set(plain);
    }

    bool available() override { return true; }

    bool ask(const Text& title, const Text& prompt, bool, Text* answer) override {
        std::string line;
        if (!next("ask " + utf8(title) + ": " + utf8(prompt), &line)) return false;
        return platform::utf8_to_utf16(line, answer);
    }
    bool choose(const Text& title, const std::vector<Text>& options, uint32_t* index) override {
        std::string all;
        for (const auto& o : options) all += (all.empty() ? "" : "|") + utf8(o);
        std::string line;
        if (!next("choose " + utf8(title) + ": " + all, &line)) return false;
        const unsigned long n = std::strtoul(line.c_str(), nullptr, 10);
        if (n == 0 || n > options.size()) return false;
        *index = static_cast<uint32_t>(n - 1);
        return true;
    }
    bool confirm(const Text& caption, const Text& text) override {
        std::string line;
        return next("confirm " + utf8(caption) + ": " + utf8(text), &line) && line == "yes";
    }
    void show(const Text& line) override {
        std::lock_guard<std::mutex> lock(m_);
        record("show " + utf8(line) + "\n");
    }
    void countdown(int64_t) override {}
    void* window() override { return script_window(); }

private:
    bool next(const std::string& event, std::string* line) {
        std::lock_guard<std::mutex> lock(m_);
        record(event + "\n");
        if (lines_.empty() || lines_.front() == "<cancel>") {
            if (!lines_.empty()) lines_.pop_front();
            return false;
        }
        *line = lines_.front();
        lines_.pop_front();
        return true;
    }

    // Called with m_ held.
    void record(const std::string& event) {
        transcript_ += event;
        if (transcriptFile_.empty()) return;
        if (std::FILE* f = std::fopen(transcriptFile_.c_str(), "ab")) {
            std::fwrite(event.data(), 1, event.size(), f);
            std::fclose(f);
        }
    }

    std::mutex m_;
    std::deque<std::string> lines_;
    std::string transcript_;
    std::string transcriptFile_;
};

ScriptForm& script_form() {
    static ScriptForm f;
    static const bool loaded = (f.load_from_environment(), true);
    (void)loaded;
    return f;
}

}  // namespace

Form& form() { return script_form(); }

}  // namespace qx::qxui

// Sets the script (UTF-8 lines) and clears the transcript.
QX_EXPORT void QXUIScript_Set(const char* script) { qx::qxui::script_form().set(script ? script : ""); }

// The transcript so far (UTF-8): a null buffer asks for the length (with the
// terminator); a short one gets 0x5.
QX_EXPORT uint32_t QXUIScript_Transcript(char* buffer, uint32_t* length) {
    if (!length) return 0x13;
    const std::string t = qx::qxui::script_form().transcript();
    const uint32_t need = static_cast<uint32_t>(t.size() + 1);
    if (!buffer) {
        *length = need;
        return 0;
    }
    if (*length < need) {
        *length = need;
        return 0x5;
    }
    std::memcpy(buffer, t.c_str(), need);
    *length = need;
    return 0;
}

// The window the dialogs hand to call-backs (messages sent to it are shown).
QX_EXPORT void* QXUIScript_Window() { return qx::qxui::script_window(); }

// Script lines not used yet.
QX_EXPORT uint32_t QXUIScript_Left() { return static_cast<uint32_t>(qx::qxui::script_form().left()); }
