// qxtoken container list|create|delete.
#include <cstdio>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "cli.h"
#include "session.h"

namespace qx::qxtoken {

namespace {

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

std::vector<Container> list_containers(KernelApi& k, DeviceHandle h) {
    std::vector<Container> all;
    for_each_container(k, h, [&](ContainerHandle c, const std::string& name) {
        Container item{name, 0, 0};
        check(k.containerType(c, &item.type), "reading a container's type");
        check(k.containerStatus(c, &item.status), "reading a container's status");
        all.push_back(item);
    });
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
        const std::string type = w.option_or("--type", "rsa");
        if (type != "rsa" && type != "sm2") throw UsageError{"--type takes rsa or sm2"};
        const bool pinGiven = w.has("--pin");
        const WipedText pin{w.option_or("--pin", "")};
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
        const WipedText pin{w.option_or("--pin", "")};
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
