// qxtoken transaction sign: a file signed by the token after the person
// confirms it with the token's button.  The data goes to the token in pieces,
// then the tool polls for the signature while it counts the confirmation time down.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenStatus.h"
#include "cli.h"
#include "session.h"
#include "config/CU8Ini.h"
#include "pin_check.h"
#include "qx/platform/file_io.h"

namespace qx::qxtoken {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRsa = 0x20000, kSm2 = 0x10000;
constexpr uint32_t kDigestSha1 = 4, kDigestSha256 = 5, kDigestSm3 = 16;
constexpr std::size_t kPiece = 192;
constexpr uint32_t kMaxPieces = 0xFFFF;
constexpr int32_t kDefaultWaitSeconds = 60;
// How often the token is asked, and how long past the confirmation time the
// tool still waits for the token to say that time has run out.
constexpr auto kPollInterval = std::chrono::milliseconds(200);
constexpr auto kGrace = std::chrono::seconds(5);

// A transaction on the token that is cancelled unless it ended.
struct PendingTransaction {
    PendingTransaction(KernelApi& kernel, KeyHandle key, DeviceHandle device) : k(kernel), key(key), device(device) {}
    ~PendingTransaction() {
        if (open) k.cancelTransaction(key, device);
    }
    PendingTransaction(const PendingTransaction&) = delete;
    PendingTransaction& operator=(const PendingTransaction&) = delete;
    KernelApi& k;
    KeyHandle key;
    DeviceHandle device;
    bool open = true;
};

// The digest of --hash, or the first one Config.ini allows for the key kind.
uint32_t transaction_digest(KernelApi& k, uint32_t algorithm, const std::string& name) {
    const std::vector<std::pair<std::string, uint32_t>> choices =
        algorithm == kSm2 ? std::vector<std::pair<std::string, uint32_t>>{{"sm3", kDigestSm3}}
                          : std::vector<std::pair<std::string, uint32_t>>{{"sha256", kDigestSha256}, {"sha1", kDigestSha1}};
    for (const auto& [text, id] : choices) {
        if (!name.empty() && name != text) continue;
        if (k.isTranHashMeth(id) == 1) return id;
        if (!name.empty()) throw Failure{"TranHashMeth in the kernel's Config.ini does not allow " + text +
                                         " for transactions"};
    }
    if (!name.empty()) {
        throw UsageError{algorithm == kSm2 ? "SM2 keys sign transactions with --hash sm3"
                                           : "RSA keys sign transactions with --hash sha1 or sha256"};
    }
    throw Failure{"TranHashMeth in the kernel's Config.ini allows no digest for this key's transactions"};
}

int32_t wait_seconds(KernelApi& k) {
    const std::string dir = kernel_directory(k);
    kernel::CU8Ini ini;
    if (ini.LoadFile(dir + "Config.ini", dir) != 0) return kDefaultWaitSeconds;
    return ini.GetInteger("QXTokenInfo", "TranSignWaitTime", kDefaultWaitSeconds) & 0xFFFF;
}

void der(Bytes& out, uint8_t tag, const Bytes& value) {
    out.push_back(tag);
    if (value.size() < 0x80) {
        out.push_back(uint8_t(value.size()));
    } else {
        out.push_back(0x81);
        out.push_back(uint8_t(value.size()));
    }
    out.insert(out.end(), value.begin(), value.end());
}

// r || s as the DER SEQUENCE of two INTEGERs that OpenSSL reads.
Bytes sm2_der(const Bytes& rs) {
    Bytes body, seq;
    for (std::size_t half = 0; half < 2; ++half) {
        Bytes n(rs.begin() + long(half * 32), rs.begin() + long(half * 32 + 32));
        while (n.size() > 1 && n[0] == 0 && !(n[1] & 0x80)) n.erase(n.begin());
        if (n[0] & 0x80) n.insert(n.begin(), 0x00);
        der(body, 0x02, n);
    }
    der(seq, 0x30, body);
    return seq;
}

int transaction_sign(KernelApi& k, Io& io, Words& w, const std::function<DeviceHandle()>& open) {
    const std::string container = w.required("--container");
    const uint32_t keySpec = w.flag("--exchange") ? 1 : 2;
    const std::string in = w.required("--in");
    const std::string out = w.required("--out");
    std::string hashName, pin;
    w.option("--hash", hashName);
    const bool pinGiven = w.option("--pin", pin);
    WipedText pinCopy{pin};
    w.done();

    auto text = platform::read_file(in);
    if (!text) throw Failure{"cannot read " + in};
    if (text->empty()) throw Failure{"cannot sign an empty file"};

    DeviceHandle h = open();
    OpenContainer c(k, h, container);
    Key key(k);
    const uint32_t rc = k.keyFromContainer(c.handle, keySpec, &key.handle);
    if (rc == ERR_KEY_NOT_IN_CONTAINER || rc == ERR_CONTAINER_UNUSED)
        throw Failure{"container '" + container + "' has no such key pair"};
    check(rc, "reading the container's key pair");
    check(k.keyAlgorithm(key.handle, &key.algorithm), "reading the key's algorithm");
    check(k.keyLength(key.handle, &key.bits), "reading the key's length");
    const uint32_t hashAlg = transaction_digest(k, key.algorithm, hashName);

    verify_user_pin(k, io, h, pinGiven ? &pinCopy.text : nullptr);

    // SM2 signs Z_A and the text: the token signs what it receives.
    Bytes data;
    if (key.algorithm == kSm2) {
        data.resize(32);
        uint32_t length = 32;
        check(k.sm2Za(key.handle, data.data(), &length), "computing Z_A");
        data.resize(length);
    }
    data.insert(data.end(), text->begin(), text->end());
    const std::size_t pieces = (data.size() + kPiece - 1) / kPiece;
    if (pieces > kMaxPieces) throw Failure{in + " is too large for a transaction"};

    check(k.negotiateTransaction(key.handle, hashAlg, uint32_t(pieces), 1, data.data(), uint32_t(data.size())),
          "announcing the transaction");
    PendingTransaction pending(k, key.handle, h);
    for (std::size_t n = 1; n <= pieces; ++n) {
        const std::size_t offset = (n - 1) * kPiece, length = std::min(kPiece, data.size() - offset);
        uint8_t answer[260];
        uint32_t answerLength = sizeof answer;
        check(k.signTransaction(key.handle, uint32_t(n), data.data() + offset, uint32_t(length), answer, &answerLength),
              "sending piece " + std::to_string(n) + " of " + std::to_string(pieces));
    }
    io.out << "sent " << text->size() << " bytes in " << pieces << (pieces == 1 ? " piece" : " pieces") << "\n";

    const int32_t seconds = wait_seconds(k);
    io.out << "the token waits for its button: press it to confirm (" << seconds << " s)\n" << seconds << std::flush;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(seconds) + kGrace;
    int64_t shown = seconds;
    Bytes sig(512);  // room for any signature: the token gives it only once
    // Ends the countdown line before the message.
    auto fail = [&](const std::string& message) {
        io.out << "\n";
        throw Failure{message};
    };
    for (;;) {
        uint32_t length = uint32_t(sig.size());
        const uint32_t status = k.getTranSignature(key.handle, sig.data(), &length);
        if (status == ERR_OK) {
            pending.open = false;
            sig.resize(length);
            break;
        }
        if (status == ERR_TRANSACTION_D104) {
            pending.open = false;
            fail("the button was not pressed within " + std::to_string(seconds) + " s");
        }
        if (status == ERR_TRANSACTION_D105) fail("the token asks for the user PIN again");
        if (status != ERR_TRANSACTION_D101 && status != ERR_TRANSACTION_D100) {
            if (status == ERR_TRANSACTION_D107) pending.open = false;
            fail("waiting for the signature failed: " + describe_status(status));
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) fail("the token did not answer within " + std::to_string(seconds) + " s");
        const int64_t left = std::max<int64_t>(
            0, seconds - std::chrono::duration_cast<std::chrono::seconds>(now - start).count());
        if (left != shown) {
            io.out << " " << left << std::flush;
            shown = left;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    io.out << "\nconfirmed on the token\n";
    if (key.algorithm == kSm2) sig = sm2_der(sig);
    if (!platform::write_file_atomically(out, sig)) throw Failure{"cannot write " + out};
    io.out << "signature written to " << out << "\n";
    return 0;
}

}  // namespace

int command_transaction(KernelApi& kernel, Io& io, std::vector<std::string> words,
                        const std::function<DeviceHandle()>& open) {
    Words w{std::move(words)};
    if (w.words.empty()) throw UsageError{"missing transaction command"};
    const std::string what = w.words.front();
    w.words.erase(w.words.begin());
    if (what == "sign") return transaction_sign(kernel, io, w, open);
    throw UsageError{"unknown transaction command '" + what + "'"};
}

}  // namespace qx::qxtoken
