// The directory of virtual tokens: one state file per token, written
// atomically, and one lock file per token that serialises every command
// across processes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/cardos/state.h"

namespace qx::vtoken {

enum class StoreStatus { Ok, NotFound, Exists, BadName, IoError, Corrupt };

const char* describe(StoreStatus s);

// $QX_VTOKEN_HOME, else "QuorvantixVToken" in the per-user data directory.
std::string default_store_directory();

// Token names: 1 to 64 characters of letters, digits, '.', '_' and '-', not starting with '.'.
bool valid_token_name(const std::string& name);

// "ccid", "ums", "hid" <-> channel types; 0 for an unknown text.
uint32_t channel_from_text(const std::string& text);
const char* channel_text(uint32_t channel);

// Device names shown by the transport: "Quorvantix VToken CCID <name>".
std::string device_name_for(uint32_t channel, const std::string& token_name);
// The token name of a device name (or of a bare token name); empty when neither.
std::string token_name_from_device(const std::string& device_name);

class TokenStore {
public:
    explicit TokenStore(std::string directory);

    const std::string& directory() const { return dir_; }
    std::string state_path(const std::string& name) const;

    StoreStatus create(const std::string& name, const TokenState& state);
    StoreStatus remove(const std::string& name);
    std::vector<std::string> names() const;

    // Runs `fn` on the token under its lock and writes the token back when it
    // changed.  `fn` returns false to discard its changes.
    StoreStatus update(const std::string& name, const std::function<bool(TokenState&)>& fn);
    // A copy of the token, read under its lock.
    StoreStatus read(const std::string& name, TokenState& out) const;

private:
    std::string lock_path(const std::string& name) const;
    std::string dir_;
};

// Wall-clock milliseconds, the time base of transaction time-outs.
int64_t wall_clock_ms();

}  // namespace qx::vtoken
