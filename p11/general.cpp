// Library, slot, token, session and login functions.
#include <openssl/crypto.h>

#ifndef QX_PRIVATE_LIBCRYPTO
#define QX_PRIVATE_LIBCRYPTO 0
#endif

#include <algorithm>
#include <cstring>

#include "module_state.h"
#include "qx/platform/module.h"
#include "qx/platform/system.h"

namespace qx::p11 {

namespace {

constexpr uint32_t kUserPinBits = 0x40000 | 0x80000, kSoPinBits = 0x400000 | 0x800000;
constexpr size_t kRecordSize = 160;

uint32_t u32_at(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool read_record(State& s, Token& t, uint8_t (&record)[kRecordSize]) {
    if (!t.initialised) return false;
    uint32_t length = kRecordSize;
    return s.kernel->tokenInfo(t.device, record, &length) == ERR_OK && length == kRecordSize;
}

// Forgets everything of a process this one was forked from: the kernel's
// handles belong to the parent and are left alone.
void abandon_parent_state(State& s) {
    s.sessions.clear();
    s.objects.clear();
    s.tokens.clear();
    s.events.clear();
    s.slotsAsked.clear();
    if (s.kernel) s.kernel->module.release();  // the parent's library stays loaded
    s.kernel.reset();
    s.caller = CallerMutex{};
    s.initialised = false;
}

// When libcrypto is linked into this module (the Windows build), it must not
// register its clean-up with the process's exit handlers (the application may
// unload the module long before it exits); it is cleaned up when the module
// goes.  A libcrypto shared with the application is left alone.
struct CryptoLifetime {
    bool initialised = false;
    bool ensure() {
        if (!initialised) initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
        return initialised;
    }
    ~CryptoLifetime() {
        if (QX_PRIVATE_LIBCRYPTO && initialised) OPENSSL_cleanup();
    }
};
CryptoLifetime g_crypto;

void count_sessions(const State& s, CK_SLOT_ID slot, CK_ULONG& all, CK_ULONG& rw) {
    all = rw = 0;
    for (auto& [h, session] : s.sessions) {
        if (session.slot != slot) continue;
        ++all;
        if (session.flags & CKF_RW_SESSION) ++rw;
    }
}

}  // namespace

State& state() {
    static State s;
    return s;
}

std::mutex& state_mutex() {
    static std::mutex m;
    return m;
}

bool initialised_here(const State& s) { return s.initialised && s.pid == platform::process_id(); }

PinCopy::PinCopy(const CK_UTF8CHAR* pin, CK_ULONG length) {
    if (!pin && length) throw Fail{CKR_ARGUMENTS_BAD};
    if (length > 4096) throw Fail{CKR_PIN_LEN_RANGE};
    text_.assign(reinterpret_cast<const char*>(pin), reinterpret_cast<const char*>(pin) + length);
}

PinCopy::~PinCopy() {
    if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
}

CK_RV kernel_rv(uint32_t status) {
    switch (status) {
    case ERR_OK:
        return CKR_OK;
    case ERR_NO_MEMORY:
        return CKR_HOST_MEMORY;
    case ERR_PIN_INCORRECT:
    case ERR_OLD_PIN_INCORRECT:
    case ERR_PIN_LOCKED:
    case ERR_PIN_MUST_CHANGE:
        return pin_rv(status);
    case ERR_SECURITY_STATUS:
        return CKR_USER_NOT_LOGGED_IN;
    case ERR_CONTAINER_FULL:
    case ERR_NO_FREE_KEY_INDEX:
        return CKR_DEVICE_MEMORY;
    case ERR_DEVICE_IO:
    case ERR_SCARD_RESET_CARD:
    case ERR_SCARD_SERVICE_STOPPED:
    case ERR_SCARD_INVALID_HANDLE:
        return CKR_DEVICE_ERROR;
    default:
        return CKR_FUNCTION_FAILED;
    }
}

CK_RV pin_rv(uint32_t status) {
    switch (status) {
    case ERR_OK:
        return CKR_OK;
    case ERR_PIN_INCORRECT:
    case ERR_OLD_PIN_INCORRECT:
    case ERR_UNLOCK_FAILED:
        return CKR_PIN_INCORRECT;
    case ERR_PIN_LOCKED:
        return CKR_PIN_LOCKED;
    case ERR_PIN_MUST_CHANGE:
        return CKR_PIN_EXPIRED;
    case ERR_INVALID_PARAM:
        return CKR_PIN_LEN_RANGE;
    default:
        return kernel_rv(status);
    }
}

void check(uint32_t status) {
    if (status != ERR_OK) throw Fail{kernel_rv(status)};
}

Session& session_of(State& s, CK_SESSION_HANDLE h) {
    auto it = s.sessions.find(h);
    if (it == s.sessions.end()) throw Fail{CKR_SESSION_HANDLE_INVALID};
    return it->second;
}

Token& token_of(State& s, CK_SLOT_ID slot) {
    auto it = s.tokens.find(slot);
    if (it == s.tokens.end()) throw Fail{CKR_SLOT_ID_INVALID};
    return it->second;
}

void forget_token(State& s, CK_SLOT_ID slot, bool closeDevice) {
    auto it = s.tokens.find(slot);
    if (it == s.tokens.end()) return;
    for (auto i = s.sessions.begin(); i != s.sessions.end();) i = i->second.slot == slot ? s.sessions.erase(i) : ++i;
    for (auto i = s.objects.begin(); i != s.objects.end();) i = i->second.slot == slot ? s.objects.erase(i) : ++i;
    close_keys(s, it->second);
    if (closeDevice && it->second.device) s.kernel->closeDevice(it->second.device);
    s.tokens.erase(it);
}

void close_keys(State& s, Token& t) {
    for (auto& [id, open] : t.keys)
        if (open.key && s.kernel) s.kernel->closeKey(open.key);
    t.keys.clear();
}

void end_login(State& s, Token& t) {
    t.login = kNobody;
    close_keys(s, t);
}

void refresh_tokens(State& s) {
    KernelBinding& k = *s.kernel;
    std::map<CK_SLOT_ID, std::string> present;
    uint32_t rc = ERR_OK;
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint32_t count = 0;
        rc = k.enumDevice(&count, nullptr);
        if (rc != ERR_OK) break;
        std::vector<DeviceHandle> handles(count + 4, nullptr);
        count = static_cast<uint32_t>(handles.size());
        rc = k.enumDevice(&count, handles.data());
        if (rc == ERR_BUFFER_TOO_SMALL) continue;
        if (rc != ERR_OK) break;
        for (uint32_t i = 0; i < count && i < handles.size(); ++i) {
            char name[260] = {};
            uint32_t slot = 0;
            if (k.deviceName(handles[i], name) != ERR_OK || k.deviceSlot(handles[i], &slot) != ERR_OK) continue;
            present[slot] = std::string(name, strnlen(name, sizeof name - 1));
        }
        break;
    }
    k.destroyEnum();
    if (rc != ERR_OK) return;  // keep what we know rather than drop every session on a failed listing

    for (auto it = s.tokens.begin(); it != s.tokens.end();) {
        auto p = present.find(it->first);
        const CK_SLOT_ID slot = it->first;
        ++it;
        if (p == present.end() || p->second != s.tokens[slot].name) forget_token(s, slot, true);
    }
    for (auto& [slot, name] : present) {
        if (s.tokens.count(slot)) continue;
        Token t;
        t.name = name;
        if (k.openByName(name.c_str(), &t.device) != ERR_OK || !t.device) {
            // A blank token: the kernel cannot authenticate to it, but it can be initialised.
            t.device = nullptr;
            k.openDezo(name.c_str(), &t.device);
            if (!t.device) continue;
            t.initialised = false;
        }
        s.tokens.emplace(slot, std::move(t));
    }
    uint32_t changed[16] = {};
    uint32_t count = 16;
    if (k.deviceChange(changed, &count) == ERR_OK) {
        for (uint32_t i = 0; i < count && i < 16; ++i) {
            bool queued = false;
            for (CK_SLOT_ID e : s.events) queued = queued || e == changed[i];
            if (!queued) s.events.push_back(changed[i]);
        }
    }
}

CK_RV removal_rv(State& s, CK_RV rv) {
    if (rv != CKR_DEVICE_ERROR && rv != CKR_FUNCTION_FAILED && rv != CKR_GENERAL_ERROR) return rv;
    std::map<CK_SLOT_ID, std::string> names;
    for (auto& [slot, t] : s.tokens) names[slot] = t.name;
    refresh_tokens(s);
    for (auto& [slot, name] : names) {
        auto it = s.tokens.find(slot);
        if (it == s.tokens.end() || it->second.name != name) return CKR_DEVICE_REMOVED;
    }
    return rv;
}

void note_pin_result(Token& t, uint32_t kind, CK_RV rv) {
    bool& failed = kind == QXTOKEN_PIN_SO ? t.soPinFailed : t.userPinFailed;
    if (rv == CKR_OK) failed = false;
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) failed = true;
}

CK_FLAGS tries_flags(State& s, Token& t, uint32_t kind) {
    const bool so = kind == QXTOKEN_PIN_SO;
    uint32_t& seen = so ? t.soTriesSeen : t.userTriesSeen;
    uint32_t left = 0;
    if (s.kernel->retries(t.device, kind, &left) != ERR_OK) return 0;
    seen = std::max(seen, left);
    CK_FLAGS flags = 0;
    if ((so ? t.soPinFailed : t.userPinFailed) || left < seen) flags |= so ? CKF_SO_PIN_COUNT_LOW : CKF_USER_PIN_COUNT_LOW;
    if (left == 1) flags |= so ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY;
    if (left == 0) flags &= ~CK_FLAGS(so ? CKF_SO_PIN_COUNT_LOW : CKF_USER_PIN_COUNT_LOW);
    return flags;
}

std::pair<CK_ULONG, CK_ULONG> pin_lengths(State& s, Token& t) {
    uint8_t record[kRecordSize];
    if (!read_record(s, t, record)) return {2, 255};
    CK_ULONG maxLen = u32_at(record + 116), minLen = u32_at(record + 120);
    if (minLen < 2 || minLen > 255) minLen = 2;
    if (maxLen < minLen || maxLen > 255) maxLen = 255;
    return {minLen, maxLen};
}

}  // namespace qx::p11

using namespace qx::p11;

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    try {
        std::lock_guard<std::mutex> lock(state_mutex());
        State& s = state();
        if (initialised_here(s)) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        if (!g_crypto.ensure()) return CKR_GENERAL_ERROR;
        const bool forked = s.initialised;
        if (forked) abandon_parent_state(s);
        CallerMutex caller;
        if (pInitArgs) {
            const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
            if (args->pReserved) return CKR_ARGUMENTS_BAD;
            const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                              (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
            if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
            // Our own lock is always taken; the caller's mutex is taken as well
            // when the caller asks for its functions and does not allow ours.
            if (given == 4 && !(args->flags & CKF_OS_LOCKING_OK)) {
                caller.create = args->CreateMutex;
                caller.destroy = args->DestroyMutex;
                caller.lock = args->LockMutex;
                caller.unlock = args->UnlockMutex;
                if (caller.create(&caller.mutex) != CKR_OK || !caller.mutex) return CKR_CANT_LOCK;
            }
        }
        const std::string dir = qx::platform::directory_of(
            qx::platform::module_path_of(reinterpret_cast<const void*>(&C_Initialize)));
        auto kernel = std::make_unique<KernelBinding>(dir);
        if (!kernel->complete()) {
            if (caller.mutex) caller.destroy(caller.mutex);
            return CKR_GENERAL_ERROR;
        }
        if (forked) {
            // The kernel was set up for the parent: run its start-up again for this process.
            auto init = kernel->module.function<PFN_InitQXToken>("InitQXToken");
            if (init) init();
        }
        s.kernel = std::move(kernel);
        s.caller = caller;
        s.pid = qx::platform::process_id();
        s.initialised = true;
        refresh_tokens(s);
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    if (pReserved) return CKR_ARGUMENTS_BAD;
    try {
        std::lock_guard<std::mutex> lock(state_mutex());
        State& s = state();
        if (!initialised_here(s)) return CKR_CRYPTOKI_NOT_INITIALIZED;
        s.sessions.clear();
        s.objects.clear();
        for (auto& [slot, t] : s.tokens) {
            close_keys(s, t);
            if (t.device) s.kernel->closeDevice(t.device);
        }
        s.tokens.clear();
        s.events.clear();
        s.slotsAsked.clear();
        s.kernel.reset();
        if (s.caller.mutex && s.caller.destroy) s.caller.destroy(s.caller.mutex);
        s.caller = CallerMutex{};
        s.initialised = false;
        return CKR_OK;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return call([&](State&) -> CK_RV {
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        std::memset(pInfo, 0, sizeof *pInfo);
        pInfo->cryptokiVersion = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
        pad_text(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "QX");
        pad_text(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "QUORVANTIX PKCS11 LIBRARY");
        pInfo->libraryVersion = {1, 1};
        return CKR_OK;
    });
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    (void)tokenPresent;  // a slot exists only while its token is plugged in
    return call([&](State& s) -> CK_RV {
        if (!pulCount) return CKR_ARGUMENTS_BAD;
        // A token that arrives between a caller's length question and its
        // list must not make the buffer it sized short: the list is then the
        // set found at the question (less any token gone since).
        refresh_tokens(s);
        std::vector<CK_SLOT_ID> slots;
        for (auto& [slot, t] : s.tokens) slots.push_back(slot);
        const std::thread::id caller = std::this_thread::get_id();
        if (!pSlotList) {
            s.slotsAsked[caller] = slots;
            *pulCount = slots.size();
            return CKR_OK;
        }
        auto asked = s.slotsAsked.find(caller);
        if (*pulCount < slots.size() && asked != s.slotsAsked.end()) {
            slots.clear();
            for (CK_SLOT_ID slot : asked->second)
                if (s.tokens.count(slot)) slots.push_back(slot);
        }
        const CK_ULONG n = slots.size();
        if (*pulCount < n) {
            *pulCount = n;
            return CKR_BUFFER_TOO_SMALL;
        }
        if (asked != s.slotsAsked.end()) s.slotsAsked.erase(asked);
        std::copy(slots.begin(), slots.end(), pSlotList);
        *pulCount = n;
        return CKR_OK;
    });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return call([&](State& s) -> CK_RV {
        token_of(s, slotID);
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        std::memset(pInfo, 0, sizeof *pInfo);
        pad_text(pInfo->slotDescription, sizeof pInfo->slotDescription, "The Cryptographic Device");
        pad_text(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Quorvantix Co.,Ltd.");
        pInfo->flags = CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
        pInfo->hardwareVersion = {1, 0};
        pInfo->firmwareVersion = {1, 0};
        return CKR_OK;
    });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return call([&](State& s) -> CK_RV {
        Token& t = token_of(s, slotID);
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        std::memset(pInfo, 0, sizeof *pInfo);
        uint8_t record[kRecordSize];
        if (read_record(s, t, record)) {
            pad_text(pInfo->label, sizeof pInfo->label, label_from_token(record, 32));
            std::memcpy(pInfo->manufacturerID, record + 32, 32);
            std::memcpy(pInfo->model, record + 64, 16);
            std::memcpy(pInfo->serialNumber, record + 80, 16);
            CK_FLAGS flags = u32_at(record + 96);
            uint32_t pinFlags = 0;
            if (s.kernel->pinStatus(t.device, &pinFlags) == ERR_OK)
                flags = (flags & ~CK_FLAGS(kUserPinBits | kSoPinBits)) | (pinFlags & (kUserPinBits | kSoPinBits));
            flags |= tries_flags(s, t, QXTOKEN_PIN_USER) | tries_flags(s, t, QXTOKEN_PIN_SO);
            pInfo->flags = flags;
            auto [minLen, maxLen] = pin_lengths(s, t);
            pInfo->ulMinPinLen = minLen;
            pInfo->ulMaxPinLen = maxLen;
            pInfo->hardwareVersion = {record[140], record[141]};
            pInfo->firmwareVersion = {record[142], record[143]};
            std::memcpy(pInfo->utcTime, record + 144, 16);
        } else {
            // A blank token (or one whose record cannot be read): not initialised.
            pad_text(pInfo->label, sizeof pInfo->label, "");
            pad_text(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Quorvantix Co.,Ltd.");
            pad_text(pInfo->model, sizeof pInfo->model, "QuorvaCOS");
            pad_text(pInfo->serialNumber, sizeof pInfo->serialNumber, "");
            pad_text(pInfo->utcTime, sizeof pInfo->utcTime, "");
            pInfo->flags = CKF_RNG | CKF_LOGIN_REQUIRED;
            pInfo->ulMinPinLen = 2;
            pInfo->ulMaxPinLen = 255;
        }
        count_sessions(s, slotID, pInfo->ulSessionCount, pInfo->ulRwSessionCount);
        pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        pInfo->ulTotalPublicMemory = pInfo->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulTotalPrivateMemory = pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        return CKR_OK;
    });
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
    if (pReserved) return CKR_ARGUMENTS_BAD;
    for (;;) {
        const CK_RV rv = call([&](State& s) -> CK_RV {
            if (!pSlot) return CKR_ARGUMENTS_BAD;
            refresh_tokens(s);
            if (s.events.empty()) return CKR_NO_EVENT;
            *pSlot = s.events.front();
            s.events.pop_front();
            return CKR_OK;
        });
        if (rv != CKR_NO_EVENT || (flags & CKF_DONT_BLOCK)) return rv;
        // Blocking: look again shortly; C_Finalize ends the wait with CKR_CRYPTOKI_NOT_INITIALIZED.
        qx::platform::sleep_ms(250);
    }
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR phSession) {
    return call([&](State& s) -> CK_RV {
        Token& t = token_of(s, slotID);
        if (!phSession) return CKR_ARGUMENTS_BAD;
        if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        if (!(flags & CKF_RW_SESSION) && t.login == CKU_SO) return CKR_SESSION_READ_WRITE_SO_EXISTS;
        const CK_SESSION_HANDLE h = s.nextSession++;
        Session& session = s.sessions[h];
        session.slot = slotID;
        session.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
        *phSession = h;
        return CKR_OK;
    });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return call([&](State& s) -> CK_RV {
        const CK_SLOT_ID slot = session_of(s, hSession).slot;
        s.sessions.erase(hSession);
        CK_ULONG all = 0, rw = 0;
        count_sessions(s, slot, all, rw);
        auto t = s.tokens.find(slot);
        if (all == 0 && t != s.tokens.end()) end_login(s, t->second);  // the login ends with the last session
        return CKR_OK;
    });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return call([&](State& s) -> CK_RV {
        Token& t = token_of(s, slotID);
        for (auto i = s.sessions.begin(); i != s.sessions.end();)
            i = i->second.slot == slotID ? s.sessions.erase(i) : ++i;
        end_login(s, t);
        return CKR_OK;
    });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        const Token& t = token_of(s, session.slot);
        const bool rw = session.flags & CKF_RW_SESSION;
        pInfo->slotID = session.slot;
        pInfo->flags = session.flags;
        pInfo->ulDeviceError = 0;
        if (t.login == CKU_SO)
            pInfo->state = CKS_RW_SO_FUNCTIONS;
        else if (t.login == CKU_USER)
            pInfo->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
        else
            pInfo->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
        return CKR_OK;
    });
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        Token& t = token_of(s, session.slot);
        if (userType == CKU_CONTEXT_SPECIFIC) return CKR_OPERATION_NOT_INITIALIZED;
        if (userType != CKU_USER && userType != CKU_SO) return CKR_USER_TYPE_INVALID;
        if (!pPin) return CKR_ARGUMENTS_BAD;  // no protected authentication path
        if (t.login == userType) return CKR_USER_ALREADY_LOGGED_IN;
        if (t.login != kNobody) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        if (userType == CKU_SO) {
            for (auto& [h, other] : s.sessions)
                if (other.slot == session.slot && !(other.flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY_EXISTS;
        }
        if (!t.initialised) return CKR_USER_PIN_NOT_INITIALIZED;
        PinCopy pin(pPin, ulPinLen);
        const uint32_t kind = userType == CKU_SO ? QXTOKEN_PIN_SO : QXTOKEN_PIN_USER;
        const CK_RV rv = pin_rv(s.kernel->verifyPin(t.device, kind, pin.data(), pin.size()));
        note_pin_result(t, kind, rv);
        if (rv == CKR_PIN_LEN_RANGE) return CKR_PIN_INCORRECT;
        if (rv == CKR_OK) t.login = userType;
        return rv;
    });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return call([&](State& s) -> CK_RV {
        Token& t = token_of(s, session_of(s, hSession).slot);
        if (t.login == kNobody) return CKR_USER_NOT_LOGGED_IN;
        end_login(s, t);
        return CKR_OK;
    });
}

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
    return call([&](State& s) -> CK_RV {
        Token& t = token_of(s, slotID);
        if (!pPin || !pLabel) return CKR_ARGUMENTS_BAD;
        for (auto& [h, session] : s.sessions)
            if (session.slot == slotID) return CKR_SESSION_EXISTS;
        PinCopy so(pPin, ulPinLen);
        if (so.size() < 2) return CKR_PIN_INCORRECT;
        if (t.initialised) {
            PinCopy check(pPin, ulPinLen);  // the kernel may wipe the buffer it verifies
            const CK_RV rv = pin_rv(s.kernel->verifyPin(t.device, QXTOKEN_PIN_SO, check.data(), check.size()));
            if (rv != CKR_OK) return rv == CKR_PIN_LEN_RANGE ? CKR_PIN_INCORRECT : rv;
        }
        size_t labelLength = 32;
        while (labelLength > 0 && (pLabel[labelLength - 1] == ' ' || pLabel[labelLength - 1] == 0)) --labelLength;
        auto label = label_to_token(std::string(reinterpret_cast<const char*>(pLabel), labelLength), 32);
        if (!label) return CKR_ARGUMENTS_BAD;
        const uint32_t rc = s.kernel->initToken(t.device, nullptr, 0, so.data(), so.size(),
                                                label->empty() ? nullptr : label->data(),
                                                static_cast<uint32_t>(label->size()));
        // Open the token again: a blank token was opened without the card-OS checks.
        forget_token(s, slotID, true);
        refresh_tokens(s);
        return rc == ERR_INVALID_PARAM ? CKR_ARGUMENTS_BAD : pin_rv(rc);
    });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        Token& t = token_of(s, session.slot);
        if (!(session.flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
        if (t.login != CKU_SO) return CKR_USER_NOT_LOGGED_IN;
        if (!pPin) return CKR_ARGUMENTS_BAD;
        auto [minLen, maxLen] = pin_lengths(s, t);
        if (ulPinLen < minLen || ulPinLen > maxLen) return CKR_PIN_LEN_RANGE;
        PinCopy pin(pPin, ulPinLen);
        // The SO PIN was verified at login; the kernel wants a PIN in its place
        // but does not use it when the SO state is already established.
        const CK_RV rv =
            pin_rv(s.kernel->unlockPinEx(t.device, QXTOKEN_PIN_USER, pin.data(), pin.size(), pin.data(), pin.size()));
        if (rv == CKR_OK) note_pin_result(t, QXTOKEN_PIN_USER, rv);
        return rv;
    });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen) {
    return call([&](State& s) -> CK_RV {
        Session& session = session_of(s, hSession);
        Token& t = token_of(s, session.slot);
        if (!pOldPin || !pNewPin) return CKR_ARGUMENTS_BAD;
        if (!(session.flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
        if (!t.initialised) return CKR_USER_PIN_NOT_INITIALIZED;
        auto [minLen, maxLen] = pin_lengths(s, t);
        if (ulNewLen < minLen || ulNewLen > maxLen) return CKR_PIN_LEN_RANGE;
        PinCopy oldPin(pOldPin, ulOldLen), newPin(pNewPin, ulNewLen);
        const uint32_t kind = t.login == CKU_SO ? QXTOKEN_PIN_SO : QXTOKEN_PIN_USER;
        const CK_RV rv =
            pin_rv(s.kernel->changePin(t.device, kind, oldPin.data(), oldPin.size(), newPin.data(), newPin.size()));
        note_pin_result(t, kind, rv);
        return rv == CKR_PIN_LEN_RANGE ? CKR_PIN_INCORRECT : rv;
    });
}

}  // extern "C"
