#include "description/document_rules.h"

#include <cwchar>

#include "foundation/log.h"
#include "foundation/system_facts.h"

bool IsTrueText(const std::wstring& text) { return _wcsicmp(text.c_str(), L"True") == 0; }

int DecimalValue(const std::wstring& text) { return static_cast<int>(std::wcstol(text.c_str(), nullptr, 10)); }

std::uint32_t HexValue(const std::wstring& text) {
    return static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 16));
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

DownloadBase::DownloadBase() : log_(&Log::Instance()) {}

bool DownloadBase::ShouldRead(const std::vector<XmlNode>&, const std::wstring&) { return true; }
