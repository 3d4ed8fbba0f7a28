// What the permission manager may do for a request: decided from the request, the service's
// own folder and what a signed document the service verified itself lists, never from who
// asks. Pure: no file system or registry call is made here, so every rule is unit-tested.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/crypto.h"
#include "service/pipe_protocol.h"

namespace PermissionManager {

// The name of the staging folder inside the service's folder, where downloads, backups and
// the verified document wait.
inline constexpr wchar_t kStagingFolderName[] = L"RenewixFiles";
// The signed document the client verified, written to staging before installing.
inline constexpr wchar_t kStagedDocumentName[] = L"update.xml";

// Where the service acts.
struct ServiceScope {
    std::wstring root;        // R: the final path of the service's folder, ending in a backslash
    std::wstring logFile;     // the log and status files of the service's own configuration:
    std::wstring statusFile;  // full paths under R, or empty
    std::wstring Staging() const { return root + kStagingFolderName + L"\\"; }
    // Where the status file is written in full before it replaces the old one, so that a
    // crash in between leaves one of them whole: an own file too.
    std::wstring StatusCompanion() const { return statusFile.empty() ? std::wstring() : statusFile + L".new"; }
    std::wstring StagedDocument() const { return Staging() + kStagedDocumentName; }
};

// A path the service may look at: full, spelled so that it names one file only, under `root`
// (with a separator: "...\Vendor2\x" is not under "...\Vendor\"). Refused: relative, UNC,
// "\\?\", "\\.\", forward slashes, streams, device names, "." or ".." components, trailing
// dots or blanks, short names ("PROGRA~1"), control characters. Nothing when refused; else
// the path as given (already canonical).
std::optional<std::wstring> AdmitPath(const std::wstring& path, const std::wstring& root);

// Whether `path` (admitted) lies inside `folder` (ending in a backslash), or is it without
// the backslash. Case-insensitive, as the file system is.
bool IsInside(const std::wstring& path, const std::wstring& folder);
bool SamePath(const std::wstring& first, const std::wstring& second);

enum class Zone {
    Staging,  // inside R\RenewixFiles\ (or the folder itself)
    OwnFile,  // the log or status file of the service's configuration, or the status file's companion
    Product,  // anything else under R
};
Zone ZoneOf(const std::wstring& admittedPath, const ServiceScope& scope);

// A file the verified document places under R.
struct Placement {
    std::wstring destination;  // full path under R
    Sha256Digest sha256{};
    std::uint64_t size = 0;
    bool registerServer = false;
    bool unzip = false;  // an archive extracted into the destination's folder
};

// A machine-wide registry change the verified document lists: the key path as the document
// spells it ("HKEY_LOCAL_MACHINE\..." or "HKEY_CLASSES_ROOT\..."), the value and the action.
struct RegistryGrant {
    std::wstring keyPath;
    std::wstring valueName;
    std::wstring action;
};

// What the verified document authorises.
struct AllowList {
    std::vector<Placement> placements;
    // The files the listed (and hashed) archives write: may be set aside and put back.
    std::vector<std::wstring> archiveTargets;
    std::vector<RegistryGrant> registry;

    const Placement* PlacementFor(const std::wstring& destination) const;
    bool IsArchiveTarget(const std::wstring& path) const;
    // Whether a folder holds (at any depth) a listed destination or archive target.
    bool HoldsListedPath(const std::wstring& folder) const;
};

// The check on content that the service makes before carrying out an allowed request.
enum class ContentCheck {
    None,
    // Move out of staging to a listed destination: the staged file's SHA-256 is the listed
    // one, or the file is the backup the service itself set aside from that destination.
    StagedPlacement,
    // Move of a listed destination or archive target into staging: the service notes the
    // bytes it set aside, so that only those can come back.
    SetAside,
    // Unzip: the staged archive's SHA-256 is that of the listed archive for this folder.
    ListedArchive,
    // RegisterServer and UnregisterServer: the destination holds the listed bytes, hashed again
    // before loading.
    ListedServer,
    // Delete of a folder on the way to a listed file (one a roll-back made): only an empty
    // folder goes, never a file.
    EmptyFolder,
};

enum class OpenKind { Refused, ReadWrite, ReadOnly };

struct Decision {
    bool allowed = false;
    // Why the request is refused, or the check to make.
    ContentCheck check = ContentCheck::None;
    // Refused because it needs a verified document and none was given: reading the staged
    // document may allow it.
    bool needsDocument = false;
    // The listed entry a check compares with (for an archive, the first listed for the folder:
    // the handler compares with each of them).
    const Placement* placement = nullptr;
    std::wstring path;                     // what a refusal's log line names
    explicit operator bool() const { return allowed; }
};

// The rules, for any request the parser accepted. `allow` is null when no verified document
// is at hand: then only the free zones are served and anything needing authority is refused
// with `needsDocument` set. Write, Read, Close and SetTimes act on an issued file and are
// decided when it is opened.
Decision Decide(const Wire::Request& request, const ServiceScope& scope, const AllowList* allow);

// An open's access, disposition and flags: from a short list, and only what the zone allows.
OpenKind ClassifyOpen(const Wire::OpenRequest& open, Zone zone);

// Whether a registry key path names a machine-wide key the service may change:
// "HKEY_LOCAL_MACHINE\..." or "HKEY_CLASSES_ROOT\..." spelled out (the registry operations
// read a short form as a key of the service's own hive), never another user's hive.
bool IsMachineRegistryPath(const std::wstring& keyPath);

}  // namespace PermissionManager
