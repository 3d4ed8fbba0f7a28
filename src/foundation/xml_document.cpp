#include "foundation/xml_document.h"

#include <oleauto.h>

#include <cstring>

namespace {

std::wstring TakeBstr(BSTR text) {
    renewix::UniqueBstr owned(text);
    return owned ? std::wstring(owned.get(), SysStringLen(owned.get())) : std::wstring();
}

struct VariantOwner {
    VARIANT value;
    VariantOwner() { VariantInit(&value); }
    ~VariantOwner() { VariantClear(&value); }
    VariantOwner(const VariantOwner&) = delete;
    VariantOwner& operator=(const VariantOwner&) = delete;
};

}  // namespace

void ThrowIfFailed(HRESULT hr) {
    if (SUCCEEDED(hr)) return;
    std::wstring description;
    renewix::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        BSTR text = nullptr;
        if (SUCCEEDED(info->GetDescription(&text))) description = TakeBstr(text);
    }
    if (description.empty()) {
        wchar_t* buffer = nullptr;
        if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr)) {
            description = buffer;
            LocalFree(buffer);
        }
        while (!description.empty() && (description.back() == L'\n' || description.back() == L'\r')) {
            description.pop_back();
        }
    }
    if (description.empty()) {
        wchar_t code[32];
        wsprintfW(code, L"COM error 0x%08X", static_cast<unsigned>(hr));
        description = code;
    }
    throw XmlError{hr, description};
}

renewix::UniqueBstr MakeBstr(const std::wstring& text) {
    return renewix::UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

XmlNode XmlNode::SelectSingle(const std::wstring& path) const {
    if (!node_) return {};
    renewix::ComPtr<IXMLDOMNode> found;
    ThrowIfFailed(node_->selectSingleNode(MakeBstr(path).get(), found.put()));
    return XmlNode(std::move(found));
}

std::vector<XmlNode> XmlNode::SelectChildren(const std::wstring& name) const {
    std::vector<XmlNode> nodes;
    if (!node_) return nodes;
    renewix::ComPtr<IXMLDOMNodeList> list;
    ThrowIfFailed(node_->selectNodes(MakeBstr(name).get(), list.put()));
    if (!list) return nodes;
    long length = 0;
    ThrowIfFailed(list->get_length(&length));
    for (long i = 0; i < length; ++i) {
        renewix::ComPtr<IXMLDOMNode> item;
        ThrowIfFailed(list->get_item(i, item.put()));
        if (item) nodes.emplace_back(std::move(item));
    }
    return nodes;
}

std::wstring XmlNode::Name() const {
    BSTR name = nullptr;
    ThrowIfFailed(node_->get_nodeName(&name));
    return TakeBstr(name);
}

std::wstring XmlNode::Text() const {
    BSTR text = nullptr;
    ThrowIfFailed(node_->get_text(&text));
    return TakeBstr(text);
}

std::wstring XmlNode::Markup() const {
    BSTR xml = nullptr;
    ThrowIfFailed(node_->get_xml(&xml));
    return TakeBstr(xml);
}

std::vector<std::pair<std::wstring, std::wstring>> XmlNode::Attributes() const {
    std::vector<std::pair<std::wstring, std::wstring>> result;
    renewix::ComPtr<IXMLDOMNamedNodeMap> attributes;
    ThrowIfFailed(node_->get_attributes(attributes.put()));
    if (!attributes) return result;
    long length = 0;
    ThrowIfFailed(attributes->get_length(&length));
    for (long i = 0; i < length; ++i) {
        renewix::ComPtr<IXMLDOMNode> attribute;
        ThrowIfFailed(attributes->get_item(i, attribute.put()));
        if (!attribute) continue;
        XmlNode node(std::move(attribute));
        result.emplace_back(node.Name(), node.Text());
    }
    return result;
}

void XmlNode::SetAttribute(const std::wstring& name, const std::wstring& value) {
    renewix::ComPtr<IXMLDOMElement> element;
    ThrowIfFailed(node_->QueryInterface(IID_IXMLDOMElement, element.put_void()));
    VariantOwner text;
    text.value.vt = VT_BSTR;
    text.value.bstrVal = MakeBstr(value).release();
    ThrowIfFailed(element->setAttribute(MakeBstr(name).get(), text.value));
}

void XmlNode::RemoveAttribute(const std::wstring& name) {
    renewix::ComPtr<IXMLDOMElement> element;
    ThrowIfFailed(node_->QueryInterface(IID_IXMLDOMElement, element.put_void()));
    // An attribute that is not there is no error (S_FALSE).
    ThrowIfFailed(element->removeAttribute(MakeBstr(name).get()));
}

void XmlNode::SetText(const std::wstring& text) { ThrowIfFailed(node_->put_text(MakeBstr(text).get())); }

void XmlNode::RemoveChild(const XmlNode& child) {
    renewix::ComPtr<IXMLDOMNode> removed;
    ThrowIfFailed(node_->removeChild(child.get(), removed.put()));
}

XmlNode XmlNode::AppendElement(const std::wstring& name) {
    renewix::ComPtr<IXMLDOMDocument> document;
    ThrowIfFailed(node_->get_ownerDocument(document.put()));
    renewix::ComPtr<IXMLDOMElement> element;
    ThrowIfFailed(document->createElement(MakeBstr(name).get(), element.put()));
    renewix::ComPtr<IXMLDOMNode> appended;
    ThrowIfFailed(node_->appendChild(element.get(), appended.put()));
    return XmlNode(std::move(appended));
}

XmlDocument XmlDocument::Create(const wchar_t* progId) {
    CLSID clsid;
    ThrowIfFailed(CLSIDFromProgID(progId, &clsid));
    XmlDocument document;
    ThrowIfFailed(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                   document.document_.put_void()));
    ThrowIfFailed(document.document_->put_async(VARIANT_FALSE));
    return document;
}

bool XmlDocument::LoadFile(const std::wstring& pathOrUrl) {
    VariantOwner source;
    source.value.vt = VT_BSTR;
    source.value.bstrVal = MakeBstr(pathOrUrl).release();
    VARIANT_BOOL ok = VARIANT_FALSE;
    ThrowIfFailed(document_->load(source.value, &ok));
    return ok == VARIANT_TRUE;
}

bool XmlDocument::LoadText(const std::wstring& text) {
    // The text and nothing else: a status file anyone could write must not make the parser
    // fetch a file or a share on the reader's behalf.
    ThrowIfFailed(document_->put_resolveExternals(VARIANT_FALSE));
    ThrowIfFailed(document_->put_validateOnParse(VARIANT_FALSE));
    VARIANT_BOOL ok = VARIANT_FALSE;
    ThrowIfFailed(document_->loadXML(MakeBstr(text).get(), &ok));
    return ok == VARIANT_TRUE;
}

bool XmlDocument::LoadBytes(const void* data, std::size_t size) {
    VariantOwner source;
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
    if (!array) ThrowIfFailed(E_OUTOFMEMORY);
    // The variant owns the array from here on.
    source.value.vt = VT_ARRAY | VT_UI1;
    source.value.parray = array;
    void* target = nullptr;
    ThrowIfFailed(SafeArrayAccessData(array, &target));
    if (size > 0) std::memcpy(target, data, size);
    SafeArrayUnaccessData(array);
    // Only these bytes: nothing the parser would fetch on its own (a DTD, an external entity).
    ThrowIfFailed(document_->put_resolveExternals(VARIANT_FALSE));
    ThrowIfFailed(document_->put_validateOnParse(VARIANT_FALSE));
    VARIANT_BOOL ok = VARIANT_FALSE;
    ThrowIfFailed(document_->load(source.value, &ok));
    return ok == VARIANT_TRUE;
}

bool XmlDocument::HasDocumentType() const {
    renewix::ComPtr<IXMLDOMDocumentType> type;
    return document_ && SUCCEEDED(document_->get_doctype(type.put())) && type;
}

bool XmlDocument::Save(const std::wstring& path) {
    VariantOwner target;
    target.value.vt = VT_BSTR;
    target.value.bstrVal = MakeBstr(path).release();
    return SUCCEEDED(document_->save(target.value));
}

XmlNode XmlDocument::Root() const {
    renewix::ComPtr<IXMLDOMNode> node;
    if (document_) ThrowIfFailed(document_->QueryInterface(IID_IXMLDOMNode, node.put_void()));
    return XmlNode(std::move(node));
}
