#include "CU8Ini.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Only the narrow parser is used: UTF-8 text is kept as bytes.
#define SI_NO_CONVERSION
// The parser's template bodies are compiled here (the packaged header keeps them behind this switch).
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "QXTokenStatus.h"
#include "qx/platform/file_io.h"
#include "qx/platform/system.h"
#include "soft_alg.h"

namespace qx::kernel {

namespace {

constexpr char kKeyText[] = "zephyral lattice harbour";
constexpr std::size_t kMaxIntegerText = 63;

void fill_key(uint8_t (&key)[CU8Ini::kKeySize]) {
    std::memset(key, ' ', sizeof key);
    std::memcpy(key, kKeyText, sizeof kKeyText - 1);
}

// One fresh RC4 stream under the fixed key over `data`.
uint32_t rc4(const SoftAlgFunctions& fns, const uint8_t* key, uint8_t* data, uint32_t length) {
    SoftCipher rc4(fns, QXSA_CIPHER_RC4);
    if (!rc4) return ERR_NO_MEMORY;
    uint32_t rc = rc4.init(0, key, CU8Ini::kKeySize, QXSA_ENCRYPT);
    if (rc == 0) rc = rc4.process_in_place(data, length);
    return rc;
}

}  // namespace

struct CU8Ini::Parser {
    CSimpleIniA ini{true, true, true};
};

CU8Ini::CU8Ini() : parser_(std::make_unique<Parser>()) { fill_key(key_); }

CU8Ini::~CU8Ini() {
    secure_zero(content_);
    secure_zero(key_, sizeof key_);
}

uint32_t CU8Ini::LoadFile(const std::string& path, const std::string& softAlgDirectory) {
    parser_->ini.Reset();
    secure_zero(content_);
    content_.clear();
    enciphered_ = false;
    softAlgDirectory_ = softAlgDirectory;

    auto data = platform::read_file(path);
    if (!data || data->empty()) {
        platform::debug_output("[CU8Ini::LoadFile] GetFileContent Failed!\n");
        return data ? ERR_INI_EMPTY : ERR_INI_OPEN;
    }
    return LoadData(std::move(*data), softAlgDirectory);
}

uint32_t CU8Ini::LoadData(std::vector<uint8_t> data, const std::string& softAlgDirectory) {
    parser_->ini.Reset();
    secure_zero(content_);
    content_.clear();
    enciphered_ = false;
    softAlgDirectory_ = softAlgDirectory;
    if (data.empty()) {
        platform::debug_output("[CU8Ini::LoadFile] GetFileContent Failed!\n");
        return ERR_INI_EMPTY;
    }
    content_ = std::move(data);

    // Enciphered files start with the enciphered marker text.
    {
        auto lib = SoftAlgLibrary::load(softAlgDirectory);
        if (!lib) {
            platform::debug_output("[CU8Ini::LoadFile] IsCryptoFile Failed!\n");
            return ERR_LIBRARY_LOAD;
        }
        if (content_.size() >= kMarkerSize) {
            uint8_t head[kMarkerSize];
            std::memcpy(head, content_.data(), kMarkerSize);
            uint32_t rc = rc4(lib->functions(), key_, head, kMarkerSize);
            if (rc != 0) {
                platform::debug_output("[CU8Ini::LoadFile] IsCryptoFile Failed!\n");
                return rc;
            }
            enciphered_ = std::memcmp(head, kMarker, kMarkerSize) == 0;
        }
        if (enciphered_) {
            std::vector<uint8_t> plain(content_.begin() + kMarkerSize, content_.end());
            uint32_t rc = rc4(lib->functions(), key_, plain.data(), static_cast<uint32_t>(plain.size()));
            if (rc != 0) {
                secure_zero(plain);
                platform::debug_output("[CU8Ini::LoadFile] DecodeFileContent Failed!\n");
                return rc;
            }
            secure_zero(content_);
            content_ = std::move(plain);
        }
    }

    if (content_.size() < 3 || content_[0] != 0xEF || content_[1] != 0xBB || content_[2] != 0xBF) {
        platform::debug_output("[CU8Ini::LoadFile] QX_ERROR_INI_NOT_UTF8\n");
        return QX_ERROR_INI_NOT_UTF8;
    }
    SI_Error err = parser_->ini.LoadData(reinterpret_cast<const char*>(content_.data()), content_.size());
    if (err < 0) {
        parser_->ini.Reset();
        return static_cast<uint32_t>(err);
    }
    return 0;
}

uint32_t CU8Ini::GetString(const char* section, const char* key, char* buffer, uint32_t size,
                           const char* defaultValue) const {
    if (!buffer || size == 0) return 0;
    std::memset(buffer, 0, size);
    const char* value = (section && key) ? parser_->ini.GetValue(section, key, nullptr) : nullptr;
    if (!value) value = defaultValue;
    if (!value) return 0;
    std::size_t n = std::strlen(value);
    if (n > size - 1) n = size - 1;
    std::memcpy(buffer, value, n);
    return 0;
}

std::string CU8Ini::GetString(const char* section, const char* key, uint32_t size, const char* defaultValue) const {
    std::vector<char> buffer(size ? size : 1);
    GetString(section, key, buffer.data(), static_cast<uint32_t>(buffer.size()), defaultValue);
    return std::string(buffer.data());
}

int32_t CU8Ini::GetInteger(const char* section, const char* key, int32_t defaultValue) const {
    const char* value = (section && key) ? parser_->ini.GetValue(section, key, nullptr) : nullptr;
    if (!value || !*value) return defaultValue;
    if (std::strlen(value) > kMaxIntegerText) return defaultValue;
    int base = 10;
    const char* digits = value;
    if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        base = 16;
        digits = value + 2;
        if (!*digits) return defaultValue;
    }
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(digits, &end, base);
    if (end == digits || *end != '\0') return defaultValue;
    // Values beyond 32 bits wrap, so that masks such as 0xFFFFFFFF keep every bit.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(parsed)));
}

std::vector<std::string> CU8Ini::SectionKeys(const char* section) const {
    std::vector<std::string> names;
    if (!section) return names;
    CSimpleIniA::TNamesDepend keys;
    parser_->ini.GetAllKeys(section, keys);
    keys.sort(CSimpleIniA::Entry::LoadOrder());
    for (const auto& k : keys) names.emplace_back(k.pItem);
    return names;
}

uint32_t CU8Ini::GetSectionKeys(const char* section, char* buffer, uint32_t size) const {
    if (!buffer) return ERR_INVALID_PARAM;
    std::memset(buffer, 0, size);
    std::size_t used = 0;
    for (const auto& name : SectionKeys(section)) {
        // Room is kept for the empty name that ends the list.
        if (used + name.size() + 1 >= size) {
            std::memset(buffer, 0, size);
            return ERR_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer + used, name.c_str(), name.size() + 1);
        used += name.size() + 1;
    }
    return 0;
}

uint32_t CU8Ini::SetString(const char* section, const char* key, const char* value) {
    if (!section || !key || !value) return ERR_INVALID_PARAM;
    SI_Error err = parser_->ini.SetValue(section, key, value, nullptr, true);
    return err < 0 ? static_cast<uint32_t>(err) : 0;
}

uint32_t CU8Ini::Encipher(const std::string& softAlgDirectory, const std::vector<uint8_t>& plain,
                          std::vector<uint8_t>* out) {
    auto lib = SoftAlgLibrary::load(softAlgDirectory);
    if (!lib) return ERR_LIBRARY_LOAD;
    uint8_t key[kKeySize];
    fill_key(key);
    std::vector<uint8_t> result(kMarker, kMarker + kMarkerSize);
    result.insert(result.end(), plain.begin(), plain.end());
    uint32_t rc = rc4(lib->functions(), key, result.data(), kMarkerSize);
    if (rc == 0) rc = rc4(lib->functions(), key, result.data() + kMarkerSize, static_cast<uint32_t>(plain.size()));
    secure_zero(key, sizeof key);
    if (rc != 0) {
        secure_zero(result);
        return rc;
    }
    *out = std::move(result);
    return 0;
}

uint32_t CU8Ini::SaveFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    uint32_t rc = SaveData(&bytes);
    if (rc != 0) return rc;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return ERR_INI_OPEN;
    std::size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
    bool closed = std::fclose(f) == 0;
    return (written == bytes.size() && closed) ? 0 : ERR_INI_WRITE;
}

uint32_t CU8Ini::SaveData(std::vector<uint8_t>* out) {
    if (!out) return ERR_INVALID_PARAM;
    std::string text;
    SI_Error err = parser_->ini.Save(text, true);
    if (err < 0) return static_cast<uint32_t>(err);
    // Lines end in CR LF on every system.
    std::string crlf;
    crlf.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) crlf.push_back('\r');
        crlf.push_back(text[i]);
    }
    secure_zero(content_);
    content_.assign(crlf.begin(), crlf.end());

    std::vector<uint8_t> bytes;
    if (enciphered_) {
        uint32_t rc = Encipher(softAlgDirectory_, content_, &bytes);
        if (rc != 0) return rc;
    } else {
        bytes = content_;
    }
    *out = std::move(bytes);
    return 0;
}

}  // namespace qx::kernel
