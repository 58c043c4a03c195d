#include "cli.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "QXTokenStatus.h"
#include "pin_check.h"

namespace qx::qxtoken {

const char kUsage[] =
    "usage: qxtoken [--token NAME] COMMAND\n"
    "  list                                    the tokens plugged in\n"
    "  info                                    the token information and PIN state\n"
    "  init [--label L] [--user-pin P] [--so-pin P]\n"
    "                                          erase and initialise the token (PINs default to the\n"
    "                                          configured defaults, which must be changed before use)\n"
    "  pin verify [--so] [--pin P]             verify the user (or SO) PIN\n"
    "  pin change [--so] [--old P] [--new P]   change the user (or SO) PIN\n"
    "  pin unlock [--so-pin P] [--new P]       unblock the user PIN with the SO PIN and set a new one\n"
    "  pin retries                             tries left for both PINs\n"
    "  pin status                              the PIN-state flags\n"
    "  label get | label set TEXT              the token's label (at most 12 characters)\n"
    "  serial                                  the token's serial number\n"
    "  container list [--json]                 the token's containers\n"
    "  container create NAME [--type rsa|sm2] [--pin P]\n"
    "  container delete NAME [--pin P]         make or remove a container (user PIN)\n"
    "  random N [--on-token]                   N random bytes in hexadecimal (the system's or the token's)\n"
    "  digest [--alg sha1|sha256|sm3] [--on-token] FILE\n"
    "                                          a file's digest in hexadecimal (default sha256)\n"
    "  encrypt|decrypt --alg des3|aes|sm4|token-0x500|token-0x700 --key-hex K [--iv-hex IV] IN OUT\n"
    "                                          a file under a session key (PKCS #7 padding; CBC with\n"
    "                                          --iv-hex, else ECB)\n"
    "  keys generate --container C --type rsa1024|rsa2048|sm2 [--exchange] [--pin P]\n"
    "                                          a key pair made on the token for a container\n"
    "  keys list                               the containers' key pairs\n"
    "  pubkey export --container C [--exchange] --out FILE\n"
    "                                          the public key as PEM\n"
    "  sign --container C --in FILE [--hash sha1|sha256|sm3] [--exchange] --out SIG [--pin P]\n"
    "  verify --container C --in FILE [--hash sha1|sha256|sm3] [--exchange] --sig SIG\n"
    "                                          RSA PKCS #1 v1.5 (default sha256) or SM2 with SM3\n"
    "  transaction sign --container C --in FILE [--exchange] [--hash sha1|sha256|sm3] --out SIG [--pin P]\n"
    "                                          the token signs FILE once its button is pressed\n"
    "  cert list                               the token's certificates: subject, issuer, validity,\n"
    "                                          and whether each is in the user's certificate store\n"
    "  cert read (--container C [--exchange] | --slot N) --out FILE [--pem]\n"
    "  cert write (--container C [--exchange] | --slot N) --in FILE [--pin P]\n"
    "                                          a certificate (DER or PEM) from or onto the token\n"
    "  cert delete (--container C [--exchange] | --slot N) [--pin P]\n"
    "                                          unbind the slot from its container\n"
    "  cert register --container C [--exchange] | cert unregister (--container C [--exchange] | --slot N)\n"
    "                                          the certificate in or out of the user's store\n"
    "  cert install-ca                         the CA and root certificates listed in Config.ini\n"
    "PINs that are not given are asked for without echo.  --token takes a device\n"
    "name or a virtual token's name; without it the only token plugged in is used.\n";

namespace {

constexpr uint32_t kLabelChars = 12;

struct StatusName {
    uint32_t value;
    const char* name;
};
constexpr StatusName kStatusNames[] = {
    {ERR_OK, "ERR_OK"},
    {ERR_FAILED, "ERR_FAILED"},
    {ERR_NO_MEMORY, "ERR_NO_MEMORY"},
    {ERR_INVALID_HANDLE, "ERR_INVALID_HANDLE"},
    {ERR_BUFFER_TOO_SMALL, "ERR_BUFFER_TOO_SMALL"},
    {ERR_LIBRARY_LOAD, "ERR_LIBRARY_LOAD"},
    {ERR_INVALID_PARAM, "ERR_INVALID_PARAM"},
    {ERR_NOT_FOUND, "ERR_NOT_FOUND"},
    {ERR_REMOTE_SESSION, "ERR_REMOTE_SESSION"},
    {ERR_DEVICE_IO, "ERR_DEVICE_IO"},
    {ERR_NO_CONTAINER, "ERR_NO_CONTAINER"},
    {ERR_GET_CHALLENGE, "ERR_GET_CHALLENGE"},
    {ERR_EXTERNAL_AUTH, "ERR_EXTERNAL_AUTH"},
    {ERR_KEY_NOT_IN_CONTAINER, "ERR_KEY_NOT_IN_CONTAINER"},
    {ERR_CONTAINER_UNUSED, "ERR_CONTAINER_UNUSED"},
    {ERR_CONTAINER_FULL, "ERR_CONTAINER_FULL"},
    {ERR_CONTAINER_NOT_FOUND, "ERR_CONTAINER_NOT_FOUND"},
    {ERR_CONTAINER_EXISTS, "ERR_CONTAINER_EXISTS"},
    {ERR_SELECT_FILE, "ERR_SELECT_FILE"},
    {ERR_KEY_COMMAND, "ERR_KEY_COMMAND"},
    {ERR_IMPORT_PUBLIC_KEY, "ERR_IMPORT_PUBLIC_KEY"},
    {ERR_IMPORT_PRIVATE_KEY, "ERR_IMPORT_PRIVATE_KEY"},
    {ERR_EXPORT_PUBLIC_KEY, "ERR_EXPORT_PUBLIC_KEY"},
    {ERR_READ_CONTAINER_FILE, "ERR_READ_CONTAINER_FILE"},
    {ERR_PIN_INCORRECT, "ERR_PIN_INCORRECT"},
    {ERR_OLD_PIN_INCORRECT, "ERR_OLD_PIN_INCORRECT"},
    {ERR_UNLOCK_FAILED, "ERR_UNLOCK_FAILED"},
    {ERR_PIN_LOCKED, "ERR_PIN_LOCKED"},
    {ERR_PIN_MUST_CHANGE, "ERR_PIN_MUST_CHANGE"},
    {ERR_NO_FREE_KEY_INDEX, "ERR_NO_FREE_KEY_INDEX"},
    {ERR_SECURITY_STATUS, "ERR_SECURITY_STATUS"},
    {ERR_FILE_NOT_FOUND, "ERR_FILE_NOT_FOUND"},
    {ERR_CREATE_FILE, "ERR_CREATE_FILE"},
    {ERR_DELETE_FILE, "ERR_DELETE_FILE"},
    {ERR_TRANSACTION_PIN_INCORRECT, "ERR_TRANSACTION_PIN_INCORRECT"},
    {ERR_TRANSACTION_D100, "ERR_TRANSACTION_D100"},
    {ERR_TRANSACTION_D101, "ERR_TRANSACTION_D101"},
    {ERR_TRANSACTION_D102, "ERR_TRANSACTION_D102"},
    {ERR_TRANSACTION_D104, "ERR_TRANSACTION_D104"},
    {ERR_TRANSACTION_D105, "ERR_TRANSACTION_D105"},
    {ERR_TRANSACTION_D107, "ERR_TRANSACTION_D107"},
    {ERR_TRANSACTION_D109, "ERR_TRANSACTION_D109"},
    {ERR_TRANSACTION_D10C, "ERR_TRANSACTION_D10C"},
    {ERR_TRANSACTION_OTHER, "ERR_TRANSACTION_OTHER"},
    {ERR_TRANSACTION_D10D, "ERR_TRANSACTION_D10D"},
    {ERR_INI_OPEN, "ERR_INI_OPEN"},
    {ERR_INI_EMPTY, "ERR_INI_EMPTY"},
    {ERR_INI_WRITE, "ERR_INI_WRITE"},
    {QX_ERROR_INI_NOT_UTF8, "QX_ERROR_INI_NOT_UTF8"},
    {ERR_LOCK_HELD, "ERR_LOCK_HELD"},
    {ERR_COMMAND_FAILED, "ERR_COMMAND_FAILED"},
    {ERR_SCARD_RESET_CARD, "ERR_SCARD_RESET_CARD"},
    {ERR_SCARD_SERVICE_STOPPED, "ERR_SCARD_SERVICE_STOPPED"},
    {ERR_SCARD_INVALID_VALUE, "ERR_SCARD_INVALID_VALUE"},
    {ERR_SCARD_INVALID_HANDLE, "ERR_SCARD_INVALID_HANDLE"},
};

// The command line after the global options: words and --name value pairs.
class Arguments {
public:
    explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}
    std::optional<std::string> option(const std::string& name) {
        for (std::size_t i = 0; i < args_.size(); ++i) {
            if (args_[i] != name) continue;
            if (i + 1 >= args_.size()) throw UsageError{name + " needs a value"};
            std::string v = args_[i + 1];
            args_.erase(args_.begin() + long(i), args_.begin() + long(i) + 2);
            return v;
        }
        return std::nullopt;
    }
    bool flag(const std::string& name) {
        for (std::size_t i = 0; i < args_.size(); ++i) {
            if (args_[i] == name) {
                args_.erase(args_.begin() + long(i));
                return true;
            }
        }
        return false;
    }
    std::string word(const char* what) {
        if (args_.empty()) throw UsageError{std::string("missing ") + what};
        std::string w = args_.front();
        args_.erase(args_.begin());
        return w;
    }
    // Everything not taken yet (for a command parsed elsewhere).
    std::vector<std::string> rest() { return std::exchange(args_, {}); }
    void done() const {
        if (!args_.empty()) throw UsageError{"unexpected argument '" + args_.front() + "'"};
    }

private:
    std::vector<std::string> args_;
};

std::string hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

// Labels are UTF-16 little-endian on the token, as the key manager and the
// dialogs write them; other bytes are shown as they are.
std::vector<uint8_t> encode_label(const std::string& utf8) {
    std::vector<uint8_t> out;
    uint32_t chars = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const uint8_t c = static_cast<uint8_t>(utf8[i]);
        uint32_t cp;
        std::size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            cp = (c & 0x1Fu) << 6 | (utf8[i + 1] & 0x3F);
            n = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < utf8.size()) {
            cp = (c & 0x0Fu) << 12 | (utf8[i + 1] & 0x3Fu) << 6 | (utf8[i + 2] & 0x3F);
            n = 3;
        } else {
            throw UsageError{"the label must be text of the basic multilingual plane"};
        }
        out.push_back(static_cast<uint8_t>(cp));
        out.push_back(static_cast<uint8_t>(cp >> 8));
        i += n;
        ++chars;
    }
    if (chars == 0 || chars > kLabelChars) throw UsageError{"the label takes 1 to 12 characters"};
    return out;
}

std::string decode_label(const uint8_t* bytes, std::size_t n) {
    // UTF-16 text of the first 256 characters has a zero in most odd places.
    std::size_t zeros = 0;
    for (std::size_t i = 1; i < n; i += 2) zeros += bytes[i] == 0;
    const bool utf16 = n > 0 && n % 2 == 0 && zeros * 2 >= n / 2;
    std::string out;
    if (!utf16) {
        for (std::size_t i = 0; i < n && bytes[i]; ++i) out += static_cast<char>(bytes[i]);
        return out;
    }
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        const uint32_t cp = bytes[i] | uint32_t(bytes[i + 1]) << 8;
        if (cp == 0) break;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string trimmed(const uint8_t* bytes, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(bytes), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

uint32_t le32(const uint8_t* p) { return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

std::string flag_text(uint32_t flags) {
    std::string text;
    auto add = [&](uint32_t bit, const char* what) {
        if (flags & bit) text += std::string(text.empty() ? "" : ", ") + what;
    };
    add(QXTOKEN_FLAG_USER_PIN_LOCKED, "user PIN blocked");
    add(QXTOKEN_FLAG_USER_PIN_DEFAULT, "user PIN is the default and must be changed");
    add(QXTOKEN_FLAG_SO_PIN_LOCKED, "SO PIN blocked");
    add(QXTOKEN_FLAG_SO_PIN_DEFAULT, "SO PIN is the default");
    return text.empty() ? "PINs set" : text;
}

// A secret that is wiped when it goes.
struct Secret {
    std::string text;
    ~Secret() {
        volatile char* p = text.data();
        for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
    }
};

// One token, enumerated and opened for the command; closed at the end.
class Session {
public:
    Session(KernelApi& k, Io& io) : k_(k), io_(io) {}
    ~Session() {
        if (handle_ && k_.closeDevice) k_.closeDevice(handle_);
        if (enumerated_ && k_.destroyEnum) k_.destroyEnum();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Every token plugged in: (handle, device name).
    std::vector<std::pair<DeviceHandle, std::string>> tokens() {
        uint32_t count = 0;
        check(k_.enumDevice(&count, nullptr), "listing the tokens");
        std::vector<DeviceHandle> handles(count + 4, nullptr);
        count = static_cast<uint32_t>(handles.size());
        check(k_.enumDevice(&count, handles.data()), "listing the tokens");
        enumerated_ = true;
        std::vector<std::pair<DeviceHandle, std::string>> out;
        for (uint32_t i = 0; i < count && i < handles.size(); ++i) {
            char name[260] = {};
            k_.deviceName(handles[i], name);
            out.emplace_back(handles[i], std::string(name, strnlen(name, sizeof name - 1)));
        }
        return out;
    }

    // Opens the chosen token.  `blankAllowed`: a token the kernel cannot
    // authenticate to (blank, or personalised elsewhere) is opened without.
    DeviceHandle open(const std::optional<std::string>& wanted, bool blankAllowed) {
        auto all = tokens();
        std::vector<std::pair<DeviceHandle, std::string>> match;
        for (auto& t : all) {
            if (!wanted || t.second == *wanted ||
                (t.second.size() > wanted->size() && t.second.compare(t.second.size() - wanted->size() - 1,
                                                                      std::string::npos, " " + *wanted) == 0))
                match.push_back(t);
        }
        if (match.empty()) throw Failure{wanted ? "no token named '" + *wanted + "' is plugged in" : "no token is plugged in"};
        if (match.size() > 1) throw Failure{"several tokens are plugged in; choose one with --token NAME"};
        name_ = match.front().second;
        uint32_t rc = k_.openByHandle(match.front().first);
        if (rc == ERR_OK) {
            handle_ = match.front().first;
            return handle_;
        }
        if (!blankAllowed)
            throw Failure{"cannot open " + name_ + ": " + describe_status(rc) +
                          (rc == ERR_FILE_NOT_FOUND ? " (a blank token: initialise it with 'qxtoken init')" : "")};
        DeviceHandle dezo = nullptr;
        const uint32_t dezoRc = k_.openDezo(name_.c_str(), &dezo);
        if (!dezo)
            throw Failure{"cannot open " + name_ + ": " + describe_status(dezoRc) +
                          " (the kernel's Config.ini must name the token's channel, for example "
                          "VirtualReaderWords = VToken CCID)"};
        handle_ = dezo;
        return handle_;
    }
    const std::string& name() const { return name_; }

    void check(uint32_t rc, const std::string& what) {
        if (rc != ERR_OK) throw Failure{what + " failed: " + describe_status(rc)};
    }

private:
    KernelApi& k_;
    Io& io_;
    DeviceHandle handle_ = nullptr;
    bool enumerated_ = false;
    std::string name_;
};

std::string pin_name(bool so) { return so ? "SO PIN" : "user PIN"; }

void ask(Io& io, const std::optional<std::string>& given, const std::string& prompt, Secret& out) {
    if (given) {
        out.text = *given;
        return;
    }
    if (!io.askSecret || !io.askSecret(prompt, out.text)) throw Failure{"no " + prompt.substr(0, prompt.size() - 2) + " given"};
}

void ask_new(Io& io, const std::optional<std::string>& given, const std::string& what, Secret& out) {
    if (given) {
        out.text = *given;
        return;
    }
    Secret again;
    ask(io, std::nullopt, "New " + what + ": ", out);
    ask(io, std::nullopt, "Repeat the new " + what + ": ", again);
    if (out.text != again.text) throw Failure{"the two entries of the new " + what + " differ"};
}

uint32_t tries_left(KernelApi& k, DeviceHandle h, uint32_t kind, bool& known) {
    uint32_t n = 0;
    known = k.retries(h, kind, &n) == ERR_OK;
    return n;
}

std::string pin_failure(KernelApi& k, DeviceHandle h, uint32_t kind, uint32_t rc, const std::string& what) {
    std::string text = what + " failed: " + describe_status(rc);
    if (rc == ERR_PIN_INCORRECT || rc == ERR_OLD_PIN_INCORRECT) {
        bool known = false;
        const uint32_t n = tries_left(k, h, kind, known);
        if (known) text += ", " + std::to_string(n) + (n == 1 ? " try" : " tries") + " left";
    } else if (rc == ERR_PIN_LOCKED) {
        text += "; unblock it with 'qxtoken pin unlock'";
    } else if (rc == ERR_PIN_MUST_CHANGE) {
        text += "; the PIN is still the default: change it with 'qxtoken pin change'";
    }
    return text;
}

int command_list(KernelApi& k, Io& io, Arguments& a) {
    a.done();
    Session s(k, io);
    const auto all = s.tokens();
    if (all.empty()) io.out << "no token is plugged in\n";
    for (const auto& t : all) io.out << t.second << "\n";
    return 0;
}

int command_info(KernelApi& k, Io& io, Arguments& a, const std::optional<std::string>& token) {
    a.done();
    Session s(k, io);
    DeviceHandle h = s.open(token, false);
    uint8_t r[QXTOKEN_TOKEN_INFO_SIZE] = {};
    uint32_t length = sizeof r;
    s.check(k.tokenInfo(h, r, &length), "reading the token information");
    uint8_t label[QXTOKEN_LABEL_SIZE] = {};
    uint32_t labelLength = sizeof label;
    s.check(k.getLabel(h, label, &labelLength), "reading the label");
    const uint32_t flags = le32(r + 96);
    io.out << "Device:         " << s.name() << "\n"
           << "Label:          " << decode_label(label, labelLength) << "\n"
           << "Manufacturer:   " << trimmed(r + 32, 32) << "\n"
           << "Model:          " << trimmed(r + 64, 16) << "\n"
           << "Serial number:  " << trimmed(r + 80, 16) << "\n"
           << "Flags:          " << hex32(flags) << " (" << flag_text(flags) << ")\n"
           << "PIN length:     " << le32(r + 120) << " to " << le32(r + 116) << "\n"
           << "Hardware:       " << int(r[140]) << "." << int(r[141]) << "\n"
           << "Firmware:       " << int(r[142]) << "." << int(r[143]) << "\n";
    for (bool so : {false, true}) {
        bool known = false;
        const uint32_t n = tries_left(k, h, so ? QXTOKEN_PIN_SO : QXTOKEN_PIN_USER, known);
        io.out << (so ? "SO PIN:         " : "User PIN:       ")
               << (known ? std::to_string(n) + " tries left" : std::string("tries unknown")) << "\n";
    }
    return 0;
}

int command_init(KernelApi& k, Io& io, Arguments& a, const std::optional<std::string>& token) {
    const auto label = a.option("--label");
    const auto user = a.option("--user-pin");
    const auto so = a.option("--so-pin");
    a.done();
    std::vector<uint8_t> labelBytes;
    if (label) labelBytes = encode_label(*label);
    const NewPinRules rules = rules_for_init(kernel_directory(k));
    if (user) check_new_pin(rules, *user, "user PIN");
    if (so) check_new_pin(rules, *so, "SO PIN");
    Session s(k, io);
    DeviceHandle h = s.open(token, true);
    const uint32_t rc = k.initToken(h, user ? user->c_str() : nullptr, user ? uint32_t(user->size()) : 0,
                                    so ? so->c_str() : nullptr, so ? uint32_t(so->size()) : 0,
                                    labelBytes.empty() ? nullptr : labelBytes.data(), uint32_t(labelBytes.size()));
    s.check(rc, "initialising " + s.name());
    io.out << "initialised " << s.name() << "\n";
    if (!user) io.out << "the user PIN is the configured default: change it with 'qxtoken pin change'\n";
    return 0;
}

int command_pin(KernelApi& k, Io& io, Arguments& a, const std::optional<std::string>& token) {
    const std::string what = a.word("pin command");
    if (what == "verify") {
        const bool so = a.flag("--so");
        const auto given = a.option("--pin");
        a.done();
        Session s(k, io);
        DeviceHandle h = s.open(token, false);
        Secret pin;
        ask(io, given, so ? "SO PIN: " : "User PIN: ", pin);
        const uint32_t kind = so ? QXTOKEN_PIN_SO : QXTOKEN_PIN_USER;
        const uint32_t rc = k.verifyPin(h, kind, pin.text.data(), uint32_t(pin.text.size()));
        if (rc != ERR_OK) throw Failure{pin_failure(k, h, kind, rc, "verifying the " + pin_name(so))};
        io.out << "the " << pin_name(so) << " is correct\n";
        return 0;
    }
    if (what == "change") {
        const bool so = a.flag("--so");
        const auto oldGiven = a.option("--old");
        const auto newGiven = a.option("--new");
        a.done();
        Session s(k, io);
        DeviceHandle h = s.open(token, false);
        Secret oldPin, newPin;
        ask(io, oldGiven, "Current " + pin_name(so) + ": ", oldPin);
        ask_new(io, newGiven, pin_name(so), newPin);
        check_new_pin(rules_for_token(k, h), newPin.text, "new " + pin_name(so));
        const uint32_t kind = so ? QXTOKEN_PIN_SO : QXTOKEN_PIN_USER;
        const uint32_t rc = k.changePin(h, kind, oldPin.text.c_str(), uint32_t(oldPin.text.size()),
                                        newPin.text.c_str(), uint32_t(newPin.text.size()));
        if (rc != ERR_OK) throw Failure{pin_failure(k, h, kind, rc, "changing the " + pin_name(so))};
        io.out << "the " << pin_name(so) << " is changed\n";
        return 0;
    }
    if (what == "unlock") {
        const auto soGiven = a.option("--so-pin");
        const auto newGiven = a.option("--new");
        a.done();
        Session s(k, io);
        DeviceHandle h = s.open(token, false);
        Secret soPin, newPin;
        ask(io, soGiven, "SO PIN: ", soPin);
        ask_new(io, newGiven, "user PIN", newPin);
        check_new_pin(rules_for_token(k, h), newPin.text, "new user PIN");
        const uint32_t rc = k.unlockPin(h, QXTOKEN_PIN_USER, soPin.text.c_str(), uint32_t(soPin.text.size()),
                                        newPin.text.c_str(), uint32_t(newPin.text.size()));
        if (rc != ERR_OK) throw Failure{pin_failure(k, h, QXTOKEN_PIN_SO, rc, "unblocking the user PIN")};
        io.out << "the user PIN is unblocked and set\n";
        return 0;
    }
    if (what == "retries") {
        a.done();
        Session s(k, io);
        DeviceHandle h = s.open(token, false);
        for (bool so : {false, true}) {
            uint32_t n = 0;
            s.check(k.retries(h, so ? QXTOKEN_PIN_SO : QXTOKEN_PIN_USER, &n), "reading the tries left");
            io.out << (so ? "SO PIN:   " : "user PIN: ") << n << (n == 1 ? " try" : " tries") << " left\n";
        }
        return 0;
    }
    if (what == "status") {
        a.done();
        Session s(k, io);
        DeviceHandle h = s.open(token, false);
        uint32_t flags = 0;
        s.check(k.pinStatus(h, &flags), "reading the PIN state");
        io.out << hex32(flags) << " (" << flag_text(flags) << ")\n";
        return 0;
    }
    throw UsageError{"unknown pin command '" + what + "'"};
}

int command_label(KernelApi& k, Io& io, Arguments& a, const std::optional<std::string>& token) {
    const std::string what = a.word("label command");
    if (what == "get") {
        a.done();
        Session s(k, io);
        DeviceHandle h = s.open(token, false);
        uint8_t label[QXTOKEN_LABEL_SIZE] = {};
        uint32_t length = sizeof label;
        s.check(k.getLabel(h, label, &length), "reading the label");
        io.out << decode_label(label, length) << "\n";
        return 0;
    }
    if (what == "set") {
        const std::string text = a.word("label text");
        a.done();
        const std::vector<uint8_t> bytes = encode_label(text);
        Session s(k, io);
        DeviceHandle h = s.open(token, false);
        s.check(k.setLabel(h, bytes.data(), uint32_t(bytes.size())), "writing the label");
        io.out << "label set\n";
        return 0;
    }
    throw UsageError{"unknown label command '" + what + "'"};
}

int command_serial(KernelApi& k, Io& io, Arguments& a, const std::optional<std::string>& token) {
    a.done();
    Session s(k, io);
    DeviceHandle h = s.open(token, false);
    uint8_t serial[256] = {};
    uint32_t length = sizeof serial;
    s.check(k.serial(h, serial, &length), "reading the serial number");
    io.out << std::string(reinterpret_cast<char*>(serial), length) << "\n";
    return 0;
}

}  // namespace

std::string describe_status(uint32_t status) {
    for (const StatusName& s : kStatusNames) {
        if (s.value == status) return std::string(s.name) + " (" + hex32(status) + ")";
    }
    return "status " + hex32(status);
}

int run(const std::vector<std::string>& args, KernelApi& kernel, Io& io) {
    try {
        Arguments a(args);
        if (a.flag("--help") || a.flag("-h")) {
            io.out << kUsage;
            return 0;
        }
        const std::optional<std::string> token = a.option("--token");
        const std::string command = a.word("command");
        if (!kernel.module) throw Failure{"the token kernel cannot be loaded: " + platform::last_module_error()};
        if (!kernel.missing.empty()) throw Failure{"the token kernel lacks " + kernel.missing};
        if (command == "list") return command_list(kernel, io, a);
        if (command == "info") return command_info(kernel, io, a, token);
        if (command == "init") return command_init(kernel, io, a, token);
        if (command == "pin") return command_pin(kernel, io, a, token);
        if (command == "label") return command_label(kernel, io, a, token);
        if (command == "serial") return command_serial(kernel, io, a, token);
        if (command == "container") {
            Session s(kernel, io);
            return command_container(kernel, io, a.rest(), [&] { return s.open(token, false); });
        }
        if (command == "random" || command == "digest" || command == "encrypt" || command == "decrypt") {
            Session s(kernel, io);
            return command_crypto(kernel, io, command, a.rest(), [&] { return s.open(token, false); });
        }
        if (command == "cert") {
            Session s(kernel, io);
            return command_cert(kernel, io, a.rest(), [&] { return s.open(token, false); });
        }
        if (command == "transaction") {
            Session s(kernel, io);
            return command_transaction(kernel, io, a.rest(), [&] { return s.open(token, false); });
        }
        if (command == "keys" || command == "pubkey" || command == "sign" || command == "verify") {
            Session s(kernel, io);
            return command_keys(kernel, io, command, a.rest(), [&] { return s.open(token, false); });
        }
        throw UsageError{"unknown command '" + command + "'"};
    } catch (const UsageError& e) {
        io.err << "qxtoken: " << e.message << "\n" << kUsage;
        return 2;
    } catch (const Failure& e) {
        io.err << "qxtoken: " << e.message << "\n";
        return 1;
    } catch (const std::exception& e) {
        io.err << "qxtoken: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace qx::qxtoken
