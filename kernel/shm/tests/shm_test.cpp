// The kernel's shared area: the PIN cache through the module's exports across
// real processes, and the area's own operations (certificate cache, slot
// clearing, process rows) through the kernel core.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "core/kernel_state.h"
#include "core/lifecycle.h"
#include "qx/platform/load_counter.h"
#include "core/shared_area.h"
#include "qx/platform/process.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr char kPin[] = "314159";

// Child: loads the kernel installed in args[0], opens args[1] without checks
// and reads the PIN cache with mode args[2].  Exit 0: the PIN args[3] was
// read; 20: nothing cached; 10 + n for any other failure.
QX_TEST_CHILD(read_cached_pin) {
    Kernel k(args.at(0));
    if (!k.complete()) return 11;
    DeviceHandle h = nullptr;
    k.openDezo(args.at(1).c_str(), &h);
    if (!h) return 12;
    char pin[260] = {};
    uint32_t length = sizeof pin;
    const uint32_t rc = k.readPin(h, reinterpret_cast<uint8_t*>(pin), &length, static_cast<uint32_t>(std::stoi(args.at(2))));
    k.close(h);
    if (rc == ERR_NOT_FOUND) return 20;
    if (rc != ERR_OK) return 13;
    return std::string(pin, length) == args.at(3) ? 0 : 14;
}

int run_child(const std::string& role, const std::vector<std::string>& args) {
    auto child = platform::ChildProcess::spawn(qx::test::child_command(role, args));
    return child ? child->wait() : -1;
}

class PinCacheTest : public ::testing::Test {
protected:
    void SetUp() override { clear_tokens(); }
    void TearDown() override { clear_tokens(); }

    void load(const std::string& name, int cachePin) {
        dir_ = install_kernel(name, kChannelWords, "CachePIN = " + std::to_string(cachePin) + "\r\n");
        kernel_ = std::make_unique<Kernel>(dir_);
        ASSERT_TRUE(kernel_->complete());
        device_ = create_blank_token("pin");
        kernel_->openDezo(device_.c_str(), &handle_);
        ASSERT_NE(nullptr, handle_);
    }
    uint32_t write(const std::string& pin) {
        return kernel_->writePin(handle_, reinterpret_cast<const uint8_t*>(pin.data()), static_cast<uint32_t>(pin.size()));
    }
    // The cached PIN (mode 1 or 2), or the failure status as text.
    std::string read(uint32_t mode) {
        char pin[260] = {};
        uint32_t length = sizeof pin;
        const uint32_t rc = kernel_->readPin(handle_, reinterpret_cast<uint8_t*>(pin), &length, mode);
        return rc == ERR_OK ? std::string(pin, length) : "status " + std::to_string(rc);
    }
    void close() {
        if (kernel_ && handle_) kernel_->close(handle_);
        handle_ = nullptr;
    }
    ~PinCacheTest() override { close(); }

    std::string dir_, device_;
    std::unique_ptr<Kernel> kernel_;
    DeviceHandle handle_ = nullptr;
};

const std::string kNotFound = "status " + std::to_string(ERR_NOT_FOUND);

TEST_F(PinCacheTest, CachePin1ClearsCachedPinsWhenAnotherProcessStarts) {
    load("cache1", 1);
    ASSERT_EQ(ERR_OK, write(kPin));
    EXPECT_EQ(kPin, read(1));
    EXPECT_EQ(kPin, read(2));
    // The child's start clears every cached PIN, ours included.
    EXPECT_EQ(20, run_child("read_cached_pin", {dir_, device_, "2", kPin}));
    EXPECT_EQ(kNotFound, read(1));
    EXPECT_EQ(kNotFound, read(2));
}

TEST_F(PinCacheTest, CachePin2KeepsPinsAndOtherProcessesReadThemWithMode2) {
    load("cache2", 2);
    ASSERT_EQ(ERR_OK, write(kPin));
    EXPECT_EQ(0, run_child("read_cached_pin", {dir_, device_, "2", kPin}));
    // Mode 1 reads only the child's own cell.
    EXPECT_EQ(20, run_child("read_cached_pin", {dir_, device_, "1", kPin}));
    EXPECT_EQ(kPin, read(1));
    // The cell holds the PIN enciphered, replaced by the next write.
    ASSERT_EQ(ERR_OK, write("1234"));
    EXPECT_EQ("1234", read(2));
    EXPECT_EQ(0, run_child("read_cached_pin", {dir_, device_, "2", "1234"}));
}

TEST_F(PinCacheTest, ArgumentsAndLimits) {
    load("limits", 1);
    // The longest PIN whose enciphered form (padding adds 1 to 8 bytes) fits 254 bytes.
    EXPECT_EQ(ERR_OK, write(std::string(247, '7')));
    EXPECT_EQ(std::string(247, '7'), read(1));
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, write(std::string(248, '7')));
    EXPECT_EQ(std::string(247, '7'), read(1));  // the refused PIN left the cell alone
    EXPECT_EQ(ERR_INVALID_PARAM, write(""));
    EXPECT_EQ(ERR_INVALID_PARAM, kernel_->writePin(handle_, nullptr, 4));
    EXPECT_EQ(ERR_INVALID_HANDLE, kernel_->writePin(nullptr, reinterpret_cast<const uint8_t*>(kPin), 6));
    int notAHandle[4] = {2, 0, 0, 0};
    EXPECT_EQ(ERR_INVALID_HANDLE, kernel_->writePin(notAHandle, reinterpret_cast<const uint8_t*>(kPin), 6));

    ASSERT_EQ(ERR_OK, write(kPin));
    EXPECT_EQ("status " + std::to_string(ERR_INVALID_PARAM), read(3));
    EXPECT_EQ("status " + std::to_string(ERR_INVALID_PARAM), read(0));
    uint32_t length = 0;
    EXPECT_EQ(ERR_OK, kernel_->readPin(handle_, nullptr, &length, 1));
    EXPECT_EQ(6u, length);
    uint8_t small[4] = {};
    length = sizeof small;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, kernel_->readPin(handle_, small, &length, 1));
    EXPECT_EQ(6u, length);
    EXPECT_EQ(0, small[0]);
    EXPECT_EQ(ERR_INVALID_PARAM, kernel_->readPin(handle_, small, nullptr, 1));
}

TEST_F(PinCacheTest, OnlySlotsZeroToThreeHaveCells) {
    load("slots", 1);
    const std::string provider = provider_of("slots");
    std::vector<DeviceHandle> opened;
    for (int i = 0; i < 5; ++i) {
        const std::string device = create_keyed_token("k" + std::to_string(i), provider);
        DeviceHandle h = nullptr;
        ASSERT_EQ(ERR_OK, kernel_->openByName(device.c_str(), &h));
        opened.push_back(h);
    }
    uint32_t slot = 0;
    ASSERT_EQ(ERR_OK, kernel_->slot(opened[4], &slot));
    EXPECT_EQ(4u, slot);
    EXPECT_EQ(ERR_OK, kernel_->writePin(opened[3], reinterpret_cast<const uint8_t*>(kPin), 6));
    EXPECT_EQ(ERR_INVALID_PARAM, kernel_->writePin(opened[4], reinterpret_cast<const uint8_t*>(kPin), 6));
    // Each slot has its own cell, and each token its own key.
    EXPECT_EQ(ERR_OK, kernel_->writePin(opened[1], reinterpret_cast<const uint8_t*>("99"), 2));
    char pin[260];
    uint32_t length = sizeof pin;
    ASSERT_EQ(ERR_OK, kernel_->readPin(opened[3], reinterpret_cast<uint8_t*>(pin), &length, 1));
    EXPECT_EQ(kPin, std::string(pin, length));
    length = sizeof pin;
    EXPECT_EQ(ERR_NOT_FOUND, kernel_->readPin(opened[2], reinterpret_cast<uint8_t*>(pin), &length, 2));
    for (DeviceHandle h : opened) EXPECT_EQ(ERR_OK, kernel_->close(h));
}

// ---- the area through the kernel core ----

// Child: opens the area of provider args[0] and reports what it finds.
// "cert": exit 0 when slot 1 entry 3 holds args[1].size() bytes of args[1][0];
// "open": exit with open_kernel_area's status.
QX_TEST_CHILD(area_probe) {
    // Counted in as a kernel process is, so that it is not taken for the first.
    platform::load_counter_increment(load_counter_name());
    const uint32_t rc = open_kernel_area(args.at(0));
    if (args.at(1) == "open") {
        close_kernel_area();
        return static_cast<int>(rc);
    }
    if (rc != ERR_OK) return 100;
    std::vector<uint8_t> cert(kCertMaxData);
    uint32_t length = kCertMaxData;
    const uint32_t read = cert_cache_read(1, 3, cert.data(), &length);
    close_kernel_area();
    if (read != ERR_OK) return 101;
    return length == std::stoul(args.at(2)) && cert[0] == 0xA5 && cert[length - 1] == 0xA5 ? 0 : 102;
}

class KernelAreaTest : public ::testing::Test {
protected:
    void SetUp() override {
        provider_ = provider_of(::testing::UnitTest::GetInstance()->current_test_info()->name());
        platform::load_counter_increment(load_counter_name());
        ASSERT_EQ(ERR_OK, open_kernel_area(provider_));
    }
    void TearDown() override {
        close_kernel_area();
        platform::load_counter_decrement(load_counter_name());
    }
    std::string provider_;
};

TEST_F(KernelAreaTest, CertificateCacheLimitsAndVisibilityToOtherProcesses) {
    std::vector<uint8_t> cert(kCertMaxData + 1, 0xA5);
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, cert_cache_write(1, 3, cert.data(), kCertMaxData + 1));
    EXPECT_EQ(ERR_INVALID_PARAM, cert_cache_write(1, 3, cert.data(), 0));
    EXPECT_EQ(ERR_INVALID_PARAM, cert_cache_write(1, 17, cert.data(), 10));
    EXPECT_EQ(ERR_INVALID_PARAM, cert_cache_write(4, 1, cert.data(), 10));
    ASSERT_EQ(ERR_OK, cert_cache_write(1, 3, cert.data(), kCertMaxData));
    EXPECT_EQ(0, run_child("area_probe", {provider_, "cert", std::to_string(kCertMaxData)}));

    std::vector<uint8_t> out(kCertMaxData);
    uint32_t length = kCertMaxData - 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, cert_cache_read(1, 3, out.data(), &length));
    EXPECT_EQ(kCertMaxData, length);
    EXPECT_EQ(ERR_NOT_FOUND, cert_cache_read(1, 0, out.data(), &length));
    EXPECT_EQ(ERR_NOT_FOUND, cert_cache_read(1, 17, out.data(), &length));
    EXPECT_EQ(ERR_INVALID_PARAM, cert_cache_read(4, 1, out.data(), &length));
    // An empty entry reads as zero bytes.
    length = kCertMaxData;
    EXPECT_EQ(ERR_OK, cert_cache_read(1, 4, out.data(), &length));
    EXPECT_EQ(0u, length);

    // A smaller certificate replaces the whole cell.
    ASSERT_EQ(ERR_OK, cert_cache_write(1, 3, cert.data(), 100));
    EXPECT_EQ(0, run_child("area_probe", {provider_, "cert", "100"}));
    // Deleting needs exactly the cached bytes.
    EXPECT_EQ(ERR_OK, cert_cache_delete(1, 3, cert.data(), 99));
    length = kCertMaxData;
    EXPECT_EQ(ERR_OK, cert_cache_read(1, 3, out.data(), &length));
    EXPECT_EQ(100u, length);
    cert[50] = 0;
    EXPECT_EQ(ERR_OK, cert_cache_delete(1, 3, cert.data(), 100));
    length = kCertMaxData;
    EXPECT_EQ(ERR_OK, cert_cache_read(1, 3, out.data(), &length));
    EXPECT_EQ(100u, length);
    cert[50] = 0xA5;
    EXPECT_EQ(ERR_OK, cert_cache_delete(1, 3, cert.data(), 100));
    length = kCertMaxData;
    EXPECT_EQ(ERR_OK, cert_cache_read(1, 3, out.data(), &length));
    EXPECT_EQ(0u, length);
}

TEST_F(KernelAreaTest, SlotClearEmptiesPinsOfEveryRowAndTheSlotsCertificates) {
    const uint8_t sealed[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    ASSERT_EQ(ERR_OK, pin_cache_write(2, sealed, sizeof sealed));
    ASSERT_EQ(ERR_OK, pin_cache_write(3, sealed, sizeof sealed));
    ASSERT_EQ(ERR_OK, cert_cache_write(2, 16, sealed, sizeof sealed));
    ASSERT_EQ(ERR_OK, cert_cache_write(3, 1, sealed, sizeof sealed));
    {
        // Another process's row with a PIN for slot 2.
        KernelAreaAccess access;
        ASSERT_EQ(ERR_OK, access.status());
        ProcessRow& other = access.area().rows[access.row() == 999 ? 998 : 999];
        other.processId = 0x7FFFFFF0;
        other.pins[2].length = 1;
        other.pins[2].data[0] = 9;
    }
    EXPECT_EQ(ERR_INVALID_PARAM, slot_clear(4));
    ASSERT_EQ(ERR_OK, slot_clear(2));
    uint8_t out[kCertMaxData];
    uint32_t length = sizeof out;
    EXPECT_EQ(ERR_NOT_FOUND, pin_cache_read(2, out, &length, 2));
    length = sizeof out;
    EXPECT_EQ(ERR_OK, pin_cache_read(3, out, &length, 1));
    EXPECT_EQ(16u, length);
    length = sizeof out;
    EXPECT_EQ(ERR_OK, cert_cache_read(2, 16, out, &length));
    EXPECT_EQ(0u, length);
    length = sizeof out;
    EXPECT_EQ(ERR_OK, cert_cache_read(3, 1, out, &length));
    EXPECT_EQ(16u, length);

    // The PIN cell's limits.
    std::vector<uint8_t> big(kPinMaxData + 1, 1);
    EXPECT_EQ(ERR_OK, pin_cache_write(0, big.data(), kPinMaxData));
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pin_cache_write(0, big.data(), kPinMaxData + 1));
    length = kPinReadMinimum - 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pin_cache_read(0, out, &length, 1));
    EXPECT_EQ(kPinReadMinimum, length);
    length = sizeof out;
    EXPECT_EQ(ERR_INVALID_PARAM, pin_cache_read(0, out, &length, 7));
}

TEST_F(KernelAreaTest, AProcessFindsNoRowWhenAllAreTakenAndClosingFreesItsRow) {
    uint32_t mine = 0;
    {
        KernelAreaAccess access;
        ASSERT_EQ(ERR_OK, access.status());
        mine = access.row();
        EXPECT_EQ(platform::process_id(), access.area().rows[mine].processId);
        for (uint32_t r = 0; r < kProcessRows; ++r)
            if (r != mine) access.area().rows[r].processId = 0x7F000000 + r;
    }
    EXPECT_EQ(static_cast<int>(ERR_NO_MEMORY), run_child("area_probe", {provider_, "open"}));
    {
        KernelAreaAccess access;
        access.area().rows[500 == mine ? 501 : 500].processId = 0;
    }
    EXPECT_EQ(static_cast<int>(ERR_OK), run_child("area_probe", {provider_, "open"}));

    // Closing gives the row back and drops this process's PINs.
    const uint8_t sealed[8] = {1};
    ASSERT_EQ(ERR_OK, pin_cache_write(0, sealed, sizeof sealed));
    ASSERT_EQ(ERR_OK, close_kernel_area());
    EXPECT_FALSE(kernel_area_open());
    uint8_t out[kPinReadMinimum];
    uint32_t length = sizeof out;
    EXPECT_EQ(ERR_INVALID_HANDLE, pin_cache_read(0, out, &length, 1));
    EXPECT_EQ(ERR_INVALID_HANDLE, cert_cache_write(0, 1, sealed, sizeof sealed));
    EXPECT_EQ(ERR_INVALID_HANDLE, slot_clear(0));
    ASSERT_EQ(ERR_OK, open_kernel_area(provider_));
    KernelAreaAccess access;
    EXPECT_EQ(mine, access.row());
    EXPECT_EQ(0, access.area().rows[mine].pins[0].length);
}

}  // namespace
}  // namespace qx::kernel::test
