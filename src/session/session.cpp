#include "session/session.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "description/secure_code.h"
#include "description/signed_document.h"
#include "description/variables.h"
#include "foundation/xml_document.h"
#include "foundation/download_sink.h"
#include "foundation/file_bytes.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/user_prompts.h"
#include "install/file_installation.h"
#include "install/program_runner.h"
#include "install/registry_changes.h"
#include "foundation/file_management.h"
#include "persistence/status_file.h"
#include "foundation/client_config.h"
#include "session/main_application.h"
#include "foundation/run_state.h"
#include "transfer/downloader.h"
#include "transfer/file_transfer.h"
#include "foundation/dialog_helpers.h"

std::wstring DefaultDownloadFolder() {
    std::wstring folder = ApplicationDirectory() + L"RenewixFiles";
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

bool IsUnrecordedVersion(const std::wstring& version) { return version.empty() || version == L"0"; }

Renewix& Renewix::Instance() {
    static Renewix session;
    return session;
}

Renewix::Renewix() : Renewix(ClientConfig::Instance(), ProcessServerSelection(), DefaultDownloadFolder()) {}

Renewix::Renewix(const ClientConfig& config, ServerSelection& selection, std::wstring downloadFolder)
    : config_(config), selection_(selection), downloadFolder_(std::move(downloadFolder)), files_(downloadFolder_) {}

Renewix::~Renewix() { JoinWorker(); }

void Renewix::SetFileManager(PermissionManager::IClientFileManager& files) {
    fileManager_ = &files;
    files_.SetFileManager(files);
}

void Renewix::JoinWorker() {
    if (worker_.joinable()) worker_.join();
    // The sink belongs to whoever started the download, which may be gone once it has ended.
    sink_ = nullptr;
}

void Renewix::StopDownload() {
    stopDownload_ = true;
    if (!worker_.joinable() || !workerDone_ || WaitForSingleObject(workerDone_.get(), 0) == WAIT_OBJECT_0) return;
    Log::Instance().WriteEntry(L"Stopping the download: the wizard was closed");
    // A message box or prompt the worker shows would keep it waiting for a user who has left.
    while (WaitForSingleObject(workerDone_.get(), 100) == WAIT_TIMEOUT) CancelThreadDialogs(workerThreadId_.load());
}

bool Renewix::ReportSources() {
    IFileDownloader* downloader = selection_.GetActiveDownloader(&internetAvailable_);
    if (downloader) {
        Log& log = Log::Instance();
        log.WriteValue(L"-> Config file source", downloader->GetDocumentUrl());
        log.WriteValue(L"-> Update files source", downloader->GetFilesBaseUrl());
        StatusFile::Instance().SetServerReached();
    }
    serverReached_ = downloader != nullptr;
    return serverReached_ != 0;
}

bool Renewix::LoadUpdateDocument(const std::wstring& recordedVersion) {
    if (loadAttempted_) return loadResult_;
    loadAttempted_ = true;
    Log& log = Log::Instance();
    try {
        std::optional<XmlDocument> document;
        std::wstring currentVersion = recordedVersion;
        if (test_) {
            document = CreateXmlDom(log);
            if (!document) return false;
            if (config_.Keys().Configured()) {
                // A client that trusts only signed documents tests only signed documents: test
                // mode still runs the document's programs.
                std::string bytes;
                if (!ReadWholeFile(localDocumentPath_, bytes, IFileDownloader::kMaxDocumentBytes)) {
                    log.WriteValue(L"Unable to read the test document", localDocumentPath_);
                    return false;
                }
                document = AcceptSignedDocument(bytes, config_.Keys(), CurrentUtcTime(), log);
                if (!document) return false;
            } else if (!document->LoadFile(localDocumentPath_)) {
                return false;
            }
        } else {
            RunState& state = RunState::Instance();
            state.CurrentVersion = currentVersion;
            if (IsUnrecordedVersion(currentVersion)) {
                currentVersion = ReplaceVariables(config_.DefaultVersion());
                state.CurrentVersion = currentVersion;
            }
            IFileDownloader* downloader = selection_.GetActiveDownloader(&internetAvailable_);
            if (!downloader) return AbortUpdate();
            // With trusted keys nothing is used that was not signed: the client fetches the bytes
            // itself and parses exactly those it verified.
            const TrustedKeys& keys = config_.Keys();
            std::string bytes;
            if (keys.Configured() ? !downloader->FetchDocumentBytes(bytes) : !(document = downloader->LoadDocument())) {
                log.WriteEntry(L"Unable to load XML configuration. Check that file exists on server (paste address "
                               L"into IE or explorer).");
                return AbortUpdate();
            }
            if (keys.Configured() && !(document = AcceptSignedDocument(bytes, keys, CurrentUtcTime(), log))) {
                return AbortUpdate();
            }
        }
        checked_ = 1;
        loadResult_ = CheckUpdate(*document, currentVersion);
        return loadResult_;
    } catch (const XmlError& error) {
        log.WriteValue(L"Error processing XML", error.description);
    } catch (...) {
        log.WriteEntry(L"Unknown error: XML Server cannot be contacted!");
    }
    return false;
}

bool Renewix::CheckUpdate(const XmlDocument& document, std::wstring currentVersion) {
    Log& log = Log::Instance();
    try {
        XmlNode root = document.SelectSingle(L"Renewix");
        if (!root) {
            log.WriteHeading(L"XML update file not found or is corrupt");
            std::wstring text = document.Root().Text().substr(0, 256);
            if (text.size() > 5) {
                log.WriteEntry(text);
                log.WriteBlank();
            }
            return false;
        }
        if (!CheckSecureCode(document)) return false;
        // With a base code, only what the code covers may be used.
        if (ParseHexCode(config_.BaseSecureCode()) != 0) DropUncoveredElements(document);

        if (XmlNode version = document.SelectSingle(L"Renewix/UpdateVersion")) {
            const std::wstring remote = version.Text();
            if (IsUnrecordedVersion(currentVersion)) currentVersion = config_.DefaultVersion();
            RunState& state = RunState::Instance();
            state.CurrentVersion = currentVersion;
            state.UpdateVersion = remote;
            StatusFile::Instance().SetApplicationVersion(currentVersion);
            StatusFile::Instance().SetOfferedVersion(remote);
            log.WriteHeading(L"Checking requirement for update");
            log.WriteValue(L"Current version", currentVersion);
            log.WriteValue(L"Remote version ", remote);
            if (currentVersion == L"0" || remote == L"0") {
                log.WriteEntry(L"Version read of 0 not acceptable");
                return false;
            }
            if (CompareVersions(remote, currentVersion) != 1) {
                log.WriteEntry(L"A software update is not available");
                if (XmlNode again = document.SelectSingle(L"Renewix")) ReadDocumentTexts(again);
                return false;
            }
        }
        log.WriteHeading(L"Processing...");
        if (XmlNode list = document.SelectSingle(L"Renewix/FileList"); list && !test_) {
            files_.Clear();
            files_.Read(list, L"");
        }
        if (XmlNode list = document.SelectSingle(L"Renewix/ShellExec")) {
            execute_.Clear();
            execute_.Read(list, L"");
        }
        if (XmlNode list = document.SelectSingle(L"Renewix/RegList"); list && !test_) {
            registry_.Clear();
            registry_.Read(list, L"");
        }
        if (XmlNode again = document.SelectSingle(L"Renewix")) ReadDocumentTexts(again);
        return files_.Count() > 0;
    } catch (const XmlError& error) {
        log.WriteValue(L"Error processing XML", error.description);
    } catch (...) {
        log.WriteEntry(L"XML processing errors");
    }
    return false;
}

bool Renewix::CheckSecureCode(const XmlDocument& document) {
    return CheckDocumentSecureCode(document, config_.BaseSecureCode(), IsTest(), prompts_);
}

bool Renewix::ReadDocumentTexts(const XmlNode& root) {
    static const std::pair<const wchar_t*, DocumentTextSlot> kTexts[] = {
        {L"Welcome", TextSlotWelcome},
        {L"License", TextSlotLicense},
        {L"Reason", TextSlotReason},
        {L"InstallComplete", TextSlotInstallComplete},
        {L"UpdateNotNeeded", TextSlotUpdateNotNeeded},
        {L"SilentFinished", TextSlotSilentFinished},
    };
    for (const auto& [name, slot] : kTexts) {
        XmlNode element = root.SelectSingle(name);
        texts_[slot] = element ? element.Text() : std::wstring();
    }
    RunState::Instance().ApplyDocumentOptions(root);
    return true;
}

bool Renewix::StartDownload(IDownloadSink* sink) {
    JoinWorker();
    sink_ = sink;
    if (test_) {
        if (sink_) sink_->Done(0);
        downloaded_ = 1;
        return true;
    }
    const int count = static_cast<int>(files_.Count());
    Log::Instance().WriteHeading(L"Downloading files");
    Log::Instance().WriteNumber(L"No. file requests", count);
    if (count <= 0) {
        downloaded_ = 1;
        if (sink_) sink_->Done(count);
        return true;
    }
    if (RunState::Instance().UiKind != 0) {
        workerDone_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        HANDLE done = workerDone_.get();
        worker_ = std::thread([this, done] {
            workerThreadId_ = GetCurrentThreadId();
            try {
                DownloadWorker();
            } catch (...) {
                Log::Instance().WriteEntry(L"File transfer error occured");
            }
            if (done) SetEvent(done);
        });
        return true;
    }
    DownloadWorker();
    return true;
}

bool Renewix::DownloadWorker() {
    // A silent run shows no box: its failures are in the log.
    CFileTransfer transfer(selection_, *fileManager_, sink_, RunState::Instance().UiKind == 0 ? nullptr : prompts_);
    if (config_.Keys().Configured()) transfer.KeepLocalTimes();
    transfer.SetStopFlag(&stopDownload_);
    const int count = static_cast<int>(files_.Count());
    if (sink_) sink_->Begin(count, files_.TotalBytes());
    for (const FileEntry& entry : files_.Entries()) {
        if (entry.alreadyDownloaded || !entry.selected) continue;
        if (stopDownload_) return false;
        if (sink_) sink_->File(entry.destination, entry.size);
        Log::Instance().WriteValueNumber(L"Download file", entry.source, static_cast<long long>(entry.size));
        if (!transfer.TransferFile(downloadFolder_, entry.source, entry.downloadName, entry.size, entry.crc,
                                   entry.sha256)) {
            if (stopDownload_) return false;  // the wizard that would report it is gone
            if (sink_) sink_->Failed();
            Log::Instance().WriteEntry(L"File transfer error occured");
            return false;
        }
    }
    downloaded_ = 1;
    if (sink_) sink_->Done(count);
    return true;
}

bool Renewix::InstallAndFinish() {
    JoinWorker();
    if (!downloaded_) return false;
    Log& log = Log::Instance();
    RunState& state = RunState::Instance();
    log.WriteBlank();
    log.WriteValue(L"File transfer status", L"Success");
    {
        ProcessControl control;
        const std::wstring name = config_.MainApplicationName();
        if (state.DoNotTerminate) {
            log.WriteEntry(L"Not terminating the main application");
        } else {
            log.WriteValue(L"Terminating main application", name);
            // Several copies may run: each call deals with one.
            for (int call = 0; call < 11 && !name.empty() && control.CloseProcess(name, state.UiKind == 0, 0, 5000);
                 ++call) {
            }
        }
    }
    if (!Install()) {
        if (state.UiKind != 0 && prompts_) {
            prompts_->ShowClosingMessage(L"An error occured during the update process. Check the log file for details "
                                         L"and email support for assistance.");
        }
        return false;
    }
    Sleep(kPointFourDelayMs);
    RunExecutePoint(execute_.Entries(), 4, log);
    if (state.UiKind == 0) {
        const std::wstring finished = PrepareText(texts_[TextSlotSilentFinished], 0);
        if (!finished.empty() && prompts_) prompts_->ShowClosingMessage(finished);
    }
    if (state.RestartKind == 0) {
        log.WriteEntry(L"Restarting the main application");
        RestartMainApplication();
    }
    StatusFile::Instance().SetApplicationVersion(state.UpdateVersion);
    return true;
}

bool Renewix::Install() {
    if (test_) return true;
    Log& log = Log::Instance();
    if (!InstallFiles(files_, *fileManager_, log)) {
        log.WriteHeading(L"The update could not complete due to file errors.");
        return false;
    }
    if (!ApplyRegistryList(registry_.Entries(), *fileManager_, log)) log.WriteHeading(L"There were errors trying to update the registry.");
    log.WriteHeading(L"Update was successful!");
    return true;
}

bool Renewix::AbortUpdate() {
    Log::Instance().WriteHeading(L"Update will not be undertaken");
    fileManager_->DeleteTree(downloadFolder_);
    return false;
}

void Renewix::SetLocalDocument(const std::wstring& path) {
    localDocumentPath_ = path;
    test_ = 1;
}
