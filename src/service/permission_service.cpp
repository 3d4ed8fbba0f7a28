#include "service/permission_service.h"

#include <sddl.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>

#include "foundation/client_config.h"
#include "foundation/file_management.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/trusted_keys.h"
#include "foundation/win_resource.h"
#include "service/pipe_security.h"
#include "service/pipe_server.h"
#include "service/piped_file_management.h"
#include "service/service_root.h"

// The system account and the administrators only: nobody else may open the event, let alone set it.
const wchar_t kStopEventSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

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
const wchar_t kFolderChangeable[] =
    L"Unable to %ls service: users other than the administrators can change the folder %ls. Install the program in "
    L"a folder that only administrators can change.";
const wchar_t kProgramChangeable[] =
    L"Unable to %ls service: users other than the administrators can change the program %ls. Install the program in "
    L"a folder that only administrators can change.";
const wchar_t kRightsUnreadable[] =
    L"Unable to %ls service: the access rights of %ls cannot be read. Install the program in a folder that only "
    L"administrators can change.";
const wchar_t kNoKeys[] =
    L"Unable to %ls service: this update client trusts no signing keys, so the service could not tell the vendor's "
    L"updates from anyone else's. Add the vendor's public keys with RenewixConfig (docs/security.md says how to "
    L"sign).";
const wchar_t kStopEventTaken[] =
    L"Unable to start service: another program already holds the service's stop event %ls.";

// A crashed service starts again after this long, three times; the count starts again after a day.
constexpr DWORD kRestartDelayMs = 5000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
// How long an uninstallation waits for the service to stop.
constexpr DWORD kStopWaitMs = 30000;

// Status reporting, and the stop event while the service runs, are shared by the service's
// main thread and the control handler.
std::mutex g_statusLock;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
HANDLE g_stopEvent = nullptr;
std::atomic<bool> g_runningAsService{false};

// Who this service is, what it trusts and where its sessions log: set from what the keyword's
// handling is handed, before anything else here runs, because the service control manager
// calls ServiceMain and the control handler with nothing of ours.
struct ServiceIdentity {
    std::wstring name;
    std::uint32_t instance = 0;
    Log* log = nullptr;
    TrustedKeys keys;
    std::wstring logFileName;
    std::wstring statusFileName;
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

void ReportStopped(ServiceFailure failure) {
    std::lock_guard lock(g_statusLock);
    g_status.dwCurrentState = SERVICE_STOPPED;
    g_status.dwControlsAccepted = 0;
    g_status.dwWin32ExitCode = failure == ServiceFailure::None ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = static_cast<DWORD>(failure);
    if (g_statusHandle) SetServiceStatus(g_statusHandle, &g_status);
}

// The folder check before an installation; false when it refused (and said why).
bool FolderAllowsInstallation() {
    const std::wstring sibling = UpdateServerSibling(ApplicationDirectory());
    if (sibling.empty() || !IsFolderPath(sibling)) return true;
    ShowServiceError(kBlockedFolder);
    return false;
}

// R and the executable, for an installation or a start; nothing when they are safe, else what
// stops the service (the refusal said).
std::optional<ServiceFailure> RefusedRoot(const std::wstring& action, const PermissionManager::ServiceRoot& root) {
    PermissionManager::RootCheck check;
    if (!root.valid()) {
        check.path = ApplicationDirectory();
        check.readError = GetLastError();
        if (check.readError == ERROR_SUCCESS) check.readError = ERROR_BAD_PATHNAME;
    } else {
        check = PermissionManager::CheckRoot(root, ModulePath());
    }
    if (check.safe()) return std::nullopt;
    SetLastError(check.readError);
    ShowServiceError(RootRefusalText(action, check));
    return check.readError != 0 ? ServiceFailure::RootUnreadable : ServiceFailure::RootChangeable;
}

bool RefusedKeys(const std::wstring& action) {
    if (HasUsableKeys(g_identity.keys)) return false;
    SetLastError(ERROR_SUCCESS);
    ShowServiceError(NoKeysText(action));
    return true;
}

bool ServiceRuns() {
    renewix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    renewix::UniqueServiceHandle service(OpenServiceW(manager.get(), OwnServiceName().c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    return service && QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED;
}

// Only opened, never created: asking must not make the name exist.
bool StopEventExists() {
    renewix::UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, OwnStopEventName().c_str()));
    return event || GetLastError() == ERROR_ACCESS_DENIED;
}

// A crashed service starts again. One that stopped itself (unsafe folder, no keys) does not:
// the flag that would apply the actions to such stops stays off.
void SetRestartAfterCrash(SC_HANDLE service) {
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs}};
    SERVICE_FAILURE_ACTIONSW failure{kFailureResetSeconds, nullptr, nullptr, 3, actions};
    // Without them the service still works; it only stays down after a crash.
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

// Asks a running service to stop and waits until the service control manager says it has.
void StopAndWait(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) return;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (const ULONGLONG deadline = GetTickCount64() + kStopWaitMs; GetTickCount64() < deadline; Sleep(100)) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) return;
    }
}

// The stop event, the service's alone: made for the system account and the administrators,
// and only when nobody made the name first (whoever did could hold or set it).
renewix::UniqueHandle CreateOwnStopEvent() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStopEventSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return {};
    }
    renewix::UniqueLocalMem held(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    renewix::UniqueHandle event(CreateEventW(&attributes, TRUE, FALSE, OwnStopEventName().c_str()));
    if (event && GetLastError() == ERROR_ALREADY_EXISTS) {
        event.reset();
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    return event;
}

PermissionManager::ServiceSettings SettingsFor(const PermissionManager::ServiceRoot& root) {
    PermissionManager::ServiceSettings settings;
    settings.scope.root = root.path();
    // Without a log name the client writes no log (it is handed the folder's path); a status
    // file it always has.
    settings.scope.logFile = PermissionManager::OwnFilePath(root.path(), g_identity.logFileName, L"");
    settings.scope.statusFile =
        PermissionManager::OwnFilePath(root.path(), g_identity.statusFileName, L"RenewixStatus.xml");
    settings.keys = g_identity.keys;
    settings.instance = g_identity.instance;
    settings.ownImage = PermissionManager::OwnNativeImage();
    settings.reportRefusal = ReportServiceRefusal;
    return settings;
}

// Everything the started service does; what stopped it.
ServiceFailure RunService() {
    // Held until the service ends: on Windows R can then be neither renamed nor removed.
    const PermissionManager::ServiceRoot root(ModulePath());
    if (const std::optional<ServiceFailure> refused = RefusedRoot(L"start", root)) return *refused;
    if (RefusedKeys(L"start")) return ServiceFailure::NoTrustedKeys;

    renewix::UniqueHandle stopEvent = CreateOwnStopEvent();
    if (!stopEvent && GetLastError() == ERROR_ALREADY_EXISTS) {
        ShowServiceError(FormatText(kStopEventTaken, OwnStopEventName().c_str()));
        return ServiceFailure::StopEventTaken;
    }
    if (!stopEvent) {
        ShowServiceError(L"Error waiting for client connection");
        return ServiceFailure::PipeServerFailed;
    }
    {
        // A stop asked for while starting is not overwritten by "running".
        std::lock_guard lock(g_statusLock);
        g_stopEvent = stopEvent.get();
        if (g_status.dwCurrentState == SERVICE_START_PENDING) {
            g_status.dwCurrentState = SERVICE_RUNNING;
            g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
            SetServiceStatus(g_statusHandle, &g_status);
        }
    }
    // Gone before the service says it has stopped: whoever then asks finds no running service.
    renewix::ScopeExit forget([&] {
        std::lock_guard lock(g_statusLock);
        g_stopEvent = nullptr;
        stopEvent.reset();
    });

    PermissionManager::PipeServer server(PermissionManager::PipeName(g_identity.instance), SettingsFor(root),
                                         ShowServiceError, *g_identity.log);
    return server.Run(stopEvent.get()) ? ServiceFailure::None : ServiceFailure::PipeServerFailed;
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

bool HasUsableKeys(const TrustedKeys& keys) { return !keys.IsDamaged() && !keys.Keys().empty(); }

std::wstring RootRefusalText(const std::wstring& action, const PermissionManager::RootCheck& check) {
    std::wstring path = check.path;
    const bool folder = !path.empty() && path.back() == L'\\';
    // "C:\" keeps its backslash; any other folder is named without one.
    if (folder && path.size() > 3) path.pop_back();
    const wchar_t* text = check.readError != 0 ? kRightsUnreadable : folder ? kFolderChangeable : kProgramChangeable;
    return FormatText(text, action.c_str(), path.c_str());
}

std::wstring NoKeysText(const std::wstring& action) { return FormatText(kNoKeys, action.c_str()); }

std::wstring UpdateServerSibling(const std::wstring& applicationDirectory) {
    std::wstring folder = applicationDirectory;
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    const std::size_t client = folder.find(L"UpdateClient");
    const std::size_t slash = folder.rfind(L'\\');
    if (client == std::wstring::npos || client == 0 || slash == std::wstring::npos || slash == 0) return {};
    return folder.substr(0, slash) + L"\\UpdateServer\\";
}

bool IsServiceInstalled() { return ServiceRuns() || StopEventExists(); }

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

void ReportServiceRefusal(const std::wstring& line) {
    renewix::UniqueEventSource source(RegisterEventSourceW(nullptr, OwnServiceName().c_str()));
    const wchar_t* strings[] = {line.c_str()};
    if (source) ReportEventW(source.get(), EVENTLOG_WARNING_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
}

int InstallService() {
    if (IsServiceInstalled()) {
        ShowServiceError(kAlreadyInstalled);
        return 0;
    }
    // The same checks the service makes at every start, so that an installation that passes
    // them gives a service that starts.
    const PermissionManager::ServiceRoot root(ModulePath());
    if (RefusedRoot(L"install", root) || RefusedKeys(L"install")) return 0;

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
    SetRestartAfterCrash(service.get());
    StartServiceW(service.get(), 0, nullptr);
    return 1;
}

int UninstallService() {
    renewix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ShowServiceError(kNoUninstallRights);
        return 0;
    }
    renewix::UniqueServiceHandle service(
        OpenServiceW(manager.get(), OwnServiceName().c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return 1;
    StopAndWait(service.get());
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
    ServiceFailure failure = ServiceFailure::PipeServerFailed;
    try {
        failure = RunService();
    } catch (...) {
        // Nothing escapes into the dispatcher: the service reports itself stopped below.
    }
    ReportStatus(SERVICE_STOP_PENDING, 0);
    ReportStopped(failure);
}

void WINAPI ServiceControlHandler(DWORD control) {
    std::lock_guard lock(g_statusLock);
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        // Reported before the event is set, so it can never follow the final "stopped"; the
        // handler does not wait, the service's main thread finishes on its own.
        g_status.dwCurrentState = SERVICE_STOP_PENDING;
        g_status.dwControlsAccepted = 0;
        if (g_statusHandle) SetServiceStatus(g_statusHandle, &g_status);
        if (g_stopEvent) SetEvent(g_stopEvent);
        return;
    }
    if (g_statusHandle) SetServiceStatus(g_statusHandle, &g_status);
}

bool RunPermissionManagerCommand(const std::wstring& commandLine, int* exitCode, const ClientConfig& config,
                                 Log& log) {
    *exitCode = 0;
    const PermissionKeyword keyword = RecognisePermissionKeyword(commandLine);
    if (keyword != PermissionKeyword::None) {
        g_identity = {FormatServiceName(config.CompanyName(), config.ApplicationName(), config.InstanceNumber()),
                      config.InstanceNumber(),
                      &log,
                      config.Keys(),
                      config.LogFileName(),
                      config.StatusFileName()};
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
