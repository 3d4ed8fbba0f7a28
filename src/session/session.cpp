#include "session/session.h"

#include "service/request_policy.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "description/secure_code.h"
#include "description/signed_document.h"
#include "description/variables.h"
#include "foundation/cancellation.h"
#include "foundation/xml_document.h"
#include "foundation/download_sink.h"
#include "foundation/file_bytes.h"
#include "foundation/file_digest.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/user_prompts.h"
#include "install/file_installation.h"
#include "install/install_journal.h"
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

Renewix::Renewix(const RunContext& run, ServerSelection& selection, std::wstring downloadFolder)
    : run_(run),
      config_(run.config),
      selection_(selection),
      downloadFolder_(std::move(downloadFolder)),
      plan_(downloadFolder_, run.log) {
    // Files already in the download folder are found through the run's file manager.
    plan_.files.SetFileManager(run.files);
}

Renewix::~Renewix() { JoinWorker(); }

void Renewix::JoinWorker() {
    if (worker_.joinable()) worker_.join();
    // The sink belongs to whoever started the download, which may be gone once it has ended.
    sink_ = nullptr;
}

void Renewix::StopDownload() {
    stopDownload_ = true;
    if (!worker_.joinable() || workerDone_.load()) return;
    run_.log.WriteEntry(L"Stopping the download: the wizard was closed");
    // A box the worker waits for ends with the wizard's sheet, which is gone by now.
    JoinWorker();
}

bool Renewix::ReportSources() {
    IFileDownloader* downloader = selection_.GetActiveDownloader(&internetAvailable_);
    if (downloader) {
        Log& log = run_.log;
        log.WriteValue(L"-> Config file source", downloader->GetDocumentUrl());
        log.WriteValue(L"-> Update files source", downloader->GetFilesBaseUrl());
        run_.status.SetServerReached();
    }
    serverReached_ = downloader != nullptr;
    return serverReached_ != 0;
}

bool Renewix::LoadUpdateDocument(const std::wstring& recordedVersion) {
    if (loadAttempted_) return loadResult_;
    loadAttempted_ = true;
    Log& log = run_.log;
    std::wstring currentVersion = recordedVersion;
    // Nothing new is fetched over an installation that is neither wholly old nor wholly new.
    if (!test_) {
        if (!RecoverInstallation()) return AbortUpdate();
        if (!recoveredVersion_.empty()) currentVersion = recoveredVersion_;
    }
    try {
        std::optional<XmlDocument> document;
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
                plan_.signedDocument = bytes;
            } else if (!document->LoadFile(localDocumentPath_)) {
                return false;
            }
        } else {
            if (IsUnrecordedVersion(currentVersion)) {
                currentVersion = run_.variables.ReplaceVariables(config_.DefaultVersion());
            }
            run_.state.CurrentVersion = currentVersion;
            plan_.currentVersion = currentVersion;
            IFileDownloader* downloader = selection_.GetActiveDownloader(&internetAvailable_);
            if (!downloader) return AbortUpdate();
            // With trusted keys nothing is used that was not signed: the client fetches the bytes
            // itself and parses exactly those it verified.
            const TrustedKeys& keys = config_.Keys();
            std::string bytes;
            if (keys.Configured() ? !downloader->FetchDocumentBytes(bytes) : !(document = downloader->LoadDocument())) {
                // A user who gave up keeps what earlier runs fetched.
                if (run_.cancellation.Cancelled()) return false;
                log.WriteEntry(L"Unable to load XML configuration. Check that file exists on server (paste "
                               L"address into IE or explorer).");
                return AbortUpdate();
            }
            if (keys.Configured() && !(document = AcceptSignedDocument(bytes, keys, CurrentUtcTime(), log))) {
                return AbortUpdate();
            }
            if (keys.Configured()) plan_.signedDocument = bytes;
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
    Log& log = run_.log;
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
        if (ParseHexCode(config_.BaseSecureCode()) != 0) DropUncoveredElements(document, run_.log);

        if (XmlNode version = document.SelectSingle(L"Renewix/UpdateVersion")) {
            const std::wstring remote = version.Text();
            if (IsUnrecordedVersion(currentVersion)) currentVersion = config_.DefaultVersion();
            run_.state.CurrentVersion = currentVersion;
            run_.state.UpdateVersion = remote;
            plan_.currentVersion = currentVersion;
            plan_.updateVersion = remote;
            run_.status.SetApplicationVersion(currentVersion);
            run_.status.SetOfferedVersion(remote);
            log.WriteHeading(L"Checking requirement for update");
            log.WriteValue(L"Current version", currentVersion);
            log.WriteValue(L"Remote version ", remote);
            if (currentVersion == L"0" || remote == L"0") {
                log.WriteEntry(L"Version read of 0 not acceptable");
                return false;
            }
            if (CompareVersions(remote, currentVersion) != 1) {
                log.WriteEntry(L"A software update is not available");
                if (XmlNode again = document.SelectSingle(L"Renewix")) ReadTextsAndOptions(again);
                return false;
            }
        }
        log.WriteHeading(L"Processing...");
        if (XmlNode list = document.SelectSingle(L"Renewix/FileList"); list && !test_) {
            plan_.files.Clear();
            plan_.files.Read(list, L"");
        }
        if (XmlNode list = document.SelectSingle(L"Renewix/ShellExec")) {
            plan_.execute.Clear();
            plan_.execute.Read(list, L"");
        }
        if (XmlNode list = document.SelectSingle(L"Renewix/RegList"); list && !test_) {
            plan_.registry.Clear();
            plan_.registry.Read(list, L"");
        }
        if (XmlNode again = document.SelectSingle(L"Renewix")) ReadTextsAndOptions(again);
        return plan_.files.Count() > 0;
    } catch (const XmlError& error) {
        log.WriteValue(L"Error processing XML", error.description);
    } catch (...) {
        log.WriteEntry(L"XML processing errors");
    }
    return false;
}

bool Renewix::CheckSecureCode(const XmlDocument& document) {
    return CheckDocumentSecureCode(document, config_.BaseSecureCode(), IsTest(), prompts_, run_.log);
}

void Renewix::ReadTextsAndOptions(const XmlNode& root) {
    plan_.texts = ReadDocumentTexts(root);
    plan_.options = ReadUpdateOptions(root, run_.state.Mode);
}

bool Renewix::StartDownload(IDownloadSink* sink) {
    JoinWorker();
    sink_ = sink;
    downloadShown_ = sink != nullptr;
    if (test_) {
        if (sink_) sink_->Done(0);
        downloaded_ = 1;
        return true;
    }
    const int count = static_cast<int>(plan_.files.Count());
    run_.log.WriteHeading(L"Downloading files");
    run_.log.WriteNumber(L"No. file requests", count);
    if (count <= 0) {
        downloaded_ = 1;
        if (sink_) sink_->Done(count);
        return true;
    }
    // Whoever shows the download waits for it on a thread of its own, silent update or not.
    if (sink_) {
        workerDone_ = false;
        worker_ = std::thread([this] {
            try {
                DownloadWorker();
            } catch (...) {
                run_.log.WriteEntry(L"File transfer error occured");
            }
            workerDone_ = true;
        });
        return true;
    }
    DownloadWorker();
    return true;
}

bool Renewix::DownloadWorker() {
    // A run without a window shows no box: its failures are in the log.
    CFileTransfer transfer(selection_, run_.files, sink_, sink_ ? prompts_ : nullptr);
    if (config_.Keys().Configured()) transfer.KeepLocalTimes();
    transfer.SetStopFlag(&stopDownload_);
    const int count = static_cast<int>(plan_.files.Count());
    // The page counts and measures what this run fetches, not what an earlier run left, and a
    // patch for its own size: a file goes by patch when the installed one is the patch's base.
    const std::vector<FileEntry>& entries = plan_.files.Entries();
    std::vector<bool> byPatch(entries.size());
    int fetching = 0;
    std::uint64_t fetchingBytes = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const FileEntry& entry = entries[i];
        if (!DownloadFile::Fetched(entry)) continue;
        if (stopDownload_ || run_.cancellation.Cancelled()) return false;
        FileDigest installed;
        byPatch[i] = entry.patch && ComputeFileDigest(run_.files, entry.destination, true, installed) == 0 &&
                     installed.sha256 == entry.patch->from;
        ++fetching;
        fetchingBytes += byPatch[i] ? entry.patch->size : entry.size;
    }
    if (sink_) sink_->Begin(fetching, fetchingBytes);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const FileEntry& entry = entries[i];
        if (!DownloadFile::Fetched(entry)) continue;
        if (stopDownload_) return false;
        if (byPatch[i]) {
            if (sink_) sink_->File(entry.destination, entry.patch->size);
            run_.log.WriteValueNumber(L"Download patch", entry.patch->source, static_cast<long long>(entry.patch->size));
            const CFileTransfer::PatchResult patched = transfer.TransferPatch(
                downloadFolder_, entry.downloadName, entry.destination, *entry.patch, {entry.size, entry.crc, entry.sha256});
            if (patched == CFileTransfer::PatchResult::Patched) continue;
            if (patched == CFileTransfer::PatchResult::Stopped) return false;
            if (sink_) sink_->FileWhole(entry.size);
        } else if (sink_) {
            sink_->File(entry.destination, entry.size);
        }
        run_.log.WriteValueNumber(L"Download file", entry.source, static_cast<long long>(entry.size));
        if (!transfer.TransferFile(downloadFolder_, entry.source, entry.downloadName, entry.size, entry.crc,
                                   entry.sha256)) {
            // The wizard that would report it is gone, or the user gave up: nothing to report.
            if (stopDownload_ || run_.cancellation.Cancelled()) return false;
            if (sink_) sink_->Failed();
            run_.log.WriteEntry(L"File transfer error occured");
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
    Log& log = run_.log;
    log.WriteBlank();
    log.WriteValue(L"File transfer status", L"Success");
    // A silent document shown in a wizard still has a user watching, who must not be left on a
    // page that just ends.
    const bool watched = plan_.options.uiKind != 0 || downloadShown_;
    const auto reportFailure = [&] {
        if (watched && prompts_) {
            prompts_->ShowClosingMessage(L"An error occured during the update process. Check the log file for details "
                                         L"and email support for assistance.");
        }
    };
    // Every download is checked before the program is asked to close: a refused one leaves
    // the user's program running.
    if (!test_ && !CheckDownloads(plan_.files, run_.files, log)) {
        log.WriteHeading(L"The update could not complete due to file errors.");
        reportFailure();
        return false;
    }
    downloadsChecked_ = true;
    bool closed = false;
    {
        ProcessControl control;
        const std::wstring name = config_.MainApplicationName();
        if (plan_.options.doNotTerminate) {
            log.WriteEntry(L"Not terminating the main application");
        } else {
            log.WriteValue(L"Terminating main application", name);
            // Several copies may run: each call deals with one.
            for (int call = 0; call < 11 && !name.empty() && control.CloseProcess(name, plan_.options.uiKind == 0, 0, 5000);
                 ++call) {
                closed = true;
            }
        }
    }
    if (!Install()) {
        reportFailure();
        // The old program is whole again: it comes back as the finished update would have.
        if (closed && plan_.options.restartKind == 0) {
            log.WriteEntry(L"Restarting the main application");
            RestartMainApplication(config_, run_.state);
            programRestarted_ = true;
        }
        return false;
    }
    // The pause belongs to the point-4 programs: without any, it would only keep the user
    // waiting.
    const auto& programs = plan_.execute.Entries();
    if (std::any_of(programs.begin(), programs.end(), [](const ExecuteEntry& e) { return e.point == 4; })) {
        Sleep(kPointFourDelayMs);
        RunExecutePoint(programs, 4, log);
    }
    if (plan_.options.uiKind == 0) {
        const std::wstring finished = run_.variables.PrepareText(plan_.texts[TextSlotSilentFinished], 0);
        if (!finished.empty() && prompts_) prompts_->ShowClosingMessage(finished);
    }
    if (plan_.options.restartKind == 0) {
        log.WriteEntry(L"Restarting the main application");
        RestartMainApplication(config_, run_.state);
        programRestarted_ = true;
    }
    run_.status.SetApplicationVersion(plan_.updateVersion);
    return true;
}

bool Renewix::Install() {
    if (test_) return true;
    Log& log = run_.log;
    InstallJournal journal(run_.files, downloadFolder_, log);
    if ((!downloadsChecked_ && !CheckDownloads(plan_.files, run_.files, log)) || !StageSignedDocument() ||
        !journal.Begin(plan_.updateVersion) || !InstallFiles(plan_.files, run_.files, journal, log)) {
        log.WriteHeading(L"The update could not complete due to file errors.");
        return false;
    }
    if (!ApplyRegistryList(plan_.registry.Entries(), run_.files, log)) log.WriteHeading(L"There were errors trying to update the registry.");
    // From here a killed run is finished by the next one, not taken back; a journal that
    // cannot say so is taken back now, while every backup is still there.
    if (!journal.Commit()) {
        journal.RollBack();
        log.WriteHeading(L"The update could not complete due to file errors.");
        return false;
    }
    // The committed journal stays until the new version is recorded (ClearInstallation).
    installed_ = true;
    log.WriteHeading(L"Update was successful!");
    return true;
}

bool Renewix::StageSignedDocument() {
    if (plan_.signedDocument.empty()) return true;
    const std::wstring path = downloadFolder_ + L"\\" + PermissionManager::kStagedDocumentName;
    std::unique_ptr<PermissionManager::IManagedFile> file =
        run_.files.Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0);
    if (file && file->Write(plan_.signedDocument.data(), static_cast<DWORD>(plan_.signedDocument.size())) &&
        file->Close()) {
        return true;
    }
    run_.log.WriteValue(L"Unable to write the signed update description", path);
    return false;
}

bool Renewix::AbortUpdate() {
    run_.log.WriteHeading(L"Update will not be undertaken");
    // The backups an interrupted installation left may be the only copies of the program's
    // files: the folder stays whole until that installation is taken back.
    if (HasInstallJournal(run_.files, downloadFolder_)) {
        run_.log.WriteValue(L"Kept for an interrupted installation", downloadFolder_);
        return false;
    }
    ClearDownloadsKeepingPartials(run_.files, downloadFolder_);
    return false;
}

void Renewix::ClearInstallation(bool versionRecorded) {
    if (!installed_) return;
    installed_ = false;
    if (!versionRecorded) {
        // The committed journal is then the only record of the new version: the next run
        // records it and clears up.
        run_.log.WriteEntry(L"The installed version could not be recorded: the installation is finished by a later run");
        return;
    }
    run_.files.DeleteTree(downloadFolder_);
    // A parked client that still runs keeps the folder; the journal of a finished
    // installation must not stay with it.
    run_.files.Delete(downloadFolder_ + L"\\" + kInstallJournalName);
}

bool Renewix::RecoverInstallation() {
    if (recoveryDone_) return !recoveryFailed_;
    recoveryDone_ = true;
    const RecoveryResult result =
        ::RecoverInstallation(run_.files, downloadFolder_, run_.log, recoveryConfinedTo_, [this](const std::wstring& version) {
            run_.status.SetApplicationVersion(version);
            return run_.status.Write(run_.files);
        });
    if (result.outcome == RecoveryResult::Finished) recoveredVersion_ = result.version;
    recoveryFailed_ = result.outcome == RecoveryResult::Failed;
    return !recoveryFailed_;
}

void Renewix::SetLocalDocument(const std::wstring& path) {
    localDocumentPath_ = path;
    test_ = 1;
}
