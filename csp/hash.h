// Hash objects of the provider: digests computed by the software algorithm
// library, or a value set whole (HP_HASHVAL, e.g. CALG_SSL3_SHAMD5).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "config/soft_alg.h"

namespace qx::csp {

using Bytes = std::vector<uint8_t>;

class Hash {
public:
    // Null when the algorithm is not one of ours (or its digest cannot be made).
    static std::unique_ptr<Hash> create(const kernel::SoftAlgFunctions& fns, uint32_t algId);
    ~Hash();
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    uint32_t algId() const { return algId_; }
    uint32_t size() const { return size_; }
    // 0, NTE_BAD_HASH_STATE once the value is known, NTE_BAD_ALGID for a hash that takes no data.
    uint32_t update(const uint8_t* data, uint32_t length);
    // Finishes the hash (once) and gives its value.
    uint32_t value(Bytes* out);
    // Sets the value whole; NTE_BAD_LEN unless it has the hash's size.
    uint32_t set_value(const uint8_t* data, uint32_t length);

    // What is signed for this hash: the DigestInfo, or the bare value
    // (noOid, or CALG_SSL3_SHAMD5 which has no identifier).
    uint32_t signed_message(bool noOid, Bytes* out);

private:
    Hash(const kernel::SoftAlgFunctions& fns, uint32_t algId, uint32_t size, MessageDigest* digest)
        : fns_(fns), algId_(algId), size_(size), digest_(digest) {}
    kernel::SoftAlgFunctions fns_;
    uint32_t algId_, size_;
    MessageDigest* digest_;
    bool finished_ = false;
    Bytes value_;
};

}  // namespace qx::csp
