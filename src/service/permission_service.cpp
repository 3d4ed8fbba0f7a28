#include "service/permission_service.h"

#include <atomic>
#include <exception>
#include <mutex>

#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "foundation/file_management.h"
#include "service/pipe_server.h"
#include "service/piped_file_management.h"
#include "foundation/client_config.h"

namespace {

const wchar_t kAlreadyInstalled[] = L"The update service is already installed or running";
const wchar_t kNoInstallRights[] =
    L"Unable to install service.\r\nYou may not have permissions to install a Windows service using the current "
    L"login credentials.";
const wchar_t kCreateFailed[] = L"Unable to install service. Most likely it already exists.";
const wchar_t kNoUninstallRights[] =
    L"Unable to uninstall service.\r\nYou may not have permissions to install a Windows service using the current "
    L"login credentials.";
const wchar_t kBlockedFolder[] =
    L"Do not install the permission manager in this directory, as it blocks the Renewix configuration tool from "
    L"rebuilding the update client executable. For testing, create a separate directory and install the "
    L"permission manager over there.";

// Status reporting is shared by the service's main thread and the control handler.
std::mutex g_statusLock;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
std::atomic<bool> g_runningAsService{false};

// Who this service is, and where its sessions log: set from what the keyword's handling is
// handed, before anything else here runs, because the service control manager calls
// ServiceMain and the control handler with nothing of ours.
struct ServiceIdentity {
    std::wstring name;
    std::uint32_t instance = 0;
    Log* log = nullptr;
    const ClientConfig* config = nullptr;
};
ServiceIdentity g_identity;

constexpr DWORD kStatusServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;

std::wstring OwnServiceName() { return g_identity.name; }

std::wstring OwnStopEventName() { return ServiceStopEventName(g_identity.instance); }

void ReportStatus(DWORD state, DWORD controlsAccepted) {
    std::lock_guard lock(g_statusLock);
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = controlsAccepted;
    if (g_statusHandle) SetServiceStatus(g_statusHandle, &g_status);
}

// The folder check before an installation; false when it refused (and said why).
bool FolderAllowsInstallation() {
    const std::wstring sibling = UpdateServerSibling(ApplicationDirectory());
    if (sibling.empty() || !IsFolderPath(sibling)) return true;
    ShowServiceError(kBlockedFolder);
    return false;
}

// One line for each refused request: a warning in the event log under the service's name.
void ReportRefusal(const std::wstring& line) {
    renewix::UniqueEventSource source(RegisterEventSourceW(nullptr, OwnServiceName().c_str()));
    const wchar_t* strings[] = {line.c_str()};
    if (source) ReportEventW(source.get(), EVENTLOG_WARNING_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
}

// Where the sessions act: the final path of the service's own folder.
PermissionManager::ServiceSettings SessionSettings() {
    const ClientConfig& config = *g_identity.config;
    PermissionManager::ServiceSettings settings;
    std::wstring folder = ApplicationDirectory();
    renewix::UniqueFile handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t final[MAX_PATH + 8] = {};
    if (handle && GetFinalPathNameByHandleW(handle.get(), final, MAX_PATH, VOLUME_NAME_DOS) > 0) {
        folder = final;
        if (StartsWith(folder, L"\\\\?\\")) folder.erase(0, 4);
        if (folder.back() != L'\\') folder += L'\\';
    }
    settings.scope.root = folder;
    if (!config.LogFileName().empty()) settings.scope.logFile = folder + config.LogFileName();
    std::wstring status = config.StatusFileName();
    settings.scope.statusFile = folder + (status.empty() ? std::wstring(L"RenewixStatus.xml") : status);
    settings.keys = config.Keys();
    settings.instance = g_identity.instance;
    settings.ownImage = ModulePath();
    settings.reportRefusal = ReportRefusal;
    return settings;
}

void RunServiceDispatcher() {
    std::wstring name = OwnServiceName();
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
}

}  // namespace

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

std::wstring FormatServiceName(const std::wstring& company, const std::wstring& application, std::uint32_t instance) {
    return FormatText(L"%ls: %ls update permissions manager. %d.", company.c_str(), application.c_str(), instance);
}

std::wstring ServiceCommandLine(const std::wstring& executablePath) {
    return L"\"" + executablePath + L"\" -PermissionManagerRun";
}

std::wstring ServiceErrorText(const std::wstring& text, unsigned long errorCode) {
    return FormatText(L"%ls\r\nError ID: %d", text.c_str(), static_cast<int>(errorCode));
}

std::wstring UpdateServerSibling(const std::wstring& applicationDirectory) {
    std::wstring folder = applicationDirectory;
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    const std::size_t client = folder.find(L"UpdateClient");
    const std::size_t slash = folder.rfind(L'\\');
    if (client == std::wstring::npos || client == 0 || slash == std::wstring::npos || slash == 0) return {};
    return folder.substr(0, slash) + L"\\UpdateServer\\";
}

bool IsServiceInstalled() {
    // The running service holds its stop event open, so an existing event means installed.
    renewix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, OwnStopEventName().c_str()));
    return event && GetLastError() == ERROR_ALREADY_EXISTS;
}

void ShowServiceError(const std::wstring& text) {
    const std::wstring message = ServiceErrorText(text, GetLastError());
    if (g_runningAsService) {
        renewix::UniqueEventSource source(RegisterEventSourceW(nullptr, OwnServiceName().c_str()));
        const wchar_t* strings[] = {message.c_str()};
        if (source) ReportEventW(source.get(), EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
        return;
    }
    MessageBoxW(nullptr, message.c_str(), L"Error", MB_OK | MB_ICONERROR);
}

int InstallService() {
    if (IsServiceInstalled()) {
        ShowServiceError(kAlreadyInstalled);
        return 0;
    }
    renewix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        ShowServiceError(kNoInstallRights);
        return 0;
    }
    const std::wstring name = OwnServiceName();
    const std::wstring command = ServiceCommandLine(ModulePath());
    renewix::UniqueServiceHandle service(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                        SERVICE_ERROR_IGNORE, command.c_str(), nullptr, nullptr,
                                                        nullptr, nullptr, nullptr));
    if (!service) {
        ShowServiceError(kCreateFailed);
        return 0;
    }
    StartServiceW(service.get(), 0, nullptr);
    return 1;
}

void SignalServiceStop() {
    renewix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, OwnStopEventName().c_str()));
    const bool running = event && GetLastError() == ERROR_ALREADY_EXISTS;
    if (!event) return;
    SetEvent(event.get());
    // Nobody held the event: no service to wait for.
    if (running) Sleep(5000);
}

int UninstallService() {
    SignalServiceStop();
    renewix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ShowServiceError(kNoUninstallRights);
        return 0;
    }
    renewix::UniqueServiceHandle service(
        OpenServiceW(manager.get(), OwnServiceName().c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 1;
    for (int attempt = 0; attempt < 3 && status.dwCurrentState != SERVICE_STOPPED; ++attempt) {
        if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status) && status.dwCurrentState == SERVICE_STOPPED) {
            break;
        }
        Sleep(1500);
        QueryServiceStatus(service.get(), &status);
    }
    // Removed even when it has not stopped yet: the manager deletes it once it stops, and an
    // uninstallation never leaves a service behind that starts again with the system.
    DeleteService(service.get());
    return 1;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_runningAsService = true;
    const std::wstring name = OwnServiceName();
    {
        std::lock_guard lock(g_statusLock);
        g_status = SERVICE_STATUS{kStatusServiceType, SERVICE_STOPPED, 0, 0, 0, 0, 0};
        g_statusHandle = RegisterServiceCtrlHandlerW(name.c_str(), ServiceControlHandler);
        if (!g_statusHandle) return;
    }
    ReportStatus(SERVICE_START_PENDING, 0);
    // Made before stops are accepted, so that a stop asked for at once is not lost.
    renewix::UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, OwnStopEventName().c_str()));
    {
        // A stop asked for while starting is not overwritten by "running".
        std::lock_guard lock(g_statusLock);
        if (g_status.dwCurrentState == SERVICE_START_PENDING) {
            g_status.dwCurrentState = SERVICE_RUNNING;
            g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
            SetServiceStatus(g_statusHandle, &g_status);
        }
    }
    try {
        PermissionManager::PipeServer server({PermissionManager::PipeName(g_identity.instance), OwnStopEventName()},
                                             SessionSettings(), ShowServiceError, *g_identity.log);
        server.Run();
    } catch (const std::exception&) {
        // Nothing escapes into the dispatcher: the service reports itself stopped below.
    }
    ReportStatus(SERVICE_STOP_PENDING, 0);
    ReportStatus(SERVICE_STOPPED, 0);
}

void WINAPI ServiceControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        // Reported before the event is set, so it can never follow the final "stopped"; the
        // handler does not wait, the service's main thread finishes on its own.
        ReportStatus(SERVICE_STOP_PENDING, 0);
        renewix::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, OwnStopEventName().c_str()));
        if (event) SetEvent(event.get());
        return;
    }
    std::lock_guard lock(g_statusLock);
    if (g_statusHandle) SetServiceStatus(g_statusHandle, &g_status);
}

bool RunPermissionManagerCommand(const std::wstring& commandLine, int* exitCode, const ClientConfig& config,
                                 Log& log) {
    *exitCode = 0;
    const PermissionKeyword keyword = RecognisePermissionKeyword(commandLine);
    if (keyword != PermissionKeyword::None) {
        g_identity = {FormatServiceName(config.CompanyName(), config.ApplicationName(), config.InstanceNumber()),
                      config.InstanceNumber(), &log, &config};
    }
    switch (keyword) {
        case PermissionKeyword::None:
            return false;
        case PermissionKeyword::CheckInstalled:
            *exitCode = IsServiceInstalled() ? 1 : 0;
            return true;
        case PermissionKeyword::Install:
            if (FolderAllowsInstallation()) InstallService();
            return true;
        case PermissionKeyword::Uninstall:
            UninstallService();
            return true;
        case PermissionKeyword::Run:
            RunServiceDispatcher();
            return true;
    }
    return false;
}
