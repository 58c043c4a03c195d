#include "qx/platform/process.h"

#include <windows.h>

namespace qx::platform {

struct ChildProcess::Impl {
    PROCESS_INFORMATION pi{};
    bool done = false;
    int code = -1;
};

namespace {

// Quotes one argument the way the C runtime splits a command line.
std::string quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
            out += '"';
            backslashes = 0;
        } else {
            out.append(backslashes, '\\');
            out += c;
            backslashes = 0;
        }
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv) {
    if (argv.empty()) return nullptr;
    std::string cmd;
    for (const auto& a : argv) {
        if (!cmd.empty()) cmd += ' ';
        cmd += quote(a);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    auto impl = std::make_unique<Impl>();
    if (!CreateProcessA(argv[0].c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &impl->pi))
        return nullptr;
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChildProcess::~ChildProcess() {
    if (!impl_->done) {
        kill();
        wait();
    }
    CloseHandle(impl_->pi.hThread);
    CloseHandle(impl_->pi.hProcess);
}

bool ChildProcess::wait_for(uint32_t milliseconds, int* exit_code) {
    if (!impl_->done) {
        DWORD rc = WaitForSingleObject(impl_->pi.hProcess, milliseconds);
        if (rc == WAIT_TIMEOUT) return false;
        DWORD code = 0;
        impl_->code = (rc == WAIT_OBJECT_0 && GetExitCodeProcess(impl_->pi.hProcess, &code)) ? static_cast<int>(code)
                                                                                              : -1;
        impl_->done = true;
    }
    if (exit_code) *exit_code = impl_->code;
    return true;
}

int ChildProcess::wait() {
    int code = -1;
    wait_for(INFINITE, &code);
    return code;
}

void ChildProcess::kill() {
    if (!impl_->done) TerminateProcess(impl_->pi.hProcess, 137);
}

uint32_t ChildProcess::pid() const { return impl_->pi.dwProcessId; }

}  // namespace qx::platform
