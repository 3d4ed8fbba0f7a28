#include "service/request_policy.h"

#include <windows.h>

#include <array>
#include <variant>

#include "foundation/text.h"

namespace PermissionManager {

namespace {

// Names the file system maps to devices, with or without an extension.
constexpr std::array<const wchar_t*, 24> kDeviceNames{
    L"CON",  L"PRN",  L"AUX",  L"NUL",  L"COM1", L"COM2", L"COM3",   L"COM4",    L"COM5", L"COM6", L"COM7", L"COM8",
    L"COM9", L"LPT1", L"LPT2", L"LPT3", L"LPT4", L"LPT5", L"LPT6",   L"LPT7",    L"LPT8", L"LPT9", L"CONIN$", L"CONOUT$"};

// Open flags a client may ask for: file attributes and caching hints. Delete-on-close,
// backup semantics, reparse points, POSIX names and unbuffered I/O are never served.
constexpr DWORD kServedOpenFlags = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                                   FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_WRITE_THROUGH;

bool IsDeviceName(std::wstring_view component) {
    // The file system drops blanks before the extension too: "nul .txt" is the device.
    std::wstring_view base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    for (const wchar_t* device : kDeviceNames) {
        if (EqualsNoCase(base, device)) return true;
    }
    // "COM¹" and the like are devices too.
    if (base.size() == 4 && (EqualsNoCase(base.substr(0, 3), L"COM") || EqualsNoCase(base.substr(0, 3), L"LPT"))) {
        const wchar_t last = base[3];
        return last == L'\u00B9' || last == L'\u00B2' || last == L'\u00B3';
    }
    return false;
}

// A short name: "~" followed by a digit, as "PROGRA~1" has.
bool LooksShort(std::wstring_view component) {
    for (std::size_t at = component.find(L'~'); at != std::wstring_view::npos; at = component.find(L'~', at + 1)) {
        if (at + 1 < component.size() && component[at + 1] >= L'0' && component[at + 1] <= L'9') return true;
    }
    return false;
}

bool IsServedComponent(std::wstring_view component) {
    if (component.empty() || component == L"." || component == L"..") return false;
    if (component.back() == L'.' || component.back() == L' ') return false;
    if (component.find_first_of(L"<>\"|?*:") != std::wstring_view::npos) return false;
    // Look-alike separators, which a conversion to an 8-bit code page can turn into real ones.
    if (component.find_first_of(L"\uFF3C\uFF0F\u2215\u2216\u29F5\u00A5\u20A9") != std::wstring_view::npos) {
        return false;
    }
    return !IsDeviceName(component) && !LooksShort(component);
}

std::wstring WithoutTrailingSeparator(const std::wstring& path) {
    return !path.empty() && path.back() == L'\\' ? path.substr(0, path.size() - 1) : path;
}

std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

Decision Allow(ContentCheck check = ContentCheck::None, const Placement* placement = nullptr) {
    Decision decision;
    decision.allowed = true;
    decision.check = check;
    decision.placement = placement;
    return decision;
}

Decision Refuse(const std::wstring& path) {
    Decision decision;
    decision.path = path;
    return decision;
}

Decision NeedsDocument(const std::wstring& path) {
    Decision decision = Refuse(path);
    decision.needsDocument = true;
    return decision;
}

// The root of a registry key path, which must be followed by a separator and a sub-key.
std::wstring_view RegistryRoot(std::wstring_view keyPath) {
    const std::size_t slash = keyPath.find(L'\\');
    return slash == std::wstring_view::npos ? keyPath : keyPath.substr(0, slash);
}

Decision DecidePath(const Wire::PathRequest& request, const ServiceScope& scope, const AllowList* allow) {
    const std::optional<std::wstring> path = AdmitPath(request.path, scope.root);
    if (!path) return Refuse(request.path);
    const Zone zone = ZoneOf(*path, scope);
    switch (request.opcode) {
        case Wire::kGetAttributes:
            return Allow();
        case Wire::kDeleteTree:
            return zone == Zone::Staging ? Allow() : Refuse(*path);
        case Wire::kMakeDirectories:
            if (zone == Zone::Staging) return Allow();
            if (zone == Zone::OwnFile) return Refuse(*path);
            if (!allow) return NeedsDocument(*path);
            return allow->HoldsListedPath(*path) ? Allow() : Refuse(*path);
        case Wire::kDelete:
            if (zone == Zone::Staging) return Allow();
            // The status file makes way for its companion; the log is only ever written.
            if (zone == Zone::OwnFile) return SamePath(*path, scope.logFile) ? Refuse(*path) : Allow();
            if (!allow) return NeedsDocument(*path);
            if (allow->PlacementFor(*path) || allow->IsArchiveTarget(*path)) return Allow();
            return allow->HoldsListedPath(*path) ? Allow(ContentCheck::EmptyFolder) : Refuse(*path);
        // Taking a registration away needs the same authority as making it: the listed bytes.
        case Wire::kRegisterServer:
        case Wire::kUnregisterServer: {
            if (zone != Zone::Product) return Refuse(*path);
            if (!allow) return NeedsDocument(*path);
            const Placement* placement = allow->PlacementFor(*path);
            if (!placement || !placement->registerServer || placement->unzip) return Refuse(*path);
            return Allow(ContentCheck::ListedServer, placement);
        }
        default:
            return Refuse(*path);
    }
}

Decision DecideMove(const Wire::MoveRequest& move, const ServiceScope& scope, const AllowList* allow) {
    const std::optional<std::wstring> from = AdmitPath(move.from, scope.root);
    if (!from) return Refuse(move.from);
    const std::optional<std::wstring> to = AdmitPath(move.to, scope.root);
    if (!to) return Refuse(move.to);
    const Zone fromZone = ZoneOf(*from, scope);
    const Zone toZone = ZoneOf(*to, scope);
    // The staging folder itself is never moved: everything in it would go along unchecked.
    if (SamePath(WithoutTrailingSeparator(*from), WithoutTrailingSeparator(scope.Staging()))) return Refuse(*from);
    if (fromZone == Zone::Staging && toZone == Zone::Staging) return Allow();
    // The one move among own files: the status file's companion, written whole, replaces it.
    if (fromZone == Zone::OwnFile && toZone == Zone::OwnFile) {
        return SamePath(*from, scope.StatusCompanion()) && SamePath(*to, scope.statusFile) ? Allow() : Refuse(*to);
    }
    if (fromZone == Zone::Product && toZone == Zone::Staging) {
        if (!allow) return NeedsDocument(*from);
        const Placement* placement = allow->PlacementFor(*from);
        if (!placement && !allow->IsArchiveTarget(*from)) return Refuse(*from);
        return Allow(ContentCheck::SetAside, placement);
    }
    if (fromZone == Zone::Staging && toZone == Zone::Product) {
        if (!allow) return NeedsDocument(*to);
        const Placement* placement = allow->PlacementFor(*to);
        if (!placement && !allow->IsArchiveTarget(*to)) return Refuse(*to);
        return Allow(ContentCheck::StagedPlacement, placement);
    }
    return Refuse(fromZone == Zone::Product && toZone == Zone::Product ? *to : *from);
}

Decision DecideRegistry(const Wire::UpdateRegistryRequest& update, const AllowList* allow) {
    if (!IsMachineRegistryPath(update.keyPath)) return Refuse(update.keyPath);
    if (!allow) return NeedsDocument(update.keyPath);
    for (const RegistryGrant& grant : allow->registry) {
        if (EqualsNoCase(grant.keyPath, update.keyPath) && EqualsNoCase(grant.valueName, update.valueName) &&
            grant.action == update.action) {
            return Allow();
        }
    }
    return Refuse(update.keyPath);
}

Decision DecideUnzip(const Wire::UnzipRequest& unzip, const ServiceScope& scope, const AllowList* allow) {
    const std::optional<std::wstring> archive = AdmitPath(unzip.archivePath, scope.root);
    if (!archive || ZoneOf(*archive, scope) != Zone::Staging) return Refuse(unzip.archivePath);
    const std::optional<std::wstring> folder = AdmitPath(unzip.destination, scope.root);
    if (!folder || ZoneOf(*folder, scope) != Zone::Product) return Refuse(unzip.destination);
    if (!allow) return NeedsDocument(*folder);
    const std::wstring wanted = WithoutTrailingSeparator(*folder);
    for (const Placement& placement : allow->placements) {
        if (placement.unzip && SamePath(WithoutTrailingSeparator(FolderOf(placement.destination)), wanted)) {
            return Allow(ContentCheck::ListedArchive, &placement);
        }
    }
    return Refuse(*folder);
}

}  // namespace

std::optional<std::wstring> AdmitPath(const std::wstring& path, const std::wstring& root) {
    // "X:\" and nothing else: no UNC, no "\\?\" or "\\.\", nothing relative to a drive.
    if (path.size() < 4 || path[1] != L':' || path[2] != L'\\') return std::nullopt;
    const wchar_t drive = path[0];
    if (!((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z'))) return std::nullopt;
    for (const wchar_t c : path) {
        if (c < 0x20 || c == L'/') return std::nullopt;
    }
    // A folder may be named with one trailing separator; every component between must be a
    // plain name.
    const std::wstring body = WithoutTrailingSeparator(path.substr(3));
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = body.find(L'\\', start);
        const std::wstring_view component =
            std::wstring_view(body).substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!IsServedComponent(component)) return std::nullopt;
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    if (root.empty() || !IsInside(path, root)) return std::nullopt;
    return path;
}

bool SamePath(const std::wstring& first, const std::wstring& second) { return EqualsNoCase(first, second); }

bool IsInside(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || folder.back() != L'\\') return false;
    if (SamePath(WithoutTrailingSeparator(path), WithoutTrailingSeparator(folder))) return true;
    return path.size() > folder.size() && EqualsNoCase(std::wstring_view(path).substr(0, folder.size()), folder);
}

Zone ZoneOf(const std::wstring& admittedPath, const ServiceScope& scope) {
    if (IsInside(admittedPath, scope.Staging())) return Zone::Staging;
    if ((!scope.logFile.empty() && SamePath(admittedPath, scope.logFile)) ||
        (!scope.statusFile.empty() &&
         (SamePath(admittedPath, scope.statusFile) || SamePath(admittedPath, scope.StatusCompanion())))) {
        return Zone::OwnFile;
    }
    return Zone::Product;
}

const Placement* AllowList::PlacementFor(const std::wstring& destination) const {
    for (const Placement& placement : placements) {
        if (SamePath(placement.destination, destination)) return &placement;
    }
    return nullptr;
}

bool AllowList::IsArchiveTarget(const std::wstring& path) const {
    for (const std::wstring& target : archiveTargets) {
        if (SamePath(target, path)) return true;
    }
    return false;
}

bool AllowList::HoldsListedPath(const std::wstring& folder) const {
    const std::wstring bare = WithoutTrailingSeparator(folder);
    const std::wstring inside = bare + L"\\";
    for (const Placement& placement : placements) {
        if (IsInside(placement.destination, inside) && !SamePath(placement.destination, bare)) return true;
    }
    for (const std::wstring& target : archiveTargets) {
        if (IsInside(target, inside) && !SamePath(target, bare)) return true;
    }
    return false;
}

OpenKind ClassifyOpen(const Wire::OpenRequest& open, Zone zone) {
    if ((open.access & ~(GENERIC_READ | GENERIC_WRITE)) != 0) return OpenKind::Refused;
    if ((open.flags & ~kServedOpenFlags) != 0) return OpenKind::Refused;
    if (open.disposition < CREATE_NEW || open.disposition > TRUNCATE_EXISTING) return OpenKind::Refused;
    const bool writes = (open.access & GENERIC_WRITE) != 0 || open.disposition != OPEN_EXISTING;
    if (!writes) return OpenKind::ReadOnly;
    return zone == Zone::Product ? OpenKind::Refused : OpenKind::ReadWrite;
}

bool IsMachineRegistryPath(const std::wstring& keyPath) {
    // Spelled as the registry operations read it: a root, a separator, a sub-key of plain names.
    const std::wstring_view root = RegistryRoot(keyPath);
    if (root != L"HKEY_LOCAL_MACHINE" && root != L"HKEY_CLASSES_ROOT") return false;
    if (keyPath.size() <= root.size() + 1) return false;
    const std::wstring_view subKey = std::wstring_view(keyPath).substr(root.size() + 1);
    if (subKey.front() == L'\\' || subKey.back() == L'\\' || subKey.find(L"\\\\") != std::wstring_view::npos) {
        return false;
    }
    for (const wchar_t c : subKey) {
        if (c < 0x20) return false;
    }
    return true;
}

Decision Decide(const Wire::Request& request, const ServiceScope& scope, const AllowList* allow) {
    using namespace Wire;
    if (std::holds_alternative<GreetingRequest>(request) || std::holds_alternative<WriteRequest>(request) ||
        std::holds_alternative<ReadRequest>(request) || std::holds_alternative<CloseRequest>(request) ||
        std::holds_alternative<SetTimesRequest>(request)) {
        return Allow();
    }
    if (const auto* open = std::get_if<OpenRequest>(&request)) {
        const std::optional<std::wstring> path = AdmitPath(open->path, scope.root);
        if (!path || ClassifyOpen(*open, ZoneOf(*path, scope)) == OpenKind::Refused) return Refuse(open->path);
        return Allow();
    }
    if (const auto* path = std::get_if<PathRequest>(&request)) return DecidePath(*path, scope, allow);
    if (const auto* move = std::get_if<MoveRequest>(&request)) return DecideMove(*move, scope, allow);
    if (const auto* update = std::get_if<UpdateRegistryRequest>(&request)) return DecideRegistry(*update, allow);
    if (const auto* query = std::get_if<QueryRegistryRequest>(&request)) return Refuse(query->registryPath);
    if (const auto* unzip = std::get_if<UnzipRequest>(&request)) return DecideUnzip(*unzip, scope, allow);
    return Refuse(std::wstring());
}

}  // namespace PermissionManager
