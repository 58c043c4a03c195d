// Containers end to end: the kernel module as applications load it, on a
// fresh virtual token per test, initialised and with the user PIN verified.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenKernel.h"
#include "device/cardos/state.h"
#include "device/store/token_store.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "support/kernel_e2e.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"
#include "tests/support/qx_test_main.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr uint32_t kRecord = 280;

struct Exports : KernelExports {
    using KernelExports::KernelExports;
    PFN_QXToken_OpenDeviceByName open = bind<PFN_QXToken_OpenDeviceByName>("QXToken_OpenDeviceByName");
    PFN_QXToken_EnumContainer enumerate = bind<PFN_QXToken_EnumContainer>("QXToken_EnumContainer");
    PFN_QXToken_OpenContainer openC = bind<PFN_QXToken_OpenContainer>("QXToken_OpenContainer");
    PFN_QXToken_CloseContainer closeC = bind<PFN_QXToken_CloseContainer>("QXToken_CloseContainer");
    PFN_QXToken_CreateContainer create = bind<PFN_QXToken_CreateContainer>("QXToken_CreateContainer");
    PFN_QXToken_DeleteContainerByHandle deleteH =
        bind<PFN_QXToken_DeleteContainerByHandle>("QXToken_DeleteContainerByHandle");
    PFN_QXToken_DeleteContainerByName deleteN = bind<PFN_QXToken_DeleteContainerByName>("QXToken_DeleteContainerByName");
    PFN_QXToken_UpdateContainer update = bind<PFN_QXToken_UpdateContainer>("QXToken_UpdateContainer");
    PFN_QXToken_GetContainerName name = bind<PFN_QXToken_GetContainerName>("QXToken_GetContainerName");
    PFN_QXToken_GetContainerType type = bind<PFN_QXToken_GetContainerType>("QXToken_GetContainerType");
    PFN_QXToken_SetContainerType setType = bind<PFN_QXToken_SetContainerType>("QXToken_SetContainerType");
    PFN_QXToken_GetContainerStatus status = bind<PFN_QXToken_GetContainerStatus>("QXToken_GetContainerStatus");
    PFN_QXToken_SetContainerStatus setStatus = bind<PFN_QXToken_SetContainerStatus>("QXToken_SetContainerStatus");
    PFN_QXToken_GetCertIndexFormContainer certIndex =
        bind<PFN_QXToken_GetCertIndexFormContainer>("QXToken_GetCertIndexFormContainer");
};

// One record as the test writes it straight into the token.
std::vector<uint8_t> record_bytes(const std::string& name, uint32_t type, uint32_t status, uint32_t sig, uint32_t exch,
                                  uint32_t spare = 0xFFFFFFFF) {
    std::vector<uint8_t> r(kRecord, 0);
    std::memcpy(r.data(), name.data(), name.size());
    const uint32_t words[] = {type, status, sig, exch, spare};
    for (int i = 0; i < 5; ++i) {
        for (int b = 0; b < 4; ++b) r[260 + 4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
    }
    return r;
}

// Creates containers NAME0.. on the token from another process.
QX_TEST_CHILD(container_creator) {
    Exports k(args.at(0));
    DeviceHandle h = nullptr;
    if (!k.m || k.open(args.at(1).c_str(), &h) != ERR_OK) return 11;
    int failures = 0;
    for (int i = 0; i < std::stoi(args.at(3)); ++i) {
        ContainerHandle c = nullptr;
        failures += k.create(h, (args.at(2) + std::to_string(i)).c_str(), 1, &c) != ERR_OK;
    }
    k.closeDevice(h);
    return failures;
}

class ContainerTest : public KernelE2eTest<Exports> {
protected:
    // A fresh token and a kernel installation of this test's own; `config`
    // goes into [QXTokenInfo].  Unless `blank`, the token is initialised and
    // the user PIN verified.
    void start(const std::string& config = "", bool blank = false) {
        TearDown();
        clear_tokens();
        open_blank_token("ct", "\r\n" + config);
        if (blank || HasFatalFailure()) return;
        ASSERT_TRUE(initialise_and_login(*k_, h_));
    }
    uint32_t verify(DeviceHandle h) {
        std::string pin = kUserPin;
        return k_->verify(h, QXTOKEN_PIN_USER, pin.data(), 6);
    }
    ContainerHandle create(const std::string& n, uint32_t type = QXTOKEN_CONTAINER_RSA) {
        ContainerHandle c = nullptr;
        EXPECT_EQ(ERR_OK, k_->create(h_, n.c_str(), type, &c)) << n;
        return c;
    }
    std::string name_of(ContainerHandle c) {
        char buffer[260] = {};
        uint32_t length = sizeof buffer;
        const uint32_t rc = k_->name(c, buffer, &length);
        return rc == ERR_OK ? std::string(buffer) : "error " + std::to_string(rc);
    }
    // Names of the containers an enumeration from the start lists.
    std::vector<std::string> listed(uint32_t mask = 0xFF) {
        std::vector<std::string> names;
        uint32_t position = 0;
        ContainerHandle c = nullptr;
        while (k_->enumerate(h_, mask, &position, &c) == ERR_OK) names.push_back(name_of(c));
        return names;
    }
    // The container table as it lies on the token.
    std::vector<uint8_t> table() {
        vtoken::TokenState s;
        EXPECT_EQ(vtoken::StoreStatus::Ok, vtoken::TokenStore(vtoken_home()).read(name_, s));
        const vtoken::CardFile* adf = s.mf ? s.mf->child(0x3F01) : nullptr;
        const vtoken::CardFile* file = adf ? adf->child(0x0003) : nullptr;
        return file ? file->data : std::vector<uint8_t>{};
    }
    std::vector<uint8_t> record(uint32_t i) {
        const auto t = table();
        if (t.size() < (i + 1) * kRecord) return {};
        return std::vector<uint8_t>(t.begin() + long(i * kRecord), t.begin() + long((i + 1) * kRecord));
    }
    void put_record(uint32_t i, const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(vtoken::StoreStatus::Ok, vtoken::TokenStore(vtoken_home()).update(name_, [&](vtoken::TokenState& s) {
            vtoken::CardFile* file = s.mf->child(0x3F01)->child(0x0003);
            std::copy(bytes.begin(), bytes.end(), file->data.begin() + long(i * kRecord));
            return true;
        }));
    }

};

TEST_F(ContainerTest, FreshTokenListsNothingThenTakesMaxContainerCountContainers) {
    struct Case {
        const char* config;
        uint32_t count;
    };
    for (const Case& c : {Case{"", 5}, Case{"MaxContainerCount = 1", 1}, Case{"MaxContainerCount = 3", 3}}) {
        SCOPED_TRACE(c.config);
        start(c.config);
        EXPECT_EQ(std::vector<uint8_t>(c.count * kRecord, 0xFF), table());
        uint32_t position = 0;
        ContainerHandle h = nullptr;
        EXPECT_EQ(ERR_NO_CONTAINER, k_->enumerate(h_, 0xFF, &position, &h));
        EXPECT_EQ(0u, position);

        std::vector<std::string> names;
        for (uint32_t i = 0; i < c.count; ++i) {
            names.push_back("box" + std::to_string(i));
            ASSERT_NE(nullptr, create(names.back()));
        }
        ContainerHandle extra = reinterpret_cast<ContainerHandle>(1);
        EXPECT_EQ(ERR_CONTAINER_FULL, k_->create(h_, "one-too-many", 1, &extra));
        EXPECT_EQ(nullptr, extra);
        EXPECT_EQ(names, listed());
        EXPECT_EQ(record_bytes("box0", 1, 1, 0xFFFFFFFF, 0xFFFFFFFF), record(0));
    }
}

TEST_F(ContainerTest, EnumerationSelectsByTypeMask) {
    start();
    create("rsa", QXTOKEN_CONTAINER_RSA);
    create("sm2", QXTOKEN_CONTAINER_SM2);
    create("four", 4);
    create("eight", 8);
    struct Case {
        uint32_t mask;
        std::vector<std::string> names;
    };
    for (const Case& c : {Case{1, {"rsa"}}, Case{2, {"sm2"}}, Case{3, {"rsa", "sm2"}}, Case{12, {"four", "eight"}},
                          Case{0xFF, {"rsa", "sm2", "four", "eight"}}, Case{16, {}}}) {
        EXPECT_EQ(c.names, listed(c.mask)) << c.mask;
    }
}

TEST_F(ContainerTest, AnExistingNameIsRefusedUnlessNamesMayRepeat) {
    start();
    ContainerHandle first = create("same");
    ContainerHandle again = reinterpret_cast<ContainerHandle>(1);
    EXPECT_EQ(ERR_CONTAINER_EXISTS, k_->create(h_, "same", 2, &again));
    EXPECT_EQ(nullptr, again);
    EXPECT_EQ(std::vector<uint8_t>(kRecord, 0xFF), record(1));
    // The refused creation left the existing handle alone.
    EXPECT_EQ("same", name_of(first));

    start("IsDEZORivov = 1");
    ContainerHandle a = create("same", 1);
    ContainerHandle b = create("same", 2);
    EXPECT_NE(a, b);
    EXPECT_EQ(record_bytes("same", 2, 1, 0xFFFFFFFF, 0xFFFFFFFF), record(1));
    EXPECT_EQ(ERR_OK, k_->closeC(a));
    EXPECT_EQ(ERR_OK, k_->closeC(b));
    ContainerHandle opened = nullptr;
    ASSERT_EQ(ERR_OK, k_->openC(h_, "same", &opened));
    uint32_t type = 0;
    EXPECT_EQ(ERR_OK, k_->type(opened, &type));
    EXPECT_EQ(1u, type);  // the first record
}

TEST_F(ContainerTest, OpeningTwiceGivesOneHandleThatTwoClosesDestroy) {
    start();
    ASSERT_EQ(ERR_OK, k_->closeC(create("box")));
    ContainerHandle a = nullptr, b = nullptr;
    ASSERT_EQ(ERR_OK, k_->openC(h_, "box", &a));
    ASSERT_EQ(ERR_OK, k_->openC(h_, "box", &b));
    EXPECT_EQ(a, b);
    EXPECT_EQ(ERR_OK, k_->closeC(a));
    EXPECT_EQ("box", name_of(a));
    EXPECT_EQ(ERR_OK, k_->closeC(a));
    uint32_t type = 0;
    EXPECT_EQ(ERR_INVALID_PARAM, k_->type(a, &type));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->closeC(a));

    // An enumerated handle has open count 0: one close destroys it, and an
    // open of its name in the meantime takes it over.
    uint32_t position = 0;
    ContainerHandle listedHandle = nullptr;
    ASSERT_EQ(ERR_OK, k_->enumerate(h_, 0xFF, &position, &listedHandle));
    ContainerHandle opened = nullptr;
    ASSERT_EQ(ERR_OK, k_->openC(h_, "box", &opened));
    EXPECT_EQ(listedHandle, opened);
    EXPECT_EQ(ERR_OK, k_->closeC(opened));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->closeC(opened));
    ASSERT_EQ(ERR_OK, k_->enumerate(h_, 0xFF, &(position = 0), &listedHandle));
    EXPECT_EQ(ERR_OK, k_->closeC(listedHandle));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->status(listedHandle, &type));

    ContainerHandle missing = reinterpret_cast<ContainerHandle>(1);
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, k_->openC(h_, "nobody", &missing));
    EXPECT_EQ(nullptr, missing);
}

TEST_F(ContainerTest, NamesFollowTheBufferConventionAndTheirFieldSize) {
    start();
    ContainerHandle c = create("seven77");
    struct Case {
        bool buffer;
        uint32_t length, rc, lengthAfter;
    };
    for (const Case& t : {Case{false, 0, ERR_BUFFER_TOO_SMALL, 8}, Case{false, 100, ERR_BUFFER_TOO_SMALL, 8},
                          Case{true, 7, ERR_BUFFER_TOO_SMALL, 8}, Case{true, 8, ERR_OK, 8}, Case{true, 260, ERR_OK, 8}}) {
        char buffer[260];
        std::memset(buffer, 'x', sizeof buffer);
        uint32_t length = t.length;
        EXPECT_EQ(t.rc, k_->name(c, t.buffer ? buffer : nullptr, &length)) << t.length;
        EXPECT_EQ(t.lengthAfter, length);
        EXPECT_EQ(t.rc == ERR_OK ? std::string("seven77\0", 8) : std::string(8, 'x'), std::string(buffer, 8));
    }
    // 259 characters fill the field with its NUL; longer or empty names are refused untouched.
    const std::string longest(259, 'n');
    EXPECT_EQ(longest, name_of(create(longest)));
    EXPECT_EQ(0, std::memcmp(record(1).data(), (longest + '\0').data(), 260));
    ContainerHandle other = nullptr;
    for (const std::string& bad : {longest + 'n', std::string()}) {
        EXPECT_EQ(ERR_INVALID_PARAM, k_->create(h_, bad.c_str(), 1, &other));
        EXPECT_EQ(ERR_INVALID_PARAM, k_->openC(h_, bad.c_str(), &other));
        EXPECT_EQ(ERR_INVALID_PARAM, k_->deleteN(h_, bad.c_str()));
    }
    EXPECT_EQ(std::vector<uint8_t>(kRecord, 0xFF), record(2));
}

TEST_F(ContainerTest, DeletingWritesAFreeRecordAndEndsTheHandle) {
    start();
    ContainerHandle a = create("a");
    ContainerHandle b = create("b");
    create("c");
    EXPECT_EQ(ERR_OK, k_->deleteH(a));
    EXPECT_EQ(std::vector<uint8_t>(kRecord, 0xFF), record(0));
    EXPECT_EQ(ERR_OK, k_->deleteN(h_, "c"));
    EXPECT_EQ(std::vector<uint8_t>(kRecord, 0xFF), record(2));
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, k_->deleteN(h_, "c"));
    uint32_t value = 0;
    EXPECT_EQ(ERR_INVALID_PARAM, k_->status(a, &value));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->deleteH(a));
    EXPECT_EQ(std::vector<std::string>{"b"}, listed());
    // The freed record is the next one taken.
    create("d");
    EXPECT_EQ(record_bytes("d", 1, 1, 0xFFFFFFFF, 0xFFFFFFFF), record(0));
    (void)b;
}

TEST_F(ContainerTest, ClosingOrDeletingDuringAnEnumerationNeitherSkipsNorRepeats) {
    enum class Action { Close, DeleteHandle, DeleteName, Nothing };
    for (Action action : {Action::Close, Action::DeleteHandle, Action::DeleteName, Action::Nothing}) {
        SCOPED_TRACE(static_cast<int>(action));
        start();
        for (const char* n : {"a", "b", "c", "d"}) k_->closeC(create(n));
        std::vector<std::string> seen;
        uint32_t position = 0;
        ContainerHandle c = nullptr;
        while (k_->enumerate(h_, 0xFF, &position, &c) == ERR_OK) {
            const std::string n = name_of(c);
            seen.push_back(n);
            if (n == "a" || n == "c") {
                uint32_t rc = ERR_OK;
                if (action == Action::Close) rc = k_->closeC(c);
                if (action == Action::DeleteHandle) rc = k_->deleteH(c);
                if (action == Action::DeleteName) rc = k_->deleteN(h_, n.c_str());
                EXPECT_EQ(ERR_OK, rc);
            }
            ASSERT_LE(seen.size(), 4u);
        }
        const uint32_t end = position;
        EXPECT_EQ(ERR_NO_CONTAINER, k_->enumerate(h_, 0xFF, &position, &c));
        EXPECT_EQ(end, position);
        EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d"}), seen);
    }
}

TEST_F(ContainerTest, TypeAndStatusAreWrittenAsAskedAndReportTheWrite) {
    start();
    ContainerHandle c = create("box", QXTOKEN_CONTAINER_RSA);
    uint32_t value = 0;
    EXPECT_EQ(ERR_OK, k_->setType(c, 2, 0));
    EXPECT_EQ(ERR_OK, k_->type(c, &value));
    EXPECT_EQ(2u, value);
    EXPECT_EQ(record_bytes("box", 1, 1, 0xFFFFFFFF, 0xFFFFFFFF), record(0));  // not written
    EXPECT_EQ(ERR_OK, k_->update(c));
    EXPECT_EQ(record_bytes("box", 2, 1, 0xFFFFFFFF, 0xFFFFFFFF), record(0));
    EXPECT_EQ(ERR_OK, k_->setType(c, 4, 1));
    EXPECT_EQ(ERR_OK, k_->setStatus(c, 5));
    EXPECT_EQ(record_bytes("box", 4, 5, 0xFFFFFFFF, 0xFFFFFFFF), record(0));
    EXPECT_EQ(ERR_OK, k_->status(c, &value));
    EXPECT_EQ(5u, value);

    // A record taken over by another container is neither re-read nor overwritten.
    put_record(0, record_bytes("other", 1, 1, 3, 4));
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, k_->setStatus(c, 2));
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, k_->setType(c, 1, 1));
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, k_->update(c));
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, k_->deleteH(c));
    EXPECT_EQ(record_bytes("other", 1, 1, 3, 4), record(0));
    // Opening the name again scans the table and finds it in its new place.
    put_record(3, record_bytes("box", 2, 2, 7, 8));
    ContainerHandle again = nullptr;
    ASSERT_EQ(ERR_OK, k_->openC(h_, "box", &again));
    EXPECT_EQ(c, again);
    EXPECT_EQ(ERR_OK, k_->status(again, &value));
    EXPECT_EQ(2u, value);
    EXPECT_EQ(ERR_OK, k_->setStatus(again, 9));
    EXPECT_EQ(record_bytes("box", 2, 9, 7, 8), record(3));
}

TEST_F(ContainerTest, CertificateIndexFollowsKeySpecStatusAndSlot) {
    start();
    struct Case {
        uint32_t status, sig, exch, keySpec;
        uint32_t rc, index;
    };
    const Case cases[] = {
        {2, 5, 6, 1, ERR_OK, 6},
        {2, 5, 6, 2, ERR_OK, 5},
        {1, 30, 1, 2, ERR_OK, 30},
        {3, 5, 6, 1, ERR_KEY_NOT_IN_CONTAINER, 0},
        {4, 5, 6, 2, ERR_KEY_NOT_IN_CONTAINER, 0},
        {2, 0, 6, 2, ERR_KEY_NOT_IN_CONTAINER, 0},
        {2, 31, 6, 2, ERR_KEY_NOT_IN_CONTAINER, 0},
        {2, 5, 0xFFFFFFFF, 1, ERR_KEY_NOT_IN_CONTAINER, 0},
        {2, 5, 6, 0, ERR_INVALID_PARAM, 0},
        {2, 5, 6, 3, ERR_INVALID_PARAM, 0},
    };
    for (const Case& t : cases) {
        put_record(0, record_bytes("keys", 1, t.status, t.sig, t.exch));
        uint32_t position = 0;
        ContainerHandle c = nullptr;
        ASSERT_EQ(ERR_OK, k_->enumerate(h_, 0xFF, &position, &c));
        uint32_t index = 0;
        EXPECT_EQ(t.rc, k_->certIndex(c, t.keySpec, &index)) << t.status << " " << t.keySpec;
        EXPECT_EQ(t.index, index);
    }
}

TEST_F(ContainerTest, InitialisationAndClosingTheDeviceEndTheHandles) {
    start();
    ContainerHandle c = create("box");
    ASSERT_EQ(ERR_OK, k_->init(h_, kUserPin, 6, "87654321", 8, reinterpret_cast<const uint8_t*>("T"), 1));
    uint32_t value = 0;
    EXPECT_EQ(ERR_INVALID_PARAM, k_->type(c, &value));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->closeC(c));
    ASSERT_EQ(ERR_OK, verify(h_));
    EXPECT_TRUE(listed().empty());

    c = create("box");
    ASSERT_EQ(ERR_OK, k_->closeDevice(h_));
    h_ = nullptr;
    EXPECT_EQ(ERR_INVALID_PARAM, k_->type(c, &value));
    ASSERT_EQ(ERR_OK, k_->open(device_.c_str(), &h_));
    ASSERT_EQ(ERR_OK, verify(h_));
    EXPECT_EQ(std::vector<std::string>{"box"}, listed());
}

TEST_F(ContainerTest, NoTableOrABadCountIsReportedNotTakenForNoContainers) {
    struct Case {
        const char* config;
        uint32_t rc;
    };
    // A blank token has no container table at all.
    for (const Case& t : {Case{"", ERR_READ_CONTAINER_FILE}, Case{"MaxContainerCount = 0", ERR_INVALID_PARAM},
                          Case{"MaxContainerCount = -1", ERR_INVALID_PARAM},
                          Case{"MaxContainerCount = 235", ERR_INVALID_PARAM}}) {
        SCOPED_TRACE(t.config);
        start(t.config, true);
        uint32_t position = 0;
        ContainerHandle c = reinterpret_cast<ContainerHandle>(1);
        EXPECT_EQ(t.rc, k_->enumerate(h_, 0xFF, &position, &c));
        EXPECT_EQ(0u, position);
        EXPECT_EQ(t.rc, k_->openC(h_, "box", &c));
        EXPECT_EQ(nullptr, c);
        EXPECT_NE(ERR_OK, k_->create(h_, "box", 1, &c));
        EXPECT_EQ(nullptr, c);
    }
}

TEST_F(ContainerTest, ThreadsSharingADeviceSeeLiveOrRefusedHandlesOnly) {
    start();
    k_->closeC(create("shared"));
    std::atomic<int> unexpected{0};
    auto allowed = [&](uint32_t rc, std::initializer_list<uint32_t> also) {
        if (rc == ERR_OK || rc == ERR_INVALID_PARAM) return;
        for (uint32_t a : also) {
            if (rc == a) return;
        }
        ++unexpected;
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // enumerations restart and discard what the others hold
        for (int i = 0; i < 15; ++i) {
            uint32_t position = 0, type = 0;
            ContainerHandle c = nullptr;
            uint32_t rc;
            while ((rc = k_->enumerate(h_, 0xFF, &position, &c)) == ERR_OK) allowed(k_->type(c, &type), {});
            allowed(rc, {ERR_NO_CONTAINER});
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 15; ++i) {
            ContainerHandle c = nullptr;
            allowed(k_->openC(h_, "shared", &c), {});
            allowed(k_->setStatus(c, 2), {ERR_CONTAINER_NOT_FOUND});
            allowed(k_->closeC(c), {});
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 15; ++i) {
            ContainerHandle c = nullptr;
            allowed(k_->create(h_, ("t" + std::to_string(i)).c_str(), 2, &c), {});
            allowed(k_->deleteN(h_, ("t" + std::to_string(i)).c_str()), {});
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, unexpected.load());
    EXPECT_EQ(std::vector<std::string>{"shared"}, listed());
}

TEST_F(ContainerTest, TwoProcessesCreatingAtOnceNeverShareARecord) {
    start("MaxContainerCount = 16");
    auto child = platform::ChildProcess::spawn(qx::test::child_command("container_creator", {dir_, device_, "c", "8"}));
    ASSERT_NE(nullptr, child);
    for (int i = 0; i < 8; ++i) create("p" + std::to_string(i));
    EXPECT_EQ(0, child->wait());
    // Each creation that succeeded kept its own record.
    const std::vector<std::string> names = listed();
    EXPECT_EQ(16u, names.size());
    EXPECT_EQ(16u, std::set<std::string>(names.begin(), names.end()).size());
}

TEST_F(ContainerTest, BadArgumentsAndForeignHandlesAreRefused) {
    start();
    ContainerHandle c = create("box");
    int notAHandle = 1;
    ContainerHandle out = nullptr;
    uint32_t value = 0, position = 0;
    char buffer[16];
    uint32_t length = sizeof buffer;
    struct Case {
        const char* what;
        uint32_t rc;
    };
    const Case cases[] = {
        {"create with a null out", k_->create(h_, "x", 1, nullptr)},
        {"create with a null name", k_->create(h_, nullptr, 1, &out)},
        {"create with type 3", k_->create(h_, "x", 3, &out)},
        {"create with type 0", k_->create(h_, "x", 0, &out)},
        {"create on a container handle", k_->create(c, "x", 1, &out)},
        {"create on a null device", k_->create(nullptr, "x", 1, &out)},
        {"open with a null out", k_->openC(h_, "box", nullptr)},
        {"open on a container handle", k_->openC(c, "box", &out)},
        {"enumerate with a null position", k_->enumerate(h_, 0xFF, nullptr, &out)},
        {"enumerate with a null out", k_->enumerate(h_, 0xFF, &position, nullptr)},
        {"enumerate on a foreign pointer", k_->enumerate(&notAHandle, 0xFF, &position, &out)},
        {"delete by name on a container handle", k_->deleteN(c, "box")},
        {"delete a device handle", k_->deleteH(h_)},
        {"close a device handle", k_->closeC(h_)},
        {"close null", k_->closeC(nullptr)},
        {"close a foreign pointer", k_->closeC(&notAHandle)},
        {"update a device handle", k_->update(h_)},
        {"name of a device handle", k_->name(h_, buffer, &length)},
        {"name with a null length", k_->name(c, buffer, nullptr)},
        {"type with a null out", k_->type(c, nullptr)},
        {"type of a device handle", k_->type(h_, &value)},
        {"set type on a device handle", k_->setType(h_, 1, 0)},
        {"set type and write on null", k_->setType(nullptr, 1, 1)},
        {"status with a null out", k_->status(c, nullptr)},
        {"set status on a device handle", k_->setStatus(h_, 1)},
        {"cert index with a null out", k_->certIndex(c, 1, nullptr)},
        {"cert index of a device handle", k_->certIndex(h_, 1, &value)},
    };
    for (const Case& t : cases) EXPECT_EQ(ERR_INVALID_PARAM, t.rc) << t.what;
    // None of it touched the container.
    EXPECT_EQ("box", name_of(c));
    EXPECT_EQ(std::vector<std::string>{"box"}, listed());
}

}  // namespace
}  // namespace qx::kernel::test
