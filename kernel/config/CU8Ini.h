// The UTF-8 INI reader shared by the kernel, the manager tool and the UI
// extension.  The file may be stored enciphered with RC4 (see LoadFile); the
// parser itself is SimpleIni, set up for UTF-8 data, repeated keys (the first
// value wins) and multi-line values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qx::kernel {

class CU8Ini {
public:
    // The 24-character RC4 key text, padded with spaces to 32 bytes.
    static constexpr std::size_t kKeySize = 32;
    static constexpr const char kMarker[] = "Config.ini";
    static constexpr std::size_t kMarkerSize = 10;

    CU8Ini();
    ~CU8Ini();
    CU8Ini(const CU8Ini&) = delete;
    CU8Ini& operator=(const CU8Ini&) = delete;

    // Reads and parses `path`.  `softAlgDirectory` is where QXSoftAlg is loaded
    // from (ending in a separator; empty: by bare file name).  Returns 0,
    // ERR_INI_OPEN, ERR_INI_EMPTY, QX_ERROR_INI_NOT_UTF8, ERR_LIBRARY_LOAD,
    // ERR_NO_MEMORY or a cipher status; on failure the parser is left empty.
    uint32_t LoadFile(const std::string& path, const std::string& softAlgDirectory);
    // The same over file content already read (callers that name files by
    // UTF-16 paths read them themselves); empty content gives ERR_INI_EMPTY.
    uint32_t LoadData(std::vector<uint8_t> data, const std::string& softAlgDirectory);

    // Zeroes `buffer`, then copies the first value of the key, or `defaultValue`
    // when the key is missing (null: nothing), cut to size - 1 bytes.  Returns 0.
    uint32_t GetString(const char* section, const char* key, char* buffer, uint32_t size,
                       const char* defaultValue) const;
    // The same into a string of at most size - 1 bytes.
    std::string GetString(const char* section, const char* key, uint32_t size, const char* defaultValue) const;

    // Decimal, or hexadecimal after "0x"/"0X"; the default when the key is
    // missing or empty, longer than 63 characters, or not a number to its end.
    int32_t GetInteger(const char* section, const char* key, int32_t defaultValue) const;

    // Every key name of the section in file order, each followed by a NUL, and
    // one more NUL after the last.  ERR_BUFFER_TOO_SMALL when they do not fit
    // (the buffer is then empty).
    uint32_t GetSectionKeys(const char* section, char* buffer, uint32_t size) const;
    std::vector<std::string> SectionKeys(const char* section) const;

    // Sets the first value of the key, creating section and key when missing.
    uint32_t SetString(const char* section, const char* key, const char* value);

    // Serialises the content (BOM, " = ", CR LF line ends) and writes it to
    // `path`, enciphered again when the loaded file was.  Returns 0,
    // ERR_INI_OPEN, ERR_INI_WRITE, a cipher status or a parser error.
    uint32_t SaveFile(const std::string& path);
    // The bytes SaveFile would write, for callers that write the file themselves.
    uint32_t SaveData(std::vector<uint8_t>* out);

    bool enciphered() const { return enciphered_; }
    // The directory QXSoftAlg is taken from when saving (set by LoadFile).
    void set_soft_alg_directory(const std::string& directory) { softAlgDirectory_ = directory; }
    void set_enciphered(bool enciphered) { enciphered_ = enciphered; }

    // Builds the enciphered form of `plain` (marker, then content, two fresh
    // RC4 streams under the fixed key).  Used by SaveFile and by tools.
    static uint32_t Encipher(const std::string& softAlgDirectory, const std::vector<uint8_t>& plain,
                             std::vector<uint8_t>* out);

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
    std::vector<uint8_t> content_;
    bool enciphered_ = false;
    uint8_t key_[kKeySize];
    std::string softAlgDirectory_;
};

}  // namespace qx::kernel
