#include "tools/qxvtoken/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <sstream>

#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "device/vpcd/vpcd_card.h"
#include "qx/platform/device_broadcast.h"

namespace qx::vtoken::tool {

namespace {

const char* const kUsage =
    "usage: qxvtoken COMMAND [OPTIONS] [NAME]\n"
    "\n"
    "  create [--channel ccid|ums|hid] [--identity HEX] [--cos-version HEX]\n"
    "         [--transport-key] [--auto-press MS] [--pin-button] NAME\n"
    "                     make a new, blank, plugged-in virtual token\n"
    "  list               list the virtual tokens\n"
    "  plug NAME          plug the token in\n"
    "  unplug NAME        pull the token out (its security state is lost)\n"
    "  press NAME         press the token's button\n"
    "  reset NAME         reset the token (its security state is lost)\n"
    "  remove NAME        delete the token\n"
    "  dump [--secrets] NAME\n"
    "                     show the token's files and state; keys, PINs and\n"
    "                     private key parts only with --secrets\n"
    "  serve [--port N] NAME\n"
    "                     put the token as a card into pcscd's virtual reader\n"
    "                     (vsmartcard-vpcd; port 35963 is \"Virtual PCD 00 00\")\n"
    "                     until ended; what the reader's commands change is kept\n"
    "\n"
    "The tokens live in $QX_VTOKEN_HOME, by default in the per-user data directory.\n";

struct Error {
    int code;
    std::string text;
};

[[noreturn]] void usage_error(const std::string& text) { throw Error{kExitUsage, text}; }
[[noreturn]] void failure(const std::string& text) { throw Error{kExitFailed, text}; }

Bytes parse_hex_option(const std::string& option, const std::string& value, size_t min, size_t max) {
    auto b = from_hex(value);
    if (!b || b->size() < min || b->size() > max) {
        std::ostringstream s;
        s << option << " expects " << min;
        if (max != min) s << " to " << max;
        s << " bytes as hexadecimal digits, not '" << value << "'";
        usage_error(s.str());
    }
    return *b;
}

// Splits the arguments after the command into options and at most one name.
struct Parsed {
    std::vector<std::pair<std::string, std::string>> options;
    std::string name;
};

Parsed parse(const std::vector<std::string>& args, const std::vector<std::string>& flags,
             const std::vector<std::string>& valued, bool needs_name) {
    Parsed p;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) == 0) {
            std::string key = a, value;
            size_t eq = a.find('=');
            if (eq != std::string::npos) {
                key = a.substr(0, eq);
                value = a.substr(eq + 1);
            }
            bool is_flag = std::find(flags.begin(), flags.end(), key) != flags.end();
            bool is_valued = std::find(valued.begin(), valued.end(), key) != valued.end();
            if (!is_flag && !is_valued) usage_error("unknown option '" + key + "' for " + args[0]);
            if (is_flag && eq != std::string::npos) usage_error("option " + key + " takes no value");
            if (is_valued && eq == std::string::npos) {
                if (i + 1 >= args.size()) usage_error("option " + key + " needs a value");
                value = args[++i];
            }
            for (const auto& o : p.options)
                if (o.first == key) usage_error("option " + key + " given twice");
            p.options.emplace_back(key, value);
        } else {
            if (!p.name.empty()) usage_error("unexpected argument '" + a + "'");
            p.name = a;
        }
    }
    if (needs_name) {
        if (p.name.empty()) usage_error(args[0] + " needs a token name");
        if (!valid_token_name(p.name)) usage_error(std::string("'") + p.name + "': " + describe(StoreStatus::BadName));
    } else if (!p.name.empty()) {
        usage_error(args[0] + " takes no name");
    }
    return p;
}

const std::string* option(const Parsed& p, const std::string& key) {
    for (const auto& o : p.options)
        if (o.first == key) return &o.second;
    return nullptr;
}

void check(StoreStatus st, const std::string& name) {
    if (st == StoreStatus::Ok) return;
    failure("'" + name + "': " + describe(st));
}


std::string printable(const Bytes& b) {
    std::string s;
    for (uint8_t c : b) {
        if (c == 0xFF || c == 0x00) break;
        s.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
    }
    return s;
}

const char* key_type_name(uint8_t t) {
    switch (t) {
    case kKeyExternalAuth: return "external authentication";
    case kKeyLineProtection: return "line protection";
    case kKeyMaster: return "master";
    case kKeyInternalAuth: return "internal authentication";
    case kKeySymProtection: return "symmetric-key protection";
    case kKeyUnlock: return "unlock";
    case kKeyCommandProtection: return "command protection";
    case kKeyPin: return "PIN";
    default: return "unknown";
    }
}

const char* pair_name(uint16_t t) {
    switch (t) {
    case kPairRsa1024: return "RSA1024";
    case kPairRsa2048: return "RSA2048";
    case kPairSm2: return "SM2256";
    default: return "?";
    }
}

std::string access_text(const std::array<uint8_t, 4>& a, size_t n) {
    std::ostringstream s;
    for (size_t i = 0; i < n; ++i) s << (i ? " " : "") << to_hex(&a[i], 1);
    return s.str();
}

// Binary content in lines of 32 bytes; trailing erased bytes are summarised.
void dump_binary(std::ostream& out, const Bytes& data, const std::string& indent) {
    size_t used = data.size();
    while (used > 0 && data[used - 1] == 0xFF) --used;
    for (size_t off = 0; off < used; off += 32) {
        size_t n = std::min<size_t>(32, used - off);
        out << indent << std::setw(4) << std::setfill('0') << std::hex << std::uppercase << off << std::dec
            << std::setfill(' ') << "  " << to_hex(data.data() + off, n) << "\n";
    }
    if (used < data.size()) out << indent << "(" << data.size() - used << " bytes FF from offset " << used << ")\n";
}

void dump_file(std::ostream& out, const CardFile& f, const std::string& indent, bool secrets) {
    char fid[8];
    std::snprintf(fid, sizeof fid, "%04X", f.fid);
    if (f.is_df) {
        out << indent << fid << "  directory \"" << printable(f.name) << "\"  create/delete " << access_text(f.access, 2)
            << (f.initialising ? "  (being initialised)" : "") << "\n";
        for (const auto& k : f.keys) {
            out << indent << "  key " << to_hex(&k.header[1], 1) << " " << key_type_name(k.type()) << " #"
                << int(k.id()) << "  header " << to_hex(k.header.data(), 8);
            if (k.type() == kKeyPin)
                out << "  tries " << int(k.tries_left) << "/" << int(k.max_tries()) << "  grants state "
                    << int(k.state_after() & 0x0F);
            else
                out << "  algorithm " << int(k.alg());
            if (secrets) out << "  value " << to_hex(k.value);
            out << "\n";
        }
        for (const auto& c : f.children) dump_file(out, *c, indent + "  ", secrets);
        return;
    }
    switch (f.ef_kind) {
    case kEfBinary:
    case kEfCertificate:
        out << indent << fid << "  " << (f.ef_kind == kEfCertificate ? "certificate file" : "binary file") << ", "
            << f.size << " bytes, read/write " << access_text(f.access, 2) << "\n";
        dump_binary(out, f.data, indent + "    ");
        break;
    case kEfPublicKey:
        out << indent << fid << "  " << pair_name(f.pair_type) << " public key, use/write " << access_text(f.access, 2)
            << (f.data.empty() ? ", empty" : "") << "\n";
        if (!f.data.empty()) out << indent << "    " << to_hex(f.data) << "\n";
        break;
    case kEfPrivateKey:
        out << indent << fid << "  " << pair_name(f.pair_type) << " private key, use/write " << access_text(f.access, 2)
            << (f.data.empty() ? ", empty" : ", present") << "\n";
        if (secrets && !f.data.empty()) out << indent << "    " << to_hex(f.data) << "\n";
        break;
    default:
        out << indent << fid << "  file of kind " << int(f.ef_kind) << "\n";
    }
}

int cmd_create(const std::vector<std::string>& args, const std::string& dir, std::ostream& out) {
    Parsed p = parse(args, {"--transport-key", "--pin-button"}, {"--channel", "--identity", "--cos-version", "--auto-press"},
                     true);
    uint32_t channel = kChannelCcid;
    Bytes identity, cos;
    int32_t auto_press = -1;
    if (const std::string* v = option(p, "--channel")) {
        channel = channel_from_text(*v);
        if (channel == 0) usage_error("--channel expects ccid, ums or hid, not '" + *v + "'");
    }
    if (const std::string* v = option(p, "--identity")) identity = parse_hex_option("--identity", *v, 1, 32);
    if (const std::string* v = option(p, "--cos-version")) {
        cos = parse_hex_option("--cos-version", *v, 3, 16);
        if (cos.size() != 3 && cos.size() != 16)
            usage_error("--cos-version expects 3 bytes (the version) or 16 bytes (the whole card-OS information)");
    }
    if (const std::string* v = option(p, "--auto-press")) {
        char* end = nullptr;
        long ms = std::strtol(v->c_str(), &end, 10);
        if (v->empty() || *end != 0 || ms < 0 || ms > 3600000)
            usage_error("--auto-press expects milliseconds from 0 to 3600000, not '" + *v + "'");
        auto_press = static_cast<int32_t>(ms);
    }
    TokenState s = make_token(channel, identity, cos, option(p, "--transport-key") != nullptr);
    s.config.auto_press_ms = auto_press;
    // PIN verification and change then wait for the button, as transactions do.
    s.config.pin_button = option(p, "--pin-button") != nullptr;
    TokenStore store(dir);
    check(store.create(p.name, s), p.name);
    out << device_name_for(channel, p.name) << "  identity " << to_hex(s.config.identity) << "\n";
    return kExitOk;
}

int cmd_list(const std::vector<std::string>& args, const std::string& dir, std::ostream& out) {
    parse(args, {}, {}, false);
    TokenStore store(dir);
    auto names = store.names();
    if (names.empty()) out << "no virtual tokens in " << dir << "\n";
    for (const auto& n : names) {
        TokenState s;
        StoreStatus st = store.read(n, s);
        if (st != StoreStatus::Ok) {
            out << n << "  (" << describe(st) << ")\n";
            continue;
        }
        out << n << "  " << channel_text(s.config.channel) << "  " << (s.plugged ? "plugged" : "unplugged") << "  "
            << (s.mf ? "initialised" : "blank") << "  \"" << device_name_for(s.config.channel, n) << "\"\n";
    }
    return kExitOk;
}

int cmd_change(const std::vector<std::string>& args, const std::string& dir, std::ostream& out) {
    Parsed p = parse(args, {}, {}, true);
    const std::string& c = args[0];
    TokenStore store(dir);
    std::string message;
    int code = kExitOk;
    auto channel = decltype(TokenState{}.config.channel){};
    check(store.update(p.name,
                       [&](TokenState& s) {
                           channel = s.config.channel;
                           if (c == "plug") {
                               message = s.plugged ? "already plugged in" : "plugged in";
                               s.plug();
                           } else if (c == "unplug") {
                               message = s.plugged ? "unplugged" : "already unplugged";
                               s.unplug();
                           } else if (c == "reset") {
                               if (!s.plugged) {
                                   message = "not plugged in; nothing to reset";
                                   code = kExitFailed;
                                   return false;
                               }
                               s.power_cycle();
                               message = "reset";
                           } else {  // press
                               if (!s.plugged) {
                                   message = "not plugged in; the button cannot be pressed";
                                   code = kExitFailed;
                                   return false;
                               }
                               if (!press_button(s)) {
                                   message = "nothing is waiting for the button";
                                   code = kExitFailed;
                                   return false;
                               }
                               message = "button pressed";
                           }
                           return true;
                       }),
          p.name);
    if (code != kExitOk) failure("'" + p.name + "': " + message);
    if (c == "plug" || c == "unplug") {
        // Resident managers learn of the change as they would of a real device.
        platform::broadcast_device_change(c == "plug", device_name_for(channel, p.name));
    }
    out << p.name << ": " << message << "\n";
    return kExitOk;
}

int cmd_remove(const std::vector<std::string>& args, const std::string& dir, std::ostream& out) {
    Parsed p = parse(args, {}, {}, true);
    TokenStore store(dir);
    check(store.remove(p.name), p.name);
    out << p.name << ": removed\n";
    return kExitOk;
}

int cmd_dump(const std::vector<std::string>& args, const std::string& dir, std::ostream& out) {
    Parsed p = parse(args, {"--secrets"}, {}, true);
    bool secrets = option(p, "--secrets") != nullptr;
    TokenStore store(dir);
    TokenState s;
    check(store.read(p.name, s), p.name);
    const TokenConfig& c = s.config;
    out << "token           " << p.name << "\n"
        << "device name     " << device_name_for(c.channel, p.name) << "\n"
        << "channel         " << channel_text(c.channel) << "\n"
        << "plugged         " << (s.plugged ? "yes" : "no") << "\n"
        << "identity        " << to_hex(c.identity) << "\n"
        << "card-OS info    " << to_hex(c.cos_info) << "  (version " << to_hex(c.cos_info.data() + 13, 3) << ")\n"
        << "serial number   " << (c.serial.empty() ? "-" : printable(c.serial)) << "\n"
        << "transport key   "
        << (c.transport_key.empty() ? "none" : (secrets ? to_hex(c.transport_key) : "present")) << "\n"
        << "button          "
        << (c.auto_press_ms < 0 ? std::string("pressed with 'qxvtoken press'")
                                : "pressed automatically after " + std::to_string(c.auto_press_ms) + " ms")
        << (c.pin_button ? "; PIN operations wait for it" : "") << "\n"
        << "security state  " << int(s.vol.security) << "\n";
    std::string path;
    for (uint16_t f : s.vol.current_path) {
        char t[8];
        std::snprintf(t, sizeof t, "/%04X", f);
        path += t;
    }
    out << "current DF      " << (path.empty() ? "-" : path) << "\n";
    const Transaction& t = s.vol.transaction;
    if (t.active)
        out << "transaction     slot " << int(t.slot) << ", algorithm " << int(t.algorithm) << ", "
            << t.pieces_received << "/" << t.piece_count << " pieces, "
            << (t.ready ? (t.pressed ? "confirmed" : "waiting for the button") : "receiving data") << "\n";
    out << "files\n";
    if (!s.mf) out << "  (blank token: no master file)\n";
    else dump_file(out, *s.mf, "  ", secrets);
    return kExitOk;
}

// Serves the token to vpcd in the foreground; the process ends with the
// reader's connection (pcscd stopped), with the token's removal, or when killed.
int cmd_serve(const std::vector<std::string>& args, const std::string& dir, std::ostream& out) {
    Parsed p = parse(args, {}, {"--port"}, true);
    uint16_t port = kVpcdFirstPort;
    if (const std::string* v = option(p, "--port")) {
        char* end = nullptr;
        long n = std::strtol(v->c_str(), &end, 10);
        if (v->empty() || *end != 0 || n < 1 || n > 65535)
            usage_error("--port expects a TCP port from 1 to 65535, not '" + *v + "'");
        port = static_cast<uint16_t>(n);
    }
    TokenStore store(dir);
    TokenState probe;
    check(store.read(p.name, probe), p.name);
    VpcdCard card(store_access(store, p.name));
    const VpcdCard::End end = card.serve_here(port, 2000, [&](const TcpClient&) {
        out << p.name << ": in the virtual reader on port " << port << "\n" << std::flush;
    });
    switch (end) {
    case VpcdCard::End::NoReader:
        failure("no virtual reader accepts a card on port " + std::to_string(port) +
                " (pcscd with vsmartcard-vpcd must run)");
    case VpcdCard::End::CardGone:
        failure("'" + p.name + "': the token was removed; it has left the reader");
    case VpcdCard::End::ReaderClosed:
        break;
    }
    out << p.name << ": the reader closed the connection\n";
    return kExitOk;
}

}  // namespace

int run(const std::vector<std::string>& args, const std::string& directory, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) usage_error("no command given");
        const std::string& c = args[0];
        if (c == "help" || c == "--help" || c == "-h") {
            out << kUsage;
            return kExitOk;
        }
        if (c == "create") return cmd_create(args, directory, out);
        if (c == "list") return cmd_list(args, directory, out);
        if (c == "plug" || c == "unplug" || c == "press" || c == "reset") return cmd_change(args, directory, out);
        if (c == "remove") return cmd_remove(args, directory, out);
        if (c == "dump") return cmd_dump(args, directory, out);
        if (c == "serve") return cmd_serve(args, directory, out);
        usage_error("unknown command '" + c + "'");
    } catch (const Error& e) {
        err << "qxvtoken: " << e.text << "\n";
        if (e.code == kExitUsage) err << kUsage;
        return e.code;
    } catch (const std::exception& e) {
        err << "qxvtoken: " << e.what() << "\n";
        return kExitFailed;
    }
}

}  // namespace qx::vtoken::tool
