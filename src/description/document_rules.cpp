#include "description/document_rules.h"

#include <cwchar>
#include <cwctype>

#include "foundation/log.h"
#include "foundation/system_facts.h"

bool IsTrueText(const std::wstring& text) { return _wcsicmp(text.c_str(), L"True") == 0; }

int DecimalValue(const std::wstring& text) { return static_cast<int>(std::wcstol(text.c_str(), nullptr, 10)); }

std::uint32_t HexValue(const std::wstring& text) {
    return static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 16));
}

bool ReadFileSize(const std::wstring& text, std::uint64_t* size) {
    constexpr std::uint64_t kLargest = 0x7FFFFFFFFFFFFFFFull;
    std::size_t at = 0;
    while (at < text.size() && std::iswspace(text[at])) ++at;
    if (at < text.size() && text[at] == L'-') return false;
    if (at < text.size() && text[at] == L'+') ++at;
    std::uint64_t value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        const unsigned digit = static_cast<unsigned>(text[at] - L'0');
        if (value > (kLargest - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *size = value;
    return true;
}

bool OsMaskMatches(int mask, int systemCode) { return (mask & systemCode) != 0; }

bool PassesOsTest(const XmlNode& element, Log& log) {
    for (const auto& [name, value] : element.Attributes()) {
        if (name != L"OS") continue;
        if (OsMaskMatches(DecimalValue(value), OperatingSystemCode())) return true;
        log.WriteEntry(L"Item skipped. Not targeted for this OS.");
        return false;
    }
    return true;
}

bool DownloadBase::ShouldRead(const std::vector<XmlNode>&, const std::wstring&) { return true; }
