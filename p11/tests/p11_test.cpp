// The module through its function list, as an application uses it, on fresh
// virtual tokens: argument and state rules, login and PIN counting, objects
// and their attributes, signing, deciphering, digests, key generation and
// certificates.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "p11/cryptoki.h"
#include "qx/platform/module.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kSoPin[] = "87654321";
constexpr char kUserPin[] = "123456";

CK_UTF8CHAR_PTR utf8(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }
CK_ULONG len(const char* s) { return static_cast<CK_ULONG>(std::strlen(s)); }

// The module installed beside a kernel of its own, loaded like an application loads it.
class P11 : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        dir_ = install_kernel("p11", std::string(kChannelWords) + "\r\n[InitKeypairsNum]\r\nRSA1024 = 2\r\nSM2256 = 2\r\n",
                              "RetryTimes = 3\r\n");
        const std::string bin = platform::directory_of(platform::executable_path());
        const std::string file = platform::module_file_name("QXP11");
        std::filesystem::copy_file(bin + file, dir_ + file, std::filesystem::copy_options::overwrite_existing);
        module_ = platform::Module(dir_ + file);
        ASSERT_TRUE(module_);
        auto get = module_.function<CK_C_GetFunctionList>("C_GetFunctionList");
        ASSERT_NE(nullptr, get);
        ASSERT_EQ(CKR_OK, get(&f_));
    }
    void TearDown() override {
        if (f_) f_->C_Finalize(nullptr);
    }

    // A blank token made ready by the module: initialised, user PIN set by the SO.
    CK_SLOT_ID ready_token(const std::string& name = "p11a") {
        create_blank_token(name);
        EXPECT_EQ(CKR_OK, f_->C_Initialize(nullptr));
        CK_SLOT_ID slot = first_slot();
        CK_UTF8CHAR label[32];
        std::memset(label, ' ', sizeof label);
        std::memcpy(label, "Module test", 11);
        EXPECT_EQ(CKR_OK, f_->C_InitToken(slot, utf8(kSoPin), len(kSoPin), label));
        CK_SESSION_HANDLE h = open(slot, true);
        EXPECT_EQ(CKR_OK, f_->C_Login(h, CKU_SO, utf8(kSoPin), len(kSoPin)));
        EXPECT_EQ(CKR_OK, f_->C_InitPIN(h, utf8(kUserPin), len(kUserPin)));
        EXPECT_EQ(CKR_OK, f_->C_CloseSession(h));
        return slot;
    }
    CK_SLOT_ID first_slot() {
        CK_SLOT_ID slots[8];
        CK_ULONG n = 8;
        EXPECT_EQ(CKR_OK, f_->C_GetSlotList(CK_TRUE, slots, &n));
        EXPECT_GE(n, 1u);
        return n ? slots[0] : 0;
    }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, bool rw) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(CKR_OK, f_->C_OpenSession(slot, CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0), nullptr, nullptr, &h));
        return h;
    }
    CK_SESSION_HANDLE user_session(CK_SLOT_ID slot) {
        CK_SESSION_HANDLE h = open(slot, true);
        EXPECT_EQ(CKR_OK, f_->C_Login(h, CKU_USER, utf8(kUserPin), len(kUserPin)));
        return h;
    }
    std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> generate(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE mech,
                                                           const char* label, CK_ULONG bits = 1024) {
        CK_MECHANISM m{mech, nullptr, 0};
        CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}};
        CK_ATTRIBUTE priv[] = {{CKA_LABEL, const_cast<char*>(label), len(label)}};
        CK_OBJECT_HANDLE hp = 0, hk = 0;
        EXPECT_EQ(CKR_OK, f_->C_GenerateKeyPair(h, &m, pub, mech == CKM_RSA_PKCS_KEY_PAIR_GEN ? 1 : 0, priv, 1, &hp, &hk));
        return {hp, hk};
    }
    Bytes attribute(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (f_->C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
        Bytes v(a.ulValueLen);
        a.pValue = v.data();
        EXPECT_EQ(CKR_OK, f_->C_GetAttributeValue(h, o, &a, 1));
        return v;
    }
    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE h, std::vector<CK_ATTRIBUTE> templ) {
        EXPECT_EQ(CKR_OK, f_->C_FindObjectsInit(h, templ.empty() ? nullptr : templ.data(), CK_ULONG(templ.size())));
        std::vector<CK_OBJECT_HANDLE> out(32);
        CK_ULONG n = 0;
        EXPECT_EQ(CKR_OK, f_->C_FindObjects(h, out.data(), CK_ULONG(out.size()), &n));
        EXPECT_EQ(CKR_OK, f_->C_FindObjectsFinal(h));
        out.resize(n);
        return out;
    }

    std::string dir_;
    platform::Module module_;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
};

TEST_F(P11, EveryFunctionIsThereAndNothingRunsBeforeInitialisation) {
    EXPECT_EQ(2, f_->version.major);
    EXPECT_EQ(40, f_->version.minor);
    const auto* entries = reinterpret_cast<void* const*>(&f_->C_Initialize);
    const size_t count = (sizeof(CK_FUNCTION_LIST) - offsetof(CK_FUNCTION_LIST, C_Initialize)) / sizeof(void*);
    EXPECT_EQ(68u, count);
    for (size_t i = 0; i < count; ++i) EXPECT_NE(nullptr, entries[i]) << "entry " << i;

    CK_INFO info;
    CK_ULONG n = 0;
    CK_SESSION_HANDLE h = 0;
    struct {
        const char* what;
        CK_RV rv;
    } cases[] = {
        {"C_GetInfo", f_->C_GetInfo(&info)},
        {"C_GetSlotList", f_->C_GetSlotList(CK_FALSE, nullptr, &n)},
        {"C_OpenSession", f_->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h)},
        {"C_Finalize", f_->C_Finalize(nullptr)},
        {"C_CloseAllSessions", f_->C_CloseAllSessions(0)},
        {"C_Login", f_->C_Login(1, CKU_USER, utf8(kUserPin), len(kUserPin))},
    };
    for (auto& c : cases) EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, c.rv) << c.what;
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f_->C_DigestKey(1, 1));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f_->C_GenerateKey(1, nullptr, nullptr, 0, nullptr));
}

CK_RV create_mutex(void** m) {
    *m = new int(0);
    return CKR_OK;
}
CK_RV destroy_mutex(void* m) {
    delete static_cast<int*>(m);
    return CKR_OK;
}
int g_locks = 0, g_unlocks = 0;
CK_RV lock_mutex(void* m) {
    ++*static_cast<int*>(m);
    ++g_locks;
    return CKR_OK;
}
CK_RV unlock_mutex(void* m) {
    --*static_cast<int*>(m);
    ++g_unlocks;
    return CKR_OK;
}

TEST_F(P11, InitialisationArgumentsAndTheCallersMutexes) {
    int reserved = 0;
    CK_C_INITIALIZE_ARGS partial{create_mutex, nullptr, lock_mutex, unlock_mutex, 0, nullptr};
    CK_C_INITIALIZE_ARGS withReserved{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, &reserved};
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_Initialize(&partial));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_Initialize(&withReserved));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_Finalize(&reserved));

    CK_C_INITIALIZE_ARGS callers{create_mutex, destroy_mutex, lock_mutex, unlock_mutex, 0, nullptr};
    g_locks = g_unlocks = 0;
    ASSERT_EQ(CKR_OK, f_->C_Initialize(&callers));
    EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, f_->C_Initialize(nullptr));
    CK_INFO info;
    ASSERT_EQ(CKR_OK, f_->C_GetInfo(&info));
    EXPECT_EQ(0, std::memcmp(info.manufacturerID, "QX ", 3));
    EXPECT_EQ(0, std::memcmp(info.libraryDescription, "QUORVANTIX PKCS11 LIBRARY ", 26));
    EXPECT_EQ(1, info.libraryVersion.major);
    EXPECT_EQ(1, info.libraryVersion.minor);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_GetInfo(nullptr));
    EXPECT_GE(g_locks, 2);
    EXPECT_EQ(g_locks, g_unlocks);
    EXPECT_EQ(CKR_OK, f_->C_Finalize(nullptr));
    CK_C_INITIALIZE_ARGS os{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
    const int before = g_locks;
    ASSERT_EQ(CKR_OK, f_->C_Initialize(&os));
    EXPECT_EQ(CKR_OK, f_->C_GetInfo(&info));
    EXPECT_EQ(before, g_locks);  // our own locking when the caller allows it
}

TEST_F(P11, SlotsFollowTheTokensAndReportChanges) {
    create_blank_token("p11a");
    ASSERT_EQ(CKR_OK, f_->C_Initialize(nullptr));
    CK_SLOT_ID slots[4];
    CK_ULONG n = 0;
    ASSERT_EQ(CKR_OK, f_->C_GetSlotList(CK_FALSE, nullptr, &n));
    EXPECT_EQ(1u, n);
    n = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f_->C_GetSlotList(CK_TRUE, slots, &n));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_GetSlotList(CK_TRUE, slots, nullptr));
    const CK_SLOT_ID slot = first_slot();

    CK_SLOT_INFO si;
    ASSERT_EQ(CKR_OK, f_->C_GetSlotInfo(slot, &si));
    EXPECT_EQ(0, std::memcmp(si.slotDescription, "The Cryptographic Device ", 25));
    EXPECT_EQ(CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, si.flags);
    EXPECT_EQ(CKR_SLOT_ID_INVALID, f_->C_GetSlotInfo(slot + 7, &si));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_GetSlotInfo(slot, nullptr));

    CK_TOKEN_INFO ti;
    ASSERT_EQ(CKR_OK, f_->C_GetTokenInfo(slot, &ti));
    EXPECT_EQ(0u, ti.flags & CKF_TOKEN_INITIALIZED);  // blank

    create_blank_token("p11b");
    n = 4;
    ASSERT_EQ(CKR_OK, f_->C_GetSlotList(CK_TRUE, slots, &n));
    EXPECT_EQ(2u, n);
    CK_SLOT_ID other = slots[0] == slot ? slots[1] : slots[0];
    // Every arrival so far is reported once, the new token's last.
    CK_SLOT_ID event = 99, last = 99;
    int events = 0;
    while (f_->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr) == CKR_OK && events < 8) {
        last = event;
        ++events;
    }
    EXPECT_EQ(other, last);
    EXPECT_LE(events, 2);
    EXPECT_EQ(CKR_NO_EVENT, f_->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr));

    CK_SESSION_HANDLE h = open(slot, false);
    set_plugged("p11a", false);
    ASSERT_EQ(CKR_OK, f_->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr));
    EXPECT_EQ(slot, event);
    EXPECT_EQ(CKR_SLOT_ID_INVALID, f_->C_GetSlotInfo(slot, &si));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f_->C_CloseSession(h));  // gone with its token
}

TEST_F(P11, TokenInitialisationAndTheTokenInformation) {
    const CK_SLOT_ID slot = ready_token();
    CK_TOKEN_INFO ti;
    ASSERT_EQ(CKR_OK, f_->C_GetTokenInfo(slot, &ti));
    EXPECT_EQ(0, std::memcmp(ti.label, "Module test                     ", 32));
    EXPECT_EQ(0, std::memcmp(ti.manufacturerID, "Quorvantix Co.,Ltd.", 19));
    EXPECT_EQ(0, std::memcmp(ti.model, "QuorvaCOS", 9));
    EXPECT_EQ(CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_RNG | CKF_USER_PIN_INITIALIZED,
              ti.flags & (CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_RNG | CKF_USER_PIN_INITIALIZED));
    EXPECT_EQ(0u, ti.flags & (CKF_USER_PIN_TO_BE_CHANGED | CKF_USER_PIN_LOCKED));
    EXPECT_EQ(6u, ti.ulMinPinLen);
    EXPECT_EQ(8u, ti.ulMaxPinLen);
    EXPECT_EQ(0u, ti.ulSessionCount);

    // Initialising again needs the SO PIN and no open session.
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    CK_SESSION_HANDLE h = open(slot, false);
    EXPECT_EQ(CKR_SESSION_EXISTS, f_->C_InitToken(slot, utf8(kSoPin), len(kSoPin), label));
    EXPECT_EQ(CKR_OK, f_->C_CloseAllSessions(slot));
    EXPECT_EQ(CKR_PIN_INCORRECT, f_->C_InitToken(slot, utf8("11111111"), 8, label));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_InitToken(slot, nullptr, 8, label));
    ASSERT_EQ(CKR_OK, f_->C_InitToken(slot, utf8(kSoPin), len(kSoPin), label));
    // The user PIN is the configured default now, to be changed before use.
    ASSERT_EQ(CKR_OK, f_->C_GetTokenInfo(slot, &ti));
    EXPECT_NE(0u, ti.flags & CKF_USER_PIN_TO_BE_CHANGED);
    h = open(slot, true);
    EXPECT_EQ(CKR_PIN_EXPIRED, f_->C_Login(h, CKU_USER, utf8("314159"), 6));
    EXPECT_EQ(CKR_OK, f_->C_SetPIN(h, utf8("314159"), 6, utf8(kUserPin), len(kUserPin)));
    EXPECT_EQ(CKR_OK, f_->C_Login(h, CKU_USER, utf8(kUserPin), len(kUserPin)));
}

TEST_F(P11, SessionAndLoginRules) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE ro = open(slot, false), rw = open(slot, true), h = 0;
    CK_SESSION_INFO si;
    struct Case {
        const char* what;
        CK_RV got, want;
    } cases[] = {
        {"parallel session", f_->C_OpenSession(slot, 0, nullptr, nullptr, &h), CKR_SESSION_PARALLEL_NOT_SUPPORTED},
        {"no handle out", f_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD},
        {"unknown slot", f_->C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID},
        {"unknown session", f_->C_GetSessionInfo(4242, &si), CKR_SESSION_HANDLE_INVALID},
        {"no info out", f_->C_GetSessionInfo(ro, nullptr), CKR_ARGUMENTS_BAD},
        {"SO with a read-only session", f_->C_Login(rw, CKU_SO, utf8(kSoPin), len(kSoPin)),
         CKR_SESSION_READ_ONLY_EXISTS},
        {"bad user type", f_->C_Login(rw, 7, utf8(kUserPin), len(kUserPin)), CKR_USER_TYPE_INVALID},
        {"null PIN", f_->C_Login(rw, CKU_USER, nullptr, 6), CKR_ARGUMENTS_BAD},
        {"logout before login", f_->C_Logout(ro), CKR_USER_NOT_LOGGED_IN},
        {"set PIN read-only", f_->C_SetPIN(ro, utf8(kUserPin), 6, utf8("654321"), 6), CKR_SESSION_READ_ONLY},
        {"set PIN too short", f_->C_SetPIN(rw, utf8(kUserPin), 6, utf8("1"), 1), CKR_PIN_LEN_RANGE},
        {"init PIN without SO", f_->C_InitPIN(rw, utf8(kUserPin), 6), CKR_USER_NOT_LOGGED_IN},
        {"login", f_->C_Login(ro, CKU_USER, utf8(kUserPin), len(kUserPin)), CKR_OK},
        {"login again", f_->C_Login(rw, CKU_USER, utf8(kUserPin), len(kUserPin)), CKR_USER_ALREADY_LOGGED_IN},
        {"SO while user", f_->C_Login(rw, CKU_SO, utf8(kSoPin), len(kSoPin)), CKR_USER_ANOTHER_ALREADY_LOGGED_IN},
    };
    for (auto& c : cases) EXPECT_EQ(c.want, c.got) << c.what;
    // One login state for the token, seen by every session.
    ASSERT_EQ(CKR_OK, f_->C_GetSessionInfo(rw, &si));
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, si.state);
    ASSERT_EQ(CKR_OK, f_->C_GetSessionInfo(ro, &si));
    EXPECT_EQ(CKS_RO_USER_FUNCTIONS, si.state);
    EXPECT_EQ(CKR_OK, f_->C_Logout(rw));
    ASSERT_EQ(CKR_OK, f_->C_GetSessionInfo(ro, &si));
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, si.state);
    EXPECT_EQ(CKR_OK, f_->C_CloseSession(ro));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f_->C_CloseSession(ro));
    EXPECT_EQ(CKR_OK, f_->C_Login(rw, CKU_SO, utf8(kSoPin), len(kSoPin)));
    EXPECT_EQ(CKR_SESSION_READ_WRITE_SO_EXISTS, f_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
}

TEST_F(P11, WrongPinsCountDownToALockAndTheSoUnlocks) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE h = open(slot, true);
    const CK_RV expected[] = {CKR_PIN_INCORRECT, CKR_PIN_INCORRECT, CKR_PIN_LOCKED, CKR_PIN_LOCKED};
    CK_TOKEN_INFO ti;
    ASSERT_EQ(CKR_OK, f_->C_GetTokenInfo(slot, &ti));
    EXPECT_EQ(0u, ti.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY));
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(expected[i], f_->C_Login(h, CKU_USER, utf8("000000"), 6)) << "try " << i + 1;
        if (i == 0) {
            ASSERT_EQ(CKR_OK, f_->C_GetTokenInfo(slot, &ti));
            EXPECT_NE(0u, ti.flags & CKF_USER_PIN_COUNT_LOW);
        }
        if (i == 1) {
            ASSERT_EQ(CKR_OK, f_->C_GetTokenInfo(slot, &ti));
            EXPECT_NE(0u, ti.flags & CKF_USER_PIN_FINAL_TRY);
        }
    }
    EXPECT_EQ(CKR_PIN_LOCKED, f_->C_Login(h, CKU_USER, utf8(kUserPin), len(kUserPin)));
    ASSERT_EQ(CKR_OK, f_->C_GetTokenInfo(slot, &ti));
    EXPECT_NE(0u, ti.flags & CKF_USER_PIN_LOCKED);
    ASSERT_EQ(CKR_OK, f_->C_Login(h, CKU_SO, utf8(kSoPin), len(kSoPin)));
    ASSERT_EQ(CKR_OK, f_->C_InitPIN(h, utf8("24680135"), 8));
    ASSERT_EQ(CKR_OK, f_->C_Logout(h));
    EXPECT_EQ(CKR_OK, f_->C_Login(h, CKU_USER, utf8("24680135"), 8));
    ASSERT_EQ(CKR_OK, f_->C_GetTokenInfo(slot, &ti));
    EXPECT_EQ(0u, ti.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED));
    EXPECT_EQ(CKR_PIN_INCORRECT, f_->C_SetPIN(h, utf8("999999"), 6, utf8("13572468"), 8));
    EXPECT_EQ(CKR_OK, f_->C_SetPIN(h, utf8("24680135"), 8, utf8("13572468"), 8));
}

TEST_F(P11, GeneratedKeysAreObjectsWithExactAttributeRules) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE h = user_session(slot);
    auto [pub, priv] = generate(h, CKM_RSA_PKCS_KEY_PAIR_GEN, "rsa-one");
    const Bytes modulus = attribute(h, pub, CKA_MODULUS);
    ASSERT_EQ(128u, modulus.size());
    Bytes id(20);
    unsigned int idLength = 0;
    EVP_Digest(modulus.data(), modulus.size(), id.data(), &idLength, EVP_sha1(), nullptr);
    EXPECT_EQ(id, attribute(h, pub, CKA_ID));
    EXPECT_EQ(id, attribute(h, priv, CKA_ID));
    EXPECT_EQ(Bytes({'r', 's', 'a', '-', 'o', 'n', 'e'}), attribute(h, priv, CKA_LABEL));

    CK_BYTE small[4];
    CK_BYTE big[256];
    CK_ULONG bits = 0;
    CK_ATTRIBUTE t[] = {
        {CKA_MODULUS, small, sizeof small},      // too small
        {CKA_PRIVATE_EXPONENT, big, sizeof big},  // sensitive
        {CKA_EC_POINT, big, sizeof big},          // not an RSA attribute
        {CKA_MODULUS_BITS, &bits, sizeof bits},   // fine
        {CKA_PUBLIC_EXPONENT, nullptr, 0},        // length only
    };
    EXPECT_NE(CKR_OK, f_->C_GetAttributeValue(h, priv, t, 5));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[0].ulValueLen);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[1].ulValueLen);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[2].ulValueLen);
    EXPECT_EQ(1024u, bits);
    EXPECT_EQ(3u, t[4].ulValueLen);
    CK_ATTRIBUTE sensitive{CKA_PRIVATE_EXPONENT, big, sizeof big};
    EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, f_->C_GetAttributeValue(h, priv, &sensitive, 1));
    CK_ATTRIBUTE shortOne{CKA_MODULUS, small, sizeof small};
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f_->C_GetAttributeValue(h, pub, &shortOne, 1));
    CK_ATTRIBUTE missing{CKA_VALUE, big, sizeof big};
    EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, f_->C_GetAttributeValue(h, pub, &missing, 1));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, f_->C_GetAttributeValue(h, 4242, &missing, 1));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_GetAttributeValue(h, pub, nullptr, 1));

    auto [sm2Pub, sm2Priv] = generate(h, CKM_QX_SM2_KEY_PAIR_GEN, "sm2-one");
    const Bytes point = attribute(h, sm2Pub, CKA_EC_POINT);
    ASSERT_EQ(67u, point.size());
    EXPECT_EQ(0x04, point[0]);
    EXPECT_EQ(65, point[1]);
    EXPECT_EQ(0x04, point[2]);
    EXPECT_EQ(Bytes({0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D}), attribute(h, sm2Pub, CKA_EC_PARAMS));

    CK_OBJECT_CLASS privClass = CKO_PRIVATE_KEY, pubClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE ec = CKK_EC;
    struct {
        std::vector<CK_ATTRIBUTE> templ;
        size_t count;
    } finds[] = {
        {{}, 4},
        {{{CKA_CLASS, &privClass, sizeof privClass}}, 2},
        {{{CKA_CLASS, &pubClass, sizeof pubClass}, {CKA_KEY_TYPE, &ec, sizeof ec}}, 1},
        {{{CKA_LABEL, const_cast<char*>("rsa-one"), 7}}, 2},
        {{{CKA_LABEL, const_cast<char*>("rsa-on"), 6}}, 0},
        {{{CKA_ID, id.data(), CK_ULONG(id.size())}, {CKA_CLASS, &privClass, sizeof privClass}}, 1},
    };
    for (auto& c : finds) EXPECT_EQ(c.count, find(h, c.templ).size()) << c.templ.size();
    // Private objects only while the user is logged in; handles stay the same.
    ASSERT_EQ(CKR_OK, f_->C_Logout(h));
    EXPECT_EQ(2u, find(h, {}).size());
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, f_->C_GetAttributeValue(h, priv, &missing, 1));
    ASSERT_EQ(CKR_OK, f_->C_Login(h, CKU_USER, utf8(kUserPin), len(kUserPin)));
    EXPECT_EQ(modulus, attribute(h, priv, CKA_MODULUS));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, f_->C_FindObjectsFinal(h));
    ASSERT_EQ(CKR_OK, f_->C_FindObjectsInit(h, nullptr, 0));
    EXPECT_EQ(CKR_OPERATION_ACTIVE, f_->C_FindObjectsInit(h, nullptr, 0));
}

// The host's RSA key from a public key object.
EVP_PKEY* host_key(const Bytes& n, const Bytes& e) {
    BIGNUM* bn = BN_bin2bn(n.data(), int(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), int(e.size()), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* k = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &k, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bn);
    BN_free(be);
    return k;
}

TEST_F(P11, SignaturesDecryptionAndDigests) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE h = user_session(slot);
    auto [pub, priv] = generate(h, CKM_RSA_PKCS_KEY_PAIR_GEN, "signer");
    EVP_PKEY* host = host_key(attribute(h, pub, CKA_MODULUS), attribute(h, pub, CKA_PUBLIC_EXPONENT));
    const std::string message = "a message signed on the token";
    auto* data = reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(message.data()));

    struct {
        CK_MECHANISM_TYPE mech;
        const EVP_MD* md;
    } signs[] = {{CKM_SHA1_RSA_PKCS, EVP_sha1()},
                 {CKM_SHA256_RSA_PKCS, EVP_sha256()},
                 {CKM_SHA384_RSA_PKCS, EVP_sha384()},
                 {CKM_SHA512_RSA_PKCS, EVP_sha512()}};
    for (auto& c : signs) {
        CK_MECHANISM m{c.mech, nullptr, 0};
        ASSERT_EQ(CKR_OK, f_->C_SignInit(h, &m, priv));
        CK_ULONG sigLen = 0;
        ASSERT_EQ(CKR_OK, f_->C_Sign(h, data, CK_ULONG(message.size()), nullptr, &sigLen));
        EXPECT_EQ(128u, sigLen);
        Bytes sig(sigLen);
        CK_ULONG shortLen = 10;
        EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f_->C_Sign(h, data, CK_ULONG(message.size()), sig.data(), &shortLen));
        ASSERT_EQ(CKR_OK, f_->C_Sign(h, data, CK_ULONG(message.size()), sig.data(), &sigLen));
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EXPECT_EQ(1, EVP_DigestVerifyInit(ctx, nullptr, c.md, nullptr, host) == 1 &&
                         EVP_DigestVerify(ctx, sig.data(), sig.size(), data, message.size()) == 1)
            << c.mech;
        EVP_MD_CTX_free(ctx);
        // The module verifies its own signature, in one part and in two.
        ASSERT_EQ(CKR_OK, f_->C_VerifyInit(h, &m, pub));
        EXPECT_EQ(CKR_OK, f_->C_VerifyUpdate(h, data, 5));
        EXPECT_EQ(CKR_OK, f_->C_VerifyUpdate(h, data + 5, CK_ULONG(message.size() - 5)));
        EXPECT_EQ(CKR_OK, f_->C_VerifyFinal(h, sig.data(), sigLen));
        sig[7] ^= 1;
        ASSERT_EQ(CKR_OK, f_->C_VerifyInit(h, &m, pub));
        EXPECT_EQ(CKR_SIGNATURE_INVALID, f_->C_Verify(h, data, CK_ULONG(message.size()), sig.data(), sigLen));
    }

    // Raw PKCS #1: encipher on the host side of the module, decipher on the token.
    CK_MECHANISM raw{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(CKR_OK, f_->C_EncryptInit(h, &raw, pub));
    Bytes cipher(128);
    CK_ULONG cipherLen = CK_ULONG(cipher.size());
    ASSERT_EQ(CKR_OK, f_->C_Encrypt(h, data, 16, cipher.data(), &cipherLen));
    ASSERT_EQ(CKR_OK, f_->C_DecryptInit(h, &raw, priv));
    Bytes plain(128);
    CK_ULONG plainLen = 0;
    ASSERT_EQ(CKR_OK, f_->C_Decrypt(h, cipher.data(), cipherLen, nullptr, &plainLen));
    EXPECT_GE(plainLen, 16u);  // a bound; the operation goes on
    CK_ULONG tooShort = 4;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f_->C_Decrypt(h, cipher.data(), cipherLen, plain.data(), &tooShort));
    EXPECT_EQ(16u, tooShort);
    plainLen = CK_ULONG(plain.size());
    ASSERT_EQ(CKR_OK, f_->C_Decrypt(h, cipher.data(), cipherLen, plain.data(), &plainLen));
    EXPECT_EQ(message.substr(0, 16), std::string(plain.begin(), plain.begin() + long(plainLen)));

    struct {
        const char* what;
        CK_RV got, want;
    } rules[] = {
        {"sign without init", f_->C_Sign(h, data, 4, cipher.data(), &cipherLen), CKR_OPERATION_NOT_INITIALIZED},
        {"sign with a public key", f_->C_SignInit(h, &raw, pub), CKR_KEY_TYPE_INCONSISTENT},
        {"unknown mechanism", [&] {
             CK_MECHANISM m{CKM_MD5_RSA_PKCS, nullptr, 0};
             return f_->C_SignInit(h, &m, priv);
         }(), CKR_MECHANISM_INVALID},
        {"null mechanism", f_->C_SignInit(h, nullptr, priv), CKR_ARGUMENTS_BAD},
        {"bad key", f_->C_SignInit(h, &raw, 4242), CKR_KEY_HANDLE_INVALID},
        {"raw data too long", [&] {
             f_->C_SignInit(h, &raw, priv);
             Bytes longData(120, 1);
             CK_ULONG l = 128;
             return f_->C_Sign(h, longData.data(), CK_ULONG(longData.size()), cipher.data(), &l);
         }(), CKR_DATA_LEN_RANGE},
        {"operation ended by the error", f_->C_SignFinal(h, cipher.data(), &cipherLen), CKR_OPERATION_NOT_INITIALIZED},
        {"decrypt wrong length", [&] {
             f_->C_DecryptInit(h, &raw, priv);
             CK_ULONG l = 128;
             return f_->C_Decrypt(h, cipher.data(), 100, plain.data(), &l);
         }(), CKR_ENCRYPTED_DATA_LEN_RANGE},
    };
    for (auto& r : rules) EXPECT_EQ(r.want, r.got) << r.what;

    // Private-key use needs the user's login.
    ASSERT_EQ(CKR_OK, f_->C_Logout(h));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, f_->C_SignInit(h, &raw, priv));
    EVP_PKEY_free(host);

    struct {
        CK_MECHANISM_TYPE mech;
        const EVP_MD* md;
    } digests[] = {{CKM_SHA_1, EVP_sha1()}, {CKM_SHA256, EVP_sha256()}, {CKM_SHA512, EVP_sha512()}};
    for (auto& d : digests) {
        Bytes want(64);
        unsigned int wantLen = 0;
        EVP_Digest(data, message.size(), want.data(), &wantLen, d.md, nullptr);
        want.resize(wantLen);
        CK_MECHANISM m{d.mech, nullptr, 0};
        Bytes got(64);
        CK_ULONG gotLen = 0;
        ASSERT_EQ(CKR_OK, f_->C_DigestInit(h, &m));
        EXPECT_EQ(CKR_OPERATION_ACTIVE, f_->C_DigestInit(h, &m));
        EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f_->C_Digest(h, data, CK_ULONG(message.size()), got.data(), &gotLen));
        EXPECT_EQ(wantLen, gotLen);
        ASSERT_EQ(CKR_OK, f_->C_Digest(h, data, CK_ULONG(message.size()), got.data(), &gotLen));
        got.resize(gotLen);
        EXPECT_EQ(want, got) << d.mech;
        ASSERT_EQ(CKR_OK, f_->C_DigestInit(h, &m));
        EXPECT_EQ(CKR_OK, f_->C_DigestUpdate(h, data, 3));
        EXPECT_EQ(CKR_OK, f_->C_DigestUpdate(h, data + 3, CK_ULONG(message.size() - 3)));
        got.assign(64, 0);
        gotLen = 64;
        ASSERT_EQ(CKR_OK, f_->C_DigestFinal(h, got.data(), &gotLen));
        got.resize(gotLen);
        EXPECT_EQ(want, got) << d.mech;
    }
    Bytes random(300, 0);
    EXPECT_EQ(CKR_OK, f_->C_GenerateRandom(h, random.data(), CK_ULONG(random.size())));
    EXPECT_NE(Bytes(300, 0), random);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f_->C_GenerateRandom(h, nullptr, 4));
}

// A token pulled out mid-session: the failing call says so and the token's
// sessions end; plugged in again it is usable with a new session and login.
TEST_F(P11, ATokenPulledOutEndsItsSessions) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE h = user_session(slot);
    auto [pub, priv] = generate(h, CKM_QX_SM2_KEY_PAIR_GEN, "gone");
    CK_MECHANISM m{CKM_QX_SM2, nullptr, 0};
    Bytes e(32, 0x5A), sig(64);
    CK_ULONG sigLen = CK_ULONG(sig.size());
    ASSERT_EQ(CKR_OK, f_->C_SignInit(h, &m, priv));
    set_plugged("p11a", false);
    EXPECT_EQ(CKR_DEVICE_REMOVED, f_->C_Sign(h, e.data(), CK_ULONG(e.size()), sig.data(), &sigLen));
    CK_SESSION_INFO si;
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f_->C_GetSessionInfo(h, &si));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f_->C_SignInit(h, &m, priv));
    CK_ULONG n = 0;
    ASSERT_EQ(CKR_OK, f_->C_GetSlotList(CK_TRUE, nullptr, &n));
    EXPECT_EQ(0u, n);

    set_plugged("p11a", true);
    EXPECT_EQ(slot, first_slot());
    h = open(slot, false);
    ASSERT_EQ(CKR_OK, f_->C_GetSessionInfo(h, &si));
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, si.state);
    ASSERT_EQ(CKR_OK, f_->C_Login(h, CKU_USER, utf8(kUserPin), len(kUserPin)));
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, const_cast<char*>("gone"), 4}};
    CK_OBJECT_HANDLE found = 0;
    ASSERT_EQ(CKR_OK, f_->C_FindObjectsInit(h, tmpl, 2));
    ASSERT_EQ(CKR_OK, f_->C_FindObjects(h, &found, 1, &n));
    ASSERT_EQ(CKR_OK, f_->C_FindObjectsFinal(h));
    ASSERT_EQ(1u, n);
    ASSERT_EQ(CKR_OK, f_->C_SignInit(h, &m, found));
    sigLen = CK_ULONG(sig.size());
    EXPECT_EQ(CKR_OK, f_->C_Sign(h, e.data(), CK_ULONG(e.size()), sig.data(), &sigLen));
    (void)pub;
}

TEST_F(P11, Sm2KeysSignOnTheToken) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE h = user_session(slot);
    auto [pub, priv] = generate(h, CKM_QX_SM2_KEY_PAIR_GEN, "sm2");
    const std::string message = "sm2 message";
    struct {
        CK_MECHANISM_TYPE mech;
        Bytes data;
        CK_RV want;
    } cases[] = {
        {CKM_QX_SM2_SM3, Bytes(message.begin(), message.end()), CKR_OK},
        {CKM_QX_SM2, Bytes(32, 0x5A), CKR_OK},
        {CKM_QX_SM2, Bytes(20, 0x5A), CKR_DATA_LEN_RANGE},
    };
    for (auto& c : cases) {
        CK_MECHANISM m{c.mech, nullptr, 0};
        ASSERT_EQ(CKR_OK, f_->C_SignInit(h, &m, priv));
        Bytes sig(64);
        CK_ULONG sigLen = CK_ULONG(sig.size());
        EXPECT_EQ(c.want, f_->C_Sign(h, c.data.data(), CK_ULONG(c.data.size()), sig.data(), &sigLen));
        if (c.want == CKR_OK) {
            EXPECT_EQ(64u, sigLen);
        }
    }
    CK_MECHANISM rsa{CKM_SHA256_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(CKR_KEY_TYPE_INCONSISTENT, f_->C_SignInit(h, &rsa, priv));
    (void)pub;
}

// A token that arrives between the length question and the list does not make
// the caller's buffer short; it is listed at the next length question.
TEST_F(P11, SlotListFollowsTheLengthQuestion) {
    create_blank_token("first");
    ASSERT_EQ(CKR_OK, f_->C_Initialize(nullptr));
    CK_ULONG n = 0;
    ASSERT_EQ(CKR_OK, f_->C_GetSlotList(CK_TRUE, nullptr, &n));
    ASSERT_EQ(1u, n);
    create_blank_token("second");
    // A buffer of the size the question gave.
    CK_SLOT_ID slots[4] = {};
    ASSERT_EQ(CKR_OK, f_->C_GetSlotList(CK_TRUE, slots, &n));
    EXPECT_EQ(1u, n);
    const CK_SLOT_ID first = slots[0];
    // Without a length question first, the slots of the moment.
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f_->C_GetSlotList(CK_TRUE, slots, &n));
    EXPECT_EQ(2u, n);
    n = 4;
    ASSERT_EQ(CKR_OK, f_->C_GetSlotList(CK_TRUE, slots, &n));
    EXPECT_EQ(2u, n);
    EXPECT_TRUE(slots[0] == first || slots[1] == first);
    ASSERT_EQ(CKR_OK, f_->C_GetSlotList(CK_TRUE, nullptr, &n));
    ASSERT_EQ(2u, n);
}

// Signatures made on the token verify on the host (Z_A of the identity
// "1234567812345678" for CKM_QX_SM2_SM3); host ciphertexts decipher on the token.
TEST_F(P11, Sm2SignaturesVerifyAndCiphertextsDecipherOnTheToken) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE h = user_session(slot);
    auto [pub, priv] = generate(h, CKM_QX_SM2_KEY_PAIR_GEN, "sm2v");
    auto sign = [&](CK_MECHANISM_TYPE mech, const Bytes& data) {
        CK_MECHANISM m{mech, nullptr, 0};
        Bytes sig(64);
        CK_ULONG n = 64;
        EXPECT_EQ(CKR_OK, f_->C_SignInit(h, &m, priv));
        EXPECT_EQ(CKR_OK, f_->C_Sign(h, const_cast<CK_BYTE*>(data.data()), CK_ULONG(data.size()), sig.data(), &n));
        return sig;
    };
    auto verify = [&](CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE key, const Bytes& data, const Bytes& sig) {
        CK_MECHANISM m{mech, nullptr, 0};
        EXPECT_EQ(CKR_OK, f_->C_VerifyInit(h, &m, key));
        return f_->C_Verify(h, const_cast<CK_BYTE*>(data.data()), CK_ULONG(data.size()),
                            const_cast<CK_BYTE*>(sig.data()), CK_ULONG(sig.size()));
    };
    const Bytes message{'s', 'm', '2', ' ', 'd', 'o', 'c'}, e(32, 0x3C);
    const Bytes messageSig = sign(CKM_QX_SM2_SM3, message), digestSig = sign(CKM_QX_SM2, e);
    Bytes flipped = messageSig;
    flipped[40] ^= 0x01;
    Bytes otherMessage = message;
    otherMessage[0] = 'S';
    struct {
        const char* what;
        CK_MECHANISM_TYPE mech;
        CK_OBJECT_HANDLE key;
        Bytes data, sig;
        CK_RV want;
    } cases[] = {
        {"message", CKM_QX_SM2_SM3, pub, message, messageSig, CKR_OK},
        {"with the private key's object", CKM_QX_SM2_SM3, priv, message, messageSig, CKR_OK},
        {"digest", CKM_QX_SM2, pub, e, digestSig, CKR_OK},
        {"other message", CKM_QX_SM2_SM3, pub, otherMessage, messageSig, CKR_SIGNATURE_INVALID},
        {"changed signature", CKM_QX_SM2_SM3, pub, message, flipped, CKR_SIGNATURE_INVALID},
        {"message signature as a digest's", CKM_QX_SM2, pub, e, messageSig, CKR_SIGNATURE_INVALID},
        {"all-zero signature", CKM_QX_SM2, pub, e, Bytes(64, 0), CKR_SIGNATURE_INVALID},
        {"short signature", CKM_QX_SM2_SM3, pub, message, Bytes(messageSig.begin(), messageSig.end() - 1),
         CKR_SIGNATURE_LEN_RANGE},
        {"digest of 31 bytes", CKM_QX_SM2, pub, Bytes(31, 0x3C), digestSig, CKR_DATA_LEN_RANGE},
    };
    for (auto& c : cases) EXPECT_EQ(c.want, verify(c.mech, c.key, c.data, c.sig)) << c.what;

    CK_MECHANISM cipher{CKM_QX_SM2_CIPHER, nullptr, 0};
    for (size_t n : {size_t(1), size_t(32), size_t(159)}) {
        Bytes plain(n);
        for (size_t i = 0; i < n; ++i) plain[i] = static_cast<CK_BYTE>(i * 7 + 1);
        // The private key's object stands in for its public key.
        ASSERT_EQ(CKR_OK, f_->C_EncryptInit(h, &cipher, n == 32 ? priv : pub));
        CK_ULONG cn = 0;
        ASSERT_EQ(CKR_OK, f_->C_Encrypt(h, plain.data(), CK_ULONG(n), nullptr, &cn));
        EXPECT_EQ(n + 96, cn);
        Bytes ct(cn);
        cn = CK_ULONG(n + 95);
        EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f_->C_Encrypt(h, plain.data(), CK_ULONG(n), ct.data(), &cn));
        EXPECT_EQ(n + 96, cn);
        ASSERT_EQ(CKR_OK, f_->C_Encrypt(h, plain.data(), CK_ULONG(n), ct.data(), &cn));
        ASSERT_EQ(n + 96, cn);
        ASSERT_EQ(CKR_OK, f_->C_DecryptInit(h, &cipher, priv));
        CK_ULONG pn = 0;
        ASSERT_EQ(CKR_OK, f_->C_Decrypt(h, ct.data(), cn, nullptr, &pn));
        EXPECT_EQ(n, pn);
        Bytes back(pn);
        ASSERT_EQ(CKR_OK, f_->C_Decrypt(h, ct.data(), cn, back.data(), &pn)) << n;
        EXPECT_EQ(plain, back) << n;
        // A changed C3 (the hash over the plaintext) is refused.
        ct[70] ^= 0x80;
        ASSERT_EQ(CKR_OK, f_->C_DecryptInit(h, &cipher, priv));
        pn = CK_ULONG(back.size());
        EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID, f_->C_Decrypt(h, ct.data(), cn, back.data(), &pn)) << n;
    }
    struct {
        CK_ULONG length;
        CK_RV encrypt, decrypt;
    } lengths[] = {{0, CKR_DATA_LEN_RANGE, CKR_ENCRYPTED_DATA_LEN_RANGE},
                   {96, CKR_OK, CKR_ENCRYPTED_DATA_LEN_RANGE},
                   {160, CKR_DATA_LEN_RANGE, CKR_OK},
                   {256, CKR_DATA_LEN_RANGE, CKR_ENCRYPTED_DATA_LEN_RANGE}};
    for (auto& l : lengths) {
        Bytes data(l.length + 1, 0x11), out(512);
        CK_ULONG n = CK_ULONG(out.size());
        ASSERT_EQ(CKR_OK, f_->C_EncryptInit(h, &cipher, pub));
        EXPECT_EQ(l.encrypt, f_->C_Encrypt(h, data.data(), l.length, out.data(), &n)) << l.length;
        if (l.encrypt == CKR_OK) {
            EXPECT_EQ(l.length + 96, n);
        }
        // Only the length is checked here: a length question sends nothing to the token.
        ASSERT_EQ(CKR_OK, f_->C_DecryptInit(h, &cipher, priv));
        n = 0;
        EXPECT_EQ(l.decrypt, f_->C_Decrypt(h, data.data(), l.length, nullptr, &n)) << l.length;
        if (l.decrypt == CKR_OK) {
            EXPECT_EQ(l.length - 96, n);
            // Bytes that are no ciphertext (C1 is not a point of the curve) end the operation.
            n = CK_ULONG(out.size());
            EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID, f_->C_Decrypt(h, data.data(), l.length, out.data(), &n));
        }
    }
    auto [rsaPub, rsaPriv] = generate(h, CKM_RSA_PKCS_KEY_PAIR_GEN, "rsa-not-sm2");
    EXPECT_EQ(CKR_KEY_TYPE_INCONSISTENT, f_->C_EncryptInit(h, &cipher, rsaPub));
    EXPECT_EQ(CKR_KEY_TYPE_INCONSISTENT, f_->C_DecryptInit(h, &cipher, rsaPriv));
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(CKR_OK, f_->C_GetMechanismInfo(slot, CKM_QX_SM2_CIPHER, &info));
    EXPECT_EQ(CKF_HW | CKF_ENCRYPT | CKF_DECRYPT, info.flags);
    ASSERT_EQ(CKR_OK, f_->C_GetMechanismInfo(slot, CKM_QX_SM2_SM3, &info));
    EXPECT_TRUE(info.flags & CKF_VERIFY);
}

// The key object opened for the first signature serves the next ones; it must
// not outlive the login, the key pair's objects or an enumeration of the containers.
TEST_F(P11, OpenedKeysFollowLoginEnumerationAndDestruction) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE h = user_session(slot);
    auto [pub, priv] = generate(h, CKM_RSA_PKCS_KEY_PAIR_GEN, "cached");
    auto sign = [&](CK_OBJECT_HANDLE key) {
        CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
        CK_BYTE data[4] = {1, 2, 3, 4}, sig[128];
        CK_ULONG n = sizeof sig;
        const CK_RV init = f_->C_SignInit(h, &m, key);
        if (init != CKR_OK) return init;
        const CK_RV rv = f_->C_Sign(h, data, sizeof data, sig, &n);
        if (rv != CKR_OK) return rv;
        EXPECT_EQ(CKR_OK, f_->C_VerifyInit(h, &m, pub));
        return f_->C_Verify(h, data, sizeof data, sig, n);
    };
    EXPECT_EQ(CKR_OK, sign(priv));
    EXPECT_EQ(CKR_OK, sign(priv));
    // A new enumeration discards the kernel's container handles; the key stays usable.
    EXPECT_FALSE(find(h, {}).empty());
    EXPECT_EQ(CKR_OK, sign(priv));
    EXPECT_EQ(CKR_OK, f_->C_Logout(h));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, sign(priv));
    ASSERT_EQ(CKR_OK, f_->C_Login(h, CKU_USER, utf8(kUserPin), len(kUserPin)));
    EXPECT_EQ(CKR_OK, sign(priv));
    // The pair leaves its container: its objects go, and a new pair under the
    // same name (another key-pair slot) signs with its own key.
    ASSERT_EQ(CKR_OK, f_->C_DestroyObject(h, priv));
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, sign(priv));
    auto [pub2, priv2] = generate(h, CKM_RSA_PKCS_KEY_PAIR_GEN, "cached");
    EXPECT_NE(attribute(h, pub2, CKA_MODULUS), Bytes{});
    pub = pub2;
    EXPECT_EQ(CKR_OK, sign(priv2));
    // Closing the last session ends the login; a new session logs in again.
    EXPECT_EQ(CKR_OK, f_->C_CloseSession(h));
    h = user_session(slot);
    EXPECT_EQ(CKR_OK, sign(priv2));
}

TEST_F(P11, SessionsOfSeveralThreadsShareTheLogin) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE first = user_session(slot);
    auto [pub, priv] = generate(first, CKM_RSA_PKCS_KEY_PAIR_GEN, "shared");
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CK_SESSION_HANDLE h = 0;
            if (f_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) ++failures[t];
            for (int i = 0; i < 5; ++i) {
                CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
                CK_BYTE data[8] = {CK_BYTE(t), CK_BYTE(i)};
                CK_BYTE sig[128];
                CK_ULONG sigLen = sizeof sig;
                CK_TOKEN_INFO ti;
                if (f_->C_SignInit(h, &m, priv) != CKR_OK || f_->C_Sign(h, data, 8, sig, &sigLen) != CKR_OK ||
                    f_->C_VerifyInit(h, &m, pub) != CKR_OK || f_->C_Verify(h, data, 8, sig, sigLen) != CKR_OK ||
                    f_->C_GetTokenInfo(slot, &ti) != CKR_OK)
                    ++failures[t];
            }
            if (f_->C_CloseSession(h) != CKR_OK) ++failures[t];
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(std::vector<int>(4, 0), failures);
}

// A certificate for the given public key, signed by a throw-away issuer.
Bytes certificate_for(EVP_PKEY* subjectKey) {
    EVP_PKEY* issuer = EVP_RSA_gen(1024);
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 4660);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("token holder"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("issuer"), -1, -1, 0);
    X509_set_pubkey(x, subjectKey);
    X509_sign(x, issuer, EVP_sha256());
    const int n = i2d_X509(x, nullptr);
    Bytes der(size_t(n > 0 ? n : 0));
    unsigned char* p = der.data();
    i2d_X509(x, &p);
    X509_free(x);
    EVP_PKEY_free(issuer);
    return der;
}

TEST_F(P11, CertificatesAreWrittenBesideTheirKeyPairAndDestroyed) {
    const CK_SLOT_ID slot = ready_token();
    CK_SESSION_HANDLE h = user_session(slot);
    auto [pub, priv] = generate(h, CKM_RSA_PKCS_KEY_PAIR_GEN, "with-cert");
    EVP_PKEY* host = host_key(attribute(h, pub, CKA_MODULUS), attribute(h, pub, CKA_PUBLIC_EXPONENT));
    Bytes der = certificate_for(host);
    EVP_PKEY_free(host);
    ASSERT_FALSE(der.empty());
    const Bytes id = attribute(h, pub, CKA_ID);

    CK_OBJECT_CLASS cls = CKO_CERTIFICATE, keyClass = CKO_PRIVATE_KEY;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    Bytes junk(40, 0x30);
    Bytes otherId(20, 7);
    struct {
        const char* what;
        std::vector<CK_ATTRIBUTE> templ;
        CK_RV want;
    } cases[] = {
        {"no class", {{CKA_VALUE, der.data(), CK_ULONG(der.size())}}, CKR_TEMPLATE_INCOMPLETE},
        {"a key", {{CKA_CLASS, &keyClass, sizeof keyClass}}, CKR_ATTRIBUTE_VALUE_INVALID},
        {"no value", {{CKA_CLASS, &cls, sizeof cls}}, CKR_TEMPLATE_INCOMPLETE},
        {"not a certificate", {{CKA_CLASS, &cls, sizeof cls}, {CKA_VALUE, junk.data(), CK_ULONG(junk.size())}},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"private certificate",
         {{CKA_CLASS, &cls, sizeof cls}, {CKA_PRIVATE, &yes, 1}, {CKA_VALUE, der.data(), CK_ULONG(der.size())}},
         CKR_TEMPLATE_INCONSISTENT},
        {"no key with that id",
         {{CKA_CLASS, &cls, sizeof cls},
          {CKA_ID, otherId.data(), CK_ULONG(otherId.size())},
          {CKA_VALUE, der.data(), CK_ULONG(der.size())}},
         CKR_TEMPLATE_INCONSISTENT},
        {"the key's certificate",
         {{CKA_CLASS, &cls, sizeof cls},
          {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
          {CKA_VALUE, der.data(), CK_ULONG(der.size())}},
         CKR_OK},
    };
    CK_OBJECT_HANDLE cert = 0;
    for (auto& c : cases) EXPECT_EQ(c.want, f_->C_CreateObject(h, c.templ.data(), CK_ULONG(c.templ.size()), &cert)) << c.what;
    EXPECT_EQ(der, attribute(h, cert, CKA_VALUE));
    EXPECT_EQ(id, attribute(h, cert, CKA_ID));
    EXPECT_EQ(Bytes({0x02, 0x02, 0x12, 0x34}), attribute(h, cert, CKA_SERIAL_NUMBER));
    EXPECT_FALSE(attribute(h, cert, CKA_SUBJECT).empty());
    EXPECT_EQ(1u, find(h, {{CKA_CLASS, &cls, sizeof cls}}).size());

    CK_SESSION_HANDLE ro = open(slot, false);
    EXPECT_EQ(CKR_SESSION_READ_ONLY, f_->C_DestroyObject(ro, cert));
    EXPECT_EQ(CKR_OK, f_->C_DestroyObject(h, cert));
    EXPECT_EQ(0u, find(h, {{CKA_CLASS, &cls, sizeof cls}}).size());
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, f_->C_DestroyObject(h, cert));
    (void)priv;
}

}  // namespace
}  // namespace qx::kernel::test
