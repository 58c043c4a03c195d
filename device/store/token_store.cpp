#include "device/store/token_store.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "qx/platform/file_io.h"
#include "qx/platform/system.h"

namespace qx::vtoken {

namespace {
constexpr const char* kStateSuffix = ".vtoken";
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kDevicePrefix = "Quorvantix VToken ";
}  // namespace

const char* describe(StoreStatus s) {
    switch (s) {
    case StoreStatus::Ok: return "ok";
    case StoreStatus::NotFound: return "no such virtual token";
    case StoreStatus::Exists: return "a virtual token of that name exists already";
    case StoreStatus::BadName: return "invalid token name (1 to 64 letters, digits, '.', '_', '-'; not starting with '.')";
    case StoreStatus::IoError: return "the token file could not be read or written";
    case StoreStatus::Corrupt: return "the token file is damaged or of an unknown format";
    }
    return "unknown";
}

std::string default_store_directory() {
    std::string env = platform::environment("QX_VTOKEN_HOME");
    if (!env.empty()) return env;
    std::string base = platform::user_data_directory();
    if (base.empty()) base = platform::temp_directory();
    return base + platform::path_separator() + "QuorvantixVToken";
}

bool valid_token_name(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-';
    });
}

uint32_t channel_from_text(const std::string& text) {
    std::string t = text;
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (t == "ccid") return kChannelCcid;
    if (t == "ums") return kChannelUms;
    if (t == "hid") return kChannelHid;
    return 0;
}

const char* channel_text(uint32_t channel) {
    switch (channel) {
    case kChannelCcid: return "CCID";
    case kChannelUms: return "UMS";
    case kChannelHid: return "HID";
    default: return "?";
    }
}

std::string device_name_for(uint32_t channel, const std::string& token_name) {
    return std::string(kDevicePrefix) + channel_text(channel) + " " + token_name;
}

std::string token_name_from_device(const std::string& device_name) {
    const std::string prefix(kDevicePrefix);
    if (device_name.compare(0, prefix.size(), prefix) == 0) {
        size_t space = device_name.find(' ', prefix.size());
        if (space == std::string::npos) return {};
        std::string name = device_name.substr(space + 1);
        return valid_token_name(name) ? name : std::string{};
    }
    return valid_token_name(device_name) ? device_name : std::string{};
}

int64_t wall_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TokenStore::TokenStore(std::string directory) : dir_(std::move(directory)) {}

std::string TokenStore::state_path(const std::string& name) const {
    return dir_ + platform::path_separator() + name + kStateSuffix;
}

std::string TokenStore::lock_path(const std::string& name) const {
    return dir_ + platform::path_separator() + name + kLockSuffix;
}

StoreStatus TokenStore::create(const std::string& name, const TokenState& state) {
    if (!valid_token_name(name)) return StoreStatus::BadName;
    if (!platform::make_directories(dir_)) return StoreStatus::IoError;
    auto lock = platform::FileLock::acquire(lock_path(name));
    if (!lock) return StoreStatus::IoError;
    if (platform::file_exists(state_path(name))) return StoreStatus::Exists;
    Bytes content = serialise(state);
    bool ok = platform::write_file_atomically(state_path(name), content);
    wipe(content);
    return ok ? StoreStatus::Ok : StoreStatus::IoError;
}

StoreStatus TokenStore::remove(const std::string& name) {
    if (!valid_token_name(name)) return StoreStatus::BadName;
    {
        auto lock = platform::FileLock::acquire(lock_path(name));
        if (!lock) return StoreStatus::IoError;
        if (!platform::file_exists(state_path(name))) return StoreStatus::NotFound;
        if (!platform::remove_file(state_path(name))) return StoreStatus::IoError;
    }
    platform::remove_file(lock_path(name));
    return StoreStatus::Ok;
}

std::vector<std::string> TokenStore::names() const {
    std::vector<std::string> out;
    const std::string suffix(kStateSuffix);
    for (const std::string& entry : platform::list_directory(dir_)) {
        if (entry.size() <= suffix.size() || entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::string name = entry.substr(0, entry.size() - suffix.size());
        if (valid_token_name(name)) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

StoreStatus TokenStore::update(const std::string& name, const std::function<bool(TokenState&)>& fn) {
    if (!valid_token_name(name)) return StoreStatus::BadName;
    if (!platform::file_exists(state_path(name))) return StoreStatus::NotFound;
    auto lock = platform::FileLock::acquire(lock_path(name));
    if (!lock) return StoreStatus::IoError;
    auto content = platform::read_file(state_path(name));
    if (!content) return platform::file_exists(state_path(name)) ? StoreStatus::IoError : StoreStatus::NotFound;
    SecureBytes before(std::move(*content));
    auto state = parse(before.get());
    if (!state) return StoreStatus::Corrupt;
    if (!fn(*state)) return StoreStatus::Ok;
    SecureBytes after(serialise(*state));
    if (after.get() == before.get()) return StoreStatus::Ok;
    return platform::write_file_atomically(state_path(name), after.get()) ? StoreStatus::Ok : StoreStatus::IoError;
}

StoreStatus TokenStore::read(const std::string& name, TokenState& out) const {
    if (!valid_token_name(name)) return StoreStatus::BadName;
    if (!platform::file_exists(state_path(name))) return StoreStatus::NotFound;
    auto lock = platform::FileLock::acquire(lock_path(name));
    if (!lock) return StoreStatus::IoError;
    auto content = platform::read_file(state_path(name));
    if (!content) return StoreStatus::NotFound;
    SecureBytes bytes(std::move(*content));
    auto state = parse(bytes.get());
    if (!state) return StoreStatus::Corrupt;
    out = std::move(*state);
    return StoreStatus::Ok;
}

}  // namespace qx::vtoken
