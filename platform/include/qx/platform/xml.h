// The XML document service: reads a document held in memory as decoded
// UTF-16 text and reports its elements to a visitor, in document order.
//
// What every system does alike: no network, no external entities, no DTD
// (a document with a document type declaration is refused whatever the
// system's parser would make of it), an encoding named in the XML
// declaration is ignored (the text is already decoded), elements nested
// deeper than kXmlMaxDepth are refused.  Only elements are reported (text,
// comments, processing instructions and CDATA are skipped), each with its
// qualified name as written ("p:name").  Windows: MSXML 6 on the calling
// thread (COM initialised for the call when the thread has not done it).
// POSIX: libxml2.
#pragma once

#include <cstddef>
#include <string_view>

namespace qx::platform {

// Nesting the parsers of every system accept (libxml2's own limit).
constexpr std::size_t kXmlMaxDepth = 256;

enum class XmlStatus {
    Ok,
    Refused,      // not well-formed, empty, a DTD, or nested too deeply
    Unavailable,  // the system's XML service cannot be started, or memory ran out
};

class XmlVisitor {
public:
    virtual ~XmlVisitor() = default;
    // One element at `depth` (0: the document element).  Elements deeper
    // than the depth given to read_xml are not reported.
    virtual void element(std::size_t depth, std::u16string_view qualifiedName) = 0;
    // The "xml:lang" attribute of the document element (the attribute in
    // the XML namespace), when it has one; called after its element().
    virtual void documentLanguage(std::u16string_view value) = 0;
};

// Parses `text`; the visitor hears every element down to `maxDepth` before
// the status is known, so it must not act on them unless Ok comes back.
XmlStatus read_xml(std::u16string_view text, std::size_t maxDepth, XmlVisitor& visitor);

}  // namespace qx::platform
