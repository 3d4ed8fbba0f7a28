// The permission-manager service's glue: its keywords, installation and removal, and what
// the service control manager calls. The work itself is the pipe server's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class ClientConfig;
class Log;

enum class PermissionKeyword { None, Install, Uninstall, Run, CheckInstalled };

// Recognises the four keywords: leading "-", "/", "\" removed, "PermissionsManager"
// (exactly so spelled) read as "PermissionManager", then compared whole without case.
PermissionKeyword RecognisePermissionKeyword(const std::wstring& commandLine);

std::wstring ServiceStopEventName(std::uint32_t instance);

// "%s: %s update permissions manager. %d.": company, application, instance number.
std::wstring FormatServiceName(const std::wstring& company, const std::wstring& application, std::uint32_t instance);
// The service's program: the executable, quoted so that a path with blanks names only it,
// then " -PermissionManagerRun".
std::wstring ServiceCommandLine(const std::wstring& executablePath);
// "%s\r\nError ID: %d".
std::wstring ServiceErrorText(const std::wstring& text, unsigned long errorCode);
// The folder whose existence refuses an installation from `applicationDirectory`: a sibling
// "UpdateServer" of a folder path containing "UpdateClient"; empty when none applies.
std::wstring UpdateServerSibling(const std::wstring& applicationDirectory);

// These name the service after the configuration RunPermissionManagerCommand was handed.
bool IsServiceInstalled();
int InstallService();
int UninstallService();
// Sets the running service's stop event and gives the service time to finish.
void SignalServiceStop();
void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceControlHandler(DWORD control);
// A failure of the service or its keywords, with the thread's last error: a message box, or
// the event log under the service's name when running as the service, where nobody would
// see a window.
void ShowServiceError(const std::wstring& text);

// Handles a keyword; returns true when the command line was one (the client then ends).
// `exitCode` receives the process's exit code. The service is named after `config`, and its
// sessions log to `log`.
bool RunPermissionManagerCommand(const std::wstring& commandLine, int* exitCode, const ClientConfig& config,
                                 Log& log);
