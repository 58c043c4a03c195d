// The transaction text rules and the display language, one table for every
// system: the same cases run over libxml2 natively and over MSXML on
// Windows, so both parsers must agree on each one.  Hostile documents are
// refused with their status, never parsed further.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "transaction_text.h"

namespace qx::uiext {
namespace {

constexpr uint32_t kBad = kMalformedTransaction;
constexpr uint32_t kNoR = kNoLanguage;

struct Case {
    const char* name;
    std::string xml;
    uint32_t parse;     // ParseTransData
    uint32_t language;  // TransDisplayLanguage status
    uint32_t code;      // and its code when 0
};

std::string nested(int levels) {
    std::string open, close;
    for (int i = 0; i < levels; ++i) {
        open += "<a>";
        close = "</a>" + close;
    }
    return open + close;
}

const Case kCases[] = {
    // The element rules.
    {"full", "<R><S><I><D>pay</D></I><V><D>100</D></V><V/></S></R>", 0, 0, 0},
    {"S alone", "<R><S/></R>", 0, 0, 0},
    {"any document element name", "<Doc><S/></Doc>", 0, kNoR, 0},
    {"document element without children", "<R/>", kBad, 0, 0},
    {"only text below the document element", "<R>S</R>", kBad, 0, 0},
    {"no S child", "<R><T><I><D/></I></T></R>", kBad, 0, 0},
    {"S after another child", "<R><T><V/></T><S/></R>", 0, 0, 0},
    {"grandchild other than I or V", "<R><S><I><D/></I><X/></S></R>", kBad, 0, 0},
    {"grandchild of a non-S child checked too", "<R><S/><T><X/></T></R>", kBad, 0, 0},
    {"I without D", "<R><S><I/></S></R>", kBad, 0, 0},
    {"I with two D", "<R><S><I><D/><D/></I></S></R>", kBad, 0, 0},
    {"I with D and another element", "<R><S><I><D/><E/></I></S></R>", kBad, 0, 0},
    {"last I without D", "<R><S><I><D/></I><I/></S></R>", kBad, 0, 0},
    {"V without D", "<R><S><V/></S></R>", 0, 0, 0},
    {"V with one D", "<R><S><V><D/></V></S></R>", 0, 0, 0},
    {"V with two D", "<R><S><V><D/><D/></V></S></R>", kBad, 0, 0},
    {"V with another element", "<R><S><V><E/></V></S></R>", kBad, 0, 0},
    {"below D is not examined", "<R><S><I><D><X><Y/></X></D></I></S></R>", 0, 0, 0},
    {"names are case-sensitive", "<R><s/></R>", kBad, 0, 0},
    // Only elements count.
    {"text, comments and instructions around elements",
     "<R>\n  <!-- c --> text <S>\n <?pi x?> <I>t<D>t</D>t</I> </S>\n</R>", 0, 0, 0},
    {"CDATA is not an element", "<R><S><![CDATA[<X/>]]></S></R>", 0, 0, 0},
    {"comment before the document element", "<!-- c --><R><S/></R>", 0, 0, 0},
    // Names as written.
    {"default namespace", "<R xmlns=\"urn:t\"><S/></R>", 0, 0, 0},
    {"prefixed S is not S", "<R xmlns:p=\"urn:t\"><p:S/></R>", kBad, 0, 0},
    {"prefixed document element is not R", "<p:R xmlns:p=\"urn:t\"><S/></p:R>", 0, kNoR, 0},
    {"undeclared prefix", "<R><p:S/></R>", kBad, kNoR, 0},
    {"empty prefixed declaration", "<R xmlns:p=\"\"><S/></R>", kBad, kNoR, 0},
    {"declared attribute prefix", "<R xmlns:p=\"urn:t\"><S><V p:x=\"1\"/></S></R>", 0, 0, 0},
    // The XML declaration: the text is UTF-8 whatever it names.
    {"declaration", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><R><S/></R>", 0, 0, 0},
    {"byte-order mark", "\xEF\xBB\xBF<R><S/></R>", 0, 0, 0},
    // The display language.
    {"ZH upper case", "<R xml:lang=\"ZH-CN\"><S/></R>", 0, 0, 2052},
    {"zh beside en", "<R xml:lang=\"en-zh\"><S/></R>", 0, 0, 2052},
    {"en", "<R xml:lang=\"en-GB\"><S/></R>", 0, 0, 2057},
    {"EN upper case", "<R xml:lang=\"EN\"><S/></R>", 0, 0, 2057},
    {"other language", "<R xml:lang=\"fr\"><S/></R>", 0, 0, 3},
    {"empty language", "<R xml:lang=\"\"><S/></R>", 0, 0, 3},
    {"lang without the xml prefix", "<R lang=\"zh\"><S/></R>", 0, 0, 0},
    {"language of a child only", "<R><S xml:lang=\"zh\"/></R>", 0, 0, 0},
    {"character reference", "<R xml:lang=\"&#x7A;h\"><S/></R>", 0, 0, 2052},
    {"predefined entity", "<R xml:lang=\"x&amp;en\"><S/></R>", 0, 0, 2057},
    {"language on another document element", "<Q xml:lang=\"zh\"><S/></Q>", 0, kNoR, 0},
    // Not well-formed.
    {"empty", "", kBad, kNoR, 0},
    {"unclosed", "<R><S></R>", kBad, kNoR, 0},
    {"second document element", "<R><S/></R><R/>", kBad, kNoR, 0},
    {"text only", "S", kBad, kNoR, 0},
    {"control character", "<R><S>\x01</S></R>", kBad, kNoR, 0},
    {"undeclared entity", "<R><S>&nope;</S></R>", kBad, kNoR, 0},
    {"duplicate attribute", "<R xml:lang=\"zh\" xml:lang=\"en\"><S/></R>", kBad, kNoR, 0},
    // Bytes that are not UTF-8 text.
    {"NUL inside the length", std::string("<R><S/></R>\0", 12), kBad, kNoR, 0},
    {"NUL inside an element", std::string("<R><S>\0</S></R>", 15), kBad, kNoR, 0},
    {"invalid UTF-8", "<R><S>\xFF</S></R>", kBad, kNoR, 0},
    {"overlong UTF-8", "<R><S>\xC0\xAF</S></R>", kBad, kNoR, 0},
    {"encoded surrogate", "<R><S>\xED\xA0\x80</S></R>", kBad, kNoR, 0},
    {"truncated sequence", "<R><S/></R>\xE4\xB8", kBad, kNoR, 0},
    // No DTD, so no entities and nothing from outside.
    {"document type", "<!DOCTYPE R><R><S/></R>", kBad, kNoR, 0},
    {"internal entity", "<!DOCTYPE R [<!ENTITY e \"x\">]><R><S>&e;</S></R>", kBad, kNoR, 0},
    {"external entity",
     "<!DOCTYPE R [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><R xml:lang=\"&e;\"><S>&e;</S></R>", kBad, kNoR, 0},
    {"external DTD", "<!DOCTYPE R SYSTEM \"http://127.0.0.1:9/t.dtd\"><R><S/></R>", kBad, kNoR, 0},
    {"entity expansion",
     "<!DOCTYPE R [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
     "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
     "<R><S>&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;</S></R>",
     kBad, kNoR, 0},
    {"attribute default from a DTD", "<!DOCTYPE R [<!ATTLIST R xml:lang CDATA \"zh\">]><R><S/></R>", kBad, kNoR, 0},
    // Nesting: 256 levels are read, one more is refused.
    {"256 levels", "<R><S><V><D>" + nested(252) + "</D></V></S></R>", 0, 0, 0},
    {"257 levels", "<R><S><V><D>" + nested(253) + "</D></V></S></R>", kBad, kNoR, 0},
    {"thousands of levels", "<R><S/>" + nested(5000) + "</R>", kBad, kNoR, 0},
};

TEST(TransactionRules, EveryCaseOnThisSystemsParser) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto* data = reinterpret_cast<const uint8_t*>(c.xml.data());
        EXPECT_EQ(c.parse, ParseTransData(data, c.xml.size()));
        uint32_t code = 0xDEAD;
        EXPECT_EQ(c.language, TransDisplayLanguage(data, c.xml.size(), &code));
        if (c.language == 0) {
            EXPECT_EQ(c.code, code);
        }
    }
}

TEST(TransactionRules, TheGivenLengthIsTheText) {
    // What follows the length is never read: neither a terminator nor text.
    const std::string text = "<R xml:lang=\"zh\"><S/></R><garbage";
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    const uint64_t length = text.find("<garbage");
    EXPECT_EQ(0u, ParseTransData(data, length));
    uint32_t code = 0;
    EXPECT_EQ(0u, TransDisplayLanguage(data, length, &code));
    EXPECT_EQ(2052u, code);
    EXPECT_EQ(kBad, ParseTransData(data, text.size()));
    EXPECT_EQ(kBad, ParseTransData(data, length - 1));  // "</R" cut short
}

TEST(TransactionRules, NullArguments) {
    uint32_t code = 0;
    const uint8_t xml[] = "<R><S/></R>";
    EXPECT_EQ(kBad, ParseTransData(nullptr, 11));
    EXPECT_EQ(kBad, ParseTransData(xml, 0));
    EXPECT_EQ(kBad, TransDisplayLanguage(nullptr, 11, &code));
    EXPECT_EQ(kBad, TransDisplayLanguage(xml, 11, nullptr));
}

TEST(TransactionRules, LargeDocuments) {
    // A large valid document, and a long run of elements where the rule
    // breaks at the very end.
    std::string big = "<R><S>";
    for (int i = 0; i < 20000; ++i) big += "<I><D>x</D></I><V/>";
    EXPECT_EQ(kBad, ParseTransData(reinterpret_cast<const uint8_t*>(big.data()), big.size()));  // unclosed
    const std::string valid = big + "</S></R>";
    EXPECT_EQ(0u, ParseTransData(reinterpret_cast<const uint8_t*>(valid.data()), valid.size()));
    const std::string broken = big + "<I/></S></R>";
    EXPECT_EQ(kBad, ParseTransData(reinterpret_cast<const uint8_t*>(broken.data()), broken.size()));
}

TEST(TransactionPieces, CountIsTheLengthOver192RoundedUp) {
    const struct {
        uint64_t length, pieces;
    } cases[] = {{0, 1}, {1, 1}, {192, 1}, {193, 2}, {384, 2}, {400, 3}, {65535ull * 192, 65535},
                 {65535ull * 192 + 1, 65536}, {0xFFFFFFFFull, 22369622}};
    for (const auto& c : cases) EXPECT_EQ(c.pieces, PieceCount(c.length)) << c.length;
}

}  // namespace
}  // namespace qx::uiext
