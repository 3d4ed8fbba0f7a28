#include "service/staged_document.h"

#include <windows.h>

#include <mutex>

#include "description/file_list.h"
#include "description/registry_list.h"
#include "description/signed_document.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"

namespace PermissionManager {

namespace {

std::wstring FloorValueName(std::uint32_t instance) { return FormatText(L"VersionFloor%u", instance); }

// The document's own spelling of the service's folder replaced by the service's final path.
std::wstring Rebase(const std::wstring& path, const std::wstring& applicationDirectory, const std::wstring& root) {
    if (applicationDirectory.empty() || !IsInside(path, applicationDirectory)) return path;
    return root + path.substr(std::min(path.size(), applicationDirectory.size()));
}

}  // namespace

StagedAuthorisation ReadStagedDocument(std::string_view bytes, const TrustedKeys& keys, std::uint64_t now,
                                       const std::wstring& floor, const std::wstring& root,
                                       const std::wstring& applicationDirectory, Log& log) {
    StagedAuthorisation result;
    // Without keys nothing can be told apart from a forgery.
    if (!keys.Configured()) return result;
    try {
        SignedDocumentCheck check = CheckSignedDocument(bytes, keys, now);
        if (check.refusal == DocumentRefusal::Expired) result.verdict = StagedVerdict::Expired;
        if (check.refusal != DocumentRefusal::None || !check.document) return result;
        if (check.expires.empty() || !ParseUtcTime(check.expires, result.expiresAt)) {
            result.verdict = StagedVerdict::NoExpiry;
            return result;
        }
        const XmlDocument& document = *check.document;
        XmlNode version = document.SelectSingle(L"Renewix/UpdateVersion");
        result.version = version ? version.Text() : std::wstring();
        if (result.version.empty() || CompareVersions(result.version, L"0") < 0) {
            result.verdict = StagedVerdict::NoVersion;
            return result;
        }
        if (!floor.empty() && CompareVersions(result.version, floor) == -1) {
            result.verdict = StagedVerdict::BelowFloor;
            return result;
        }
        if (XmlNode list = document.SelectSingle(L"Renewix/FileList")) {
            DownloadFile files(root + kStagingFolderName, log);
            files.ListEveryEntry();
            files.Read(list, L"");
            for (const FileEntry& entry : files.Entries()) {
                const std::wstring destination = Rebase(entry.destination, applicationDirectory, root);
                if (!entry.sha256 || entry.size == 0 || !AdmitPath(destination, root)) continue;
                // Nothing in the service's staging or its own files is ever a destination.
                ServiceScope scope{root, L"", L""};
                if (ZoneOf(destination, scope) != Zone::Product) continue;
                result.allow.placements.push_back({destination, *entry.sha256, entry.size,
                                                   entry.registerServer != 0, entry.unzip != 0});
            }
        }
        if (XmlNode list = document.SelectSingle(L"Renewix/RegList")) {
            DownloadRegistry registry(log);
            registry.Read(list, L"");
            for (const RegistryEntry& entry : registry.Entries()) {
                if (IsMachineRegistryPath(entry.keyPath)) {
                    result.allow.registry.push_back({entry.keyPath, entry.valueName, entry.action});
                }
            }
        }
        result.verdict = StagedVerdict::Authorised;
    } catch (...) {
        // A document the DOM cannot read authorises nothing.
        result = StagedAuthorisation{};
    }
    return result;
}

bool ReadVersionFloor(std::uint32_t instance, std::wstring& floor) {
    floor.clear();
    renewix::UniqueRegKey key;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceStateKey, 0, KEY_READ, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    wchar_t text[64] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = 0;
    const LONG read = RegQueryValueExW(key.get(), FloorValueName(instance).c_str(), nullptr, &type,
                                       reinterpret_cast<BYTE*>(text), &size);
    if (read == ERROR_FILE_NOT_FOUND) return true;
    if (read != ERROR_SUCCESS || type != REG_SZ) return false;
    floor = text;
    return true;
}

bool RaiseVersionFloor(std::uint32_t instance, const std::wstring& version) {
    // Sessions raise it at once: read and write as one, so that it never goes down.
    static std::mutex lock;
    std::lock_guard hold(lock);
    std::wstring floor;
    if (!ReadVersionFloor(instance, floor)) return false;
    if (!floor.empty() && CompareVersions(version, floor) != 1) return true;
    renewix::UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceStateKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExW(key.get(), FloorValueName(instance).c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(version.c_str()),
                          static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring StagedVerdictText(StagedVerdict verdict) {
    switch (verdict) {
        case StagedVerdict::Authorised: return L"authorised";
        case StagedVerdict::Refused: return L"not signed by a key of the service";
        case StagedVerdict::NoExpiry: return L"signed without an expiry";
        case StagedVerdict::Expired: return L"expired";
        case StagedVerdict::NoVersion: return L"without an update version";
        case StagedVerdict::BelowFloor: return L"older than an update already carried out";
    }
    return L"";
}

}  // namespace PermissionManager
