// Who may open the permission manager's pipe, and who is at its other end.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "foundation/win_resource.h"

namespace PermissionManager {

// The pipe admits the local system account and administrators fully, and locally logged-on
// interactive users with read and write-data access only: never network or anonymous
// callers, and no user may create an instance of the pipe. Owned by the administrators, so
// that a client can tell the service's pipe from one an ordinary user made.
extern const wchar_t kPipeSecurityDescriptor[];

// What a client asks for: reading and writing data (not FILE_CREATE_PIPE_INSTANCE, which
// GENERIC_WRITE would include and the descriptor refuses to users).
inline constexpr DWORD kPipeClientAccess = GENERIC_READ | FILE_WRITE_DATA;

// Security attributes with the pipe's descriptor; handles made with them are not inherited.
class PipeSecurity {
public:
    PipeSecurity();
    PipeSecurity(const PipeSecurity&) = delete;
    PipeSecurity& operator=(const PipeSecurity&) = delete;

    [[nodiscard]] bool valid() const { return descriptor_.valid(); }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    renewix::UniqueLocalMem descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};

// Whether a pipe (either end) is owned by the local system account or the administrators,
// which only the service, not an ordinary user, can make it.
bool IsPipeOwnerTrusted(HANDLE pipe);

// The process at the client end of a server pipe; nothing when the system does not say.
std::optional<DWORD> PipeClientProcess(HANDLE pipe);

// A process's image name as the system recorded it when the process started, in its native
// form ("\Device\HarddiskVolume1\...") or, where the system cannot give that, its Win32
// form; empty when neither. Nothing is opened but the process: the path itself is never
// looked at, so nobody can swap a file between the question and the answer.
std::wstring ProcessImageName(HANDLE process);
// The service's own image name, as ProcessImageName gives it.
std::wstring OwnNativeImage();

// Whether the client of a server pipe runs the same image as the service: its image name,
// as ProcessImageName gives it, is `ownNativeImage` exactly (case and spelling included).
bool IsClientImage(HANDLE pipe, const std::wstring& ownNativeImage);


}  // namespace PermissionManager
