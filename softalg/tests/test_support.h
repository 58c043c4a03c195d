// Helpers shared by the library's tests: vector files, hex, owned objects.
#pragma once

#include "QXSoftAlg.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace softalg_test {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text);
std::string to_hex(const Bytes& bytes);
Bytes text(const std::string& s);

// One record of a vector file: "NAME = value" lines up to a blank line, with
// the [SECTION] header in force (ENCRYPT, DECRYPT or empty).
struct Record {
    std::string section;
    std::map<std::string, std::string> fields;
    bool has(const std::string& name) const { return fields.count(name) != 0; }
    const std::string& at(const std::string& name) const;
    Bytes bytes(const std::string& name) const { return hex(at(name)); }
};

// Reads a file of the test data directory (copied next to the test binaries);
// fails the calling test when it is missing or holds no record.
std::vector<Record> load_records(const std::string& file);

struct DigestDeleter {
    void operator()(MessageDigest* d) const { QXDestroyMessageDigest(d); }
};
struct CipherDeleter {
    void operator()(Cipher* c) const { QXDestroyCipher(c); }
};
using DigestPtr = std::unique_ptr<MessageDigest, DigestDeleter>;
using CipherPtr = std::unique_ptr<Cipher, CipherDeleter>;

DigestPtr make_digest(uint32_t algorithm);
CipherPtr make_cipher(uint32_t algorithm);

// Init then Process in one go; out gets the result on success.
uint32_t crypt(Cipher* cipher, uint32_t mode, const Bytes& key, const Bytes& iv, uint32_t direction, uint32_t padding,
               const Bytes& in, Bytes* out);
// Process on an initialised object; out is sized for any padding.
uint32_t process(Cipher* cipher, const Bytes& in, Bytes* out);

}  // namespace softalg_test
