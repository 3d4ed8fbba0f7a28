// Command-line keywords that turn the client into the permission-manager service's tool.
#pragma once

#include <cstdint>
#include <string>

enum class PermissionKeyword { None, Install, Uninstall, Run, CheckInstalled };

// Recognises the four keywords: leading "-", "/", "\" removed, "PermissionsManager"
// (exactly so spelled) read as "PermissionManager", then compared whole without case.
PermissionKeyword RecognisePermissionKeyword(const std::wstring& commandLine);

std::wstring ServiceStopEventName(std::uint32_t instance);
bool IsServiceInstalled();

// Handles a keyword; returns true when the command line was one (the client then ends).
// `exitCode` receives the process's exit code.
bool RunPermissionManagerCommand(const std::wstring& commandLine, int* exitCode);
