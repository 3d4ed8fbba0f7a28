// Registering a COM server library outside the service's own process.
#pragma once

#include <windows.h>

#include <string>

class Log;

namespace PermissionManager {

// How long a registration may take before its process is ended.
inline constexpr DWORD kRegistrationTimeoutMs = 30000;

enum class ServerRegistration { Register, Unregister };

// Runs the library's DllRegisterServer (or, to unregister, its DllUnregisterServer) in a
// short-lived child: the system's regsvr32.exe with "/s" (and "/u") and the quoted full path,
// in a job that ends it and anything it starts when this returns, inheriting no handle. A
// library that crashes or hangs costs the caller nothing but the wait. 1 when the child
// exited with 0 within `timeoutMs`; else 0 (the child ended first, the reason logged).
// regsvr32 exits with 3 when the library cannot be loaded, 4 when it lacks the export and 5
// when that failed (as Wine 8's does; docs/wine-notes.md).
int RegisterServerInChild(const std::wstring& libraryPath, DWORD timeoutMs, Log& log,
                          ServerRegistration what = ServerRegistration::Register);

}  // namespace PermissionManager
