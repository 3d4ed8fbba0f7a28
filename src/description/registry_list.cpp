#include "description/registry_list.h"

#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/registry_operations.h"

bool IsUserRegistryPath(const std::wstring& keyPath) {
    if (StartsWith(keyPath, L"HKEY_CURRENT_USER") || StartsWith(keyPath, L"HKEY_CURRENT_CONFIG")) return true;
    // A path naming no root key lies in the current user's hive: the service would reach its own.
    std::wstring subKey;
    return ResolveRootKey(keyPath, &subKey) == HKEY_CURRENT_USER;
}

int DownloadRegistry::Read(const XmlNode& element, const std::wstring& basePath) {
    std::vector<XmlNode> keys = element.SelectChildren(L"Key");
    if (!ShouldRead(keys, basePath)) return 1;
    for (const XmlNode& key : keys) {
        std::wstring path;
        for (const auto& [name, value] : key.Attributes()) {
            if (name == L"Name") {
                path = basePath + L"\\" + value;
                break;
            }
        }
        if (!Read(key, path)) return 0;
    }
    std::vector<XmlNode> values = element.SelectChildren(L"Value");
    if (!ShouldRead(values, basePath)) return 1;
    const std::size_t start = basePath.find_first_not_of(L" \\");
    const std::wstring keyPath = start == std::wstring::npos ? std::wstring() : basePath.substr(start);
    for (const XmlNode& value : values) {
        if (!PassesOsTest(value, *log_)) continue;
        RegistryEntry entry{keyPath, {}, {}};
        for (const auto& [name, text] : value.Attributes()) {
            if (name == L"Name") entry.valueName = text;
            else if (name == L"Action") entry.action = text;
        }
        entries_.push_back(std::move(entry));
    }
    return 1;
}
