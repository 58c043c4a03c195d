// libFuzzer target: arbitrary bytes as transaction text.  Checks the
// promises: the format check answers 0 or 87 (3 when memory runs out), the
// display language 0 with one of its four codes, 87 or 1627, and the two
// agree that text which passes the check loads.  Bytes past the given length
// are never read (the input is copied into a buffer of exactly its size).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "transaction_text.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qx::uiext;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(exact.get(), data, size);

    const uint32_t parsed = ParseTransData(exact.get(), size);
    check(parsed == 0 || parsed == kMalformedTransaction || parsed == 3);

    uint32_t code = 0xFFFFFFFFu;
    const uint32_t language = TransDisplayLanguage(exact.get(), size, &code);
    check(language == 0 || language == kNoLanguage || language == kMalformedTransaction || language == 3);
    if (language == 0) check(code == 0 || code == 2052 || code == 2057 || code == 3);
    // Text that passes the check loads, so its language is 0 or "not R".
    if (parsed == 0) check(language == 0 || language == kNoLanguage);
    check(PieceCount(size) >= 1);
    return 0;
}
