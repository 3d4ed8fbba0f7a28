#include "foundation/paths.h"

#include <windows.h>
#include <shlobj.h>

#include <array>
#include <cstdint>
#include <cwctype>
#include <vector>

#include "foundation/text.h"
#include "foundation/win_resource.h"

namespace {

struct DirectoryMacro {
    const wchar_t* name;
    int folder;
};

constexpr std::array<DirectoryMacro, 10> kDirectoryMacros{{
    {L"<ProgramFilesDir>", CSIDL_PROGRAM_FILES},
    {L"<WinDir>", CSIDL_WINDOWS},
    {L"<SystemDir>", CSIDL_SYSTEM},
    {L"<StartMenu>", CSIDL_STARTMENU},
    {L"<Desktop>", CSIDL_DESKTOP},
    {L"<CommonAppDataDir>", CSIDL_COMMON_APPDATA},
    {L"<CommonProgramFilesDir>", CSIDL_PROGRAM_FILES_COMMON},
    {L"<CommonDesktopDir>", CSIDL_COMMON_DESKTOPDIRECTORY},
    {L"<CurrentDrive>", 0},
    {L"<ApplicationDir>", 0},
}};

struct ItemListTraits {
    using Handle = LPITEMIDLIST;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept {
        renewix::ComPtr<IMalloc> allocator;
        if (SUCCEEDED(SHGetMalloc(allocator.put()))) allocator->Free(h);
    }
};

// Parses one dotted version text into four components; false when malformed.
bool ParseVersion(std::wstring_view text, std::array<std::uint32_t, 4>& parts) {
    parts.fill(0);
    std::size_t count = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(L'.', start);
        if (end == std::wstring_view::npos) end = text.size();
        std::wstring_view component = text.substr(start, end - start);
        if (!component.empty()) {
            if (count == 4) return false;
            std::uint64_t value = 0;
            for (wchar_t c : component) {
                if (c < L'0' || c > L'9') return false;
                value = value * 10 + static_cast<std::uint64_t>(c - L'0');
                // A component beyond 32 bits would overflow the comparison: malformed.
                if (value > 0xFFFFFFFFull) return false;
            }
            parts[count++] = static_cast<std::uint32_t>(value);
        }
        start = end + 1;
    }
    return count > 0;
}

}  // namespace

std::wstring ModulePath() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, length < MAX_PATH ? length : MAX_PATH);
}

std::wstring FullPathName(const std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) return {};
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

bool IsFolderPath(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void SplitDriveAndDirectory(const std::wstring& path, std::wstring* drive, std::wstring* directory) {
    std::size_t rootEnd = 0;
    if (path.size() >= 2 && path[1] == L':') {
        rootEnd = 2;
    }
    std::wstring rest = path.substr(rootEnd);
    std::size_t lastSlash = rest.find_last_of(L"\\/");
    if (drive) *drive = path.substr(0, rootEnd);
    if (directory) *directory = lastSlash == std::wstring::npos ? std::wstring() : rest.substr(0, lastSlash + 1);
}

std::wstring ApplicationDirectory() {
    std::wstring drive, directory;
    SplitDriveAndDirectory(ModulePath(), &drive, &directory);
    return drive + directory;
}

std::wstring ApplicationDrive() {
    std::wstring drive;
    SplitDriveAndDirectory(ModulePath(), &drive, nullptr);
    return drive;
}

std::wstring ExpandDirectoryMacro(const std::wstring& macro) {
    if (macro == L"<ApplicationDir>") return ApplicationDirectory();
    if (macro == L"<CurrentDrive>") return ApplicationDrive();
    for (const DirectoryMacro& row : kDirectoryMacros) {
        if (!EqualsNoCase(macro, row.name)) continue;
        renewix::UniqueResource<ItemListTraits> items;
        if (FAILED(SHGetSpecialFolderLocation(nullptr, row.folder, items.put())) || !items) {
            return ApplicationDirectory();
        }
        wchar_t path[MAX_PATH] = {};
        if (!SHGetPathFromIDListW(items.get(), path)) return ApplicationDirectory();
        return path;
    }
    return ApplicationDirectory();
}

std::wstring ExpandPathMacros(const std::wstring& text) {
    std::size_t open = text.find(L'<');
    if (open == std::wstring::npos) return text;
    std::size_t close = text.find(L'>', open);
    if (close == std::wstring::npos) return text;
    std::wstring macro = text.substr(open, close - open + 1);
    return NormalizePath(ExpandDirectoryMacro(macro) + text.substr(close + 1));
}

std::wstring FileNamePart(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring NormalizePath(const std::wstring& input) {
    std::wstring path = input;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    bool network = false;
    if (path.size() >= 2) {
        if (path[0] == L'\\' && path[1] == L'\\') {
            network = true;
        } else if (path[0] == L'.') {
            wchar_t full[MAX_PATH] = {};
            DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
            if (length > 0 && length < MAX_PATH) path.assign(full, length);
        }
    }
    ReplaceAll(path, L"\\\\", L"\\");
    ReplaceAll(path, L"\\\\", L"\\");
    if (network) path.insert(0, 1, L'\\');
    return path;
}

std::wstring FormatFileVersion(unsigned long ms, unsigned long ls) {
    if (ls != 0) {
        return FormatText(L"%d.%d.%d.%d", HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls));
    }
    if (ms != 0) return FormatText(L"%d.%d", HIWORD(ms), LOWORD(ms));
    return {};
}

std::wstring FileVersionString(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<std::uint8_t> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return {};
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info ||
        infoSize < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    return FormatFileVersion(info->dwFileVersionMS, info->dwFileVersionLS);
}

int CompareVersions(std::wstring_view first, std::wstring_view second) {
    std::array<std::uint32_t, 4> a{}, b{};
    if (!ParseVersion(first, a)) return -21;
    if (!ParseVersion(second, b)) return -22;
    for (std::size_t i = 0; i < 4; ++i) {
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
    }
    return 0;
}
