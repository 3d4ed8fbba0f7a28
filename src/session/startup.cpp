#include "session/startup.h"

#include <commctrl.h>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/system_facts.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "install/permission_service.h"
#include "session/client_config.h"
#include "session/main_application.h"
#include "session/run_state.h"
#include "session/session.h"
#include "persistence/status_file.h"

const wchar_t kSingleInstanceMutexName[] = L"Renewix-7B41D2A9-3C5E-4f18-9A0D-52E6C81F4B37";

namespace {

// Creates the mutex; an invalid handle when it could not be created or already existed.
renewix::UniqueHandle TakeSingleInstanceMutex() {
    renewix::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, kSingleInstanceMutexName));
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) mutex.reset();
    return mutex;
}

// Launch failures are only logged: the user started the client, not a dialog about it.
void LaunchOrLog() {
    if (!LaunchMainApplication()) Log::Instance().WriteValue(L"Unable to launch", MainApplicationPath());
}

// The check without a wizard, and the silent update it may lead to.
void RunUpdate(RunState& state, bool launchAfterCheck) {
    Log& log = Log::Instance();
    if ((state.Mode == ModeDefault && !launchAfterCheck) || state.Mode == ModeCheckBackground) {
        Renewix& session = Renewix::Instance();
        if (!session.LoadUpdateDocument(StatusFile::Instance().ApplicationVersion())) return;
        if (state.UiKind == 0) {
            session.StartDownload(nullptr);
            session.InstallAndFinish();
            return;
        }
    }
    // Everything else needs the wizard, which this client does not have yet: nothing is
    // installed without the user.
    log.WriteEntry(L"Interactive update deferred: this client has no wizard yet");
}

}  // namespace

std::wstring SameNameMessage(const std::wstring& mainApplicationPath) {
    return L"You have specified the name of your main application to be '" + mainApplicationPath +
           L"' which is the same name as the Renewix client that is now running. The main application "
           L"executable should point to the .exe file that launches your application.\r\n\r\n"
           L"Correct the error and try again";
}

int RunClient(HINSTANCE, const std::wstring& commandLine, int showCommand) {
    int exitCode = 0;
    if (RunPermissionManagerCommand(commandLine, &exitCode)) return exitCode;

    renewix::ScopedComInit com;
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_COOL_CLASSES};
    InitCommonControlsEx(&controls);

    RunState& state = RunState::Instance();
    const ClientConfig& config = ClientConfig::Instance();
    Log& log = Log::Instance();

    const int logDisabled = IsTestModeCommandLine(commandLine) || config.LoggingEnabled() == 0 ? 1 : 0;
    log.Start(ApplicationDirectory() + config.LogFileName(), logDisabled);
    if (!logDisabled) log.WriteSessionHeader(FileVersionString(ModulePath()), OperatingSystemName());

    if (EqualsNoCase(MainApplicationPath(), ModulePath())) {
        MessageBoxW(GetActiveWindow(), SameNameMessage(MainApplicationPath()).c_str(), L"Renewix",
                    MB_OK | MB_ICONERROR);
        return 0;
    }

    state.ParseCommandLine(commandLine, showCommand);
    log.WriteNumber(L"Language", static_cast<int>(GetProfileIntW(L"General", L"Language", 0)));
    log.WriteNumber(L"Locale  ", static_cast<int>(GetThreadLocale()));

    const bool launchAfterCheck = config.LaunchAfterCheck() != 0;
    if (state.Mode == ModeDefault && !launchAfterCheck) {
        log.WriteEntry(L"Automatic launch of the main application");
        LaunchOrLog();
    }

    renewix::UniqueHandle mutex = TakeSingleInstanceMutex();
    if (!mutex) {
        log.WriteEntry(L"Instance already exists");
        Sleep(1000);
        if (state.Mode == ModeCheckBackground) Sleep(10000);
        mutex = TakeSingleInstanceMutex();
    }
    if (mutex && StatusFile::Instance().Load()) RunUpdate(state, launchAfterCheck);

    if (state.Mode == ModeDefault && launchAfterCheck) LaunchOrLog();
    return 0;
}
