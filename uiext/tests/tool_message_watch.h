// Watches for the key manager tool's registered message as another top-level
// window of the system would see it (POSIX: the debugger line the broadcast
// writes to the file QX_DEBUG_OUTPUT names).
#pragma once

#include <memory>
#include <string>

namespace qx::uiext::test {

class ToolMessageWatch {
public:
    // Starts watching for `name`; set up before the library that posts loads.
    static std::unique_ptr<ToolMessageWatch> start(const std::string& name, const std::string& scratchDirectory);
    virtual ~ToolMessageWatch() = default;
    // How often the message arrived so far; posted messages are waited for
    // until `expected` have come or five seconds have passed.
    virtual int seen(int expected) = 0;
};

}  // namespace qx::uiext::test
