// The process-wide update session: one update from the loaded document to the end.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>

#include "description/update_plan.h"
#include "foundation/win_resource.h"
#include "session/run_context.h"

class ClientConfig;
class IDownloadSink;
class IUserPrompts;
class ServerSelection;
class XmlDocument;
class XmlNode;

// The update session, named after the product: checks the document, downloads and installs.
class Renewix {
public:
    // Over the run's configuration, state, log and status file, talking to the servers
    // `selection` chooses and downloading into `downloadFolder`.
    Renewix(const RunContext& run, ServerSelection& selection, std::wstring downloadFolder);
    virtual ~Renewix();
    Renewix(const Renewix&) = delete;
    Renewix& operator=(const Renewix&) = delete;

    bool ReportSources();
    // Loads and checks the document once per process; true when files are to be downloaded.
    bool LoadUpdateDocument(const std::wstring& currentVersion);
    bool CheckUpdate(const XmlDocument& document, std::wstring currentVersion);
    // Whether the document's secure code agrees with the configured base code.
    bool CheckSecureCode(const XmlDocument& document);
    // Downloads on a worker thread that reports to `sink`, or here, without a box, when there
    // is no sink.
    bool StartDownload(IDownloadSink* sink);
    bool DownloadWorker();
    bool InstallAndFinish();
    bool Install();
    // Removes the download folder, unless an interrupted installation's journal still needs it.
    bool AbortUpdate();
    // Finishes or takes back an installation an earlier run left (once per process, before
    // any document is fetched); false when it could not be taken back, and nothing new may
    // be installed over it.
    bool RecoverInstallation();
    // Removes the download folder of a completed installation, with its backups and journal,
    // once the new version is recorded: a run killed before that, or whose status file could
    // not take the version, leaves it to the next to record and clear up.
    void ClearInstallation(bool versionRecorded);
    // Where every file a left journal names must lie for it to be acted on: set when other
    // users can write the download folder (through the service).
    void ConfineRecoveryTo(std::wstring programFolder) { recoveryConfinedTo_ = std::move(programFolder); }
    // Writes the verified document's bytes to the download folder, where the service reads
    // and verifies them before it places anything; true when there are none to write.
    bool StageSignedDocument();
    void SetLocalDocument(const std::wstring& path);
    // Who is asked or told something in a box while the update runs; nobody by default.
    void SetPrompts(IUserPrompts* prompts) { prompts_ = prompts; }
    // Waits for the download worker, if one runs: called at the end of the run, before COM
    // and the downloaders go.
    void JoinWorker();
    // Asks a running download worker to stop: the file in transfer is deleted, no later
    // file is fetched, and a prompt or message the worker shows is closed. Returns once
    // the worker has ended.
    void StopDownload();

    bool IsTest() const { return test_ != 0; }
    // Whether InstallAndFinish started the program again, after the update or a failed one.
    bool ProgramRestarted() const { return programRestarted_; }
    bool IsDownloaded() const { return downloaded_ != 0; }
    bool IsInternetAvailable() const { return internetAvailable_ != 0; }
    bool IsServerReached() const { return serverReached_ != 0; }
    bool IsChecked() const { return checked_ != 0; }
    const std::wstring& DownloadFolder() const { return downloadFolder_; }
    // What the check found: written by the check, carried out by the download and the
    // installation, shown by the wizard (whose ready page may change the restart choice).
    UpdatePlan& Plan() { return plan_; }
    const UpdatePlan& Plan() const { return plan_; }

    // How long installation waits before the programs of point 4 run.
    static constexpr DWORD kPointFourDelayMs = 1500;

private:
    // The document's texts and its update type and restart options, into the plan.
    void ReadTextsAndOptions(const XmlNode& root);

    RunContext run_;
    const ClientConfig& config_;
    ServerSelection& selection_;
    IUserPrompts* prompts_ = nullptr;
    IDownloadSink* sink_ = nullptr;
    std::wstring downloadFolder_;
    int downloaded_ = 0;
    int checked_ = 0;
    int test_ = 0;
    std::wstring localDocumentPath_;
    int internetAvailable_ = 0;
    int serverReached_ = 0;
    UpdatePlan plan_;
    bool loadAttempted_ = false;
    bool downloadsChecked_ = false;
    bool downloadShown_ = false;
    bool programRestarted_ = false;  // a page showed the download: a user watches this run
    bool installed_ = false;
    bool recoveryDone_ = false;
    bool recoveryFailed_ = false;
    std::wstring recoveredVersion_;
    std::wstring recoveryConfinedTo_;
    bool loadResult_ = false;
    std::thread worker_;
    std::atomic<bool> stopDownload_{false};
    std::atomic<bool> workerDone_{true};
};

// ApplicationDirectory followed by "RenewixFiles", without a trailing backslash.
std::wstring DefaultDownloadFolder();

// The configured default version when the recorded one is empty or "0".
bool IsUnrecordedVersion(const std::wstring& version);
