// The process-wide update session: one update from the loaded document to the end.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>

#include "description/execute_list.h"
#include "description/file_list.h"
#include "description/registry_list.h"
#include "foundation/win_resource.h"

class ClientConfig;
class IDownloadSink;
class IUserPrompts;
class ServerSelection;
class XmlDocument;
class XmlNode;

namespace PermissionManager {
class IClientFileManager;
}

// The six texts of the document, in slot order; an empty slot means the localised default.
enum DocumentTextSlot { TextSlotWelcome, TextSlotLicense, TextSlotReason, TextSlotUpdateNotNeeded,
                        TextSlotInstallComplete, TextSlotSilentFinished };
using DocumentTextSet = std::array<std::wstring, 6>;

// The update session, named after the product: checks the document, downloads and installs.
class Renewix {
public:
    static Renewix& Instance();

    // Over the client's own configuration record and servers.
    Renewix();
    // Over another configuration, server selection and download folder (for tests).
    Renewix(const ClientConfig& config, ServerSelection& selection, std::wstring downloadFolder);
    virtual ~Renewix();
    Renewix(const Renewix&) = delete;
    Renewix& operator=(const Renewix&) = delete;

    bool ReportSources();
    // Loads and checks the document once per process; true when files are to be downloaded.
    bool LoadUpdateDocument(const std::wstring& currentVersion);
    bool CheckUpdate(const XmlDocument& document, std::wstring currentVersion);
    // Whether the document's secure code agrees with the configured base code.
    bool CheckSecureCode(const XmlDocument& document);
    bool ReadDocumentTexts(const XmlNode& root);
    // Downloads on a worker thread that reports to `sink` (which may be null), or here when
    // the update is silent.
    bool StartDownload(IDownloadSink* sink);
    bool DownloadWorker();
    bool InstallAndFinish();
    bool Install();
    bool AbortUpdate();
    void SetLocalDocument(const std::wstring& path);
    // The run's file manager, for every file the update reads, writes, moves or deletes; it
    // must be set before the update document is checked, and outlive the session's use.
    void SetFileManager(PermissionManager::IClientFileManager& files);
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
    bool IsDownloaded() const { return downloaded_ != 0; }
    bool IsInternetAvailable() const { return internetAvailable_ != 0; }
    bool IsServerReached() const { return serverReached_ != 0; }
    bool IsChecked() const { return checked_ != 0; }
    const std::wstring& DownloadFolder() const { return downloadFolder_; }
    DownloadFile& Files() { return files_; }
    DownloadRegistry& Registry() { return registry_; }
    DownloadExecute& Execute() { return execute_; }
    // The document's texts: written by the check, read by the pages it leads to.
    const DocumentTextSet& DocumentTexts() const { return texts_; }

    // How long installation waits before the programs of point 4 run.
    static constexpr DWORD kPointFourDelayMs = 1500;

private:
    const ClientConfig& config_;
    ServerSelection& selection_;
    IUserPrompts* prompts_ = nullptr;
    PermissionManager::IClientFileManager* fileManager_ = nullptr;
    IDownloadSink* sink_ = nullptr;
    std::wstring downloadFolder_;
    int downloaded_ = 0;
    int checked_ = 0;
    int test_ = 0;
    std::wstring localDocumentPath_;
    int internetAvailable_ = 0;
    int serverReached_ = 0;
    DownloadFile files_;
    DownloadRegistry registry_;
    DownloadExecute execute_;
    DocumentTextSet texts_;
    bool loadAttempted_ = false;
    bool loadResult_ = false;
    std::thread worker_;
    std::atomic<bool> stopDownload_{false};
    std::atomic<DWORD> workerThreadId_{0};
    renewix::UniqueHandle workerDone_;
};

// ApplicationDirectory followed by "RenewixFiles", without a trailing backslash.
std::wstring DefaultDownloadFolder();

// The configured default version when the recorded one is empty or "0".
bool IsUnrecordedVersion(const std::wstring& version);
