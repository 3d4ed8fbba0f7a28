#include "app/startup.h"

#include <commctrl.h>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/system_facts.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "description/variables.h"
#include "service/permission_service.h"
#include "service/piped_file_management.h"
#include "foundation/client_config.h"
#include "session/main_application.h"
#include "foundation/run_state.h"
#include "session/session.h"
#include "persistence/scheduled_task.h"
#include "persistence/status_file.h"
#include "transfer/downloader.h"
#include "foundation/localised_text.h"
#include "ui/page_manager.h"
#include "ui/wizard_prompts.h"

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

// The full wizard; true when it reached its ready page. Its threads have ended when this
// returns.
bool RunWizard(WizardPrompts& prompts) {
    PageManager wizard(prompts);
    wizard.DoModal(GetActiveWindow());
    return wizard.Completed != 0;
}

// The schedule page's Finish: the task is written or deleted, and a failure is shown over
// the page; the wizard closes in every case.
void OnApplySchedule(HWND page, int choice) {
    const ClientConfig& config = ClientConfig::Instance();
    Log& log = Log::Instance();
    log.WriteNumber(L"Schedule chosen", choice);
    const ScheduleOutcome outcome = ApplySchedule(choice, config.MainApplicationName(), config.BackgroundKeyword());
    if (outcome.applied) return;
    log.WriteValue(L"Schedule not applied", outcome.message);
    MessageBoxW(page, outcome.message.c_str(), L"An error occured", MB_OK | MB_ICONERROR);
}

// The schedule page, opened on the schedule that is set (Monthly when none is).
void RunSchedulerWizard() {
    PageSchedulerOnly wizard(OnApplySchedule);
    // The trigger's figures are the times the scheduler runs the task, read as local times.
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const std::wstring name = ScheduleTaskName(ClientConfig::Instance().MainApplicationName());
    if (std::optional<ScheduleInfo> set = ReadScheduledTask(name, now)) {
        wizard.Preselect(ScheduleChoiceOf(set->frequency), NextRunNote(set->nextRun));
    }
    wizard.DoModal(GetActiveWindow());
}

// Chooses what this run shows; true when an update was completed through the wizard.
bool RunUpdate(RunState& state, bool launchAfterCheck, WizardPrompts& prompts) {
    if ((state.Mode == ModeDefault && !launchAfterCheck) || state.Mode == ModeCheckBackground) {
        Renewix& session = Renewix::Instance();
        if (!session.LoadUpdateDocument(StatusFile::Instance().ApplicationVersion())) return false;
        if (state.UiKind == 0) {
            session.StartDownload(nullptr);
            session.InstallAndFinish();
            return false;
        }
        // The wizard reuses the result: the document is loaded once per process.
        return RunWizard(prompts);
    }
    return RunWizard(prompts);
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
    explicit RunEnding(PermissionManager::IClientFileManager& files) : files_(files) {}
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
        Renewix::Instance().StopDownload();
        Renewix::Instance().JoinWorker();
        ProcessServerSelection().Release();
        com_.Uninitialize();
        if (statusConsulted_) StatusFile::Instance().Save(files_);
        Log::Instance().Stop();
        mutex_.reset();
    }

private:
    PermissionManager::IClientFileManager& files_;
    renewix::ScopedComInit com_;
    renewix::UniqueHandle mutex_;
    bool statusConsulted_ = false;
    bool finished_ = false;
};

void RunChecked(RunEnding& ending, PermissionManager::IClientFileManager& files, WizardPrompts& prompts,
                const std::wstring& commandLine, int showCommand) {
    RunState& state = RunState::Instance();
    const ClientConfig& config = ClientConfig::Instance();
    Log& log = Log::Instance();

    // The log's lines are held until this client owns the single-instance mutex: a second
    // client must not truncate the log of the one that is running.
    const int logDisabled = IsTestModeCommandLine(commandLine) || config.LoggingEnabled() == 0 ? 1 : 0;
    log.StartHeld(files, ApplicationDirectory() + config.LogFileName(), logDisabled);
    if (!logDisabled) log.WriteSessionHeader(FileVersionString(ModulePath()), OperatingSystemName());

    if (EqualsNoCase(MainApplicationPath(), ModulePath())) {
        log.Open();
        ShowMessageOnlyWizard(SameNameMessage(MainApplicationPath()), GetActiveWindow());
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
        const bool due = StatusFile::Instance().Load(files);
        // The schedule page checks nothing: the user who asks for it sees it, due or not.
        if (state.Mode == ModeScheduler) {
            RunSchedulerWizard();
        } else if (due && RunUpdate(state, launchAfterCheck, prompts)) {
            // An update completed in the wizard has restarted the program as the document asked.
            return;
        }
    } else if (state.Mode == ModeCheckNow) {
        ShowMessageOnlyWizard(PrepareText(Renewix::Instance().DocumentTexts()[TextSlotUpdateNotNeeded], TextUpdateNotNeeded),
                              GetActiveWindow());
    }

    if (state.Mode == ModeDefault && launchAfterCheck) LaunchOrLog();
}

}  // namespace

int RunClient(HINSTANCE, const std::wstring& commandLine, int showCommand) {
    int exitCode = 0;
    if (RunPermissionManagerCommand(commandLine, &exitCode, ClientConfig::Instance(), Log::Instance())) return exitCode;

    // Every file operation of the run goes through the service when it answers.
    const std::unique_ptr<PermissionManager::IClientFileManager> files =
        PermissionManager::CreateServiceOrStandardFileManager(ClientConfig::Instance().InstanceNumber(),
                                                              Log::Instance());
    Renewix::Instance().SetFileManager(*files);
    // Outlives everything that may ask the user: the session, the downloaders, the wizard.
    WizardPrompts prompts;
    Renewix::Instance().SetPrompts(&prompts);
    ProcessServerSelection().SetPrompts(&prompts);
    RunEnding ending(*files);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_COOL_CLASSES};
    InitCommonControlsEx(&controls);
    try {
        RunChecked(ending, *files, prompts, commandLine, showCommand);
    } catch (...) {
        Log::Instance().WriteEntry(L"Unexpected error: the run ends here");
    }
    ending.Finish();
    Renewix::Instance().SetPrompts(nullptr);
    ProcessServerSelection().SetPrompts(nullptr);
    return 0;
}
