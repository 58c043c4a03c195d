// Translation of token status words (SW1 SW2) into kernel status codes, one
// table per kind of command.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::kernel {

constexpr uint16_t kSwSuccess = 0x9000;

// A status word matches a rule when (sw & mask) == value.
struct SwRule {
    uint16_t value;
    uint16_t mask;
    uint32_t status;
};

struct SwTable {
    const SwRule* rules;
    std::size_t count;
    uint32_t otherwise;  // status for a word no rule matches
};

// 9000 success, 6982 security status, anything else a failed command.
extern const SwTable kSwGeneric;
// SELECT FILE: not-found words, anything else "cannot select".
extern const SwTable kSwSelect;

uint32_t translate_sw(const SwTable& table, uint16_t sw);

}  // namespace qx::kernel
