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
#include "transfer/downloader.h"

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

namespace {

// Ends every run in one order: workers joined, documents and downloaders released, COM
// uninitialised, status file written, log ended, and only then the single-instance mutex
// released, so that a client waiting for the mutex finds a whole status file and log and
// nothing that holds a COM pointer or a thread outlives COM.
class RunEnding {
public:
    RunEnding() = default;
    RunEnding(const RunEnding&) = delete;
    RunEnding& operator=(const RunEnding&) = delete;
    ~RunEnding() { Finish(); }

    void HoldMutex(renewix::UniqueHandle mutex) { mutex_ = std::move(mutex); }
    bool HoldsMutex() const { return mutex_.valid(); }
    // The status file was consulted, so this run writes it back.
    void StatusConsulted() { statusConsulted_ = true; }

    void Finish() {
        if (finished_) return;
        finished_ = true;
        Renewix::Instance().JoinWorker();
        ProcessServerSelection().Release();
        com_.Uninitialize();
        if (statusConsulted_) StatusFile::Instance().Save();
        Log::Instance().Stop();
        mutex_.reset();
    }

private:
    renewix::ScopedComInit com_;
    renewix::UniqueHandle mutex_;
    bool statusConsulted_ = false;
    bool finished_ = false;
};

void RunChecked(RunEnding& ending, const std::wstring& commandLine, int showCommand) {
    RunState& state = RunState::Instance();
    const ClientConfig& config = ClientConfig::Instance();
    Log& log = Log::Instance();

    // The log's lines are held until this client owns the single-instance mutex: a second
    // client must not truncate the log of the one that is running.
    const int logDisabled = IsTestModeCommandLine(commandLine) || config.LoggingEnabled() == 0 ? 1 : 0;
    log.StartHeld(ApplicationDirectory() + config.LogFileName(), logDisabled);
    if (!logDisabled) log.WriteSessionHeader(FileVersionString(ModulePath()), OperatingSystemName());

    if (EqualsNoCase(MainApplicationPath(), ModulePath())) {
        log.Open();
        MessageBoxW(GetActiveWindow(), SameNameMessage(MainApplicationPath()).c_str(), L"Renewix",
                    MB_OK | MB_ICONERROR);
        return;
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
    if (mutex) {
        ending.HoldMutex(std::move(mutex));
        log.Open();
        ending.StatusConsulted();
        if (StatusFile::Instance().Load()) RunUpdate(state, launchAfterCheck);
    }

    if (state.Mode == ModeDefault && launchAfterCheck) LaunchOrLog();
}

}  // namespace

int RunClient(HINSTANCE, const std::wstring& commandLine, int showCommand) {
    int exitCode = 0;
    if (RunPermissionManagerCommand(commandLine, &exitCode)) return exitCode;

    RunEnding ending;
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_COOL_CLASSES};
    InitCommonControlsEx(&controls);
    try {
        RunChecked(ending, commandLine, showCommand);
    } catch (...) {
        Log::Instance().WriteEntry(L"Unexpected error: the run ends here");
    }
    ending.Finish();
    return 0;
}
