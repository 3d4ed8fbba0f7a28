#include "app/startup.h"

#include <commctrl.h>

#include "foundation/cancellation.h"
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
#include "session/run_context.h"
#include "session/session.h"
#include "install/install_journal.h"
#include "persistence/scheduled_task.h"
#include "persistence/status_file.h"
#include "transfer/downloader.h"
#include "foundation/localised_text.h"
#include "ui/page_manager.h"
#include "ui/wizard_prompts.h"

const wchar_t kSingleInstanceMutexName[] = L"Renewix-7B41D2A9-3C5E-4f18-9A0D-52E6C81F4B37";

namespace {

// Creates the mutex; an invalid handle when it could not be created or already existed.
renewix::UniqueHandle TakeSingleInstanceMutex(const wchar_t* name) {
    renewix::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name));
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) mutex.reset();
    return mutex;
}

// Launch failures are only logged: the user started the client, not a dialog about it.
void LaunchOrLog(const RunContext& run, IRunFront& front) {
    if (!front.Launch()) run.log.WriteValue(L"Unable to launch", MainApplicationPath(run.config));
}

// Chooses what this run shows; true when an update was installed through the wizard.
bool RunUpdate(const RunContext& run, Renewix& session, bool launchAfterCheck, IRunFront& front) {
    const RunState& state = run.state;
    if ((state.Mode == ModeDefault && !launchAfterCheck) || state.Mode == ModeCheckBackground) {
        if (!session.LoadUpdateDocument(run.status.ApplicationVersion())) return false;
        if (session.Plan().options.uiKind == 0) {
            session.StartDownload(nullptr);
            session.InstallAndFinish();
            return false;
        }
        // The wizard reuses the result: the document is loaded once per process.
        return front.RunWizard();
    }
    return front.RunWizard();
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
    RunEnding(const RunContext& run, Renewix& session, ServerSelection& selection)
        : run_(run), session_(session), selection_(selection) {}
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
        session_.StopDownload();
        session_.JoinWorker();
        selection_.Release();
        com_.Uninitialize();
        session_.ClearInstallation(!statusConsulted_ || run_.status.Save(run_.files));
        run_.log.Stop();
        mutex_.reset();
    }

private:
    const RunContext& run_;
    Renewix& session_;
    ServerSelection& selection_;
    renewix::ScopedComInit com_;
    renewix::UniqueHandle mutex_;
    bool statusConsulted_ = false;
    bool finished_ = false;
};

void RunChecked(const RunContext& run, Renewix& session, RunEnding& ending, IRunFront& front,
                const std::wstring& commandLine, int showCommand, const wchar_t* mutexName) {
    RunState& state = run.state;
    const ClientConfig& config = run.config;
    Log& log = run.log;

    // The log's lines are held until this client owns the single-instance mutex: a second
    // client must not truncate the log of the one that is running.
    const int logDisabled = IsTestModeCommandLine(commandLine) || config.LoggingEnabled() == 0 ? 1 : 0;
    log.StartHeld(run.files, ApplicationDirectory() + config.LogFileName(), logDisabled);
    if (!logDisabled) log.WriteSessionHeader(FileVersionString(ModulePath()), OperatingSystemDescription());

    if (EqualsNoCase(MainApplicationPath(config), ModulePath())) {
        log.Open();
        front.ShowMessage(SameNameMessage(MainApplicationPath(config)));
        return;
    }

    state.ParseCommandLine(commandLine, showCommand, config, log);
    log.WriteNumber(L"Language", static_cast<int>(GetProfileIntW(L"General", L"Language", 0)));
    log.WriteNumber(L"Locale  ", static_cast<int>(GetThreadLocale()));

    const bool launchAfterCheck = config.LaunchAfterCheck() != 0;
    // The program starts at once, unless an installation was interrupted: it starts once
    // its files are wholly one version again.
    bool launchPending = state.Mode == ModeDefault && !launchAfterCheck;
    if (launchPending && !HasInstallJournal(run.files, session.DownloadFolder())) {
        log.WriteEntry(L"Automatic launch of the main application");
        LaunchOrLog(run, front);
        launchPending = false;
    }

    bool updateInstalled = false;
    renewix::UniqueHandle mutex = TakeSingleInstanceMutex(mutexName);
    if (!mutex) {
        log.WriteEntry(L"Instance already exists");
        front.AwaitOtherClient(state.Mode == ModeCheckBackground);
        mutex = TakeSingleInstanceMutex(mutexName);
    }
    if (mutex) {
        ending.HoldMutex(std::move(mutex));
        log.Open();
        ending.StatusConsulted();
        const bool due = run.status.Load(run.files);
        if (state.Mode != ModeTest) session.RecoverInstallation();
        if (launchPending) {
            log.WriteEntry(L"Automatic launch of the main application");
            LaunchOrLog(run, front);
            launchPending = false;
        }
        // The schedule page checks nothing: the user who asks for it sees it, due or not.
        if (state.Mode == ModeScheduler) {
            front.RunScheduler();
        } else if (due) {
            // An update installed in the wizard has restarted the program as the document asked.
            updateInstalled = RunUpdate(run, session, launchAfterCheck, front);
        }
    } else if (state.Mode == ModeCheckNow) {
        // Another client holds the lock: its check is running, this one found out nothing.
        front.ShowMessage(run.variables.PrepareText(TextCheckRunning));
    }

    if (LaunchWhenRunEnds(state.Mode, launchAfterCheck, launchPending, updateInstalled, session.ProgramRestarted())) {
        LaunchOrLog(run, front);
    }
}

// The client's own front: the wizard's pages over whatever window is active, and the
// vendor's program.
class WizardFront : public IRunFront {
public:
    WizardFront(const RunContext& run, Renewix& session, WizardPrompts& prompts)
        : run_(run), session_(session), prompts_(prompts) {}

    void ShowMessage(const std::wstring& text) override { ShowMessageOnlyWizard(run_, text, GetActiveWindow()); }

    // Its threads have ended when this returns.
    bool RunWizard() override {
        PageManager wizard(run_, session_, prompts_);
        wizard.DoModal(GetActiveWindow());
        return wizard.Completed();
    }

    // Opened on the schedule that is set (Never when none is); its Finish writes or deletes
    // the task and shows a failure over the page; the wizard closes in every case.
    void RunScheduler() override {
        const RunContext& run = run_;
        PageSchedulerOnly wizard(run, [&run](HWND page, int choice) {
            run.log.WriteNumber(L"Schedule chosen", choice);
            const ScheduleOutcome outcome =
                ApplySchedule(choice, run.config.MainApplicationName(), run.config.BackgroundKeyword(), run.log);
            if (outcome.applied) return;
            MessageBoxW(page, outcome.message.c_str(), L"An error occured", MB_OK | MB_ICONERROR);
        });
        // The trigger's figures are the times the scheduler runs the task, read as local times.
        SYSTEMTIME now{};
        GetLocalTime(&now);
        const std::wstring name = ScheduleTaskName(run.config.MainApplicationName());
        if (std::optional<ScheduleInfo> set = ReadScheduledTask(name, now)) {
            wizard.Preselect(ScheduleChoiceOf(set->frequency), NextRunNote(set->nextRun));
        }
        wizard.DoModal(GetActiveWindow());
    }

    bool Launch() override { return LaunchMainApplication(run_.config, run_.state).valid(); }

    // A background check gives a running client longer: it has no user waiting for it.
    void AwaitOtherClient(bool background) override { Sleep(background ? 11000 : 1000); }

private:
    const RunContext& run_;
    Renewix& session_;
    WizardPrompts& prompts_;
};

}  // namespace

void RunStarted(const RunContext& run, Renewix& session, ServerSelection& selection, IRunFront& front,
                const std::wstring& commandLine, int showCommand, const wchar_t* mutexName) {
    RunEnding ending(run, session, selection);
    try {
        RunChecked(run, session, ending, front, commandLine, showCommand, mutexName);
    } catch (...) {
        run.log.WriteEntry(L"Unexpected error: the run ends here");
    }
    ending.Finish();
}

int RunClient(HINSTANCE, const std::wstring& commandLine, int showCommand) {
    // Everything the run works with is made here and handed down.
    ClientConfig config;
    config.LoadFromModule(GetModuleHandleW(nullptr));
    Log log;

    int exitCode = 0;
    if (RunPermissionManagerCommand(commandLine, &exitCode, config, log)) return exitCode;

    // Every file operation of the run goes through the service when it answers.
    const std::unique_ptr<PermissionManager::IClientFileManager> files =
        PermissionManager::CreateServiceOrStandardFileManager(config.InstanceNumber(), log);
    RunState state;
    StatusFile status(config, state, log);
    TextVariables variables(config, state, log);
    renewix::Cancellation cancellation;
    const RunContext run{config, state, log, status, variables, *files, cancellation};

    ServerSelection selection(config, TransferContext{log, variables, &cancellation});
    Renewix session(run, selection, DefaultDownloadFolder());
    // Through the service any user may write the download folder: a journal found there is
    // only trusted for files in the service's own folder.
    if (dynamic_cast<PermissionManager::PipedFileManagement*>(files.get())) session.ConfineRecoveryTo(ApplicationDirectory());
    // Outlives everything that may ask the user: the session, the downloaders, the wizard.
    WizardPrompts prompts(run);
    session.SetPrompts(&prompts);
    selection.SetPrompts(&prompts);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_COOL_CLASSES};
    InitCommonControlsEx(&controls);
    WizardFront front(run, session, prompts);
    RunStarted(run, session, selection, front, commandLine, showCommand, kSingleInstanceMutexName);
    session.SetPrompts(nullptr);
    selection.SetPrompts(nullptr);
    return 0;
}
