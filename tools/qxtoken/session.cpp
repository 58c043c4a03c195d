#include "session.h"

#include <algorithm>

#include "QXTokenStatus.h"

namespace qx::qxtoken {

void check(uint32_t rc, const std::string& what) {
    if (rc != ERR_OK) throw Failure{what + " failed: " + describe_status(rc)};
}

WipedText::~WipedText() {
    volatile char* p = text.data();
    for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
}

bool Words::flag(const std::string& name) {
    auto it = std::find(words.begin(), words.end(), name);
    if (it == words.end()) return false;
    words.erase(it);
    return true;
}

bool Words::has(const std::string& name) const {
    return std::find(words.begin(), words.end(), name) != words.end();
}

std::optional<std::string> Words::option(const std::string& name) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] != name) continue;
        if (i + 1 >= words.size()) throw UsageError{name + " needs a value"};
        std::string v = words[i + 1];
        words.erase(words.begin() + long(i), words.begin() + long(i) + 2);
        return v;
    }
    return std::nullopt;
}

bool Words::option(const std::string& name, std::string& value) {
    auto v = option(name);
    if (!v) return false;
    value = std::move(*v);
    return true;
}

std::string Words::option_or(const std::string& name, const std::string& otherwise) {
    auto v = option(name);
    return v ? std::move(*v) : otherwise;
}

std::string Words::required(const std::string& name) {
    auto v = option(name);
    if (!v) throw UsageError{"missing " + name};
    return std::move(*v);
}

std::string Words::take(const char* what) {
    if (words.empty()) throw UsageError{std::string("missing ") + what};
    std::string w = words.front();
    words.erase(words.begin());
    return w;
}

std::string Words::take_positional(const char* what) {
    if (!words.empty() && words.front().rfind("--", 0) == 0) throw UsageError{std::string("missing ") + what};
    return take(what);
}

void Words::done() const {
    if (!words.empty()) throw UsageError{"unexpected argument '" + words.front() + "'"};
}

void verify_user_pin(KernelApi& k, Io& io, DeviceHandle h, const std::string* given) {
    WipedText pin;
    if (given) {
        pin.text = *given;
    } else if (!io.askSecret || !io.askSecret("User PIN: ", pin.text)) {
        throw Failure{"no User PIN given"};
    }
    check(k.verifyPin(h, QXTOKEN_PIN_USER, pin.text.data(), static_cast<uint32_t>(pin.text.size())),
          "verifying the user PIN");
}

void for_each_container(KernelApi& k, DeviceHandle h,
                        const std::function<void(ContainerHandle, const std::string&)>& visit) {
    uint32_t position = 0;
    ContainerHandle c = nullptr;
    for (;;) {
        const uint32_t rc = k.enumContainer(h, 0xFFFFFFFF, &position, &c);
        if (rc == ERR_NO_CONTAINER) break;
        check(rc, "listing the containers");
        char name[260] = {};
        uint32_t length = sizeof name;
        check(k.containerName(c, name, &length), "reading a container's name");
        visit(c, std::string(name, length > 0 ? length - 1 : 0));
    }
}

OpenContainer::OpenContainer(KernelApi& kernel, DeviceHandle h, const std::string& name) : k(kernel) {
    check(k.openContainer(h, name.c_str(), &handle), "opening container '" + name + "'");
}

OpenContainer::~OpenContainer() {
    if (handle) k.closeContainer(handle);
}

Key::~Key() {
    if (handle) k.closeKey(handle);
}

}  // namespace qx::qxtoken
