// libFuzzer target: a language file of arbitrary bytes looked up with an
// arbitrary key and limit, and arbitrary formats filled with a number or a
// text.  Checks the promises: results fit the limit, a format that is not
// exactly the expected one comes back as it stands.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "language.h"
#include "qx/platform/system.h"
#include "qx/platform/wide_file.h"

using qx::language::Text;

namespace {

// One scratch language file per process, removed when the fuzzer exits.
struct Scratch {
    std::string path = qx::platform::temp_directory() + "/qx-language-fuzz-" +
                       std::to_string(qx::platform::process_id()) + ".ini";
    Text wide = qx::language::to_text(path);
    ~Scratch() { std::remove(path.c_str()); }
};

const Text& scratch_file() {
    static const Scratch scratch;
    return scratch.wide;
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t mode = data[0];
    const uint32_t limit = data[1] | (static_cast<uint32_t>(data[2]) << 8);
    const std::string rest(reinterpret_cast<const char*>(data + 3), size - 3);

    if (mode & 1) {
        // The rest is "key\0file content".
        const std::size_t nul = rest.find('\0');
        const std::string key = rest.substr(0, nul == std::string::npos ? 0 : nul);
        const std::string content = nul == std::string::npos ? rest : rest.substr(nul + 1);
        std::vector<uint8_t> bytes{0xEF, 0xBB, 0xBF};
        bytes.insert(bytes.end(), content.begin(), content.end());
        if (!qx::platform::write_wide_file_atomically(scratch_file(), bytes)) return 0;
        const Text text = qx::language::LoadText(key, scratch_file(), limit);
        check(limit == 0 ? text.empty() : text.size() <= limit - 1);
        std::vector<char16_t> buffer(limit == 0 ? 1 : limit, u'#');
        qx::language::LoadText(key.c_str(), scratch_file().c_str(), buffer.data(), limit);
        return 0;
    }

    // The rest is a format in UTF-16 (pairs of bytes).
    Text format;
    for (std::size_t i = 0; i + 1 < rest.size(); i += 2) {
        format.push_back(static_cast<char16_t>(static_cast<uint8_t>(rest[i]) | (static_cast<uint8_t>(rest[i + 1]) << 8)));
    }
    const auto kind = qx::language::format_kind(format);
    const Text withNumber = qx::language::FormatText(format, static_cast<int64_t>(limit) - 40000, limit);
    const Text withText = qx::language::FormatText(format, format, limit);
    check(limit == 0 ? withNumber.empty() && withText.empty()
                     : withNumber.size() <= limit - 1 && withText.size() <= limit - 1);
    if (kind != qx::language::FormatKind::number) check(withNumber == qx::language::fit_text(format, limit));
    if (kind != qx::language::FormatKind::text) check(withText == qx::language::fit_text(format, limit));
    return 0;
}
