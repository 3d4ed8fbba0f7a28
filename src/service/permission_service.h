// The permission-manager service's glue: its keywords, installation and removal, and what
// the service control manager calls. The work itself is the pipe server's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class ClientConfig;
class Log;
class TrustedKeys;

namespace PermissionManager {
struct RootCheck;
}

enum class PermissionKeyword { None, Install, Uninstall, Run, CheckInstalled };

// Recognises the four keywords: leading "-", "/", "\" removed, "PermissionsManager"
// (exactly so spelled) read as "PermissionManager", then compared whole without case.
PermissionKeyword RecognisePermissionKeyword(const std::wstring& commandLine);

// The event whose setting ends the running service. Only the service creates it, for the local
// system account and the administrators alone, and it refuses to start when the name exists.
std::wstring ServiceStopEventName(std::uint32_t instance);
extern const wchar_t kStopEventSecurity[];

// Why a started service stopped: its service-specific exit code (with dwWin32ExitCode
// ERROR_SERVICE_SPECIFIC_ERROR).
enum class ServiceFailure : DWORD {
    None = 0,
    RootUnreadable = 1,    // R or the executable could not be opened or its rights read
    RootChangeable = 2,    // others than the administrators can change R or the executable
    NoTrustedKeys = 3,     // the executable trusts no signing keys
    StopEventTaken = 4,    // someone else made the stop event first
    PipeServerFailed = 5,  // the pipe could not be served
};

// "%s: %s update permissions manager. %d.": company, application, instance number.
std::wstring FormatServiceName(const std::wstring& company, const std::wstring& application, std::uint32_t instance);
// The service's program: the executable, quoted so that a path with blanks names only it,
// then " -PermissionManagerRun".
std::wstring ServiceCommandLine(const std::wstring& executablePath);
// "%s\r\nError ID: %d".
std::wstring ServiceErrorText(const std::wstring& text, unsigned long errorCode);
// Whether keys can verify a document: at least one key, and the resource not damaged.
bool HasUsableKeys(const TrustedKeys& keys);
// What the installation ("install") or a starting service ("start") says when R or the
// executable is not safe: the folder or the program named, R without its last backslash.
std::wstring RootRefusalText(const std::wstring& action, const PermissionManager::RootCheck& check);
// What it says when the executable trusts no keys.
std::wstring NoKeysText(const std::wstring& action);

// The folder whose existence refuses an installation from `applicationDirectory`: a sibling
// "UpdateServer" of a folder path containing "UpdateClient"; empty when none applies.
std::wstring UpdateServerSibling(const std::wstring& applicationDirectory);

// These name the service after the configuration RunPermissionManagerCommand was handed.
// Whether the service runs: the service control manager says so, or its stop event exists
// (seen only from the service's own session; what earlier versions looked for).
bool IsServiceInstalled();
// Refuses an executable without usable keys or in a folder others can change; sets the
// service to restart after a crash.
int InstallService();
// Stops the service through the service control manager, waiting for it a while, and
// removes it.
int UninstallService();
void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceControlHandler(DWORD control);
// A failure of the service or its keywords, with the thread's last error: a message box, or
// the event log under the service's name when running as the service, where nobody would
// see a window.
void ShowServiceError(const std::wstring& text);
// A request the service refused: one line to the event log.
void ReportServiceRefusal(const std::wstring& line);

// Handles a keyword; returns true when the command line was one (the client then ends).
// `exitCode` receives the process's exit code. The service is named after `config`, and its
// sessions log to `log`.
bool RunPermissionManagerCommand(const std::wstring& commandLine, int* exitCode, const ClientConfig& config,
                                 Log& log);
