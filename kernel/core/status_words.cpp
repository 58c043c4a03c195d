#include "status_words.h"

#include "QXTokenStatus.h"

namespace qx::kernel {

namespace {
constexpr SwRule kGenericRules[] = {
    {0x9000, 0xFFFF, ERR_OK},
    {0x6982, 0xFFFF, ERR_SECURITY_STATUS},
};
constexpr SwRule kSelectRules[] = {
    {0x9000, 0xFFFF, ERR_OK},
    {0x6A82, 0xFFFF, ERR_FILE_NOT_FOUND},
    {0x6A81, 0xFFFF, ERR_FILE_NOT_FOUND},
    {0x9303, 0xFFFF, ERR_FILE_NOT_FOUND},
};
}  // namespace

const SwTable kSwGeneric{kGenericRules, sizeof kGenericRules / sizeof kGenericRules[0], ERR_COMMAND_FAILED};
const SwTable kSwSelect{kSelectRules, sizeof kSelectRules / sizeof kSelectRules[0], ERR_SELECT_FILE};

uint32_t translate_sw(const SwTable& table, uint16_t sw) {
    for (std::size_t i = 0; i < table.count; ++i) {
        if ((sw & table.rules[i].mask) == table.rules[i].value) return table.rules[i].status;
    }
    return table.otherwise;
}

}  // namespace qx::kernel
