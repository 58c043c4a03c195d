// Child processes (used by tools and by the multi-process tests).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qx::platform {

class ChildProcess {
public:
    // Starts `argv[0]` with the arguments argv[1..]; null on failure.
    static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits for the exit and returns the exit code (-1 when it could not be had).
    int wait();
    // Waits at most `milliseconds`; true when it has exited.
    bool wait_for(uint32_t milliseconds, int* exit_code);
    // Ends the process at once, as a crash would.
    void kill();
    uint32_t pid() const;

    struct Impl;

private:
    explicit ChildProcess(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qx::platform
