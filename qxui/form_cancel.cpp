// The Windows form of this build: no dialog is drawn, so every dialog
// answers cancelled (0x800704C7) and no call-back runs.
#include "form.h"

namespace qx::qxui {
namespace {

class CancellingForm final : public Form {
public:
    bool available() override { return false; }
    bool ask(const Text&, const Text&, bool, Text*) override { return false; }
    bool choose(const Text&, const std::vector<Text>&, uint32_t*) override { return false; }
    bool confirm(const Text&, const Text&) override { return false; }
    void show(const Text&) override {}
    void countdown(int64_t) override {}
    void* window() override { return nullptr; }
};

}  // namespace

Form& form() {
    static CancellingForm f;
    return f;
}

}  // namespace qx::qxui
