// qxtoken keys generate|list, pubkey export, sign and verify: the key pairs of
// the token's containers.  Public keys are written as PEM SubjectPublicKeyInfo,
// signatures in the forms other tools read (RSA: the PKCS #1 v1.5 signature
// bytes; SM2: a DER SEQUENCE of r and s).
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenStatus.h"
#include "cli.h"
#include "session.h"
#include "qx/platform/file_io.h"

namespace qx::qxtoken {

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kRsa = 0x20000, kSm2 = 0x10000;
constexpr uint32_t kDigestSha1 = 4, kDigestSha256 = 5, kDigestSm3 = 16;

// ---- DER and PEM -----------------------------------------------------------

void der(Bytes& out, uint8_t tag, const Bytes& value) {
    out.push_back(tag);
    const std::size_t n = value.size();
    if (n < 0x80) {
        out.push_back(uint8_t(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(uint8_t(n));
    } else {
        out.push_back(0x82);
        out.push_back(uint8_t(n >> 8));
        out.push_back(uint8_t(n));
    }
    out.insert(out.end(), value.begin(), value.end());
}

// A non-negative INTEGER's content from big-endian bytes.
Bytes der_unsigned(const uint8_t* p, std::size_t n) {
    if (n == 0) return Bytes(1, 0);
    std::size_t i = 0;
    while (i + 1 < n && p[i] == 0) ++i;
    const std::size_t lead = (p[i] & 0x80) ? 1 : 0;
    Bytes v(lead + n - i, 0);
    std::memcpy(v.data() + lead, p + i, n - i);
    return v;
}

// Reads one element of `tag` at `at`; false when it is not there whole.
bool der_read(const Bytes& in, std::size_t& at, uint8_t tag, Bytes& value) {
    if (at + 2 > in.size() || in[at] != tag) return false;
    std::size_t len = in[at + 1], head = 2;
    if (len == 0x81 && at + 3 <= in.size()) {
        len = in[at + 2];
        head = 3;
    } else if (len >= 0x80) {
        return false;
    }
    if (at + head + len > in.size()) return false;
    value.assign(in.begin() + long(at + head), in.begin() + long(at + head + len));
    at += head + len;
    return true;
}

std::string pem(const char* label, const Bytes& data) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b64;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = uint32_t(data[i]) << 16;
        if (i + 1 < data.size()) v |= uint32_t(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= data[i + 2];
        b64 += alphabet[v >> 18 & 63];
        b64 += alphabet[v >> 12 & 63];
        b64 += i + 1 < data.size() ? alphabet[v >> 6 & 63] : '=';
        b64 += i + 2 < data.size() ? alphabet[v & 63] : '=';
    }
    std::string out = std::string("-----BEGIN ") + label + "-----\n";
    for (std::size_t i = 0; i < b64.size(); i += 64) out += b64.substr(i, 64) + "\n";
    return out + "-----END " + label + "-----\n";
}

// SubjectPublicKeyInfo of the kernel's public key block (516 or 132 bytes).
Bytes public_key_info(uint32_t algorithm, const Bytes& block) {
    Bytes algorithmId, key;
    if (algorithm == kRsa) {
        // rsaEncryption with NULL parameters; RSAPublicKey { n, e }.
        const Bytes oid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
        der(algorithmId, 0x06, oid);
        der(algorithmId, 0x05, {});
        Bytes numbers;
        der(numbers, 0x02, der_unsigned(block.data() + 4, 256));
        der(numbers, 0x02, der_unsigned(block.data() + 260, 256));
        der(key, 0x30, numbers);
    } else {
        // id-ecPublicKey on the SM2 curve; the uncompressed point.
        der(algorithmId, 0x06, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01});
        der(algorithmId, 0x06, {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D});
        key.push_back(0x04);
        key.insert(key.end(), block.begin() + 36, block.begin() + 68);
        key.insert(key.end(), block.begin() + 100, block.begin() + 132);
    }
    Bytes bits{0x00};
    bits.insert(bits.end(), key.begin(), key.end());
    Bytes body, info;
    der(body, 0x30, algorithmId);
    der(body, 0x03, bits);
    der(info, 0x30, body);
    return info;
}

// ---- kernel steps ------------------------------------------------------------

std::string pair_name(uint32_t algorithm, uint32_t bits) {
    return algorithm == kSm2 ? std::string("sm2") : "rsa" + std::to_string(bits);
}

// The container's key pair of `keySpec`; false when it has none.
bool container_key(KernelApi& k, ContainerHandle c, uint32_t keySpec, Key& key) {
    const uint32_t rc = k.keyFromContainer(c, keySpec, &key.handle);
    if (rc == ERR_KEY_NOT_IN_CONTAINER || rc == ERR_CONTAINER_UNUSED) return false;
    check(rc, "reading the container's key pair");
    check(k.keyAlgorithm(key.handle, &key.algorithm), "reading the key's algorithm");
    check(k.keyLength(key.handle, &key.bits), "reading the key's length");
    check(k.keyIndex(key.handle, &key.slot), "reading the key's slot");
    return true;
}

Bytes public_block(KernelApi& k, Key& key) {
    Bytes block(516);
    uint32_t length = uint32_t(block.size());
    check(k.keyBuffer(nullptr, key.handle, block.data(), &length), "reading the public key");
    block.resize(length);
    return block;
}

// The digest identifier of --hash (default: sha256 for RSA, sm3 for SM2).
uint32_t hash_of(const std::string& name, uint32_t algorithm) {
    const std::string n = name.empty() ? (algorithm == kSm2 ? "sm3" : "sha256") : name;
    if (algorithm == kSm2) {
        if (n != "sm3") throw UsageError{"SM2 keys sign with --hash sm3"};
        return kDigestSm3;
    }
    if (n == "sha1") return kDigestSha1;
    if (n == "sha256") return kDigestSha256;
    throw UsageError{"RSA keys sign with --hash sha1 or sha256"};
}

Bytes read_input(const std::string& path) {
    auto data = platform::read_file(path);
    if (!data) throw Failure{"cannot read " + path};
    return *data;
}

void write_output(const std::string& path, const Bytes& data) {
    if (!platform::write_file_atomically(path, data)) throw Failure{"cannot write " + path};
}

// What the kernel signs or verifies: the digest of the file for RSA, the file
// itself for SM2 (the kernel hashes Z_A and the message).
Bytes signed_input(KernelApi& k, uint32_t hashAlg, const Bytes& message) {
    if (hashAlg == kDigestSm3) {
        if (message.empty()) throw Failure{"SM2 signs a message of at least one byte"};
        return message;
    }
    Bytes hash(64);
    uint32_t length = uint32_t(hash.size());
    if (message.empty()) throw Failure{"cannot sign an empty file"};
    check(k.digest(nullptr, message.data(), uint32_t(message.size()), hashAlg, 0, hash.data(), &length),
          "hashing the file");
    hash.resize(length);
    return hash;
}

// Shows that the token is working: a dot every half second until stopped.
class Progress {
public:
    explicit Progress(std::ostream& out) : out_(out), thread_([this] { run(); }) {}
    ~Progress() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stop_; })) out_ << "." << std::flush;
    }
    std::ostream& out_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// ---- commands ------------------------------------------------------------------

int keys_generate(KernelApi& k, Io& io, Words& w, const std::function<DeviceHandle()>& open) {
    const std::string container = w.required("--container");
    const std::string type = w.required("--type");
    const uint32_t keySpec = w.flag("--exchange") ? 1 : 2;
    std::string pin;
    const bool pinGiven = w.option("--pin", pin);
    WipedText pinCopy{pin};
    w.done();
    uint32_t algorithm, bits;
    if (type == "rsa1024" || type == "rsa2048") {
        algorithm = kRsa;
        bits = type == "rsa1024" ? 1024 : 2048;
    } else if (type == "sm2") {
        algorithm = kSm2;
        bits = 256;
    } else {
        throw UsageError{"--type takes rsa1024, rsa2048 or sm2"};
    }
    DeviceHandle h = open();
    verify_user_pin(k, io, h, pinGiven ? &pinCopy.text : nullptr);
    OpenContainer c(k, h, container);
    Key key(k);
    io.err << "generating an " << (algorithm == kSm2 ? "SM2" : "RSA-" + std::to_string(bits))
           << " key pair on the token" << std::flush;
    uint32_t rc;
    {
        Progress progress(io.err);
        rc = k.genAsymKey(h, algorithm, bits, keySpec, 0, &key.handle);
    }
    io.err << (rc == ERR_OK ? " done\n" : " failed\n");
    check(rc, "generating the key pair");
    check(k.bindKey(c.handle, key.handle), "storing the key pair in container '" + container + "'");
    check(k.keyIndex(key.handle, &key.slot), "reading the key's slot");
    io.out << (keySpec == 1 ? "exchange" : "signature") << " key pair " << pair_name(algorithm, bits)
           << " generated in container " << container << " (slot " << key.slot << ")\n";
    return 0;
}

int keys_list(KernelApi& k, Io& io, Words& w, const std::function<DeviceHandle()>& open) {
    w.done();
    DeviceHandle h = open();
    int listed = 0;
    for_each_container(k, h, [&](ContainerHandle c, const std::string& name) {
        for (uint32_t spec : {2u, 1u}) {
            Key key(k);
            if (!container_key(k, c, spec, key)) continue;
            io.out << name.c_str() << "  " << (spec == 1 ? "exchange " : "signature") << "  "
                   << pair_name(key.algorithm, key.bits) << "  slot " << key.slot << "\n";
            ++listed;
        }
    });
    if (listed == 0) io.out << "no key pair on the token\n";
    return 0;
}

int pubkey_export(KernelApi& k, Io& io, Words& w, const std::function<DeviceHandle()>& open) {
    const std::string what = w.take_positional("pubkey command");
    if (what != "export") throw UsageError{"unknown pubkey command '" + what + "'"};
    const std::string container = w.required("--container");
    const uint32_t keySpec = w.flag("--exchange") ? 1 : 2;
    const std::string out = w.required("--out");
    w.done();
    OpenContainer c(k, open(), container);
    Key key(k);
    if (!container_key(k, c.handle, keySpec, key)) throw Failure{"container '" + container + "' has no such key pair"};
    const std::string text = pem("PUBLIC KEY", public_key_info(key.algorithm, public_block(k, key)));
    write_output(out, Bytes(text.begin(), text.end()));
    io.out << "public key of " << pair_name(key.algorithm, key.bits) << " written to " << out << "\n";
    return 0;
}

int sign_or_verify(KernelApi& k, Io& io, bool signing, Words& w, const std::function<DeviceHandle()>& open) {
    const std::string container = w.required("--container");
    const uint32_t keySpec = w.flag("--exchange") ? 1 : 2;
    const std::string in = w.required("--in");
    std::string hashName, pin;
    w.option("--hash", hashName);
    const std::string sigPath = w.required(signing ? "--out" : "--sig");
    const bool pinGiven = signing && w.option("--pin", pin);
    WipedText pinCopy{pin};
    w.done();
    const Bytes message = read_input(in);
    DeviceHandle h = open();
    OpenContainer c(k, h, container);
    Key key(k);
    if (!container_key(k, c.handle, keySpec, key)) throw Failure{"container '" + container + "' has no such key pair"};
    const uint32_t hashAlg = hash_of(hashName, key.algorithm);
    const Bytes input = signed_input(k, hashAlg, message);

    if (signing) {
        verify_user_pin(k, io, h, pinGiven ? &pinCopy.text : nullptr);
        Bytes sig(256);
        uint32_t length = uint32_t(sig.size());
        check(k.signHash(key.handle, 1, hashAlg, input.data(), uint32_t(input.size()), sig.data(), &length),
              "signing");
        sig.resize(length);
        if (key.algorithm == kSm2) {
            Bytes body, seq;
            der(body, 0x02, der_unsigned(sig.data(), 32));
            der(body, 0x02, der_unsigned(sig.data() + 32, 32));
            der(seq, 0x30, body);
            sig = seq;
        }
        write_output(sigPath, sig);
        io.out << "signature written to " << sigPath << "\n";
        return 0;
    }

    Bytes sig = read_input(sigPath);
    if (key.algorithm == kSm2) {
        Bytes seq, r, s;
        std::size_t at = 0, inner = 0;
        if (!der_read(sig, at, 0x30, seq) || !der_read(seq, inner, 0x02, r) || !der_read(seq, inner, 0x02, s) ||
            r.size() > 33 || s.size() > 33)
            throw Failure{sigPath + " is not an SM2 signature"};
        Bytes rs(64, 0);
        const std::size_t rn = std::min<std::size_t>(r.size(), 32), sn = std::min<std::size_t>(s.size(), 32);
        std::memcpy(rs.data() + 32 - rn, r.data() + r.size() - rn, rn);
        std::memcpy(rs.data() + 64 - sn, s.data() + s.size() - sn, sn);
        sig = rs;
    }
    if (sig.empty() || sig.size() > 256) throw Failure{sigPath + " is not a signature"};
    const uint32_t rc =
        k.verifyHash(key.handle, 1, hashAlg, input.data(), uint32_t(input.size()), sig.data(), uint32_t(sig.size()));
    if (rc == ERR_COMMAND_FAILED) {
        io.out << "signature does not verify\n";
        return 1;
    }
    check(rc, "verifying");
    io.out << "signature verifies\n";
    return 0;
}

}  // namespace

int command_keys(KernelApi& kernel, Io& io, const std::string& command, std::vector<std::string> words,
                 const std::function<DeviceHandle()>& open) {
    Words w{std::move(words)};
    if (command == "keys") {
        const std::string what = w.take_positional("keys command");
        if (what == "generate") return keys_generate(kernel, io, w, open);
        if (what == "list") return keys_list(kernel, io, w, open);
        throw UsageError{"unknown keys command '" + what + "'"};
    }
    if (command == "pubkey") return pubkey_export(kernel, io, w, open);
    if (command == "sign") return sign_or_verify(kernel, io, true, w, open);
    if (command == "verify") return sign_or_verify(kernel, io, false, w, open);
    throw UsageError{"unknown command '" + command + "'"};
}

}  // namespace qx::qxtoken
