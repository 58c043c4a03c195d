#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tool_message_watch.h"

namespace qx::uiext::test {
namespace {

class DebugLineWatch final : public ToolMessageWatch {
public:
    DebugLineWatch(std::string line, std::string file) : line_(std::move(line)), file_(std::move(file)) {}
    int seen(int) override {  // the line is written before the export returns
        std::ifstream in(file_);
        std::stringstream s;
        s << in.rdbuf();
        const std::string text = s.str();
        int n = 0;
        for (auto at = text.find(line_); at != std::string::npos; at = text.find(line_, at + 1)) ++n;
        return n;
    }

private:
    std::string line_, file_;
};

}  // namespace

std::unique_ptr<ToolMessageWatch> ToolMessageWatch::start(const std::string& name, const std::string& scratch) {
    const std::string file = scratch + "debug-output.txt";
    setenv("QX_DEBUG_OUTPUT", file.c_str(), 1);
    return std::make_unique<DebugLineWatch>("[ QXUIExtend ] broadcast " + name + " (0, 0)\n", file);
}

}  // namespace qx::uiext::test
