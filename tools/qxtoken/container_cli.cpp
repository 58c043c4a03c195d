// qxtoken container list|create|delete.
#include <cstdio>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "cli.h"

namespace qx::qxtoken {

namespace {

// Text that is wiped when it goes (PINs).
struct WipedText {
    std::string text;
    ~WipedText() {
        volatile char* p = text.data();
        for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
    }
};

struct Container {
    std::string name;
    uint32_t type;
    uint32_t status;
};

std::string type_name(uint32_t type) {
    if (type == QXTOKEN_CONTAINER_RSA) return "rsa";
    if (type == QXTOKEN_CONTAINER_SM2) return "sm2";
    return std::to_string(type);
}

std::string json_text(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

void check(uint32_t rc, const std::string& what) {
    if (rc != ERR_OK) throw Failure{what + " failed: " + describe_status(rc)};
}

// The words after the command: NAME and --name value options.
struct Words {
    std::vector<std::string> words;
    bool flag(const std::string& name) {
        for (auto it = words.begin(); it != words.end(); ++it) {
            if (*it == name) {
                words.erase(it);
                return true;
            }
        }
        return false;
    }
    std::string option(const std::string& name, const std::string& otherwise) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (words[i] != name) continue;
            if (i + 1 >= words.size()) throw UsageError{name + " needs a value"};
            std::string v = words[i + 1];
            words.erase(words.begin() + long(i), words.begin() + long(i) + 2);
            return v;
        }
        return otherwise;
    }
    bool has(const std::string& name) const {
        for (const auto& w : words) {
            if (w == name) return true;
        }
        return false;
    }
    std::string take(const char* what) {
        if (words.empty()) throw UsageError{std::string("missing ") + what};
        std::string w = words.front();
        words.erase(words.begin());
        return w;
    }
    void done() const {
        if (!words.empty()) throw UsageError{"unexpected argument '" + words.front() + "'"};
    }
};

// Creating and deleting need the user PIN verified in this session; `given`
// is the --pin value, if any.
void verify_user_pin(KernelApi& k, Io& io, DeviceHandle h, const std::string* given) {
    WipedText pin;
    if (given) {
        pin.text = *given;
    } else if (!io.askSecret || !io.askSecret("User PIN: ", pin.text)) {
        throw Failure{"no User PIN given"};
    }
    const uint32_t rc = k.verifyPin(h, QXTOKEN_PIN_USER, pin.text.data(), static_cast<uint32_t>(pin.text.size()));
    check(rc, "verifying the user PIN");
}

std::vector<Container> list_containers(KernelApi& k, DeviceHandle h) {
    std::vector<Container> all;
    uint32_t position = 0;
    ContainerHandle c = nullptr;
    for (;;) {
        const uint32_t rc = k.enumContainer(h, 0xFFFFFFFF, &position, &c);
        if (rc == ERR_NO_CONTAINER) break;
        check(rc, "listing the containers");
        Container item{};
        char name[260] = {};
        uint32_t length = sizeof name;
        check(k.containerName(c, name, &length), "reading a container's name");
        item.name.assign(name, length > 0 ? length - 1 : 0);
        check(k.containerType(c, &item.type), "reading a container's type");
        check(k.containerStatus(c, &item.status), "reading a container's status");
        all.push_back(item);
    }
    return all;
}

}  // namespace

int command_container(KernelApi& k, Io& io, std::vector<std::string> words, const std::function<DeviceHandle()>& open) {
    Words w{std::move(words)};
    const std::string what = w.take("container command");
    if (what == "list") {
        const bool json = w.flag("--json");
        w.done();
        const auto all = list_containers(k, open());
        if (json) {
            io.out << "[";
            for (std::size_t i = 0; i < all.size(); ++i) {
                io.out << (i ? ",\n " : "") << "{\"name\": " << json_text(all[i].name) << ", \"type\": \""
                       << type_name(all[i].type) << "\", \"status\": " << all[i].status << "}";
            }
            io.out << "]\n";
        } else if (all.empty()) {
            io.out << "no container on the token\n";
        } else {
            for (const auto& c : all) io.out << c.name << "  type " << type_name(c.type) << ", status " << c.status << "\n";
        }
        return 0;
    }
    if (what == "create") {
        const std::string name = w.take("container name");
        const std::string type = w.option("--type", "rsa");
        if (type != "rsa" && type != "sm2") throw UsageError{"--type takes rsa or sm2"};
        const bool pinGiven = w.has("--pin");
        const WipedText pin{w.option("--pin", "")};
        w.done();
        DeviceHandle h = open();
        verify_user_pin(k, io, h, pinGiven ? &pin.text : nullptr);
        ContainerHandle c = nullptr;
        check(k.createContainer(h, name.c_str(), type == "rsa" ? QXTOKEN_CONTAINER_RSA : QXTOKEN_CONTAINER_SM2, &c),
              "creating container '" + name + "'");
        k.closeContainer(c);
        io.out << "created container " << name << "\n";
        return 0;
    }
    if (what == "delete") {
        const std::string name = w.take("container name");
        const bool pinGiven = w.has("--pin");
        const WipedText pin{w.option("--pin", "")};
        w.done();
        DeviceHandle h = open();
        verify_user_pin(k, io, h, pinGiven ? &pin.text : nullptr);
        check(k.deleteContainer(h, name.c_str()), "deleting container '" + name + "'");
        io.out << "deleted container " << name << "\n";
        return 0;
    }
    throw UsageError{"unknown container command '" + what + "'"};
}

}  // namespace qx::qxtoken
