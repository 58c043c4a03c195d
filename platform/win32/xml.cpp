// The XML document service over MSXML 6 ("Msxml2.DOMDocument.6.0"):
// synchronous load from a string, DTDs prohibited, no external resolution,
// no validation.  COM is initialised on the calling thread for the call and
// uninitialised only when this call's own initialisation succeeded (a
// thread already in another apartment keeps it).  Some MSXML builds accept
// a document type declaration despite ProhibitDTD: the document is refused
// here whenever it has one.
#include "qx/platform/xml.h"

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <msxml2.h>

#include <new>
#include <vector>

namespace qx::platform {
namespace {

// IXMLDOMDocument2 {2933BF95-7B36-11D2-B20E-00C04F983E60}.
const IID kIidDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

class ComScope {
public:
    ComScope() : own_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComScope() {
        if (own_) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool own_;
};

template <typename T>
class Ref {
public:
    Ref() = default;
    ~Ref() { reset(); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T** out() {
        reset();
        return &p_;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view s)
        : b_(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.data()), static_cast<UINT>(s.size()))) {}
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* out() {
        SysFreeString(b_);
        b_ = nullptr;
        return &b_;
    }
    BSTR get() const { return b_; }
    std::u16string_view view() const {
        return b_ ? std::u16string_view(reinterpret_cast<const char16_t*>(b_), SysStringLen(b_)) : std::u16string_view();
    }

private:
    BSTR b_ = nullptr;
};

bool set_bool_property(IXMLDOMDocument2* doc, const char16_t* name, bool value) {
    Bstr n(name);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return SUCCEEDED(doc->setProperty(n.get(), v));
}

bool is_element(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    return SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT;
}

// The "xml:lang" attribute of `element`; false when it has none.
bool language_of(IXMLDOMNode* element, Bstr* value) {
    Ref<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(element->get_attributes(attributes.out())) || !attributes) return false;
    long count = 0;
    if (FAILED(attributes->get_length(&count))) return false;
    for (long i = 0; i < count; ++i) {
        Ref<IXMLDOMNode> attribute;
        if (FAILED(attributes->get_item(i, attribute.out())) || !attribute) continue;
        Bstr name;
        if (FAILED(attribute->get_nodeName(name.out())) || name.view() != u"xml:lang") continue;
        return SUCCEEDED(attribute->get_text(value->out()));
    }
    return false;
}

// A name with a prefix that no namespace declaration binds.  MSXML refuses
// such documents when it loads them; some builds do not, and libxml2 does,
// so the element and its attributes are checked here as well.
bool unbound_prefix(IXMLDOMNode* node) {
    Bstr name;
    if (FAILED(node->get_nodeName(name.out()))) return true;
    const std::u16string_view n = name.view();
    const std::size_t colon = n.find(u':');
    if (colon == std::u16string_view::npos) return false;
    const std::u16string_view prefix = n.substr(0, colon);
    if (prefix == u"xml" || prefix == u"xmlns") return false;
    Bstr uri;
    return FAILED(node->get_namespaceURI(uri.out())) || uri.view().empty();
}

// "xmlns:p" bound to nothing, which namespaces forbid.  Some MSXML builds
// load an undeclared prefix by dropping it and adding such a declaration.
bool empty_declaration(IXMLDOMNode* attribute) {
    Bstr name;
    if (FAILED(attribute->get_nodeName(name.out())) || name.view().substr(0, 6) != u"xmlns:") return false;
    Bstr value;
    return FAILED(attribute->get_text(value.out())) || value.view().empty();
}

bool has_unbound_prefix(IXMLDOMNode* element) {
    if (unbound_prefix(element)) return true;
    Ref<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(element->get_attributes(attributes.out())) || !attributes) return false;
    long count = 0;
    if (FAILED(attributes->get_length(&count))) return false;
    for (long i = 0; i < count; ++i) {
        Ref<IXMLDOMNode> attribute;
        if (FAILED(attributes->get_item(i, attribute.out())) || !attribute) continue;
        if (unbound_prefix(attribute.get()) || empty_declaration(attribute.get())) return true;
    }
    return false;
}

Ref<IXMLDOMNode> first_child(IXMLDOMNode* node) {
    Ref<IXMLDOMNode> child;
    if (FAILED(node->get_firstChild(child.out()))) child.reset();
    return child;
}

Ref<IXMLDOMNode> next_sibling(IXMLDOMNode* node) {
    Ref<IXMLDOMNode> next;
    if (FAILED(node->get_nextSibling(next.out()))) next.reset();
    return next;
}

// Walks the whole tree without recursion (so that the depth limit holds
// here as it does in every parser) and reports elements down to maxDepth.
XmlStatus walk(IXMLDOMNode* root, std::size_t maxDepth, XmlVisitor& visitor) {
    {
        if (has_unbound_prefix(root)) return XmlStatus::Refused;
        Bstr name;
        if (FAILED(root->get_nodeName(name.out()))) return XmlStatus::Unavailable;
        visitor.element(0, name.view());
        Bstr language;
        if (language_of(root, &language)) visitor.documentLanguage(language.view());
    }
    std::vector<Ref<IXMLDOMNode>> parents;  // the open elements below the root
    Ref<IXMLDOMNode> current = first_child(root);
    std::size_t depth = 1;
    for (;;) {
        while (!current) {
            if (parents.empty()) return XmlStatus::Ok;
            current = next_sibling(parents.back().get());
            parents.pop_back();
            --depth;
        }
        if (is_element(current.get())) {
            if (depth >= kXmlMaxDepth || has_unbound_prefix(current.get())) return XmlStatus::Refused;
            if (depth <= maxDepth) {
                Bstr name;
                if (FAILED(current->get_nodeName(name.out()))) return XmlStatus::Unavailable;
                visitor.element(depth, name.view());
            }
            Ref<IXMLDOMNode> child = first_child(current.get());
            if (child) {
                parents.push_back(std::move(current));
                current = std::move(child);
                ++depth;
                continue;
            }
        }
        current = next_sibling(current.get());
    }
}

}  // namespace

XmlStatus read_xml(std::u16string_view text, std::size_t maxDepth, XmlVisitor& visitor) {
    if (text.empty() || text.size() > 0x7FFFFFFFu) return XmlStatus::Refused;
    try {
        ComScope com;
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(L"Msxml2.DOMDocument.6.0", &clsid))) return XmlStatus::Unavailable;
        Ref<IXMLDOMDocument2> doc;
        if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidDomDocument2,
                                    reinterpret_cast<void**>(doc.out()))) ||
            !doc)
            return XmlStatus::Unavailable;
        if (FAILED(doc->put_async(VARIANT_FALSE)) || !set_bool_property(doc.get(), u"ProhibitDTD", true) ||
            FAILED(doc->put_resolveExternals(VARIANT_FALSE)) || FAILED(doc->put_validateOnParse(VARIANT_FALSE)))
            return XmlStatus::Unavailable;
        Bstr source(text);
        if (!source.get()) return XmlStatus::Unavailable;
        VARIANT_BOOL loaded = VARIANT_FALSE;
        if (doc->loadXML(source.get(), &loaded) != S_OK || loaded != VARIANT_TRUE) return XmlStatus::Refused;
        Ref<IXMLDOMDocumentType> doctype;
        if (SUCCEEDED(doc->get_doctype(doctype.out())) && doctype) return XmlStatus::Refused;
        Ref<IXMLDOMElement> root;
        if (FAILED(doc->get_documentElement(root.out())) || !root) return XmlStatus::Refused;
        return walk(root.get(), maxDepth, visitor);
    } catch (const std::bad_alloc&) {
        return XmlStatus::Unavailable;
    }
}

}  // namespace qx::platform
