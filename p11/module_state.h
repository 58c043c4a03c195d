// The module's state: the bound kernel, one record per token the kernel
// lists (slot ID = the kernel's slot number), the sessions and the objects
// found on the tokens.  Every Cryptoki call runs under one lock (ModuleLock).
#pragma once

#include <openssl/evp.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cryptoki.h"
#include "kernel_binding.h"
#include "objects.h"

namespace qx::p11 {

constexpr CK_USER_TYPE kNobody = ~CK_USER_TYPE(0);

struct Token {
    std::string name;              // the kernel's device name
    DeviceHandle device = nullptr;  // opened by name (ours to close)
    bool initialised = true;       // false: a blank token, opened without card-OS checks
    CK_USER_TYPE login = kNobody;  // shared by every session of the application
    // Wrong PINs seen since the last good one, and the most tries left ever seen
    // (fewer left than that: another process entered a wrong PIN), user and SO.
    bool userPinFailed = false, soPinFailed = false;
    uint32_t userTriesSeen = 0, soTriesSeen = 0;
    // Stable object handles: one per (container, key spec, class) ever seen.
    std::map<std::string, CK_OBJECT_HANDLE> handles;
    // The kernel's key objects of the key pairs used so far, by container and
    // key spec, each with the key-pair slot it was opened for: opening the
    // container and its key costs more than the private-key operation's
    // round trip, so they stay open until the login ends, the pair's objects
    // change, the token goes or the module is finalised.
    struct OpenKey {
        KeyHandle key = nullptr;
        uint32_t keyIndex = 0;
    };
    std::map<std::string, OpenKey> keys;
};

struct DigestContext {
    EVP_MD_CTX* ctx = nullptr;
    DigestContext() = default;
    DigestContext(const DigestContext&) = delete;
    DigestContext& operator=(const DigestContext&) = delete;
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
};

// One active operation of a session (sign, verify, encrypt, decrypt or digest).
struct Operation {
    CK_MECHANISM_TYPE mechanism = 0;
    CK_OBJECT_HANDLE key = 0;
    Bytes data;                            // collected input (raw mechanisms)
    std::unique_ptr<DigestContext> digest;  // hashing mechanisms
    bool updated = false;                  // multi-part started: single-part calls are refused
};

struct Session {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t foundPos = 0;
    std::unique_ptr<Operation> sign, verify, encrypt, decrypt, digest;
};

struct StoredObject {
    CK_SLOT_ID slot = 0;
    Object object;
};

struct CallerMutex {
    CK_CREATEMUTEX create = nullptr;
    CK_DESTROYMUTEX destroy = nullptr;
    CK_LOCKMUTEX lock = nullptr;
    CK_UNLOCKMUTEX unlock = nullptr;
    void* mutex = nullptr;
};

struct State {
    bool initialised = false;
    uint32_t pid = 0;
    std::unique_ptr<KernelBinding> kernel;
    std::map<CK_SLOT_ID, Token> tokens;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    std::map<CK_OBJECT_HANDLE, StoredObject> objects;
    std::deque<CK_SLOT_ID> events;
    CK_SESSION_HANDLE nextSession = 1;
    CK_OBJECT_HANDLE nextObject = 1;
    CallerMutex caller;
    bool waiting = false;  // a blocking C_WaitForSlotEvent is running
    // The slots found by each thread's last C_GetSlotList length question.
    std::map<std::thread::id, std::vector<CK_SLOT_ID>> slotsAsked;
};

State& state();
std::mutex& state_mutex();

}  // namespace qx::p11

namespace qx::p11 {

// Ends a call early with its return value.
struct Fail {
    CK_RV rv;
};

// The caller's mutex, when C_Initialize was given mutex functions, held for a call.
class CallerLock {
public:
    explicit CallerLock(const CallerMutex& m) : m_(m) {
        if (m_.mutex && m_.lock && m_.lock(m_.mutex) != CKR_OK) throw Fail{CKR_CANT_LOCK};
    }
    ~CallerLock() {
        if (m_.mutex && m_.unlock) m_.unlock(m_.mutex);
    }
    CallerLock(const CallerLock&) = delete;
    CallerLock& operator=(const CallerLock&) = delete;

private:
    const CallerMutex& m_;
};

bool initialised_here(const State& s);
// A failed call may mean a token was pulled out: lists the tokens again and
// answers CKR_DEVICE_REMOVED when one went (its sessions go with it).
CK_RV removal_rv(State& s, CK_RV rv);

// Runs `body(State&)` for a call that needs an initialised module: under the
// lock, with every exception turned into a return value.
template <typename F>
CK_RV call(F&& body) {
    try {
        std::lock_guard<std::mutex> lock(state_mutex());
        State& s = state();
        if (!initialised_here(s)) return CKR_CRYPTOKI_NOT_INITIALIZED;
        CallerLock callerLock(s.caller);
        try {
            return removal_rv(s, body(s));
        } catch (const Fail& f) {
            return removal_rv(s, f.rv);
        }
    } catch (const Fail& f) {
        return f.rv;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// A PIN copied out of the caller's buffer, wiped when it goes.
class PinCopy {
public:
    PinCopy(const CK_UTF8CHAR* pin, CK_ULONG length);
    ~PinCopy();
    PinCopy(const PinCopy&) = delete;
    PinCopy& operator=(const PinCopy&) = delete;
    char* data() { return text_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(text_.size()); }

private:
    std::vector<char> text_;
};

CK_RV kernel_rv(uint32_t status);
// PIN verification and change statuses as Cryptoki names them.
CK_RV pin_rv(uint32_t status);
void check(uint32_t status);  // throws Fail{kernel_rv(status)} unless 0

Session& session_of(State& s, CK_SESSION_HANDLE h);
Token& token_of(State& s, CK_SLOT_ID slot);  // CKR_SLOT_ID_INVALID
// Lists the tokens again: opens new ones, forgets removed ones and their
// sessions, and queues the kernel's slot changes as events.
void refresh_tokens(State& s);
void forget_token(State& s, CK_SLOT_ID slot, bool closeDevice);
// Closes the token's open key objects.
void close_keys(State& s, Token& t);
// Ends the token's login (its open key objects go with it).
void end_login(State& s, Token& t);
// Reads the token's containers again and rebuilds its objects.
void load_objects(State& s, CK_SLOT_ID slot);
// The token information record's minimum and maximum PIN lengths.
std::pair<CK_ULONG, CK_ULONG> pin_lengths(State& s, Token& t);
// Records a PIN verification's outcome for CKF_*_PIN_COUNT_LOW.
void note_pin_result(Token& t, uint32_t kind, CK_RV rv);
// CKF_*_PIN_COUNT_LOW and CKF_*_PIN_FINAL_TRY of the PIN `kind` (QXTOKEN_PIN_*).
CK_FLAGS tries_flags(State& s, Token& t, uint32_t kind);

}  // namespace qx::p11
