// A kernel table for the manager's units: tokens that come and go, the change
// list between the last two enumerations, memory certificates per slot,
// containers with certificates.  One instance is active at a time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kernel_binding.h"

namespace qx::manager::test {

struct FakeToken {
    std::string name;
    uint32_t slot = 0;
    std::string label;
    bool present = true;
    bool failLabel = false;
    bool failOpen = false;
};

struct FakeContainer {
    std::string name;
    std::map<uint32_t, uint32_t> certIndex;  // key spec -> certificate slot
    uint32_t indexFailure = 0;               // answered for any key spec when set
};

struct FakeKernel {
    FakeKernel();
    ~FakeKernel();

    // The kernel table bound by name to this fake.
    KernelApi api() const;
    DeviceHandle handle_of(std::size_t token) const;

    std::vector<FakeToken> tokens;
    std::set<uint32_t> lastSlots;
    std::vector<uint32_t> changes;
    bool failEnum = false;
    int enumerations = 0, countQueries = 0, destroys = 0, opens = 0, closes = 0;
    std::set<std::size_t> openTokens;

    std::map<uint32_t, std::vector<std::vector<uint8_t>>> memCerts;
    uint32_t memCertAnswer = 0;  // non-zero: every ReadMemCert answers this
    int memCertReads = 0;
    std::size_t memCertPosition = 0;
    std::vector<std::vector<uint8_t>> unregistered;
    std::vector<uint32_t> cleared;

    std::vector<FakeContainer> containers;
    std::map<uint32_t, std::vector<uint8_t>> certificates;  // certificate slot -> DER
    struct Registration {
        std::string container;
        uint32_t keySpec;
    };
    std::vector<Registration> registered;
    std::vector<std::pair<std::size_t, uint32_t>> deleted;  // (token, certificate slot)
    int externalAuths = 0;
};

}  // namespace qx::manager::test
