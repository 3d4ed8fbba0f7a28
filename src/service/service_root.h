// The folder the permission manager acts in (R): the folder of its own executable, held open
// while the service runs, and checked so that only the administrators can change it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "foundation/win_resource.h"

namespace PermissionManager {

// Who may change a file or folder, by its security descriptor.
enum class ChangeRights {
    // Only the local system account, the administrators, TrustedInstaller (and the account
    // the service runs as) may write, delete, or change the access list or the owner.
    OnlyAdministrators,
    // The owner is someone else: an owner may always rewrite the access list.
    OwnerNotTrusted,
    // No access list, or a NULL one: everybody may do anything.
    NoAccessList,
    // An access-allowed entry gives another account a right to change it (or, on a folder,
    // to change what is created in it).
    OthersMayChange,
};

// Pure: decided from the descriptor alone. `serviceAccount` (null for none) is trusted as the
// administrators are; deny entries are not weighed, so a refusal may be stricter than Windows.
ChangeRights WhoMayChange(PSECURITY_DESCRIPTOR descriptor, PSID serviceAccount);

// The account the service runs as, when it is not the local system account: under Wine every
// program and every service runs with the Unix user's token, which also owns every file
// (docs/wine-notes.md). Empty on Windows.
std::vector<BYTE> ServiceAccountBesidesSystem();

// R, opened with a handle that refuses to share deletion, so that on Windows the folder can
// neither be renamed nor removed while the service holds it (Wine does not enforce that).
class ServiceRoot {
public:
    // Opens the folder holding `executable` (a full path).
    explicit ServiceRoot(const std::wstring& executable);

    // False when the folder could not be opened or has no drive-letter path; the thread's
    // last error then says why.
    [[nodiscard]] bool valid() const { return folder_.valid() && !path_.empty(); }
    // Its final path ("C:\Program Files\Vendor\"): long names, the case on disk, links
    // resolved, ending in a backslash.
    const std::wstring& path() const { return path_; }
    HANDLE handle() const { return folder_.get(); }

private:
    renewix::UniqueFile folder_;
    std::wstring path_;
};

// The final path of an open file or folder, from "\\?\X:\..." to "X:\..."; empty when the
// system gives none or only a volume or network path (the service serves drive letters only).
std::wstring DrivePathOf(HANDLE handle);

// What the check of R and the service's executable found.
struct RootCheck {
    ChangeRights rights = ChangeRights::OnlyAdministrators;
    std::wstring path;       // what was found changeable or unreadable: R or the executable
    DWORD readError = 0;     // why a descriptor could not be read; 0 when it was read
    [[nodiscard]] bool safe() const { return readError == 0 && rights == ChangeRights::OnlyAdministrators; }
};

// Reads the descriptors of R (through its handle) and of `executable` (through a handle of
// its own) and judges them with WhoMayChange. An executable outside R is refused as
// unreadable (ERROR_BAD_PATHNAME).
RootCheck CheckRoot(const ServiceRoot& root, const std::wstring& executable);

// The full path of the service's own log or status file: `configured` (or `fallback` when
// empty) inside R. A configured full path counts only inside R; a name with "..", a stream
// or the console counts as none (empty).
std::wstring OwnFilePath(const std::wstring& root, const std::wstring& configured, const std::wstring& fallback);

}  // namespace PermissionManager
