// The XML document service over libxml2's SAX2 parser: nothing is built in
// memory but the parser's own state, so a large document costs no tree.
// No network, no entity substitution, no DTD: the parser is stopped at the
// document type declaration before its internal subset is read, so neither
// entity declarations nor external subsets are ever seen.
#include "qx/platform/xml.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "qx/platform/text.h"

namespace qx::platform {
namespace {

// The XML namespace, which "xml:" always names.
constexpr char kXmlNamespace[] = "http://www.w3.org/XML/1998/namespace";

struct SaxState {
    XmlVisitor* visitor = nullptr;
    std::size_t maxDepth = 0;
    std::size_t depth = 0;  // elements open
    bool sawRoot = false;
    bool refused = false;
    bool outOfMemory = false;
};

SaxState& state_of(void* ctx) { return *static_cast<SaxState*>(static_cast<xmlParserCtxtPtr>(ctx)->_private); }

void stop(void* ctx, SaxState& s) {
    s.refused = true;
    xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
}

bool to_text(const xmlChar* begin, std::size_t length, std::u16string* out) {
    return utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(begin), length), out);
}

// Attribute values reach SAX2 with "&" written back as "&#38;" when
// entities are not substituted; undo that so that values read as on Windows.
std::string attribute_value(const xmlChar* begin, const xmlChar* end) {
    std::string v(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));
    std::size_t at = 0;
    while ((at = v.find("&#38;", at)) != std::string::npos) {
        v.replace(at, 5, "&");
        ++at;
    }
    return v;
}

void on_start(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar*, int, const xmlChar**,
              int attributeCount, int, const xmlChar** attributes) {
    SaxState& s = state_of(ctx);
    if (s.refused) return;
    const std::size_t depth = s.depth++;
    if (depth >= kXmlMaxDepth) {
        stop(ctx, s);
        return;
    }
    if (depth == 0) s.sawRoot = true;
    if (depth > s.maxDepth) return;
    try {
        std::string qualified;
        if (prefix) qualified.append(reinterpret_cast<const char*>(prefix)).push_back(':');
        qualified.append(reinterpret_cast<const char*>(localname));
        std::u16string name;
        if (!to_text(reinterpret_cast<const xmlChar*>(qualified.data()), qualified.size(), &name)) {
            stop(ctx, s);
            return;
        }
        s.visitor->element(depth, name);
        if (depth != 0) return;
        // Attributes come as five pointers each: local name, prefix, URI, value, value end.
        for (int i = 0; i < attributeCount; ++i) {
            const xmlChar** a = attributes + 5 * i;
            if (!a[2] || std::strcmp(reinterpret_cast<const char*>(a[2]), kXmlNamespace) != 0 ||
                std::strcmp(reinterpret_cast<const char*>(a[0]), "lang") != 0)
                continue;
            const std::string value = attribute_value(a[3], a[4]);
            std::u16string text;
            if (!to_text(reinterpret_cast<const xmlChar*>(value.data()), value.size(), &text)) {
                stop(ctx, s);
                return;
            }
            s.visitor->documentLanguage(text);
            break;
        }
    } catch (const std::bad_alloc&) {
        s.outOfMemory = true;
        stop(ctx, s);
    }
}

void on_end(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    SaxState& s = state_of(ctx);
    if (s.depth > 0) --s.depth;
}

// A document type declaration ends the parse before its internal subset.
void on_doctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) { stop(ctx, state_of(ctx)); }

void silent(void*, const xmlError*) {}

void start_library() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

}  // namespace

XmlStatus read_xml(std::u16string_view text, std::size_t maxDepth, XmlVisitor& visitor) {
    std::string utf8;
    try {
        if (!utf16_to_utf8(text, &utf8)) return XmlStatus::Refused;
    } catch (const std::bad_alloc&) {
        return XmlStatus::Unavailable;
    }
    if (utf8.empty()) return XmlStatus::Refused;
    if (utf8.size() > static_cast<std::size_t>(INT_MAX)) return XmlStatus::Refused;
    start_library();

    xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(utf8.data(), static_cast<int>(utf8.size()));
    if (!ctxt) return XmlStatus::Unavailable;
    struct Free {
        xmlParserCtxtPtr c;
        ~Free() { xmlFreeParserCtxt(c); }
    } freeCtxt{ctxt};

    SaxState state;
    state.visitor = &visitor;
    state.maxDepth = maxDepth;
    ctxt->_private = &state;
    // Only the handlers below: no tree, no entity declarations, no DTD.
    std::memset(ctxt->sax, 0, sizeof(xmlSAXHandler));
    ctxt->sax->initialized = XML_SAX2_MAGIC;
    ctxt->sax->startElementNs = on_start;
    ctxt->sax->endElementNs = on_end;
    ctxt->sax->internalSubset = on_doctype;
    ctxt->sax->serror = reinterpret_cast<xmlStructuredErrorFunc>(silent);
    ctxt->userData = ctxt;
    xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC);
    // The text is UTF-8 now, whatever its declaration says.
    xmlSwitchEncoding(ctxt, XML_CHAR_ENCODING_UTF8);

    xmlParseDocument(ctxt);
    if (state.outOfMemory || ctxt->errNo == XML_ERR_NO_MEMORY) return XmlStatus::Unavailable;
    if (state.refused || !ctxt->wellFormed || !ctxt->nsWellFormed || !state.sawRoot) return XmlStatus::Refused;
    return XmlStatus::Ok;
}

}  // namespace qx::platform
