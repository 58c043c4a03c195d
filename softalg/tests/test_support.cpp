#include "test_support.h"

#include "tests/support/qx_test_main.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace softalg_test {

Bytes hex(const std::string& text) {
    Bytes out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("bad hex digit");
    };
    if (text.size() % 2 != 0) {
        throw std::invalid_argument("odd hex length");
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    }
    return out;
}

std::string to_hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

const std::string& Record::at(const std::string& name) const {
    auto it = fields.find(name);
    if (it == fields.end()) {
        throw std::out_of_range("record has no " + name);
    }
    return it->second;
}

namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string data_directory() {
    // The build copies the vector files to softalg-data/ beside the binaries.
    std::string self = qx::test::self_path();
    const auto slash = self.find_last_of("/\\");
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/softalg-data/";
}

}  // namespace

std::vector<Record> load_records(const std::string& file) {
    std::vector<Record> records;
    const std::string path = data_directory() + file;
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot open " << path;
    std::string section;
    Record current;
    auto flush = [&]() {
        if (!current.fields.empty()) {
            current.section = section;
            records.push_back(current);
        }
        current = Record();
    };
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty()) {
            flush();
            continue;
        }
        if (line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            flush();
            // [ENCRYPT] / [DECRYPT] switch direction; [L = 20] and the like are labels.
            const std::string name = line.substr(1, line.find(']') - 1);
            if (name == "ENCRYPT" || name == "DECRYPT") {
                section = name;
            }
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        current.fields[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    flush();
    EXPECT_FALSE(records.empty()) << path << " holds no vectors";
    return records;
}

DigestPtr make_digest(uint32_t algorithm) {
    return DigestPtr(QXCreateMessageDigest(algorithm));
}

CipherPtr make_cipher(uint32_t algorithm) {
    return CipherPtr(QXCreateCipher(algorithm));
}

uint32_t process(Cipher* cipher, const Bytes& in, Bytes* out) {
    out->assign(in.size() + 16 + 256, 0xEE);
    uint32_t length = 0;
    const uint32_t status = cipher->Process(in.data(), static_cast<uint32_t>(in.size()), out->data(), &length);
    if (status == QXSA_OK) {
        out->resize(length);
    }
    return status;
}

uint32_t crypt(Cipher* cipher, uint32_t mode, const Bytes& key, const Bytes& iv, uint32_t direction, uint32_t padding,
               const Bytes& in, Bytes* out) {
    const uint32_t status = cipher->Init(mode, key.data(), static_cast<uint32_t>(key.size()),
                                         iv.empty() ? nullptr : iv.data(), static_cast<uint32_t>(iv.size()),
                                         direction, padding);
    if (status != QXSA_OK) {
        return status;
    }
    return process(cipher, in, out);
}

}  // namespace softalg_test
