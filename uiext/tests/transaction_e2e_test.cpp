// Transactions through the UI extension as applications load it: the kernel
// with the real transport, the scripted dialogs, the shipped language files,
// and a fresh virtual token with RSA and SM2 key pairs.  A second thread
// plays the person at the token: it waits until the token shows the whole
// transaction, notes what the token received and presses the button.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../kernel/key/tests/openssl_keys.h"
#include "QXTokenKernel.h"
#include "QXUI.h"
#include "device/cardos/cardos.h"
#include "language.h"
#include "device/store/token_store.h"
#include "qx/platform/module.h"
#include "support/kernel_e2e.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr uint32_t kRsa = 0x20000, kSm2 = 0x10000;
constexpr uint32_t kSha1 = 4, kSha256 = 5, kSm3 = 16;
constexpr uint32_t kMalformed = 87, kNoLanguage = 1627;

using SetScript = void (*)(const char*);
using Transcript = uint32_t (*)(char*, uint32_t*);
using TransDataSign = uint32_t (*)(DeviceHandle, KeyHandle, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*);
using ParseTransData = uint32_t (*)(const uint8_t*, uint32_t);
using SetPath = uint32_t (*)(const QXUI_CHAR*);

struct Exports : KernelExports {
    using KernelExports::KernelExports;
    PFN_QXToken_GenAsymKey gen = bind<PFN_QXToken_GenAsymKey>("QXToken_GenAsymKey");
    PFN_QXToken_CloseKey closeKey = bind<PFN_QXToken_CloseKey>("QXToken_CloseKey");
    PFN_QXToken_GetKeyBuffer buffer = bind<PFN_QXToken_GetKeyBuffer>("QXToken_GetKeyBuffer");
    PFN_QXToken_GetSM3DigestZA za = bind<PFN_QXToken_GetSM3DigestZA>("QXToken_GetSM3DigestZA");
    PFN_QXToken_SetTokenDisplayLang language = bind<PFN_QXToken_SetTokenDisplayLang>("QXToken_SetTokenDisplayLang");
};

// What the token held when the button was pressed.
struct Seen {
    bool pressed = false;
    uint16_t pieces = 0;
    uint32_t dataLength = 0;
    Bytes data;
    uint8_t language = 0;
};

// A transaction text of exactly `length` bytes (at least 60).
std::string transaction_text(std::size_t length, const std::string& lang = "en") {
    const std::string head = "<R" + (lang.empty() ? std::string() : " xml:lang=\"" + lang + "\"") + "><S><I><D>";
    const std::string tail = "</D></I><V/></S></R>";
    return head + std::string(length - head.size() - tail.size(), 'x') + tail;
}

class UiTransactionTest : public KernelE2eTest<Exports> {
protected:
    void start(int waitSeconds = 30) {
        clear_tokens();
        open_blank_token("uitx", "\r\nTranHashMeth = 5\r\nTranSignWaitTime = " + std::to_string(waitSeconds),
                         "[PIN]\r\nMaxPinLen = 16\r\nMinPinLen = 1\r\nRequireDigit = 2\r\nRequireAlphabetic = 2\r\n"
                         "RequireSpecial = 2\r\nRequireComplex = 0\r\n[LanguageDefaultSetting]\r\nlanguage = English\r\n"
                         "[InitKeypairsNum]\r\nRSA1024 = 1\r\nRSA2048 = 1\r\nSM2256 = 1\r\n");
        if (HasFatalFailure()) return;
        const std::string bin = binary_directory();
        const auto overwrite = std::filesystem::copy_options::overwrite_existing;
        std::filesystem::copy_file(bin + platform::module_file_name("QXUIExtend"),
                                   dir_ + platform::module_file_name("QXUIExtend"), overwrite);
        std::filesystem::copy_file(bin + "scripted-ui/" + platform::module_file_name("QXUI"),
                                   dir_ + platform::module_file_name("QXUI"), overwrite);
        std::filesystem::create_directories(dir_ + "Languages");
        for (const char* f : {"language_chs.ini", "language_enu.ini"})
            std::filesystem::copy_file(std::string(QX_LANGUAGE_SOURCE_DIR) + "/" + f, dir_ + "Languages/" + f,
                                       overwrite);
        ui_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUIExtend"));
        dialogs_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUI"));
        ASSERT_TRUE(*ui_);
        ASSERT_TRUE(*dialogs_);
        sign_ = ui_->function<TransDataSign>("QXUIEx_TransDataSign");
        parse_ = ui_->function<ParseTransData>("QXUIEx_ParseTransData");
        ASSERT_NE(nullptr, sign_);
        ASSERT_NE(nullptr, parse_);
        ASSERT_TRUE(initialise_and_login(*k_, h_));
        script("");
    }
    void TearDown() override {
        stop_person();
        for (KeyHandle key : keys_) k_->closeKey(key);
        keys_.clear();
        KernelE2eTest<Exports>::TearDown();
    }

    KeyHandle generate(uint32_t algorithm, uint32_t bits) {
        KeyHandle key = nullptr;
        EXPECT_EQ(ERR_OK, k_->gen(h_, algorithm, bits, 2, 0, &key));
        if (key) keys_.push_back(key);
        return key;
    }
    Bytes public_block(KeyHandle key) {
        Bytes b(600);
        uint32_t length = uint32_t(b.size());
        EXPECT_EQ(ERR_OK, k_->buffer(nullptr, key, b.data(), &length));
        b.resize(length);
        return b;
    }

    void script(const std::string& lines) { dialogs_->function<SetScript>("QXUIScript_Set")(lines.c_str()); }
    std::string transcript() {
        auto t = dialogs_->function<Transcript>("QXUIScript_Transcript");
        uint32_t length = 0;
        t(nullptr, &length);
        std::string out(length, '\0');
        t(out.data(), &length);
        out.resize(length ? length - 1 : 0);
        return out;
    }
    bool shown(const std::string& line) { return transcript().find(line) != std::string::npos; }

    // Changes the token as another process would; true when `change` applied.
    bool on_token(const std::function<bool(vtoken::TokenState&)>& change) {
        bool applied = false;
        const auto status = vtoken::TokenStore(vtoken_home()).update(name_, [&](vtoken::TokenState& s) {
            applied = change(s);
            return applied;
        });
        return status == vtoken::StoreStatus::Ok && applied;
    }
    vtoken::TokenState token() {
        vtoken::TokenState s;
        EXPECT_EQ(vtoken::StoreStatus::Ok, vtoken::TokenStore(vtoken_home()).read(name_, s));
        return s;
    }

    // The person at the token: once the whole transaction is on the token,
    // notes it and presses.  With `dropPinFirst` the token first forgets the
    // user PIN (as after a reset) and the press waits until the PIN is back.
    void start_person(bool dropPinFirst = false) {
        stop_ = false;
        seen_ = Seen{};
        person_ = std::thread([this, dropPinFirst] {
            int phase = dropPinFirst ? 0 : 1;
            uint8_t loggedIn = 0;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!stop_ && !seen_.pressed && std::chrono::steady_clock::now() < until) {
                on_token([&](vtoken::TokenState& s) {
                    const vtoken::Transaction& t = s.vol.transaction;
                    if (!t.active || !t.ready) return false;
                    if (phase == 0) {
                        loggedIn = s.vol.security;
                        s.vol.security = 1;
                        phase = 1;
                        return true;
                    }
                    if (dropPinFirst && s.vol.security != loggedIn) return false;
                    seen_.pieces = t.piece_count;
                    seen_.dataLength = t.data_length;
                    seen_.data = t.data;
                    seen_.language = s.vol.language;
                    seen_.pressed = vtoken::press_button(s);
                    return seen_.pressed;
                });
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    void stop_person() {
        stop_ = true;
        if (person_.joinable()) person_.join();
    }

    uint32_t sign(KeyHandle key, uint32_t hashAlg, const std::string& text, Bytes* sig) {
        sig->assign(256, 0);
        uint32_t length = 256;
        const uint32_t rc = sign_(h_, key, hashAlg, reinterpret_cast<const uint8_t*>(text.data()),
                                  uint32_t(text.size()), sig->data(), &length);
        sig->resize(rc == ERR_OK ? length : 0);
        return rc;
    }

    std::unique_ptr<platform::Module> ui_, dialogs_;
    TransDataSign sign_ = nullptr;
    ParseTransData parse_ = nullptr;
    std::vector<KeyHandle> keys_;
    std::thread person_;
    std::atomic<bool> stop_{false};
    Seen seen_;
};

TEST_F(UiTransactionTest, TheTokenSignsWhatThePersonConfirmed) {
    start();
    KeyHandle key = generate(kRsa, 2048);
    ASSERT_NE(nullptr, key);
    Pkey pub = rsa_from_block(public_block(key));
    struct Case {
        std::size_t length;
        const char* lang;
        uint16_t pieces;
        uint8_t tokenLanguage;  // 1 simplified Chinese, 2 English
    } cases[] = {{192, "ZH-cn", 1, 1}, {193, "en", 2, 2}, {400, "", 3, 2}, {300, "fr", 2, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes, xml:lang " + c.lang);
        ASSERT_EQ(ERR_OK, k_->language(h_, 2052));  // a language the next text must change (or keep)
        const std::string text = transaction_text(c.length, c.lang);
        script("");
        start_person();
        Bytes sig;
        ASSERT_EQ(ERR_OK, sign(key, kSha1, text, &sig)) << transcript();
        stop_person();
        ASSERT_TRUE(seen_.pressed);
        EXPECT_EQ(c.pieces, seen_.pieces);
        EXPECT_EQ(c.length, seen_.dataLength);
        EXPECT_EQ(Bytes(text.begin(), text.end()), seen_.data);
        EXPECT_EQ(c.tokenLanguage, seen_.language);
        ASSERT_EQ(256u, sig.size());
        EXPECT_TRUE(rsa_verify(pub.get(), "SHA1", digest("SHA1", Bytes(text.begin(), text.end())), sig));
        // One piece goes without the progress dialog; the button wait is always shown.
        EXPECT_EQ(c.pieces > 1, shown("show Sending the transaction…\n")) << transcript();
        // The progress dialog is told of every piece, the last one included.
        EXPECT_EQ(c.pieces > 1, shown("show piece 1\n") && shown("show piece " + std::to_string(c.pieces) + "\n"))
            << transcript();
        EXPECT_TRUE(shown("show Confirm on the token\n")) << transcript();
    }
}

TEST_F(UiTransactionTest, Sm2SendsZaInFrontAndCountsPiecesOverIt) {
    start();
    KeyHandle key = generate(kSm2, 256);
    ASSERT_NE(nullptr, key);
    Bytes za(32);
    uint32_t zaLength = 32;
    ASSERT_EQ(ERR_OK, k_->za(key, za.data(), &zaLength));
    const std::string text = transaction_text(170);  // 202 bytes with Z_A: two pieces
    start_person();
    Bytes sig(64);
    uint32_t length = 64;
    ASSERT_EQ(ERR_OK, sign_(h_, key, kSm3, reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()),
                            sig.data(), &length))
        << transcript();
    stop_person();
    EXPECT_EQ(2u, seen_.pieces);
    EXPECT_EQ(202u, seen_.dataLength);
    Bytes expected = za;
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_EQ(expected, seen_.data);
    ASSERT_EQ(64u, length);
    EXPECT_TRUE(sm2_verify(sm2_from_block(public_block(key)).get(), Bytes(text.begin(), text.end()), sig));
}

TEST_F(UiTransactionTest, TheTokenAsksForThePinOnceAndThenSigns) {
    start();
    KeyHandle key = generate(kRsa, 1024);
    ASSERT_NE(nullptr, key);
    script("123456\n");
    start_person(true);
    Bytes sig;
    ASSERT_EQ(ERR_OK, sign(key, kSha1, transaction_text(100), &sig)) << transcript();
    stop_person();
    EXPECT_EQ(128u, sig.size());
    EXPECT_TRUE(shown("ask Verify PIN: User PIN:")) << transcript();
}

TEST_F(UiTransactionTest, NoPressWithinTheTimeEndsAndCancels) {
    start(1);
    KeyHandle key = generate(kSm2, 256);
    ASSERT_NE(nullptr, key);
    // The dialogs speak the language the path names.
    const std::u16string chs = language::to_text(dir_ + "Languages/language_chs.ini");
    ASSERT_EQ(ERR_OK, ui_->function<SetPath>("QXUIEx_SetSysLangPath")(reinterpret_cast<const QXUI_CHAR*>(chs.c_str())));
    Bytes sig;
    EXPECT_EQ(ERR_TRANSACTION_D104, sign(key, kSm3, transaction_text(80), &sig));
    EXPECT_TRUE(shown("show 请按键确认\n")) << transcript();
    EXPECT_TRUE(shown("show 请按下 UKey 上的按键确认操作\n")) << transcript();
    EXPECT_FALSE(token().vol.transaction.active) << "the transaction was cancelled";
}

TEST_F(UiTransactionTest, AFailedNegotiationOrPieceEndsTheTransaction) {
    start();
    KeyHandle key = generate(kRsa, 2048);
    KeyHandle sm2 = generate(kSm2, 256);
    ASSERT_NE(nullptr, key);
    ASSERT_NE(nullptr, sm2);
    // SHA-1 is a transaction method, yet not for SM2: the kernel refuses the
    // negotiation and nothing is sent.
    {
        Bytes sig(64);
        uint32_t length = 64;
        const std::string text = transaction_text(100);
        EXPECT_EQ(ERR_INVALID_PARAM, sign_(h_, sm2, kSha1, reinterpret_cast<const uint8_t*>(text.data()),
                                           uint32_t(text.size()), sig.data(), &length));
        EXPECT_EQ("", transcript());
        EXPECT_FALSE(token().vol.transaction.active);
    }
    // The token protects the line with another key than the kernel derives:
    // the last piece is refused.
    ASSERT_TRUE(on_token([](vtoken::TokenState& s) {
        vtoken::CardFile* adf = s.mf ? s.mf->child(0x3F01) : nullptr;
        vtoken::CardKey* line = adf ? adf->key(vtoken::kKeyLineProtection, 0) : nullptr;
        if (!line) return false;
        line->value[0] ^= 0x80;
        return true;
    }));
    for (std::size_t length : {150u, 400u}) {
        SCOPED_TRACE(length);
        script("");
        Bytes sig;
        EXPECT_EQ(0xFFFFFFFFu, sign(key, kSha1, transaction_text(length), &sig));
        EXPECT_FALSE(shown("Confirm on the token")) << transcript();
        EXPECT_FALSE(token().vol.transaction.active);
    }
}

TEST_F(UiTransactionTest, SignatureBufferAndDataAreCheckedBeforeAnyCommand) {
    start();
    KeyHandle rsa = generate(kRsa, 2048);
    KeyHandle sm2 = generate(kSm2, 256);
    ASSERT_NE(nullptr, rsa);
    ASSERT_NE(nullptr, sm2);
    ASSERT_EQ(ERR_OK, k_->language(h_, 2052));
    const std::string text = transaction_text(100, "en");
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    const auto size = uint32_t(text.size());
    uint8_t sig[256];

    // The buffer: no length, a size query, one byte short.
    EXPECT_EQ(ERR_INVALID_PARAM, sign_(h_, rsa, kSha1, data, size, sig, nullptr));
    uint32_t length = 7;
    EXPECT_EQ(ERR_OK, sign_(h_, rsa, kSha1, data, size, nullptr, &length));
    EXPECT_EQ(256u, length);
    length = 255;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, sign_(h_, rsa, kSha1, data, size, sig, &length));
    EXPECT_EQ(256u, length);
    length = 63;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, sign_(h_, sm2, kSm3, data, size, sig, &length));
    EXPECT_EQ(64u, length);

    // The data.
    struct Case {
        const char* name;
        std::string text;
        uint32_t hashAlg, status;
    } cases[] = {
        {"not transaction text", "<R><T/></R>", kSha1, kMalformed},
        {"a DTD", "<!DOCTYPE R><R><S/></R>", kSha1, kMalformed},
        {"NUL inside", std::string("<R><S/></R>\0", 12), kSha1, kMalformed},
        {"invalid UTF-8", "<R><S>\xC3</S></R>", kSha1, kMalformed},
        {"document element not R", "<Q xml:lang=\"en\"><S/></Q>", kSha1, kNoLanguage},
        {"65536 pieces", std::string(65535u * 192 + 1, ' '), kSha1, kMalformed},
        {"65536 pieces with Z_A", std::string(65535u * 192 - 31, ' '), kSm3, kMalformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        length = 256;
        EXPECT_EQ(c.status, sign_(h_, c.hashAlg == kSm3 ? sm2 : rsa, c.hashAlg,
                                  reinterpret_cast<const uint8_t*>(c.text.data()), uint32_t(c.text.size()), sig,
                                  &length));
    }
    length = 256;
    EXPECT_EQ(kMalformed, sign_(h_, rsa, kSha1, nullptr, 10, sig, &length));
    EXPECT_EQ(ERR_INVALID_PARAM, sign_(nullptr, rsa, kSha1, data, size, sig, &length));

    const vtoken::TokenState s = token();
    EXPECT_EQ(1, s.vol.language) << "the display language was never sent";
    EXPECT_FALSE(s.vol.transaction.active);
    EXPECT_EQ("", transcript());
}

TEST_F(UiTransactionTest, ADigestThatIsNoTransactionMethodSignsTheHash) {
    start();
    KeyHandle key = generate(kRsa, 1024);
    ASSERT_NE(nullptr, key);
    const Bytes hash = digest("SHA256", Bytes{'h', 'i'});
    Bytes sig(128);
    uint32_t length = 128;
    ASSERT_EQ(ERR_OK, sign_(h_, key, kSha256, hash.data(), uint32_t(hash.size()), sig.data(), &length));
    EXPECT_TRUE(rsa_verify(rsa_from_block(public_block(key)).get(), "SHA256", hash, sig));
    EXPECT_EQ("", transcript()) << "no dialog";
}

TEST_F(UiTransactionTest, ParseExportChecksTheGivenBytes) {
    start();
    const std::string text = "<R><S><I><D/></I></S></R>trailing";
    EXPECT_EQ(ERR_OK, parse_(reinterpret_cast<const uint8_t*>(text.data()), 25));
    EXPECT_EQ(kMalformed, parse_(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size())));
    EXPECT_EQ(kMalformed, parse_(nullptr, 25));
}

}  // namespace
}  // namespace qx::kernel::test
