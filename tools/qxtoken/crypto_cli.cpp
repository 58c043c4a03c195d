// qxtoken random|digest|encrypt|decrypt.
#include <cstring>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "cli.h"
#include "session.h"
#include "qx/platform/file_io.h"

namespace qx::qxtoken {

namespace {

using Bytes = std::vector<uint8_t>;

// Bytes that are wiped when they go (keys, plain text).
struct WipedBytes {
    Bytes bytes;
    ~WipedBytes() {
        volatile uint8_t* p = bytes.data();
        for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
    }
};

std::string to_hex(const uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

Bytes from_hex(const std::string& text, const char* what) {
    auto nibble = [&](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return uint8_t(c - '0');
        if (c >= 'a' && c <= 'f') return uint8_t(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return uint8_t(c - 'A' + 10);
        throw UsageError{std::string(what) + " is not hexadecimal"};
    };
    if (text.size() % 2) throw UsageError{std::string(what) + " has an odd number of digits"};
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) out.push_back(uint8_t(nibble(text[i]) << 4 | nibble(text[i + 1])));
    return out;
}

Bytes read_input(const std::string& path) {
    auto content = platform::read_file(path);
    if (!content) throw Failure{"cannot read " + path};
    if (content->empty()) throw Failure{path + " is empty"};
    return std::move(*content);
}

int command_random(KernelApi& k, Io& io, Words& w, const std::function<DeviceHandle()>& open) {
    const bool onToken = w.flag("--on-token");
    const std::string count = w.take_positional("byte count");
    w.done();
    if (count.empty() || count.size() > 6 || count.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(count) == 0) {
        throw UsageError{"the byte count is a number from 1 to 999999"};
    }
    Bytes out(std::stoul(count));
    DeviceHandle h = onToken ? open() : nullptr;
    check(k.genRandom(h, static_cast<uint32_t>(out.size()), onToken ? 1 : 0, out.data()), "making random bytes");
    io.out << to_hex(out.data(), out.size()) << "\n";
    return 0;
}

int command_digest(KernelApi& k, Io& io, Words& w, const std::function<DeviceHandle()>& open) {
    const std::string alg = w.option_or("--alg", "sha256");
    const bool onToken = w.flag("--on-token");
    const std::string path = w.take_positional("file");
    w.done();
    uint32_t id = 0;
    if (alg == "sha1") id = 4;
    else if (alg == "sha256") id = 5;
    else if (alg == "sm3") id = 16;
    else throw UsageError{"--alg takes sha1, sha256 or sm3"};
    const Bytes data = read_input(path);
    if (data.size() > UINT32_MAX) throw Failure{path + " is too large"};
    DeviceHandle h = onToken ? open() : nullptr;
    uint8_t out[64];
    uint32_t length = sizeof out;
    check(k.digest(h, data.data(), static_cast<uint32_t>(data.size()), id, onToken ? 1 : 0, out, &length),
          "the digest");
    io.out << to_hex(out, length) << "  " << path << "\n";
    return 0;
}

struct SymAlg {
    const char* name;
    uint32_t id;
    std::size_t block;
};
constexpr SymAlg kSymAlgs[] = {
    {"des3", 0x300, 8}, {"aes", 0x400, 16}, {"sm4", 0x600, 16}, {"token-0x500", 0x500, 16}, {"token-0x700", 0x700, 16},
};

// A session key of the kernel, closed when it goes.
struct SessionKey {
    KernelApi& k;
    KeyHandle handle = nullptr;
    ~SessionKey() {
        if (handle) k.closeKey(handle);
    }
};

int command_cipher(KernelApi& k, Io& io, bool encrypt, Words& w, const std::function<DeviceHandle()>& open) {
    const std::string algName = w.option_or("--alg", "");
    WipedBytes key{from_hex(w.option_or("--key-hex", ""), "--key-hex")};
    const Bytes iv = from_hex(w.option_or("--iv-hex", ""), "--iv-hex");
    const std::string in = w.take_positional("input file");
    const std::string outPath = w.take_positional("output file");
    w.done();
    const SymAlg* alg = nullptr;
    for (const SymAlg& a : kSymAlgs) {
        if (algName == a.name) alg = &a;
    }
    if (!alg) throw UsageError{"--alg takes des3, aes, sm4, token-0x500 or token-0x700"};
    if (key.bytes.empty()) throw UsageError{"--key-hex is needed"};
    if (!iv.empty() && iv.size() != alg->block) {
        throw UsageError{"--iv-hex takes one block (" + std::to_string(alg->block) + " bytes)"};
    }
    WipedBytes data{read_input(in)};
    if (data.bytes.size() > UINT32_MAX - 64) throw Failure{in + " is too large"};

    DeviceHandle h = open();
    SessionKey session{k};
    check(k.importKey(h, nullptr, 0, alg->id, 0, key.bytes.data(), static_cast<uint32_t>(key.bytes.size()),
                      &session.handle),
          "taking the key");
    check(k.setPadding(session.handle, 1), "setting the padding");
    if (iv.empty()) {
        check(k.setMode(session.handle, 2), "setting the mode");
    } else {
        check(k.setIv(session.handle, iv.data(), static_cast<uint32_t>(iv.size())), "setting the vector");
    }
    WipedBytes out{Bytes(data.bytes.size() + 64)};
    uint32_t length = static_cast<uint32_t>(out.bytes.size());
    const uint32_t inLength = static_cast<uint32_t>(data.bytes.size());
    check((encrypt ? k.encrypt : k.decrypt)(session.handle, 1, data.bytes.data(), inLength, out.bytes.data(), &length),
          encrypt ? "enciphering" : "deciphering");
    out.bytes.resize(length);
    if (!platform::write_file_atomically(outPath, out.bytes)) throw Failure{"cannot write " + outPath};
    io.out << (encrypt ? "enciphered " : "deciphered ") << inLength << " bytes into " << length << "\n";
    return 0;
}

}  // namespace

int command_crypto(KernelApi& k, Io& io, const std::string& command, std::vector<std::string> words,
                   const std::function<DeviceHandle()>& open) {
    Words w{std::move(words)};
    if (command == "random") return command_random(k, io, w, open);
    if (command == "digest") return command_digest(k, io, w, open);
    return command_cipher(k, io, command == "encrypt", w, open);
}

}  // namespace qx::qxtoken
