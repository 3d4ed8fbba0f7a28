#include "service/service_root.h"

#include <aclapi.h>
#include <sddl.h>

#include "foundation/text.h"

namespace PermissionManager {

namespace {

// Every right that changes a file, a folder's contents, its access list or its owner. A
// generic right counts too: inheritable entries carry them until they are applied.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;

const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsSidText(PSID sid, const wchar_t* text) {
    PSID other = nullptr;
    if (!ConvertStringSidToSidW(text, &other)) return false;
    renewix::UniqueLocalMem held(other);
    return EqualSid(sid, other) != FALSE;
}

bool IsTrustedAccount(PSID sid, PSID serviceAccount) {
    if (!sid || !IsValidSid(sid)) return false;
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsSidText(sid, kTrustedInstaller) || (serviceAccount && EqualSid(sid, serviceAccount));
}

// An entry that only passes to what is created inside, for the creator: only those who may
// create there get it, and the folder's own entries decide who they are.
bool IsForCreatorOnly(const ACE_HEADER& header, PSID sid) {
    return (header.AceFlags & INHERIT_ONLY_ACE) != 0 && IsWellKnownSid(sid, WinCreatorOwnerSid);
}

bool AllowsOthersToChange(const ACE_HEADER* header, PSID serviceAccount) {
    switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // Both start with the header, the mask and the SID.
            const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
            if ((ace->Mask & kChangeRights) == 0) return false;
            PSID sid = const_cast<DWORD*>(&ace->SidStart);
            return !IsTrustedAccount(sid, serviceAccount) && !IsForCreatorOnly(*header, sid);
        }
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_COMPOUND_ACE_TYPE: {
            // Not used on files: whom it names is not read, so any change right it grants counts.
            const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
            return (ace->Mask & kChangeRights) != 0;
        }
        default:
            return false;  // denials, audits and labels take nothing away from this verdict
    }
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsPlainName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L".." || EqualsNoCase(name, L"CONOUT$")) return false;
    return name.find_first_of(L"\\/:") == std::wstring::npos;
}

// What a descriptor read with GetSecurityInfo says, or why none could be read.
RootCheck Judge(HANDLE handle, const std::wstring& path, PSID serviceAccount) {
    RootCheck check;
    check.path = path;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        check.readError = error;
        return check;
    }
    renewix::UniqueLocalMem held(descriptor);
    check.rights = WhoMayChange(descriptor, serviceAccount);
    return check;
}

}  // namespace

ChangeRights WhoMayChange(PSECURITY_DESCRIPTOR descriptor, PSID serviceAccount) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) {
        return ChangeRights::NoAccessList;
    }
    PSID owner = nullptr;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !IsTrustedAccount(owner, serviceAccount)) {
        return ChangeRights::OwnerNotTrusted;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(dacl, index, &ace)) return ChangeRights::OthersMayChange;  // unreadable: assume the worst
        if (AllowsOthersToChange(static_cast<const ACE_HEADER*>(ace), serviceAccount)) {
            return ChangeRights::OthersMayChange;
        }
    }
    return ChangeRights::OnlyAdministrators;
}

std::vector<BYTE> ServiceAccountBesidesSystem() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return {};
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    renewix::UniqueHandle held(token);
    std::vector<BYTE> buffer(256);
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
        buffer.resize(needed);
        if (!GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed)) return {};
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    std::vector<BYTE> copy(GetLengthSid(sid));
    if (!CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) return {};
    return copy;
}

std::wstring DrivePathOf(HANDLE handle) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(length + 1);
    }
    const std::wstring path(buffer.begin(), buffer.end());
    // "\\?\C:\..." only: "\\?\UNC\..." is a share and "\\?\Volume{...}" has no drive letter.
    const bool drive = path.size() >= 7 && path.compare(0, 4, L"\\\\?\\") == 0 && path[5] == L':' &&
                       path[6] == L'\\' && ((path[4] >= L'A' && path[4] <= L'Z') || (path[4] >= L'a' && path[4] <= L'z'));
    if (!drive) {
        SetLastError(ERROR_BAD_PATHNAME);
        return {};
    }
    return path.substr(4);
}

ServiceRoot::ServiceRoot(const std::wstring& executable) {
    const std::size_t slash = executable.rfind(L'\\');
    if (slash == std::wstring::npos) {
        SetLastError(ERROR_BAD_PATHNAME);
        return;
    }
    // Shares reading and writing (files inside are created, changed and moved as ever), never
    // deletion: nobody else may open the folder itself to rename or remove it.
    folder_.reset(CreateFileW(executable.substr(0, slash + 1).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr));
    if (!folder_) return;
    path_ = DrivePathOf(folder_.get());
    if (!path_.empty() && path_.back() != L'\\') path_ += L'\\';
}

RootCheck CheckRoot(const ServiceRoot& root, const std::wstring& executable) {
    std::vector<BYTE> account = ServiceAccountBesidesSystem();
    PSID serviceAccount = account.empty() ? nullptr : account.data();

    RootCheck folder = Judge(root.handle(), root.path(), serviceAccount);
    if (!folder.safe()) return folder;

    RootCheck file;
    file.path = executable;
    renewix::UniqueFile handle(CreateFileW(executable.c_str(), READ_CONTROL,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (!handle) {
        file.readError = GetLastError();
        return file;
    }
    // The file judged must be the one in R, whatever spelling `executable` had.
    const std::wstring final = DrivePathOf(handle.get());
    const std::size_t slash = final.rfind(L'\\');
    if (final.empty() || slash == std::wstring::npos || !EqualsNoCase(final.substr(0, slash + 1), root.path())) {
        file.readError = ERROR_BAD_PATHNAME;
        return file;
    }
    return Judge(handle.get(), executable, serviceAccount);
}

std::wstring OwnFilePath(const std::wstring& root, const std::wstring& configured, const std::wstring& fallback) {
    const std::wstring name = configured.empty() ? fallback : configured;
    if (name.find(L'\\') == std::wstring::npos) return IsPlainName(name) ? root + name : std::wstring();
    // A full path the configuration gave: only inside R, and only plain names below it.
    if (!StartsWithNoCase(name, root)) return {};
    std::wstring rest = name.substr(root.size());
    for (std::size_t start = 0;;) {
        const std::size_t slash = rest.find(L'\\', start);
        if (!IsPlainName(rest.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start))) {
            return {};
        }
        if (slash == std::wstring::npos) break;
        start = slash + 1;
    }
    return name;
}

}  // namespace PermissionManager
