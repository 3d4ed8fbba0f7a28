// The update document through the MSXML DOM. A failed DOM call throws XmlError, which the
// reader of the document catches; nothing else here throws.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>
#include <utility>
#include <vector>

#include "foundation/win_resource.h"

struct XmlError {
    HRESULT code;
    std::wstring description;
};

class XmlNode {
public:
    XmlNode() = default;
    explicit XmlNode(renewix::ComPtr<IXMLDOMNode> node) : node_(std::move(node)) {}

    explicit operator bool() const { return static_cast<bool>(node_); }
    IXMLDOMNode* get() const { return node_.get(); }

    // The first node at a path relative to this one ("Renewix/UpdateVersion"), or an empty node.
    XmlNode SelectSingle(const std::wstring& path) const;
    // The child elements of one name, in document order.
    std::vector<XmlNode> SelectChildren(const std::wstring& name) const;
    std::wstring Name() const;
    std::wstring Text() const;
    // The DOM's serialisation of the node with its content.
    std::wstring Markup() const;
    // Attribute names and texts in document order.
    std::vector<std::pair<std::wstring, std::wstring>> Attributes() const;

    // Editing, for the publishing tool.
    void SetAttribute(const std::wstring& name, const std::wstring& value);
    void RemoveAttribute(const std::wstring& name);
    void SetText(const std::wstring& text);
    void RemoveChild(const XmlNode& child);
    XmlNode AppendElement(const std::wstring& name);

private:
    renewix::ComPtr<IXMLDOMNode> node_;
};

class XmlDocument {
public:
    // A new, empty document of one ProgID ("Microsoft.XMLDOM" and the others); throws XmlError.
    static XmlDocument Create(const wchar_t* progId = L"Microsoft.XMLDOM");

    // Synchronous loads; false when the text is not a well-formed document.
    bool LoadFile(const std::wstring& pathOrUrl);
    bool LoadText(const std::wstring& text);
    // Parses exactly these bytes, finding their encoding as a file load would.
    bool LoadBytes(const void* data, std::size_t size);
    // Whether the document declares a document type (a DOCTYPE, internal or external).
    bool HasDocumentType() const;
    bool Save(const std::wstring& path);

    // Another reference to this document, as handed to each caller of a kept document.
    XmlDocument Share() const {
        XmlDocument other;
        other.document_ = document_.Copy();
        return other;
    }

    XmlNode Root() const;
    XmlNode SelectSingle(const std::wstring& path) const { return Root().SelectSingle(path); }
    IXMLDOMDocument* get() const { return document_.get(); }

private:
    renewix::ComPtr<IXMLDOMDocument> document_;
};

// Throws XmlError for a failed HRESULT, with the error-info description when there is one.
void ThrowIfFailed(HRESULT hr);

// A BSTR made from a wide string, owned.
renewix::UniqueBstr MakeBstr(const std::wstring& text);
