#include "install/permission_service.h"

#include <windows.h>

#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "session/client_config.h"

PermissionKeyword RecognisePermissionKeyword(const std::wstring& commandLine) {
    std::size_t start = commandLine.find_first_not_of(L"-/\\");
    std::wstring text = start == std::wstring::npos ? std::wstring() : commandLine.substr(start);
    ReplaceAll(text, L"PermissionsManager", L"PermissionManager");
    if (EqualsNoCase(text, L"PermissionManagerInstall")) return PermissionKeyword::Install;
    if (EqualsNoCase(text, L"PermissionManagerUninstall")) return PermissionKeyword::Uninstall;
    if (EqualsNoCase(text, L"PermissionManagerRun")) return PermissionKeyword::Run;
    if (EqualsNoCase(text, L"PermissionManagerCheckInstalled")) return PermissionKeyword::CheckInstalled;
    return PermissionKeyword::None;
}

std::wstring ServiceStopEventName(std::uint32_t instance) { return FormatText(L"RenewixStop%d", instance); }

bool IsServiceInstalled() {
    // The running service holds its stop event open, so an existing event means installed.
    renewix::UniqueHandle event(
        CreateEventW(nullptr, TRUE, FALSE, ServiceStopEventName(ClientConfig::Instance().InstanceNumber()).c_str()));
    return event && GetLastError() == ERROR_ALREADY_EXISTS;
}

bool RunPermissionManagerCommand(const std::wstring& commandLine, int* exitCode) {
    *exitCode = 0;
    switch (RecognisePermissionKeyword(commandLine)) {
        case PermissionKeyword::None:
            return false;
        case PermissionKeyword::CheckInstalled:
            *exitCode = IsServiceInstalled() ? 1 : 0;
            return true;
        case PermissionKeyword::Install:
        case PermissionKeyword::Uninstall:
        case PermissionKeyword::Run:
            // The service itself is not part of this client yet: the keyword ends the run
            // without touching the service control manager.
            return true;
    }
    return false;
}
