#include "foundation/registry_operations.h"

#include <cwchar>
#include <cwctype>

#include "foundation/text.h"
#include "foundation/win_resource.h"

namespace {

// The longest text value a variable reads.
constexpr std::size_t kLongestText = 511;

struct RootKey {
    const wchar_t* prefix;
    HKEY key;
};

const RootKey kRootKeys[] = {
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},   {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_USERS", HKEY_USERS},
};

renewix::UniqueRegKey CreateKey(HKEY root, const std::wstring& subKey) {
    renewix::UniqueRegKey key;
    if (RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
        key.reset();
    }
    return key;
}

}  // namespace

bool ReadDwordText(const std::wstring& text, DWORD* value) {
    std::size_t at = 0, end = text.size();
    while (at < end && iswspace(text[at])) ++at;
    while (end > at && iswspace(text[end - 1])) --end;
    const bool negative = at < end && text[at] == L'-';
    if (negative || (at < end && text[at] == L'+')) ++at;
    if (at == end) return false;
    unsigned long long number = 0;
    for (; at < end; ++at) {
        if (text[at] < L'0' || text[at] > L'9') return false;
        number = number * 10 + static_cast<unsigned>(text[at] - L'0');
        if (number > 0xFFFFFFFFull) return false;
    }
    // A negative number is its 32-bit two's complement, as a signed DWORD reads it.
    if (negative) {
        if (number > 0x80000000ull) return false;
        number = (0x100000000ull - number) & 0xFFFFFFFFull;
    }
    *value = static_cast<DWORD>(number);
    return true;
}

HKEY ResolveRootKey(const std::wstring& keyPath, std::wstring* subKey) {
    for (const RootKey& root : kRootKeys) {
        const std::size_t length = wcslen(root.prefix);
        if (keyPath.compare(0, length, root.prefix) == 0) {
            // The prefix and one separator go; a bare root name leaves an empty sub-key.
            *subKey = keyPath.size() > length + 1 ? keyPath.substr(length + 1) : std::wstring();
            return root.key;
        }
    }
    *subKey = keyPath;
    return HKEY_CURRENT_USER;
}

int ApplyRegistryAction(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& action) {
    std::wstring subKey;
    HKEY root = ResolveRootKey(keyPath, &subKey);
    const std::wstring name = valueName == L"(Default)" ? std::wstring() : valueName;

    if (action == L"Create") return CreateKey(root, subKey) ? 1 : 0;
    if (action == L"Remove") {
        // An empty sub-key would name the root itself: never delete a whole hive.
        if (!subKey.empty()) RegDeleteTreeW(root, subKey.c_str());
        return 1;
    }
    if (action == L"Delete") {
        renewix::UniqueRegKey key;
        if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS) {
            RegDeleteValueW(key.get(), name.c_str());
        }
        return 1;
    }
    if (action.find(L"Add") == std::wstring::npos) return 1;

    // The value is checked before anything is created: an entry whose type or number cannot be
    // stored as written fails and leaves the registry as it was.
    const std::wstring typed = action.size() > 4 ? action.substr(4) : std::wstring();
    if (StartsWith(typed, L"REG_SZ")) {
        renewix::UniqueRegKey key = CreateKey(root, subKey);
        if (!key) return 0;
        const std::wstring text = typed.size() > 7 ? typed.substr(7) : std::wstring();
        return RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS
                   ? 1
                   : 0;
    }
    DWORD number = 0;
    if (!StartsWith(typed, L"REG_DWORD") || !ReadDwordText(typed.size() > 10 ? typed.substr(10) : std::wstring(), &number)) {
        return 0;
    }
    renewix::UniqueRegKey key = CreateKey(root, subKey);
    if (!key) return 0;
    return RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof(number)) == ERROR_SUCCESS
               ? 1
               : 0;
}

std::wstring QueryRegistryValue(const std::wstring& registryPath, const std::wstring& type) {
    const std::size_t slash = registryPath.rfind(L'\\');
    if (slash == std::wstring::npos) return {};
    const std::wstring keyPath = registryPath.substr(0, slash);
    const std::wstring valueName = registryPath.substr(slash + 1);
    std::wstring subKey;
    HKEY root = ResolveRootKey(keyPath, &subKey);
    renewix::UniqueRegKey key;
    const bool opened = RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;

    if (StartsWith(type, L"REG_SZ")) {
        if (!opened) return {};
        // 511 characters and the terminator fill the 512 read; one more slot for a value stored
        // without its terminator.
        wchar_t buffer[kLongestText + 2] = {};
        DWORD valueType = 0, size = (kLongestText + 1) * sizeof(wchar_t);
        if (RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &valueType, reinterpret_cast<BYTE*>(buffer),
                             &size) != ERROR_SUCCESS ||
            (valueType != REG_SZ && valueType != REG_EXPAND_SZ)) {
            return {};
        }
        std::size_t length = size / sizeof(wchar_t);
        while (length > 0 && buffer[length - 1] == L'\0') --length;
        if (length > kLongestText) return {};
        return std::wstring(buffer, length);
    }
    if (StartsWith(type, L"REG_DWORD")) {
        DWORD value = 0, valueType = 0, size = sizeof(value);
        if (!opened ||
            RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &valueType, reinterpret_cast<BYTE*>(&value),
                             &size) != ERROR_SUCCESS ||
            valueType != REG_DWORD) {
            return L"0";
        }
        return FormatText(L"%d", static_cast<int>(value));
    }
    return {};
}
