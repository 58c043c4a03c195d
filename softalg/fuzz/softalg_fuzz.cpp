// libFuzzer target: drives digest and cipher objects through Init, Update,
// Process, Final and the padding removal with arbitrary arguments.  Every
// buffer is allocated at exactly the size the interface promises, so the
// sanitizers see any access beyond it.
#include "objects.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u16() { return static_cast<uint32_t>(byte()) | static_cast<uint32_t>(byte()) << 8; }
    // The next n bytes (fewer at the end), in a buffer of their exact size.
    std::vector<uint8_t> take(size_t n) {
        const size_t k = n < size_ - pos_ ? n : size_ - pos_;
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + k);
        pos_ += k;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

const uint32_t kDigests[] = {1, 2, 3, 4, 5, 6, 7, 16, 8};
const uint32_t kCiphers[] = {0x100, 0x200, 0x300, 0x400, 0x600, 0x800, 0x1100, 0x500};

size_t block_of(uint32_t id) {
    return id == 0x400 || id == 0x600 ? 16 : id == 0x1100 ? 1 : 8;
}

// A pointer to a vector's bytes that stays null for an empty vector, as a caller might pass.
uint8_t* ptr(std::vector<uint8_t>& v) {
    return v.empty() ? nullptr : v.data();
}

void fuzz_digest(Input& in) {
    MessageDigest* md = qx::softalg::create_digest(kDigests[in.byte() % 9]);
    if (md == nullptr) return;
    for (int step = 0; step < 16 && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        std::vector<uint8_t> out(in.byte() % 72);
        uint32_t outLength = static_cast<uint32_t>(out.size());
        uint32_t status = 1;
        switch (op % 4) {
            case 0: md->Init(); break;
            case 1: {
                std::vector<uint8_t> chunk = in.take(in.u16() % 300);
                md->Update(ptr(chunk), static_cast<uint32_t>(chunk.size()));
                break;
            }
            case 2: {
                std::vector<uint8_t> chunk = in.take(in.u16() % 300);
                status = md->Digest(ptr(chunk), static_cast<uint32_t>(chunk.size()), ptr(out), &outLength);
                break;
            }
            case 3: status = md->Final(ptr(out), &outLength); break;
        }
        // A digest written must have fitted the buffer.
        if (status == 0 && !out.empty() && outLength > out.size()) __builtin_trap();
    }
    qx::softalg::destroy_digest(md);
}

void fuzz_cipher(Input& in) {
    const uint32_t id = kCiphers[in.byte() % 8];
    Cipher* c = qx::softalg::create_cipher(id);
    if (c == nullptr) return;
    const size_t bs = block_of(id);
    uint32_t direction = 0;
    uint32_t padding = 0;
    size_t collected = 0;
    for (int step = 0; step < 12 && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        switch (op % 4) {
            case 0: {
                const uint32_t mode = in.byte() % 4;
                std::vector<uint8_t> key = in.take(in.byte() % 40 == 39 ? 257 : in.byte() % 40);
                std::vector<uint8_t> iv = in.take(in.byte() % 20);
                direction = in.byte() % 3;
                padding = in.byte() % 8;
                // A refused Init changes nothing, collected input included.
                if (c->Init(mode, ptr(key), static_cast<uint32_t>(key.size()), ptr(iv),
                            static_cast<uint32_t>(iv.size()), direction, padding) == 0) {
                    collected = 0;
                }
                break;
            }
            case 1:
            case 2: {
                std::vector<uint8_t> data = in.take(in.u16() % 200);
                if (op % 4 == 2) {
                    if (c->Update(ptr(data), static_cast<uint32_t>(data.size())) == 0) collected += data.size();
                    break;
                }
                // Room the interface asks for: input plus one block.
                std::vector<uint8_t> out(data.size() + bs);
                uint32_t outLength = 0;
                if (c->Process(ptr(data), static_cast<uint32_t>(data.size()), out.data(), &outLength) == 0 &&
                    outLength > out.size()) {
                    __builtin_trap();
                }
                break;
            }
            case 3: {
                std::vector<uint8_t> out(collected + bs);
                uint32_t outLength = 0;
                if (c->Final(out.data(), &outLength) == 0) {
                    if (outLength > out.size()) __builtin_trap();
                    collected = 0;
                }
                break;
            }
        }
    }
    (void)direction;
    (void)padding;
    qx::softalg::destroy_cipher(c);
}

void fuzz_unpad(Input& in) {
    const uint32_t padding = in.byte() % 8;
    std::vector<uint8_t> data = in.take(in.byte());
    size_t remaining = 0;
    if (qx::softalg::unpad_length(padding, ptr(data), data.size(), &remaining) && remaining > data.size()) {
        __builtin_trap();
    }
}

void fuzz_rsa(Input& in) {
    // Small numbers (the low 48 bytes of each field) keep the exponentiations quick.
    RsaPrivateKeyBlock block;
    std::memset(&block, 0, sizeof block);
    block.bits = in.u16() % 400;
    auto fill = [&](uint8_t* field, size_t width) {
        std::vector<uint8_t> v = in.take(48);
        if (!v.empty()) std::memcpy(field + width - v.size(), v.data(), v.size());
    };
    fill(block.modulus, 256);
    fill(block.publicExponent, 256);
    fill(block.prime[0], 128);
    fill(block.prime[1], 128);
    fill(block.primeExponent[0], 128);
    fill(block.primeExponent[1], 128);
    fill(block.coefficient, 128);
    const bool isPrivate = in.byte() & 1;
    const uint32_t blockSize = isPrivate ? 1412 : 516;
    Cipher* c = qx::softalg::create_cipher(0x20000);
    if (c == nullptr) return;
    if (c->Init(0, reinterpret_cast<const uint8_t*>(&block), blockSize, nullptr, 0, in.byte() % 3, in.byte() % 8) ==
        0) {
        std::vector<uint8_t> data = in.take(in.byte());
        std::vector<uint8_t> out((block.bits + 7) / 8);
        uint32_t outLength = 0;
        if (c->Process(ptr(data), static_cast<uint32_t>(data.size()), out.data(), &outLength) == 0 &&
            outLength > out.size()) {
            __builtin_trap();
        }
    }
    qx::softalg::destroy_cipher(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    switch (in.byte() % 4) {
        case 0: fuzz_digest(in); break;
        case 1: fuzz_cipher(in); break;
        case 2: fuzz_unpad(in); break;
        case 3: fuzz_rsa(in); break;
    }
    return 0;
}
