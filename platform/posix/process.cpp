#include "qx/platform/process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "qx/platform/system.h"

namespace qx::platform {

struct ChildProcess::Impl {
    pid_t pid = -1;
    bool reaped = false;
    int code = -1;
};

namespace {
int decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}
}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv) {
    if (argv.empty()) return nullptr;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        execv(args[0], args.data());
        _exit(127);
    }
    auto impl = std::make_unique<Impl>();
    impl->pid = pid;
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChildProcess::~ChildProcess() {
    if (!impl_->reaped) {
        kill();
        wait();
    }
}

int ChildProcess::wait() {
    if (impl_->reaped) return impl_->code;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(impl_->pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    impl_->reaped = true;
    impl_->code = r == impl_->pid ? decode(status) : -1;
    return impl_->code;
}

bool ChildProcess::wait_for(uint32_t milliseconds, int* exit_code) {
    const uint64_t deadline = tick_ms() + milliseconds;
    while (!impl_->reaped) {
        int status = 0;
        pid_t r = waitpid(impl_->pid, &status, WNOHANG);
        if (r == impl_->pid) {
            impl_->reaped = true;
            impl_->code = decode(status);
            break;
        }
        if (r < 0 && errno != EINTR) {
            impl_->reaped = true;
            impl_->code = -1;
            break;
        }
        if (tick_ms() >= deadline) return false;
        sleep_ms(5);
    }
    if (exit_code) *exit_code = impl_->code;
    return true;
}

void ChildProcess::kill() {
    if (!impl_->reaped) ::kill(impl_->pid, SIGKILL);
}

uint32_t ChildProcess::pid() const { return static_cast<uint32_t>(impl_->pid); }

}  // namespace qx::platform
