// The UI extension's device, certificate import and transaction operations
// through the Windows dialogs of QXUI on virtual tokens: the dialogs are
// driven as a person would (win32_driver.h), photographed, and what they
// show and what the token holds afterwards are checked.
#include "win32_driver.h"

#include <numeric>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "device/cardos/state.h"
#include "device/store/token_store.h"
#include "qx/platform/process.h"

namespace {

using namespace qx::qxui::win32_test;

using SelectOp = uint32_t (*)(DeviceHandle*, uint32_t, DeviceHandle*);
using LabelOp = uint32_t (*)(DeviceHandle, QXUI_CHAR*);
using InfoOp = uint32_t (*)(DeviceHandle);
struct Blob {
    uint32_t length;
    const uint8_t* data;
};
using ImportOp = uint32_t (*)(DeviceHandle, const QXUI_CHAR*, const Blob*);
using SignOp = uint32_t (*)(DeviceHandle, KeyHandle, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*);

constexpr uint32_t kSha1 = 4;  // a transaction method with TranHashMeth = 5
constexpr char kPfxPassword[] = "pfx-pass";

// The token's label as its bytes.
std::string label_of(kt::Kernel& k, DeviceHandle h) {
    uint8_t bytes[64] = {};
    uint32_t length = sizeof bytes;
    if (k.module.function<PFN_QXToken_GetTokenLabel>("QXToken_GetTokenLabel")(h, bytes, &length) != 0) return "?";
    return std::string(reinterpret_cast<char*>(bytes), std::min<uint32_t>(length, sizeof bytes));
}
std::string utf16_bytes(const Text& t) {
    std::string out;
    for (char16_t c : t) out.push_back(static_cast<char>(c & 0xFF)), out.push_back(static_cast<char>(c >> 8));
    return out;
}
std::wstring title_of(HWND h) {
    wchar_t b[256] = {};
    GetWindowTextW(h, b, 256);
    return b;
}
std::string u8w(const std::wstring& w) { return u8(Text(w.begin(), w.end())); }

// Finds the next dialog for a driver that goes on from one dialog to the next.
bool next_dialog(Watcher& watcher, Driver& d, std::string& problems, const char* what) {
    d.dialog = watcher.next();
    if (!d.dialog) problems += std::string("no ") + what + " dialog; ";
    return d.dialog != nullptr;
}

class Devices : public Extension {};

TEST_F(Devices, SelectInitialiseRenameAndShowInEveryLanguage) {
    const std::string second = kt::create_blank_token(name_ + "b");
    {
        DeviceHandle h2 = nullptr;
        kernel_->openDezo(second.c_str(), &h2);
        ASSERT_NE(nullptr, h2);
        ASSERT_EQ(ERR_OK, kernel_->module.function<PFN_QXToken_InitToken>("QXToken_InitToken")(
                              h2, "123456", 6, "87654321", 8, reinterpret_cast<const uint8_t*>("Second"), 6));
        kernel_->close(h2);
    }
    // The choice is offered over enumerated handles, as the kernel hands them out.
    DeviceHandle handles[8] = {};
    uint32_t count = 8;
    ASSERT_EQ(ERR_OK, kernel_->enumDevice(&count, handles));
    ASSERT_EQ(2u, count);
    auto setPath = ui_->function<SetPath>("QXUIEx_SetSysLangPath");
    uint8_t serialBytes[260] = {};
    uint32_t serialLength = sizeof serialBytes;
    ASSERT_EQ(ERR_OK, kernel_->module.function<PFN_QXToken_GetDeviceSerialNumber>("QXToken_GetDeviceSerialNumber")(
                          h_, serialBytes, &serialLength));
    const std::string serial(reinterpret_cast<char*>(serialBytes), strnlen(reinterpret_cast<char*>(serialBytes), serialLength));
    const Text newLabels[] = {u"New token", u"新令牌", u"新權杖"};
    int at = 0;
    for (const Language& l : languages()) {
        SCOPED_TRACE(l.code);
        const std::string shotLanguage = std::string("uiext_") + l.code;
        ASSERT_EQ(ERR_OK, setPath(q(language_file(l))));

        // Two tokens offered by their labels; the second one chosen.
        DeviceHandle chosen = nullptr;
        int secondAt = -1;
        std::wstring selectTitle;
        std::vector<std::wstring> offered;
        EXPECT_EQ(ERR_OK, drive<uint32_t>(watcher_, shotLanguage,
                                          [&](Driver& d, std::string& problems) {
                                              selectTitle = title_of(d.dialog);
                                              const HWND list = GetDlgItem(d.dialog, kRow0);
                                              const auto n = SendMessageW(list, LB_GETCOUNT, 0, 0);
                                              for (LRESULT i = 0; i < n; ++i) {
                                                  wchar_t b[128] = {};
                                                  SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(b));
                                                  offered.push_back(b);
                                                  if (offered.back() == L"Second") secondAt = static_cast<int>(i);
                                              }
                                              CHECK_THAT(secondAt >= 0);
                                              d.pick(kRow0, secondAt);
                                              CHECK_THAT(d.shot("select_device"));
                                              d.click(IDOK);
                                          },
                                          [&] { return ui_->function<SelectOp>("QXUIEx_SelectDevice")(handles, 2, &chosen); },
                                          &problems));
        ASSERT_GE(secondAt, 0);
        EXPECT_EQ(handles[secondAt], chosen);
        EXPECT_EQ(u8(ui(l, "SelectDevice_Title")), u8w(selectTitle));
        EXPECT_EQ(2u, offered.size());

        // Initialisation: new PINs and a label the token keeps in UTF-16.
        QXUI_CHAR label[QXUI_TEXT_UNITS] = {};
        const Text user = u"11111" + Text(1, char16_t(u'1' + at)), so = u"22222222";
        EXPECT_EQ(ERR_OK, drive<uint32_t>(watcher_, shotLanguage,
                                          [&](Driver& d, std::string& problems) {
                                              d.type(kRow0, user);
                                              d.type(kRow0 + 1, so);
                                              d.type(kRow0 + 2, newLabels[at]);
                                              CHECK_THAT(d.shot("init_token"));
                                              d.click(IDOK);
                                          },
                                          [&] { return ui_->function<LabelOp>("QXUIEx_InitToken")(h_, label); }, &problems));
        EXPECT_EQ(u8(newLabels[at]), u8(Text(reinterpret_cast<char16_t*>(label))));
        EXPECT_EQ(utf16_bytes(newLabels[at]), label_of(*kernel_, h_));
        std::string userPin = u8(user);
        EXPECT_EQ(ERR_OK, kernel_->module.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin")(
                              h_, QXTOKEN_PIN_USER, userPin.data(), static_cast<uint32_t>(userPin.size())))
            << "the token took the new user PIN";

        // Renaming: the dialog shows the label, refuses one ending in a
        // space with the language's message, and stores the next.
        Text shownLabel, refused;
        QXUI_CHAR renamed[QXUI_TEXT_UNITS] = {};
        const Text newName = u"Renamed " + Text(1, char16_t(u'A' + at));
        EXPECT_EQ(ERR_OK, drive<uint32_t>(watcher_, shotLanguage,
                                          [&](Driver& d, std::string& problems) {
                                              CHECK_THAT(d.wait([&] { return !d.utext(kRow0).empty(); }));
                                              shownLabel = d.utext(kRow0);
                                              d.type(kRow0, u"space ");
                                              d.click(IDOK);
                                              CHECK_THAT(d.idle());
                                              refused = d.utext(kMessage);
                                              CHECK_THAT(d.shot("change_label_refused"));
                                              d.type(kRow0, newName);
                                              d.click(IDOK);
                                          },
                                          [&] { return ui_->function<LabelOp>("QXUIEx_ChangeDevName")(h_, renamed); },
                                          &problems));
        EXPECT_EQ(u8(newLabels[at]), u8(shownLabel));
        EXPECT_EQ(u8(ui(l, "ChangeDevName_Failed")), u8(refused));
        EXPECT_EQ(u8(newName), u8(Text(reinterpret_cast<char16_t*>(renamed))));
        EXPECT_EQ(utf16_bytes(newName), label_of(*kernel_, h_));

        // The information dialog reads the token.
        Text infoLabel, infoSerial;
        EXPECT_EQ(ERR_OK, drive<uint32_t>(watcher_, shotLanguage,
                                          [&](Driver& d, std::string& problems) {
                                              CHECK_THAT(d.wait([&] { return d.utext(kRow0 + 1).size() > 1; }));
                                              infoLabel = d.utext(kRow0);
                                              infoSerial = d.utext(kRow0 + 1);
                                              CHECK_THAT(d.shot("device_info"));
                                              d.click(IDOK);
                                          },
                                          [&] { return ui_->function<InfoOp>("QXUIEx_ShowDevInfo")(h_); }, &problems));
        EXPECT_EQ(u8(newName), u8(infoLabel));
        EXPECT_EQ(serial, u8(infoSerial));
        EXPECT_EQ("", problems);
        problems.clear();
        ++at;
    }
    kernel_->destroyEnum();
}

// ---- certificate import ----
std::vector<uint8_t> make_pfx(const std::string& commonName) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024});
    X509* x = X509_new();
    X509_set_version(x, X509_VERSION_3);
    // A random serial: the system store outlives the test and finds
    // certificates by issuer and serial number.
    BIGNUM* bn = BN_new();
    BN_rand(bn, 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
    BN_free(bn);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(x, name);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    PKCS12* p12 = PKCS12_create(kPfxPassword, "uix", key, x, nullptr, 0, 0, 0, 0, 0);
    std::vector<uint8_t> out;
    unsigned char* der = nullptr;
    const int n = p12 ? i2d_PKCS12(p12, &der) : 0;
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(x);
    EVP_PKEY_free(key);
    return out;
}

class Import : public Extension {
protected:
    Import() { moreSections_ = "[InitKeypairsNum]\r\nRSA1024 = 4\r\n"; }
    // The status of the named container, or -1 when the token has none of that name.
    int64_t container_status(const std::string& name) {
        ContainerHandle c = nullptr;
        if (kernel_->module.function<PFN_QXToken_OpenContainer>("QXToken_OpenContainer")(h_, name.c_str(), &c) != 0)
            return -1;
        uint32_t status = 0;
        kernel_->module.function<PFN_QXToken_GetContainerStatus>("QXToken_GetContainerStatus")(c, &status);
        kernel_->module.function<PFN_QXToken_CloseContainer>("QXToken_CloseContainer")(c);
        return status;
    }
};

TEST_F(Import, PasswordRetryThenPinPutTheCertificateIntoItsContainer) {
    auto setPath = ui_->function<SetPath>("QXUIEx_SetSysLangPath");
    for (const Language& l : languages()) {
        SCOPED_TRACE(l.code);
        const std::string shotLanguage = std::string("uiext_") + l.code;
        ASSERT_EQ(ERR_OK, setPath(q(language_file(l))));
        const std::vector<uint8_t> pfx = make_pfx(std::string("flow ") + l.code);
        ASSERT_FALSE(pfx.empty());
        const Blob blob{static_cast<uint32_t>(pfx.size()), pfx.data()};
        const std::string container = std::string("imported-") + l.code;
        const Text wideContainer = u16(container);
        Text wrong, pinTitle;
        const uint32_t rc = drive<uint32_t>(
            watcher_, shotLanguage,
            [&](Driver& d, std::string& problems) {
                d.type(kRow0, u"not-the-password");
                d.click(IDOK);
                CHECK_THAT(d.idle());
                wrong = d.utext(kMessage);
                CHECK_THAT(d.shot("import_cert_password"));
                d.type(kRow0, u16(kPfxPassword));
                d.click(IDOK);
                // The private key goes to the token only after the user PIN.
                Driver pin = d;
                if (!next_dialog(watcher_, pin, problems, "PIN")) return;
                const std::wstring t = title_of(pin.dialog);
                pinTitle.assign(t.begin(), t.end());
                pin.type(kRow0, u"123456");
                CHECK_THAT(pin.shot("import_cert_pin"));
                pin.click(IDOK);
            },
            [&] { return ui_->function<ImportOp>("QXUIEx_ImportCert")(h_, q(wideContainer), &blob); }, &problems);
        EXPECT_EQ(0u, rc);
        EXPECT_EQ(u8(ui(l, "PfxPassword_Wrong")), u8(wrong));
        EXPECT_EQ(u8(ui(l, "VerifyPin_Title")), u8(pinTitle));
        EXPECT_EQ(2, container_status(container)) << "the container holds the key pair and its certificate";
        EXPECT_EQ(3, kt::security_state(name_));
        EXPECT_EQ("", problems);
        problems.clear();
        // The token forgets the PIN (as after a reset): the next language asks again.
        qx::vtoken::TokenStore(kt::vtoken_home()).update(name_, [](qx::vtoken::TokenState& s) {
            s.vol.security = 1;
            return true;
        });
    }
}

// A table of two containers: the third import asks which container goes,
// has the replacement confirmed, and only then asks for the PIN.
class FullImport : public Import {
protected:
    FullImport() { moreInfo_ = "MaxContainerCount = 2\r\n"; }
    uint32_t import(const std::string& container, const std::function<void(Driver&, std::string&)>& middle) {
        const std::vector<uint8_t> pfx = make_pfx(container);
        const Blob blob{static_cast<uint32_t>(pfx.size()), pfx.data()};
        const Text wide = u16(container);
        return drive<uint32_t>(
            watcher_, "uiext_enu",
            [&](Driver& d, std::string& problems) {
                d.type(kRow0, u16(kPfxPassword));
                d.click(IDOK);
                middle(d, problems);
                Driver pin = d;
                if (!next_dialog(watcher_, pin, problems, "PIN")) return;
                pin.type(kRow0, u"123456");
                pin.click(IDOK);
            },
            [&] { return ui_->function<ImportOp>("QXUIEx_ImportCert")(h_, q(wide), &blob); }, &problems);
    }
};

TEST_F(FullImport, TheChosenContainerGivesWayAfterTheQuestion) {
    const auto nothing = [](Driver&, std::string&) {};
    ASSERT_EQ(0u, import("full-a", nothing));
    ASSERT_EQ(0u, import("full-b", nothing));
    std::vector<std::wstring> offered;
    Text question;
    EXPECT_EQ(0u, import("full-c", [&](Driver& d, std::string& problems) {
        Driver choice = d;
        if (!next_dialog(watcher_, choice, problems, "container choice")) return;
        const HWND list = GetDlgItem(choice.dialog, kRow0);
        int at = -1;
        for (LRESULT i = 0; i < SendMessageW(list, LB_GETCOUNT, 0, 0); ++i) {
            wchar_t b[128] = {};
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(b));
            offered.push_back(b);
            if (offered.back() == L"full-b") at = static_cast<int>(i);
        }
        CHECK_THAT(at >= 0);
        choice.pick(kRow0, at);
        CHECK_THAT(choice.shot("import_select_container"));
        choice.click(IDOK);
        Driver box = d;
        if (!next_dialog(watcher_, box, problems, "replacement question")) return;
        CHECK_THAT(box.wait([&] { return !box.utext(kRow0).empty(); }));
        question = box.utext(kRow0);
        CHECK_THAT(box.shot("import_replace_container"));
        box.click(IDOK);
    }));
    EXPECT_EQ((std::vector<std::wstring>{L"full-a", L"full-b"}), offered);
    EXPECT_EQ("The container \"full-b\" already holds keys. Replace them?", u8(question));
    EXPECT_EQ(2, container_status("full-a"));
    EXPECT_EQ(-1, container_status("full-b"));
    EXPECT_EQ(2, container_status("full-c"));
    EXPECT_EQ("", problems);
}

// ---- transactions confirmed on the token ----
class Transactions : public Extension {
protected:
    Transactions() {
        moreInfo_ = "TranHashMeth = 5\r\nTranSignWaitTime = 30\r\n";
        moreSections_ = "[InitKeypairsNum]\r\nRSA1024 = 2\r\n";
    }
};

// A transaction text of exactly `length` bytes.
std::string transaction_text(std::size_t length) {
    const std::string head = "<R xml:lang=\"en\"><S><I><D>", tail = "</D></I><V/></S></R>";
    return head + std::string(length - head.size() - tail.size(), 'x') + tail;
}

TEST_F(Transactions, PiecesProgressThenTheButtonPressedFromAnotherProcess) {
    std::string pin = "123456";
    ASSERT_EQ(ERR_OK, kernel_->module.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin")(
                          h_, QXTOKEN_PIN_USER, pin.data(), static_cast<uint32_t>(pin.size())));
    KeyHandle key = nullptr;
    ASSERT_EQ(ERR_OK, kernel_->module.function<PFN_QXToken_GenAsymKey>("QXToken_GenAsymKey")(h_, 0x20000, 1024, 2, 0, &key));
    auto setPath = ui_->function<SetPath>("QXUIEx_SetSysLangPath");
    constexpr uint32_t kPieces = 12;
    const std::string text = transaction_text(kPieces * 192 - 10);
    for (const Language& l : {languages()[0], languages()[1]}) {
        SCOPED_TRACE(l.code);
        ASSERT_EQ(ERR_OK, setPath(q(language_file(l))));
        const std::size_t piecesBefore = watcher_.pieces().size();
        bool caught = false;
        int pressed = -100;
        Text progressText, waitText, countdown;
        LRESULT progress = -1;
        uint8_t signature[256] = {};
        uint32_t signatureLength = sizeof signature;
        const uint32_t rc = drive<uint32_t>(
            watcher_, std::string("uiext_") + l.code,
            [&](Driver& d, std::string& problems) {
                // Held mid-way: the token is kept busy while the transfer
                // dialog is read and photographed.
                // Looked at under the token's lock, briefly each time, until
                // a piece has gone.
                const HWND bar = GetDlgItem(d.dialog, kRow0 + 1);
                for (int tries = 0; tries < 5000 && !caught && IsWindow(d.dialog); ++tries) {
                    qx::vtoken::TokenStore(kt::vtoken_home()).update(name_, [&](qx::vtoken::TokenState&) {
                        if (!IsWindow(d.dialog) || SendMessageW(bar, PBM_GETPOS, 0, 0) < 1) return false;
                        caught = true;
                        progress = SendMessageW(bar, PBM_GETPOS, 0, 0);
                        progressText = d.utext(kMessage);
                        CHECK_THAT(d.shot("transaction_pieces"));
                        return false;
                    });
                    if (!caught) Sleep(2);
                }
                Driver wait = d;
                if (!next_dialog(watcher_, wait, problems, "button wait")) return;
                const Text expected = ui(l, "WaitKeyPress_Text");
                CHECK_THAT(wait.wait([&] { return wait.utext(kMessage) == expected; }));
                waitText = wait.utext(kMessage);
                const Text later = ui(l, "WaitKeyPress_TimeLeft", 29);
                CHECK_THAT(wait.wait([&] { return wait.utext(kCountdown) == later; }, 3000));
                countdown = wait.utext(kCountdown);
                CHECK_THAT(wait.shot("transaction_button"));
                auto child = qx::platform::ChildProcess::spawn({kt::binary_directory() + "qxvtoken.exe", "press", name_});
                pressed = child ? child->wait() : -1;
            },
            [&] {
                return ui_->function<SignOp>("QXUIEx_TransDataSign")(h_, key, kSha1,
                                                                     reinterpret_cast<const uint8_t*>(text.data()),
                                                                     static_cast<uint32_t>(text.size()), signature,
                                                                     &signatureLength);
            },
            &problems);
        EXPECT_EQ(ERR_OK, rc);
        EXPECT_EQ(128u, signatureLength);
        EXPECT_EQ(0, pressed);
        // Every piece was announced to the transfer dialog, in order.
        const std::vector<uint32_t> all = watcher_.pieces();
        const std::vector<uint32_t> seen(all.begin() + static_cast<std::ptrdiff_t>(piecesBefore), all.end());
        std::vector<uint32_t> expected(kPieces);
        std::iota(expected.begin(), expected.end(), 1u);
        EXPECT_EQ(expected, seen);
        EXPECT_TRUE(caught) << "the transfer dialog was gone before it could be read";
        if (caught) {
            EXPECT_GE(progress, 1);
            EXPECT_EQ(u8(ui(l, "WaitTransData_Piece", progress)), u8(progressText));
        }
        EXPECT_EQ(u8(ui(l, "WaitKeyPress_Text")), u8(waitText));
        EXPECT_EQ(u8(ui(l, "WaitKeyPress_TimeLeft", 29)), u8(countdown));
        EXPECT_EQ("", problems);
        problems.clear();
    }
    kernel_->module.function<PFN_QXToken_CloseKey>("QXToken_CloseKey")(key);
}

}  // namespace
