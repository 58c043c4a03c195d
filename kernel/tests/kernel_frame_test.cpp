// The export shape, handles, the logical lock and key derivation.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <thread>

#include "QXTokenStatus.h"
#include "core/export_shape.h"
#include "core/handles.h"
#include "core/kernel_state.h"
#include "core/key_derivation.h"
#include "core/logical_lock.h"
#include "core/status_words.h"
#include "qx/platform/system.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"

namespace qx::kernel::test {
namespace {

using FrameTest = KernelTest;

// --- handles and the export shape ------------------------------------------------

TEST_F(FrameTest, OnlyLiveHandlesOfTheRightKindAreAccepted) {
    ScriptedTransport transport;
    DeviceRecord device;
    device.device = &transport;
    uint32_t key[4] = {0, 0, 3, 0};
    register_handle(&device, HandleKind::Device);
    register_handle(key, HandleKind::Key);

    EXPECT_EQ(&device, device_record(&device));
    EXPECT_EQ(nullptr, device_record(key));       // a key handle passed as a device
    EXPECT_EQ(nullptr, device_record(nullptr));
    DeviceRecord forged;                          // right tag, never handed out
    EXPECT_EQ(nullptr, device_record(&forged));
    device.kind = 3;                              // tag overwritten
    EXPECT_EQ(nullptr, device_record(&device));
    device.kind = 2;

    EXPECT_TRUE(unregister_handle(&device, HandleKind::Device));
    EXPECT_EQ(nullptr, device_record(&device));   // freed
    EXPECT_FALSE(unregister_handle(&device, HandleKind::Device));
    EXPECT_FALSE(unregister_handle(key, HandleKind::Device));
    EXPECT_TRUE(unregister_handle(key, HandleKind::Key));
}

TEST_F(FrameTest, ExportShapeRefusesBadHandlesWithTheExportsCode) {
    DeviceRecord forged;
    bool touched = false;
    auto call = [&](uint32_t wrongKind) {
        return run_export({"QXToken_Test"}, [&](ExportContext& ctx) {
            ctx.device(&forged, wrongKind);
            touched = true;
            return ERR_OK;
        });
    };
    EXPECT_EQ(ERR_INVALID_HANDLE, call(ERR_INVALID_HANDLE));
    EXPECT_EQ(ERR_INVALID_PARAM, call(ERR_INVALID_PARAM));
    EXPECT_FALSE(touched);
}

TEST_F(FrameTest, ExceptionsBecomeStatusCodes) {
    EXPECT_EQ(ERR_FAILED, run_export({"x"}, [](ExportContext&) -> uint32_t { throw std::runtime_error("boom"); }));
    EXPECT_EQ(ERR_NO_MEMORY, run_export({"x"}, [](ExportContext&) -> uint32_t { throw std::bad_alloc(); }));
    EXPECT_EQ(0x6009u, run_export({"x"}, [](ExportContext& ctx) -> uint32_t {
                  ctx.record(0x6009);
                  throw 1;
              }));
    EXPECT_EQ(ERR_INVALID_PARAM, run_export({"x"}, [](ExportContext& ctx) {
                  ctx.require(false);
                  return ERR_OK;
              }));
}

TEST_F(FrameTest, OutputBufferConvention) {
    const char text[] = "abc";
    char out[8];
    uint32_t length = 0;
    auto deliver = [&](char* buffer, uint32_t* len) {
        return run_export({"x"}, [&](ExportContext& ctx) { return ctx.deliver(text, 4, buffer, len); });
    };
    EXPECT_EQ(ERR_OK, deliver(nullptr, &length));
    EXPECT_EQ(4u, length);
    length = 3;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, deliver(out, &length));
    EXPECT_EQ(4u, length);
    length = sizeof out;
    EXPECT_EQ(ERR_OK, deliver(out, &length));
    EXPECT_EQ(4u, length);
    EXPECT_STREQ("abc", out);
    EXPECT_EQ(ERR_INVALID_PARAM, deliver(out, nullptr));
}

TEST_F(FrameTest, EntryAndLeaveLines) {
    write_config("[QXTokenInfo]\r\nDebug = 256\r\nLogFile = " + dir_ + "t.log\r\n");
    run_export({"QXToken_GetTokenLabel", TraceCalls::Both}, [](ExportContext&) { return 0x6022u; });
    run_export({"QXToken_Quiet"}, [](ExportContext&) { return ERR_OK; });
    const std::string text = log_text(dir_ + "t.log");
    EXPECT_NE(std::string::npos, text.find("QXTokenKernel(")) << text;
    EXPECT_NE(std::string::npos, text.find("-->Enter QXToken_GetTokenLabel\n")) << text;
    EXPECT_NE(std::string::npos, text.find("-->Leave QXToken_GetTokenLabel with dwRet = 6022\n")) << text;
    EXPECT_EQ(std::string::npos, text.find("QXToken_Quiet"));
}

#ifndef _WIN32
// POSIX answers the remote-session question from the session's environment.
TEST_F(FrameTest, RemoteSessionsAreRefusedUnlessDezo) {
    setenv("XRDP_SESSION", "1", 1);
    bool ran = false;
    auto call = [&] {
        return run_export({"QXToken_Test"}, [&](ExportContext&) {
            ran = true;
            return ERR_OK;
        });
    };
    EXPECT_EQ(ERR_REMOTE_SESSION, call());
    EXPECT_FALSE(ran);
    EXPECT_EQ(ERR_OK, run_export({"QXToken_GetProviderName", TraceCalls::None, false},
                                 [](ExportContext&) { return ERR_OK; }));
    KernelConfig config;
    config.isDezoRivov = 1;
    use_config(config);
    EXPECT_EQ(ERR_OK, call());
    EXPECT_TRUE(ran);
    unsetenv("XRDP_SESSION");
}
#endif

// --- logical lock -----------------------------------------------------------------

TEST_F(FrameTest, LogicalLock) {
    ScriptedTransport dev;
    LogicalLock lock;
    EXPECT_EQ(ERR_FAILED, lock.acquire(dev));  // no identity yet
    dev.set_identity(H("0A 0B"));
    ASSERT_EQ(ERR_OK, lock.acquire(dev));
    EXPECT_EQ(ERR_LOCK_HELD, lock.acquire(dev));
    // Another thread waits until the lock is released.
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        LogicalLock mine;
        EXPECT_EQ(ERR_OK, mine.acquire(dev));
        acquired = true;
    });
    platform::sleep_ms(100);
    EXPECT_FALSE(acquired);
    lock.release();
    other.join();
    EXPECT_TRUE(acquired);
}

// --- status words --------------------------------------------------------------------

TEST_F(FrameTest, StatusWordTables) {
    EXPECT_EQ(ERR_OK, translate_sw(kSwGeneric, 0x9000));
    EXPECT_EQ(ERR_SECURITY_STATUS, translate_sw(kSwGeneric, 0x6982));
    EXPECT_EQ(ERR_COMMAND_FAILED, translate_sw(kSwGeneric, 0x6A82));
    EXPECT_EQ(ERR_FILE_NOT_FOUND, translate_sw(kSwSelect, 0x9303));
    EXPECT_EQ(ERR_SELECT_FILE, translate_sw(kSwSelect, 0x6982));
}

// --- key derivation ----------------------------------------------------------------------

const std::vector<uint8_t> kId = {1, 2, 3, 4, 5, 6, 7, 8};

TEST_F(FrameTest, SaltTableHasSixteenTwelveCharacterStrings) {
    for (const auto& s : kSaltTable) {
        EXPECT_EQ(12u, std::strlen(s));
        for (const char* c = s; *c; ++c) EXPECT_TRUE(*c > 0x20 && *c < 0x7F);
    }
}

TEST_F(FrameTest, DerivedKeysMatchTheIndependentComputation) {
    // Vectors from tests/tools/kernel_vectors.py (hashlib and pyca/cryptography).
    struct Case {
        uint32_t index;
        const char* key;
    } cases[] = {{6, "C8845E97566493476C9FCCF7A243B125"},
                 {0, "1B14539FFE5A2E100A4FBAD265C30D35"},
                 {99, "AFF3FB235D1F832DE1F895754A2ECB61"},
                 {10, "433C9E96133C35F6818D940AE508D08D"}};
    for (const auto& c : cases) {
        uint8_t out[16];
        uint32_t length = sizeof out;
        ASSERT_EQ(ERR_OK, derive_key_for_index(kDefaultProviderName, kId.data(), kId.size(), c.index, out, &length));
        EXPECT_EQ(16u, length);
        EXPECT_EQ(hex(H(c.key)), hex(out, 16)) << c.index;
    }
    const std::string label = std::string(kDefaultProviderName) + " ADF EX AUTH";
    uint8_t eight[8];
    ASSERT_TRUE(derive_key(label.c_str(), label.size(), kId.data(), kId.size(), 0x3F01, 8, eight));
    EXPECT_EQ("30 D6 CD AF 8A 95 D9 38", hex(eight, 8));
}

TEST_F(FrameTest, DerivationRefusals) {
    uint8_t out[16];
    const char label[] = "L";
    EXPECT_FALSE(derive_key(label, 1, kId.data(), kId.size(), 0x3F01, 12, out));
    EXPECT_FALSE(derive_key(label, 1, kId.data(), 0, 0x3F01, 16, out));
    EXPECT_FALSE(derive_key(nullptr, 1, kId.data(), kId.size(), 0x3F01, 16, out));
    EXPECT_FALSE(derive_key(label, 1, nullptr, 8, 0x3F01, 16, out));
    EXPECT_FALSE(derive_key(label, 1, kId.data(), kId.size(), 0x3F01, 16, nullptr));

    uint32_t length = 0;
    EXPECT_EQ(ERR_OK, derive_key_for_index(kDefaultProviderName, kId.data(), kId.size(), 6, nullptr, &length));
    EXPECT_EQ(16u, length);
    length = 8;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, derive_key_for_index(kDefaultProviderName, kId.data(), kId.size(), 6, out, &length));
    EXPECT_EQ(16u, length);
    length = 20;
    EXPECT_EQ(ERR_COMMAND_FAILED, derive_key_for_index(kDefaultProviderName, kId.data(), 0, 6, out, &length));
    EXPECT_EQ(20u, length);
}

TEST_F(FrameTest, LabelTable) {
    EXPECT_STREQ("", key_label_suffix(0));
    EXPECT_EQ(0x3F00, key_file_id(0));
    EXPECT_STREQ(" ADF EX AUTH", key_label_suffix(6));
    EXPECT_EQ(0x3F01, key_file_id(6));
    EXPECT_STREQ(" MF EX AUTH", key_label_suffix(3));
    EXPECT_EQ(0x3F00, key_file_id(3));
    EXPECT_STREQ(" ADF PROTECT KEY", key_label_suffix(10));
    EXPECT_STREQ("", key_label_suffix(11));
    EXPECT_EQ(0x3F01, key_file_id(11));
}

}  // namespace
}  // namespace qx::kernel::test
