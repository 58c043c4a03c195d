// Certificates end to end: the kernel module as applications load it, a
// fresh virtual token per test (initialised, user PIN verified), the user's
// certificate stores (natively a temporary folder; under Wine the prefix's
// own stores, where only the test's own certificates are looked for) and
// real child processes for what other processes must see.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenKernel.h"
#include "device/cardos/state.h"
#include "device/store/token_store.h"
#include "platform/tests/test_certs.h"
#include "qx/platform/cert_store.h"
#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "qx/platform/system.h"
#include "support/kernel_e2e.h"
#include "support/kernel_fixture.h"
#include "tests/support/qx_test_main.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr uint32_t kRecord = 280;
constexpr const char kSlots[] = "[InitKeypairsNum]\r\nRSA1024 = 4\r\n";

// The stores of this test binary: natively a folder of its own, shared with
// the child processes through the environment.
const std::string& store_home() {
    static const std::string home = [] {
        std::string dir = scratch_directory("certstore");
        dir.pop_back();
        static std::string assignment = "QX_CERTSTORE_HOME=" + dir;
        putenv(assignment.data());
        return dir;
    }();
    return home;
}

struct Exports : KernelExports {
    using KernelExports::KernelExports;
    PFN_QXToken_GetDeviceSlotNO slotNo = bind<PFN_QXToken_GetDeviceSlotNO>("QXToken_GetDeviceSlotNO");
    PFN_QXToken_OpenContainer openC = bind<PFN_QXToken_OpenContainer>("QXToken_OpenContainer");
    PFN_QXToken_CloseContainer closeC = bind<PFN_QXToken_CloseContainer>("QXToken_CloseContainer");
    PFN_QXToken_GetCertIndexFormContainer certIndex =
        bind<PFN_QXToken_GetCertIndexFormContainer>("QXToken_GetCertIndexFormContainer");
    PFN_QXToken_ReadCert readCert = bind<PFN_QXToken_ReadCert>("QXToken_ReadCert");
    PFN_QXToken_WriteCert writeCert = bind<PFN_QXToken_WriteCert>("QXToken_WriteCert");
    PFN_QXToken_DeleteUserCert deleteUserCert = bind<PFN_QXToken_DeleteUserCert>("QXToken_DeleteUserCert");
    PFN_QXToken_RegUserCert regUserCert = bind<PFN_QXToken_RegUserCert>("QXToken_RegUserCert");
    PFN_QXToken_UnRegUserCert unregUserCert = bind<PFN_QXToken_UnRegUserCert>("QXToken_UnRegUserCert");
    PFN_QXToken_RegCertToStore regToStore = bind<PFN_QXToken_RegCertToStore>("QXToken_RegCertToStore");
    PFN_QXToken_RegCACert regCA = bind<PFN_QXToken_RegCACert>("QXToken_RegCACert");
    PFN_QXToken_IsSignSelf isSignSelf = bind<PFN_QXToken_IsSignSelf>("QXToken_IsSignSelf");
    PFN_QXToken_ReadMemCert readMem = bind<PFN_QXToken_ReadMemCert>("QXToken_ReadMemCert");
    PFN_QXToken_ClearMemInfo clearMem = bind<PFN_QXToken_ClearMemInfo>("QXToken_ClearMemInfo");
    PFN_QXToken_DeleteMemCert deleteMem = bind<PFN_QXToken_DeleteMemCert>("QXToken_DeleteMemCert");
};

std::basic_string<QXWCHAR> wide(const std::string& ascii) { return std::basic_string<QXWCHAR>(ascii.begin(), ascii.end()); }

std::vector<uint8_t> record_bytes(const std::string& name, uint32_t sig, uint32_t exch) {
    std::vector<uint8_t> r(kRecord, 0);
    std::memcpy(r.data(), name.data(), name.size());
    const uint32_t words[] = {1, 5, sig, exch, 0xFFFFFFFF};  // status 5: certificates stored
    for (int i = 0; i < 5; ++i) {
        for (int b = 0; b < 4; ++b) r[260 + 4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
    }
    return r;
}

// Entry `entry` of the certificate cache of device slot `slot` (empty when none).
std::vector<uint8_t> cached(Exports& k, uint32_t slot, uint32_t entry) {
    std::vector<uint8_t> buffer(2046);
    uint32_t length = 2046;
    std::vector<uint8_t> out;
    for (uint32_t i = 1; i <= entry; ++i) {
        length = 2046;
        if (k.readMem(slot, buffer.data(), &length, i == 1) != ERR_OK) return {};
    }
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + length);
}

bool in_store(const std::string& store, const std::vector<uint8_t>& der) {
    auto s = platform::CertStore::open(store);
    if (!s) return false;
    for (const auto& e : s->list()) {
        if (e.der == der) return true;
    }
    return false;
}

std::size_t copies_in_store(const std::string& store, const std::vector<uint8_t>& der) {
    auto s = platform::CertStore::open(store);
    std::size_t n = 0;
    if (s) {
        for (const auto& e : s->list()) n += e.der == der;
    }
    return n;
}

// A certificate unique to this run, so that a store shared with other runs
// (Wine's) never holds it already.
std::vector<uint8_t> fresh_certificate(const std::string& cn, qx::test::KeyKind kind = qx::test::KeyKind::Rsa) {
    return qx::test::self_signed(kind, cn + " " + std::to_string(platform::process_id()) + "-" +
                                           std::to_string(platform::tick_ms()),
                                 platform::tick_ms() * 1000 + platform::process_id());
}

class CertE2E : public KernelE2eTest<Exports> {
protected:
    void start(const std::string& extraConfig = "") {
        store_home();
        clear_tokens();
        open_blank_token("cert", "", kSlots + extraConfig);
        if (HasFatalFailure()) return;
        provider_ = test_provider(name_);
        ASSERT_TRUE(initialise_and_login(*k_, h_));
        ASSERT_EQ(ERR_OK, k_->slotNo(h_, &slot_));
    }
    void write_config(const std::string& extra) {
        write_bytes(dir_ + "Config.ini", plain_ini(e2e_config(provider_, "", kSlots + extra)));
    }
    std::vector<uint8_t> read_cert(uint32_t slot, uint32_t* status = nullptr) {
        uint32_t length = 0;
        uint32_t rc = k_->readCert(h_, slot, nullptr, &length);
        std::vector<uint8_t> out(length);
        if (rc == ERR_OK) rc = k_->readCert(h_, slot, out.data(), &length);
        if (status) *status = rc;
        if (rc != ERR_OK) return {};
        out.resize(length);
        return out;
    }
    void put_record(uint32_t i, const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(vtoken::StoreStatus::Ok, vtoken::TokenStore(vtoken_home()).update(name_, [&](vtoken::TokenState& s) {
            vtoken::CardFile* file = s.mf->child(0x3F01)->child(0x0003);
            std::copy(bytes.begin(), bytes.end(), file->data.begin() + long(i * kRecord));
            return true;
        }));
    }
    std::vector<uint8_t> record(uint32_t i) {
        vtoken::TokenState s;
        EXPECT_EQ(vtoken::StoreStatus::Ok, vtoken::TokenStore(vtoken_home()).read(name_, s));
        const auto& t = s.mf->child(0x3F01)->child(0x0003)->data;
        return std::vector<uint8_t>(t.begin() + long(i * kRecord), t.begin() + long((i + 1) * kRecord));
    }
    int run_child(const std::string& role, const std::vector<std::string>& args) {
        auto child = platform::ChildProcess::spawn(qx::test::child_command(role, args));
        if (!child) return -1;
        return child->wait();
    }

    std::string provider_;
    uint32_t slot_ = 0;
};

TEST_F(CertE2E, CertificatesRoundTripAndAreCached) {
    start();
    struct Case {
        uint32_t slot;
        uint32_t size;
        bool cached;
    } cases[] = {{1, 254, true}, {2, 1500, true}, {3, 2048, false}};
    for (const auto& c : cases) {
        const auto cert = qx::test::der_blob(c.size, static_cast<uint8_t>(c.slot));
        ASSERT_EQ(ERR_OK, k_->writeCert(h_, c.slot, cert.data(), c.size)) << c.size;
        uint32_t length = 0;
        ASSERT_EQ(ERR_OK, k_->readCert(h_, c.slot, nullptr, &length)) << c.size;
        EXPECT_EQ(length, c.size);
        std::vector<uint8_t> small(c.size - 1);
        length = c.size - 1;
        EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k_->readCert(h_, c.slot, small.data(), &length));
        EXPECT_EQ(length, c.size - 1) << "a short buffer leaves the length as it was";
        EXPECT_EQ(read_cert(c.slot), cert) << c.size;
        EXPECT_EQ(cached(*k_, slot_, c.slot), c.cached ? cert : std::vector<uint8_t>{}) << c.size;
    }
    // 2049 bytes do not fit the slot's file: refused, the old one kept.
    const auto old = read_cert(1);
    const auto big = qx::test::der_blob(2049);
    EXPECT_EQ(ERR_COMMAND_FAILED, k_->writeCert(h_, 1, big.data(), 2049));
    EXPECT_EQ(read_cert(1), old);
    // An empty slot answers "no certificate".
    uint32_t rc = 0;
    read_cert(4, &rc);
    EXPECT_EQ(rc, ERR_COMMAND_FAILED);
}

QX_TEST_CHILD(cert_read_cache) {
    // args: kernel directory, device slot, entry, expected file
    Exports k(args.at(0));
    if (!k.m) return 2;
    const auto expected = platform::read_file(args.at(3));
    if (!expected) return 3;
    const auto got = cached(k, static_cast<uint32_t>(std::stoul(args.at(1))), static_cast<uint32_t>(std::stoul(args.at(2))));
    return got == *expected ? 0 : 1;
}

TEST_F(CertE2E, TheCacheIsSeenFromAnotherProcessAndReadPositionsArePerThread) {
    start();
    const auto one = qx::test::der_blob(300, 1), two = qx::test::der_blob(700, 2);
    ASSERT_EQ(ERR_OK, k_->writeCert(h_, 1, one.data(), 300));
    ASSERT_EQ(ERR_OK, k_->writeCert(h_, 2, two.data(), 700));
    const std::string expected = dir_ + "expected.der";
    write_bytes(expected, two);
    EXPECT_EQ(0, run_child("cert_read_cache", {dir_, std::to_string(slot_), "2", expected}));

    // Two threads walking the cache each keep their own position.
    std::vector<uint8_t> a(2046), b(2046);
    uint32_t la = 2046, lb = 2046;
    ASSERT_EQ(ERR_OK, k_->readMem(slot_, a.data(), &la, 1));
    std::thread other([&] {
        uint32_t l = 2046;
        k_->readMem(slot_, b.data(), &l, 1);
        lb = l;
    });
    other.join();
    la = 2046;
    ASSERT_EQ(ERR_OK, k_->readMem(slot_, a.data(), &la, 0));
    EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + la), two);
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + lb), one);
    // The walk ends after entry 16, and keeps ending.
    uint32_t status = ERR_OK;
    for (int i = 0; i < 20 && status == ERR_OK; ++i) {
        la = 2046;
        status = k_->readMem(slot_, a.data(), &la, 0);
    }
    EXPECT_EQ(status, ERR_NOT_FOUND);
    la = 2046;
    EXPECT_EQ(ERR_NOT_FOUND, k_->readMem(slot_, a.data(), &la, 0));

    // Deleting from the cache needs the exact bytes; clearing empties the slot.
    EXPECT_EQ(ERR_OK, k_->deleteMem(h_, 1, two.data(), 700));
    EXPECT_EQ(cached(*k_, slot_, 1), one);
    EXPECT_EQ(ERR_OK, k_->deleteMem(h_, 1, one.data(), 300));
    EXPECT_TRUE(cached(*k_, slot_, 1).empty());
    EXPECT_EQ(ERR_OK, k_->clearMem(slot_));
    EXPECT_TRUE(cached(*k_, slot_, 2).empty());
}

TEST_F(CertE2E, DeletingAUserCertUnbindsTheSlot) {
    start();
    put_record(0, record_bytes("only", 1, 0xFFFFFFFF));
    put_record(1, record_bytes("two", 2, 3));
    ContainerHandle two = nullptr;
    ASSERT_EQ(ERR_OK, k_->openC(h_, "two", &two));
    const auto cert = qx::test::der_blob(400, 9);
    ASSERT_EQ(ERR_OK, k_->writeCert(h_, 3, cert.data(), 400));
    ASSERT_EQ(cached(*k_, slot_, 3), cert);
    uint32_t index = 0;
    ASSERT_EQ(ERR_OK, k_->certIndex(two, 1, &index));
    ASSERT_EQ(index, 3u);

    // The only key pair: the whole record is freed.
    EXPECT_EQ(ERR_OK, k_->deleteUserCert(h_, 1, nullptr, 0));
    EXPECT_EQ(record(0), std::vector<uint8_t>(kRecord, 0xFF));
    // One of two: the container keeps the other, its cached object too, and
    // the certificate leaves the cache.
    EXPECT_EQ(ERR_OK, k_->deleteUserCert(h_, 3, cert.data(), 400));
    EXPECT_EQ(record(1), record_bytes("two", 2, 0xFFFFFFFF));
    EXPECT_EQ(ERR_KEY_NOT_IN_CONTAINER, k_->certIndex(two, 1, &index));
    EXPECT_EQ(ERR_OK, k_->certIndex(two, 2, &index));
    EXPECT_EQ(index, 2u);
    EXPECT_TRUE(cached(*k_, slot_, 3).empty());
    // The certificate itself stays on the token.
    EXPECT_EQ(read_cert(3), cert);
    // No container names the slot any more.
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, k_->deleteUserCert(h_, 3, nullptr, 0));
    k_->closeC(two);
}

TEST_F(CertE2E, ConcurrentUnbindingsOfOneContainerLoseNothing) {
    start();
    // Each thread clears one index of the same record; a read-modify-write
    // that let the other in between would leave an index behind.
    for (int round = 0; round < 8; ++round) {
        put_record(0, record_bytes("pair", 2, 3));
        uint32_t rc2 = 0, rc3 = 0;
        std::thread a([&] { rc2 = k_->deleteUserCert(h_, 2, nullptr, 0); });
        std::thread b([&] { rc3 = k_->deleteUserCert(h_, 3, nullptr, 0); });
        a.join();
        b.join();
        ASSERT_EQ(rc2, ERR_OK) << round;
        ASSERT_EQ(rc3, ERR_OK) << round;
        ASSERT_EQ(record(0), std::vector<uint8_t>(kRecord, 0xFF)) << round;
    }
}

QX_TEST_CHILD(cert_write_loop) {
    // args: kernel directory, device name, ready file; writes and reads slot 1 (cached) repeatedly
    Exports k(args.at(0));
    DeviceHandle h = nullptr;
    if (!k.m) return 2;
    uint32_t rc = k.openDezo(args.at(1).c_str(), &h);
    if (rc != ERR_OK || !h) {
        std::fprintf(stderr, "writer: opening gave 0x%x\n", rc);
        return 2;
    }
    std::string pin = kUserPin;
    rc = k.verify(h, QXTOKEN_PIN_USER, pin.data(), 6);
    if (rc != ERR_OK) {
        std::fprintf(stderr, "writer: verifying the PIN gave 0x%x\n", rc);
        return 3;
    }
    write_bytes(args.at(2), {1});  // ready: the loop starts
    const auto cert = qx::test::der_blob(600, 5);
    std::vector<uint8_t> back(600);
    for (int i = 0; i < 40; ++i) {
        uint32_t length = 600;
        if (k.writeCert(h, 1, cert.data(), 600) != ERR_OK) return 4;
        if (k.readCert(h, 1, back.data(), &length) != ERR_OK || back != cert) return 5;
    }
    k.closeDevice(h);
    return 0;
}

QX_TEST_CHILD(cert_open_loop) {
    // args: kernel directory, device name; opens (shared memory, then the token's lock) repeatedly
    Exports k(args.at(0));
    if (!k.m) return 2;
    for (int i = 0; i < 40; ++i) {
        DeviceHandle h = nullptr;
        const uint32_t rc = k.openDezo(args.at(1).c_str(), &h);
        if (rc != ERR_OK || !h) {
            std::fprintf(stderr, "opener: opening gave 0x%x\n", rc);
            return 3;
        }
        k.closeDevice(h);
    }
    return 0;
}

TEST_F(CertE2E, CacheWritesAndDeviceOpeningDoNotDeadlock) {
    start();
    // Opening takes the shared-memory lock and then the token's logical lock;
    // a certificate command that wrote the cache while still holding the
    // logical lock would wait for the other order.
    // The opener starts once the writer has opened the token and verified
    // the PIN, so that only the two loops meet.
    const std::string ready = dir_ + "writer-ready";
    auto writer = platform::ChildProcess::spawn(qx::test::child_command("cert_write_loop", {dir_, device_, ready}));
    ASSERT_NE(writer, nullptr);
    int writerExit = -1, openerExit = -1;
    bool writerDone = false;
    for (int i = 0; i < 600 && !writerDone && !platform::file_exists(ready); ++i)
        writerDone = writer->wait_for(100, &writerExit);
    ASSERT_TRUE(platform::file_exists(ready)) << "the writer did not start: " << writerExit;
    auto opener = platform::ChildProcess::spawn(qx::test::child_command("cert_open_loop", {dir_, device_}));
    ASSERT_NE(opener, nullptr);
    if (!writerDone) writerDone = writer->wait_for(120000, &writerExit);
    const bool openerDone = opener->wait_for(writerDone ? 120000 : 1000, &openerExit);
    if (!writerDone) writer->kill();
    if (!openerDone) opener->kill();
    ASSERT_TRUE(writerDone && openerDone) << "deadlock";
    EXPECT_EQ(writerExit, 0);
    EXPECT_EQ(openerExit, 0);
}

QX_TEST_CHILD(cert_register) {
    // args: kernel directory, certificate file, container
    Exports k(args.at(0));
    auto der = platform::read_file(args.at(1));
    if (!k.m || !der) return 2;
    char cn[1024] = {};
    if (k.regUserCert(der->data(), static_cast<uint32_t>(der->size()), args.at(2).c_str(), 2, cn) != ERR_OK) return 3;
    return std::string(cn).rfind("Cross Process", 0) == 0 ? 0 : 4;
}

QX_TEST_CHILD(cert_find) {
    // args: certificate file, container, provider; exits 0 found with that property, 1 not found
    auto der = platform::read_file(args.at(0));
    auto store = platform::CertStore::open("MY");
    if (!der || !store) return 2;
    platform::StoredCertificate found;
    const auto s = store->find(der->data(), der->size(), &found);
    if (s == platform::StoreStatus::NotFound) return 1;
    if (s != platform::StoreStatus::Ok || !found.keyProvider) return 3;
    const platform::KeyProvider& p = *found.keyProvider;
    const std::u16string container(args.at(1).begin(), args.at(1).end()), provider(args.at(2).begin(), args.at(2).end());
    return p.container == container && p.provider == provider && p.providerType == 1 && p.flags == 0 &&
                   p.keySpec == 2
               ? 0
               : 5;
}

QX_TEST_CHILD(cert_unregister) {
    Exports k(args.at(0));
    auto der = platform::read_file(args.at(1));
    if (!k.m || !der) return 2;
    return k.unregUserCert(der->data(), static_cast<uint32_t>(der->size())) == ERR_OK ? 0 : 3;
}

TEST_F(CertE2E, UserCertificatesAcrossProcesses) {
    start();
    const auto cert = fresh_certificate("Cross Process");
    const std::string file = dir_ + "user.der";
    write_bytes(file, cert);
    EXPECT_EQ(0, run_child("cert_register", {dir_, file, "ctr-e2e"}));
    EXPECT_EQ(0, run_child("cert_find", {file, "ctr-e2e", provider_}));
    EXPECT_EQ(0, run_child("cert_unregister", {dir_, file}));
    EXPECT_EQ(1, run_child("cert_find", {file, "ctr-e2e", provider_}));
    EXPECT_EQ(ERR_COMMAND_FAILED, k_->unregUserCert(cert.data(), static_cast<uint32_t>(cert.size())));
}

TEST_F(CertE2E, StoreRegistrationKeepsOneEntry) {
    start();
    const auto cert = fresh_certificate("Store Twice");
    for (const char* store : {"ca", "root"}) {
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(1u, k_->regToStore(wide(store).c_str(), cert.data(), static_cast<uint32_t>(cert.size())))
                << store;
        }
        EXPECT_EQ(copies_in_store(store, cert), 1u) << store;
        auto s = platform::CertStore::open(store);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->remove(cert.data(), cert.size()), platform::StoreStatus::Ok);
    }
    std::vector<uint8_t> zeroFirst = cert;
    zeroFirst[0] = 0;
    const auto garbage = qx::test::der_blob(500);
    struct Case {
        const char* what;
        std::basic_string<QXWCHAR> store;
        bool nullStore;
        const std::vector<uint8_t>* der;
        uint32_t length;
    } cases[] = {
        {"no store", {}, true, &cert, static_cast<uint32_t>(cert.size())},
        {"empty name", wide(""), false, &cert, static_cast<uint32_t>(cert.size())},
        {"nested name", wide("ca\\sub"), false, &cert, static_cast<uint32_t>(cert.size())},
        {"long name", wide(std::string(65, 'a')), false, &cert, static_cast<uint32_t>(cert.size())},
        {"length 0", wide("ca"), false, &cert, 0},
        {"first byte 0", wide("ca"), false, &zeroFirst, static_cast<uint32_t>(cert.size())},
        {"unparsable", wide("ca"), false, &garbage, 500},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(0u, k_->regToStore(c.nullStore ? nullptr : c.store.c_str(), c.der->data(), c.length)) << c.what;
    }
    EXPECT_EQ(0u, k_->regToStore(wide("ca").c_str(), nullptr, 10));
}

TEST_F(CertE2E, ListedCaAndRootCertificatesAreInstalled) {
    start();
    const auto ca = fresh_certificate("Listed CA"), root = fresh_certificate("Listed Root", qx::test::KeyKind::Sm2);
    auto oversized = fresh_certificate("Oversized");
    const auto oversizedCert = oversized;
    oversized.resize(5000, 0);
    write_bytes(dir_ + "ca1.cer", ca);
    write_bytes(dir_ + "big.cer", oversized);
    write_bytes(dir_ + "empty.cer", {});
    write_bytes(dir_ + "root1.cer", root);
    write_config("\r\n[InstallCert]\r\nCACertNum = 4\r\nRootCertNum = 1\r\nCACert[1] = ca1.cer\r\n"
                 "CACert[2] = missing.cer\r\nCACert[3] = big.cer\r\nCACert[4] = empty.cer\r\nRootCert[1] = root1.cer\r\n");
    EXPECT_EQ(1u, k_->regCA());
    EXPECT_TRUE(in_store("ca", ca));
    EXPECT_TRUE(in_store("root", root));
    EXPECT_FALSE(in_store("ca", oversizedCert));
    for (auto [store, der] : {std::pair{"ca", &ca}, std::pair{"root", &root}}) {
        auto s = platform::CertStore::open(store);
        ASSERT_NE(s, nullptr);
        s->remove(der->data(), der->size());
    }
    // Nothing listed: still 1.
    write_config("");
    EXPECT_EQ(1u, k_->regCA());
}

TEST_F(CertE2E, InitialisationUnregistersTheSlotsCertificates) {
    start();
    const auto cert = fresh_certificate("Before Init");
    ASSERT_EQ(ERR_OK, k_->regUserCert(cert.data(), static_cast<uint32_t>(cert.size()), "ctr-init", 2, nullptr));
    ASSERT_EQ(ERR_OK, k_->writeCert(h_, 1, cert.data(), static_cast<uint32_t>(cert.size())));
    ASSERT_TRUE(in_store("MY", cert));
    ASSERT_EQ(ERR_OK, k_->init(h_, kUserPin, 6, "87654321", 8, reinterpret_cast<const uint8_t*>("T"), 1));
    EXPECT_FALSE(in_store("MY", cert));
    EXPECT_TRUE(cached(*k_, slot_, 1).empty());
}

TEST_F(CertE2E, BadArgumentsAreRefused) {
    start();
    const auto cert = fresh_certificate("Bad Input");
    const uint32_t n = static_cast<uint32_t>(cert.size());
    std::vector<uint8_t> buffer(4096);
    uint32_t length = 4096;
    const auto garbage = qx::test::der_blob(300);
    int bogus = 0;
    struct Case {
        const char* what;
        uint32_t got;
        uint32_t expected;
    } cases[] = {
        {"read: no device", k_->readCert(nullptr, 1, buffer.data(), &length), ERR_INVALID_HANDLE},
        {"read: foreign handle", k_->readCert(&bogus, 1, buffer.data(), &length), ERR_INVALID_HANDLE},
        {"read: no length", k_->readCert(h_, 1, buffer.data(), nullptr), ERR_INVALID_PARAM},
        {"read: slot 0", k_->readCert(h_, 0, buffer.data(), &length), ERR_INVALID_PARAM},
        {"read: slot 31", k_->readCert(h_, 31, buffer.data(), &length), ERR_INVALID_PARAM},
        {"read: slot 256", k_->readCert(h_, 256, buffer.data(), &length), ERR_INVALID_PARAM},
        {"write: no device", k_->writeCert(nullptr, 1, cert.data(), n), ERR_INVALID_HANDLE},
        {"write: no data", k_->writeCert(h_, 1, nullptr, n), ERR_INVALID_PARAM},
        {"write: length 0", k_->writeCert(h_, 1, cert.data(), 0), ERR_INVALID_PARAM},
        {"write: slot 31", k_->writeCert(h_, 31, cert.data(), n), ERR_INVALID_PARAM},
        {"delete: no device", k_->deleteUserCert(nullptr, 1, nullptr, 0), ERR_INVALID_HANDLE},
        {"delete: slot 0", k_->deleteUserCert(h_, 0, nullptr, 0), ERR_INVALID_PARAM},
        {"delete: slot 31", k_->deleteUserCert(h_, 31, nullptr, 0), ERR_INVALID_PARAM},
        {"register: no certificate", k_->regUserCert(nullptr, n, "c", 2, nullptr), ERR_INVALID_PARAM},
        {"register: length 0", k_->regUserCert(cert.data(), 0, "c", 2, nullptr), ERR_INVALID_PARAM},
        {"register: no container", k_->regUserCert(cert.data(), n, nullptr, 2, nullptr), ERR_INVALID_PARAM},
        {"register: container of 260", k_->regUserCert(cert.data(), n, std::string(260, 'c').c_str(), 2, nullptr),
         ERR_INVALID_PARAM},
        {"register: unparsable", k_->regUserCert(garbage.data(), 300, "c", 2, nullptr), ERR_COMMAND_FAILED},
        {"unregister: no certificate", k_->unregUserCert(nullptr, n), ERR_INVALID_PARAM},
        {"unregister: length 0", k_->unregUserCert(cert.data(), 0), ERR_INVALID_PARAM},
        {"unregister: unparsable", k_->unregUserCert(garbage.data(), 300), ERR_COMMAND_FAILED},
        {"read cache: no buffer", k_->readMem(slot_, nullptr, &length, 1), ERR_INVALID_PARAM},
        {"read cache: no length", k_->readMem(slot_, buffer.data(), nullptr, 1), ERR_INVALID_PARAM},
        {"read cache: slot 4", k_->readMem(4, buffer.data(), &length, 1), ERR_INVALID_PARAM},
        {"delete cache: no device", k_->deleteMem(nullptr, 1, cert.data(), n), ERR_INVALID_HANDLE},
        {"delete cache: no certificate", k_->deleteMem(h_, 1, nullptr, n), ERR_INVALID_PARAM},
        {"clear cache: slot 4", k_->clearMem(4), ERR_INVALID_PARAM},
        // The self-signed test answers 1 or 0 (RSA, SM2 and issued ones: kernel_cert_test).
        {"self-signed: root", k_->isSignSelf(cert.data(), n), 1},
        {"self-signed: unparsable", k_->isSignSelf(garbage.data(), 300), 0},
        {"self-signed: no certificate", k_->isSignSelf(nullptr, n), 0},
        {"self-signed: length 0", k_->isSignSelf(cert.data(), 0), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;

    // A container name of 259 characters is the longest accepted; the
    // common name comes back as 8-bit text.
    char cn[1024];
    std::memset(cn, 'x', sizeof cn);
    ASSERT_EQ(ERR_OK, k_->regUserCert(cert.data(), n, std::string(259, 'c').c_str(), 1, cn));
    EXPECT_EQ(std::string(cn).rfind("Bad Input", 0), 0u);
    EXPECT_EQ(ERR_OK, k_->unregUserCert(cert.data(), n));
}

}  // namespace
}  // namespace qx::kernel::test
