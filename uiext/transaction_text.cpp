#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "QXTokenStatus.h"
#include "qx/platform/text.h"
#include "qx/platform/xml.h"
#include "transaction_text.h"

namespace qx::uiext {
namespace {

template <typename F>
uint32_t shielded(F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    } catch (...) {
        return ERR_FAILED;
    }
}

// The text as the XML service takes it.  The given length is the text: a
// NUL inside it would end the text early for some parsers, so it is refused,
// as is UTF-8 that does not decode.
bool decode(const uint8_t* data, uint64_t length, std::u16string* text) {
    if (!data || length == 0 || length > SIZE_MAX) return false;
    const auto size = static_cast<std::size_t>(length);
    if (std::memchr(data, 0, size)) return false;
    return platform::utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(data), size), text);
}

// Applies the element rules in document order.
class TransactionRules final : public platform::XmlVisitor {
public:
    void element(std::size_t depth, std::u16string_view name) override {
        if (failed_) return;
        switch (depth) {
        case 0:
            break;
        case 1:
            closeEntry();
            ++children_;
            if (name == u"S") sawS_ = true;
            break;
        case 2:
            closeEntry();
            if (name == u"I") {
                entry_ = Entry::I;
            } else if (name == u"V") {
                entry_ = Entry::V;
            } else {
                failed_ = true;
            }
            dCount_ = 0;
            break;
        default:  // 3: inside an "I" or "V"
            if (name != u"D" || ++dCount_ > 1) failed_ = true;
            break;
        }
    }
    void documentLanguage(std::u16string_view) override {}
    bool valid() {
        closeEntry();
        return !failed_ && children_ > 0 && sawS_;
    }

private:
    enum class Entry { None, I, V };
    void closeEntry() {
        if (entry_ == Entry::I && dCount_ != 1) failed_ = true;
        entry_ = Entry::None;
    }
    bool failed_ = false;
    bool sawS_ = false;
    std::size_t children_ = 0;
    Entry entry_ = Entry::None;
    std::size_t dCount_ = 0;
};

class LanguageReader final : public platform::XmlVisitor {
public:
    void element(std::size_t depth, std::u16string_view name) override {
        if (depth == 0) isR = name == u"R";
    }
    void documentLanguage(std::u16string_view value) override {
        hasLanguage = true;
        language.assign(value);
    }
    bool isR = false;
    bool hasLanguage = false;
    std::u16string language;
};

bool contains_lowered(const std::u16string& value, std::u16string_view part) {
    std::u16string lowered = value;
    for (char16_t& c : lowered)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return lowered.find(part) != std::u16string::npos;
}

}  // namespace

uint64_t PieceCount(uint64_t length) { return length == 0 ? 1 : (length + kPieceBytes - 1) / kPieceBytes; }

uint32_t ParseTransData(const uint8_t* data, uint64_t length) {
    return shielded([&]() -> uint32_t {
        std::u16string text;
        if (!decode(data, length, &text)) return kMalformedTransaction;
        TransactionRules rules;
        // Only the document element, its children, theirs and the "D"s below count.
        if (platform::read_xml(text, 3, rules) != platform::XmlStatus::Ok) return kMalformedTransaction;
        return rules.valid() ? 0u : kMalformedTransaction;
    });
}

uint32_t TransDisplayLanguage(const uint8_t* data, uint64_t length, uint32_t* code) {
    if (!data || !code) return kMalformedTransaction;
    return shielded([&]() -> uint32_t {
        std::u16string text;
        if (!decode(data, length, &text)) return kNoLanguage;
        LanguageReader reader;
        if (platform::read_xml(text, 0, reader) != platform::XmlStatus::Ok || !reader.isR) return kNoLanguage;
        if (!reader.hasLanguage) {
            *code = 0;
        } else if (contains_lowered(reader.language, u"zh")) {
            *code = 2052;
        } else if (contains_lowered(reader.language, u"en")) {
            *code = 2057;
        } else {
            *code = 3;
        }
        return 0u;
    });
}

}  // namespace qx::uiext
