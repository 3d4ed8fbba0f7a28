#include "description/secure_code.h"

#include <cwchar>
#include <vector>

#include "foundation/xml_document.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/user_prompts.h"
#include "foundation/crc32.h"

namespace {
const wchar_t kRootOpening[] = L"<Renewix>";
const wchar_t kSecureCodeOpening[] = L"<SecureCode>";
}  // namespace

std::uint32_t ParseHexCode(const std::wstring& text) {
    return static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 16));
}

bool CoveredText(const std::wstring& rootMarkup, std::wstring& covered) {
    const std::size_t end = rootMarkup.rfind(kSecureCodeOpening);
    if (end == std::wstring::npos) return false;
    const std::size_t start = std::size(kRootOpening) - 1;
    covered = end > start ? rootMarkup.substr(start, end - start) : std::wstring();
    return true;
}

std::uint32_t SecureCodeFor(std::uint32_t baseCode, const std::wstring& covered) {
    std::uint32_t derived = 0;
    CCrc32Static::ComputeTextCrc(covered.c_str(), derived);
    return baseCode + derived;
}

bool CheckDocumentSecureCode(const XmlDocument& document, const std::wstring& baseCodeText, bool testMode,
                             IUserPrompts* prompts, Log& log) {
    const std::uint32_t base = ParseHexCode(baseCodeText);
    XmlNode element = document.SelectSingle(L"Renewix/SecureCode");
    if (!element) {
        if (base == 0) return true;
        log.WriteHeading(
            L"Serious error! The update client was built with a security code, but the update XML file does not "
            L"specify the SecureCode branch. Exiting.");
        return false;
    }
    log.WriteEntry(L"Security code checking required");
    const std::wstring codeText = element.Text();
    const std::uint32_t code = ParseHexCode(codeText);

    std::wstring covered;
    XmlNode root = document.SelectSingle(L"Renewix");
    if (!root || !CoveredText(root.Markup(), covered)) {
        log.WriteEntry(L"Security code expected but not found in XML");
        return false;
    }
    std::uint32_t derived = 0;
    CCrc32Static::ComputeTextCrc(covered.c_str(), derived);
    if (base + derived == code) {
        log.WriteEntry(L"Security code detected and derived correctly");
        return true;
    }
    log.WriteHeading(
        L"The security code of the update XML file does not match the expected value, possibly due to file "
        L"tampering. Update will terminate.");
    log.WriteValue(L"Base security code", baseCodeText);
    log.WriteValue(L"Security code", codeText);
    log.WriteNumber(L"Derived code", static_cast<int>(derived));
    if (testMode && prompts) prompts->ShowError(L"The security code calculation failed unexpectedly.", L"Secure code error");
    return false;
}

int DropUncoveredElements(const XmlDocument& document, Log& log) {
    XmlNode root = document.SelectSingle(L"Renewix");
    if (!root) return 0;
    // The covered text ends at the last "<SecureCode>" in the root's markup: find the child
    // that holds it (the code element, or anything else that spells it).
    const std::vector<XmlNode> children = root.SelectChildren(L"node()");
    std::size_t boundary = children.size();
    for (std::size_t i = children.size(); i-- > 0;) {
        if (children[i].Markup().find(kSecureCodeOpening) != std::wstring::npos) {
            boundary = i;
            break;
        }
    }
    if (boundary == children.size()) return 0;
    // Every element after it goes; so does the holder itself unless it is the code element,
    // since only its beginning is covered.
    const auto isElement = [](const XmlNode& node) {
        DOMNodeType type = NODE_INVALID;
        return node.get() && SUCCEEDED(node.get()->get_nodeType(&type)) && type == NODE_ELEMENT;
    };
    std::wstring names;
    int dropped = 0;
    for (std::size_t i = boundary; i < children.size(); ++i) {
        if (!isElement(children[i])) continue;
        if (i == boundary && StartsWith(children[i].Markup(), kSecureCodeOpening)) continue;
        names += (names.empty() ? L"" : L", ") + children[i].Name();
        root.RemoveChild(children[i]);
        ++dropped;
    }
    if (dropped > 0) {
        log.WriteValue(L"Ignored, not covered by the security code (after SecureCode)", names);
    }
    return dropped;
}
