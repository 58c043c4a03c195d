// What the qxtoken commands share: reading the words of a command, reporting
// a kernel failure by name, verifying the user PIN and holding the kernel's
// containers and keys open for as long as a command needs them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"

namespace qx::qxtoken {

// Throws a Failure naming `what` and the kernel status unless `rc` is ERR_OK.
void check(uint32_t rc, const std::string& what);

// Text that is wiped when it goes (PINs).
struct WipedText {
    std::string text;
    ~WipedText();
};

// The words after the command: positional words and --name [value] options.
struct Words {
    std::vector<std::string> words;
    // Removes the option `name`; true when it was there.
    bool flag(const std::string& name);
    bool has(const std::string& name) const;
    // Removes `name` and its value; nullopt when it is absent.
    std::optional<std::string> option(const std::string& name);
    bool option(const std::string& name, std::string& value);
    std::string option_or(const std::string& name, const std::string& otherwise);
    std::string required(const std::string& name);
    // The next word, whatever it is.
    std::string take(const char* what);
    // The next word, which may not be an option.
    std::string take_positional(const char* what);
    void done() const;
};

// Verifies the user PIN for this session: `given` (the --pin value) or, when
// it is null, the one the person types.
void verify_user_pin(KernelApi& k, Io& io, DeviceHandle h, const std::string* given);

// Calls `visit` with each container of the token and its name, in the
// token's order.
void for_each_container(KernelApi& k, DeviceHandle h,
                        const std::function<void(ContainerHandle, const std::string&)>& visit);

// A container opened by name, closed on every path.
struct OpenContainer {
    OpenContainer(KernelApi& kernel, DeviceHandle h, const std::string& name);
    ~OpenContainer();
    OpenContainer(const OpenContainer&) = delete;
    OpenContainer& operator=(const OpenContainer&) = delete;
    KernelApi& k;
    ContainerHandle handle = nullptr;
};

// A key object, closed on every path.
struct Key {
    explicit Key(KernelApi& kernel) : k(kernel) {}
    ~Key();
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    KernelApi& k;
    KeyHandle handle = nullptr;
    uint32_t algorithm = 0, bits = 0, slot = 0;
};

}  // namespace qx::qxtoken
