#include "transfer/file_transfer.h"

#include <algorithm>
#include <utility>

#include "foundation/cancellation.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/file_management.h"
#include "foundation/download_sink.h"
#include "foundation/file_digest.h"
#include "foundation/user_prompts.h"
#include "foundation/win_resource.h"
#include "description/file_list.h"
#include "transfer/patch.h"
#include "transfer/resume.h"

CFileTransfer::CFileTransfer(ServerSelection& selection, PermissionManager::IClientFileManager& files,
                             IDownloadSink* sink, IUserPrompts* prompts)
    : sink_(sink), prompts_(prompts), selection_(selection), files_(files) {}

void CFileTransfer::ShowError(const std::wstring& text, const wchar_t* caption) {
    if (prompts_) prompts_->ShowError(text, caption);
}

struct CFileTransfer::Target {
    std::wstring remoteName;
    std::wstring localPath;
    std::wstring partialPath;
    std::wstring recordPath;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::optional<Sha256Digest> sha256;
};

namespace {

std::optional<ResumeRecord> ReadResumeRecord(PermissionManager::IClientFileManager& files, const std::wstring& path) {
    std::unique_ptr<PermissionManager::IManagedFile> file = files.Open(path, GENERIC_READ, OPEN_EXISTING, 0);
    std::string bytes;
    if (!file || !PermissionManager::ReadAll(*file, bytes, kMaxResumeRecordBytes)) return std::nullopt;
    return ParseResumeRecord(bytes);
}

// A record that cannot be written only costs the next run its head start.
void WriteResumeRecord(PermissionManager::IClientFileManager& files, const std::wstring& path,
                       const ResumeRecord& record) {
    if (record.validator.empty()) {
        files.Delete(path);
        return;
    }
    const std::string text = FormatResumeRecord(record);
    std::unique_ptr<PermissionManager::IManagedFile> file =
        files.Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0);
    if (!file || !file->Write(text.data(), static_cast<DWORD>(text.size())) || !file->Close()) files.Delete(path);
}

std::uint64_t SizeOnDisk(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Reads the first `size` bytes of the open partial into the checks; the file's position is
// then its end, where the next write goes.
bool AbsorbKeptBytes(PermissionManager::IManagedFile& file, std::uint64_t size, DigestBuilder& digest,
                     std::vector<std::uint8_t>& buffer) {
    for (std::uint64_t done = 0; done < size;) {
        const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), size - done));
        const DWORD count = file.Read(buffer.data(), want);
        if (count == 0) return false;
        digest.Update(buffer.data(), count);
        done += count;
    }
    return true;
}

}  // namespace

void ClearDownloadsKeepingPartials(PermissionManager::IClientFileManager& files, const std::wstring& folder) {
    const auto endsWith = [](const std::wstring& name, std::wstring_view suffix) {
        return name.size() > suffix.size() && EqualsNoCase(std::wstring_view(name).substr(name.size() - suffix.size()), suffix);
    };
    // A folder that is a link is not looked into: only the link goes, as DeleteTree does.
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        files.DeleteTree(folder);
        return;
    }
    bool kept = false;
    {
        WIN32_FIND_DATAW data;
        renewix::UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
        for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.get(), &data) != FALSE) {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (!isFolder && (endsWith(name, kPartialSuffix) || endsWith(name, kResumeRecordSuffix))) {
                kept = true;
                continue;
            }
            if (isFolder) {
                files.DeleteTree(folder + L"\\" + name);
            } else {
                files.Delete(folder + L"\\" + name);
            }
        }
    }
    if (!kept) files.DeleteTree(folder);
}

bool CFileTransfer::Stopped() const {
    const renewix::Cancellation* cancellation = selection_.Context().cancellation;
    return (stop_ && stop_->load()) || (cancellation && cancellation->Cancelled());
}

bool CFileTransfer::PauseBeforeRetry(int attempt) {
    // In short steps: a Cancel during the pause is honoured at once.
    const ULONGLONG until = GetTickCount64() + (static_cast<ULONGLONG>(retryPauseMs_) << attempt);
    for (;;) {
        if (Stopped()) return false;
        const ULONGLONG now = GetTickCount64();
        if (now >= until) return true;
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(50, until - now)));
    }
}

bool CFileTransfer::TransferFile(const std::wstring& localDirectory, const std::wstring& remoteName,
                                 const std::wstring& localName, std::uint64_t expectedSize,
                                 std::uint32_t expectedCrc, const std::optional<Sha256Digest>& expectedSha256) {
    if (expectedSize == 0) return true;
    Target target;
    target.remoteName = remoteName;
    target.localPath = NormalizePath(localDirectory + L"\\" + localName);
    target.partialPath = target.localPath + kPartialSuffix;
    target.recordPath = target.localPath + kResumeRecordSuffix;
    target.size = expectedSize;
    target.crc = expectedCrc;
    target.sha256 = expectedSha256;
    // The file is being replaced: whatever had its name goes now, so that a failure leaves
    // nothing there that a later run could take for this download.
    files_.Delete(target.localPath);
    switch (Fetch(target, true)) {
        case Outcome::Verified: return true;
        case Outcome::Failed: return false;
        case Outcome::WrongAfterContinuing: break;
    }
    // Whatever went wrong lay in the bytes kept or in the server's answer to the range: once
    // more from the start, and that answer stands.
    selection_.Context().log.WriteValue(L"The continued download failed its checks, fetching it whole again",
                                        remoteName);
    return Fetch(target, false) == Outcome::Verified;
}

CFileTransfer::Outcome CFileTransfer::Fetch(const Target& target, bool mayContinue) {
    Log& log = selection_.Context().log;
    const std::wstring& remoteName = target.remoteName;
    const std::uint64_t expectedSize = target.size;
    IFileDownloader* downloader = selection_.GetActiveDownloader(nullptr);
    if (!downloader) {
        if (Stopped()) log.WriteValue(L"File transfer cancelled", remoteName);
        return Outcome::Failed;
    }
    ResumeRecord record{downloader->CanonicalizeUrl(downloader->GetFilesBaseUrl() + L"/" + remoteName), expectedSize,
                        target.crc, target.sha256 ? HexText(*target.sha256) : std::wstring(), std::wstring()};
    // Bytes from two connections are joined only where the whole file is checked at the end.
    const bool checked = target.crc != 0 || target.sha256.has_value();
    std::uint64_t offset = 0;
    if (mayContinue && checked) {
        const std::optional<ResumeRecord> kept = ReadResumeRecord(files_, target.recordPath);
        offset = PlanResume(kept, record, SizeOnDisk(target.partialPath));
        if (offset > 0) record.validator = kept->validator;
    }
    // The checks are made of the bytes as they are written: no second read of the file, except
    // of what an earlier attempt kept.
    std::optional<DigestBuilder> digest;
    std::unique_ptr<PermissionManager::IManagedFile> file;
    if (offset > 0) {
        file = files_.Open(target.partialPath, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0);
        digest.emplace(target.sha256.has_value());
        if (file && !AbsorbKeptBytes(*file, offset, *digest, buffer_)) file.reset();
        if (!file) offset = 0;
    }
    const auto startAfresh = [&] {
        file.reset();
        file = files_.Open(target.partialPath, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0);
        digest.emplace(target.sha256.has_value());
        return file != nullptr;
    };
    if (!file && !startAfresh()) {
        ShowError(L"Unable to create a file", L"File error");
        log.WriteValue(L"Critical error; Unable to create a file", target.partialPath);
        return Outcome::Failed;
    }
    // A failure that the file's bytes caused removes them: a partial that is wrong must not be
    // continued.
    const auto discard = [&] {
        file->Close();
        files_.Delete(target.partialPath);
        files_.Delete(target.recordPath);
        return Outcome::Failed;
    };
    // A failure of the connection keeps what arrived, for the next attempt to go on from.
    const auto keep = [&] {
        file->Close();
        if (record.validator.empty()) return discard();
        return Outcome::Failed;
    };
    // The user left: no box tells them about a failure they asked for, and what arrived stays
    // for the next run.
    const auto leave = [&] {
        file->Close();
        if (IFileDownloader* open = selection_.GetActiveDownloader(nullptr)) open->CloseFile();
        log.WriteValue(L"File transfer cancelled", remoteName);
        if (record.validator.empty()) {
            files_.Delete(target.partialPath);
            files_.Delete(target.recordPath);
        }
        return Outcome::Failed;
    };
    const std::uint64_t kept = offset;
    if (kept > 0 && sink_) sink_->Progress(kept, expectedSize);
    std::uint64_t total = offset;
    // Whether the file holds bytes of more than one connection: only then can a failed check be
    // the fault of the joining.
    bool joined = kept > 0;
    // Bytes of two connections that do not make the file: gone, for one more try from byte 0.
    const auto wrongJoin = [&] {
        downloader->CloseFile();
        file->Close();
        files_.Delete(target.partialPath);
        files_.Delete(target.recordPath);
        return Outcome::WrongAfterContinuing;
    };
    FILETIME creation{}, lastAccess{}, lastWrite{};
    bool haveTimes = false;
    for (int retries = 0;; ++retries) {
        std::uint64_t start = 0;
        if (!downloader->OpenDownloadFileFrom(remoteName, total, record.validator, &start)) {
            if (Stopped()) return leave();
            if (retries > 0 && retries < kMaxRetries) {
                if (!PauseBeforeRetry(retries)) return leave();
                continue;
            }
            log.WriteValue(L"Critical error connecting to file server", remoteName);
            ShowError(L"The update file server could not be found:\r\n" +
                          downloader->CanonicalizeUrl(downloader->GetFilesBaseUrl() + L"/" + remoteName),
                      L"Critical error");
            return total > 0 ? keep() : discard();
        }
        // A Cancel that came as the request returned leaves no answer to judge: nothing to report.
        if (Stopped()) return leave();
        if (const std::wstring refused = downloader->RefusedResponse(); !refused.empty()) {
            // The dump shows the start of what the server sent instead of the file.
            std::fill(buffer_.begin(), buffer_.end(), 0);
            const DWORD count = downloader->Read(buffer_.data(), static_cast<DWORD>(buffer_.size()));
            ReportDownloadError(refused, remoteName, expectedSize, count);
            // An error page while going on says nothing about what arrived before: it stays.
            return total > 0 ? keep() : discard();
        }
        const bool restarted = start != total;
        if (restarted) {
            // The server sends the whole file (it changed, or it does not do ranges): what was kept goes.
            if (!startAfresh()) {
                downloader->CloseFile();
                ShowError(L"Unable to create a file", L"File error");
                log.WriteValue(L"Critical error; Unable to create a file", target.partialPath);
                return Outcome::Failed;
            }
            total = 0;
            joined = false;
        } else if (total > 0) {
            joined = true;
        }
        if (total > 0) {
            log.WriteValueNumber(L"Download continued from byte", remoteName, static_cast<long long>(total));
        } else if (retries == 0 || restarted) {
            log.WriteValue(L"Download fetched whole", remoteName);
        }
        record.validator = checked ? downloader->Validator() : std::wstring();
        WriteResumeRecord(files_, target.recordPath, record);
        haveTimes = downloader->GetFileTimes(&creation, &lastAccess, &lastWrite);
        const std::int64_t remoteSize = downloader->GetFileSize();
        const auto fail = [&](std::uint64_t actual) {
            if (Stopped()) return leave();
            // More bytes than the file has after a join: the server did not go on where asked.
            if (joined && mayContinue) return wrongJoin();
            ReportDownloadError(downloader->DescribeLastError(), remoteName, expectedSize, actual);
            return discard();
        };
        bool ended = false;
        for (bool first = true;; first = false) {
            if (Stopped()) return leave();
            const DWORD count = downloader->Read(buffer_.data(), static_cast<DWORD>(buffer_.size()));
            if (first && remoteSize > 0 && static_cast<std::uint64_t>(remoteSize) != expectedSize) {
                return fail(static_cast<std::uint64_t>(remoteSize));
            }
            if (count == 0) {
                ended = total == expectedSize;
                break;
            }
            total += count;
            // Never more than the document lists: a server that keeps sending cannot fill the disk.
            if (total > expectedSize) return fail(total);
            if (!file->Write(buffer_.data(), count)) return fail(total);
            digest->Update(buffer_.data(), count);
            if (sink_) sink_->Progress(total, expectedSize);
        }
        if (ended) break;
        if (Stopped()) return leave();
        // The connection dropped before the end: a few new attempts, each from where it stopped.
        if (retries == kMaxRetries) {
            ReportDownloadError(downloader->DescribeLastError(), remoteName, expectedSize, total);
            return keep();
        }
        log.WriteValueNumber(L"The connection ended early, trying again", remoteName, static_cast<long long>(total));
        downloader->CloseFile();
        if (!PauseBeforeRetry(retries)) return leave();
    }
    if (haveTimes && !keepLocalTimes_) file->SetTimes(creation, lastAccess, lastWrite);
    // What the system could not put on disk when closing is not a downloaded file.
    if (!file->Close()) {
        ReportDownloadError(downloader->DescribeLastError(), remoteName, expectedSize, total);
        return discard();
    }
    downloader->CloseFile();

    const FileDigest found = digest->Finish();
    if (target.crc != 0 && found.crc != target.crc) {
        if (joined && mayContinue) return wrongJoin();
        log.WriteHeading(L"File CRC error. Exiting.");
        log.WriteValue(L"File", remoteName);
        log.WriteNumber(L"Expected CRC", static_cast<int>(target.crc));
        log.WriteNumber(L"Detected CRC", static_cast<int>(found.crc));
        ShowError(L"File CRC errors detected. See log file for details. Exiting.", L"File Error");
        return discard();
    }
    // A CRC can be made to match by anyone who may change the file; the hash cannot.
    if (target.sha256 && found.sha256 != target.sha256) {
        if (joined && mayContinue) return wrongJoin();
        log.WriteHeading(L"File SHA-256 error. Exiting.");
        log.WriteValue(L"File", remoteName);
        log.WriteValue(L"Expected SHA-256", HexText(*target.sha256));
        log.WriteValue(L"Detected SHA-256", HexText(*found.sha256));
        ShowError(L"File SHA-256 errors detected. See log file for details. Exiting.", L"File Error");
        return discard();
    }
    // Only a checked file takes the name a later run and the installation look for.
    if (!files_.Move(target.partialPath, target.localPath)) {
        // The checked bytes stay with their record for the next run.
        log.WriteValue(L"Critical error; Unable to create a file", target.localPath);
        ShowError(L"Unable to create a file", L"File error");
        return Outcome::Failed;
    }
    files_.Delete(target.recordPath);
    if (target.crc != 0) log.WriteValueNumber(L"File download success", remoteName, static_cast<int>(found.crc));
    if (target.sha256) log.WriteValue(L"File SHA-256 verified", remoteName);
    return Outcome::Verified;
}

CFileTransfer::PatchResult CFileTransfer::TransferPatch(const std::wstring& localDirectory, const std::wstring& localName,
                                                        const std::wstring& installedPath, const FilePatch& patch,
                                                        const ExpectedFile& expected) {
    Log& log = selection_.Context().log;
    const std::wstring patchName = localName + kPatchSuffix;
    const std::wstring patchPath = NormalizePath(localDirectory + L"\\" + patchName);
    // A patch that cannot be had is nothing to show the user: the whole file follows.
    IUserPrompts* const prompts = std::exchange(prompts_, nullptr);
    const bool fetched = TransferFile(localDirectory, patch.source, patchName, patch.size, patch.crc, patch.sha256);
    prompts_ = prompts;
    if (!fetched) {
        if (Stopped()) return PatchResult::Stopped;
        log.WriteValue(L"The patch could not be fetched, fetching the whole file", patch.source);
        return PatchResult::WholeFile;
    }
    const PatchOutcome outcome = ApplyPatchFile(files_, installedPath, patchPath,
                                                NormalizePath(localDirectory + L"\\" + localName), expected);
    files_.Delete(patchPath);
    if (outcome != PatchOutcome::Applied) {
        log.WriteTwoValues(L"The patch could not be applied, fetching the whole file", patch.source,
                           DescribePatchOutcome(outcome));
        return PatchResult::WholeFile;
    }
    log.WriteValueNumber(L"File patched from a download of", patch.source, static_cast<long long>(patch.size));
    return PatchResult::Patched;
}

void CFileTransfer::ReportDownloadError(const std::wstring& errorText, const std::wstring& fileName,
                                        std::uint64_t expectedSize, std::uint64_t actualSize) {
    Log& log = selection_.Context().log;
    const std::wstring details = L"Filename: " + fileName + L"\r\nExpected file size: " + std::to_wstring(expectedSize) +
                                 L"\r\nActual file size: " + std::to_wstring(actualSize);
    const std::wstring rule(47, L'-');
    log.WriteHeading(L"File download errors");
    log.WriteEntry(details);
    log.WriteHeading(L"\r\nDiagnosis of failure may be possible from this dump of the last buffer transfer:");
    log.WriteHeading(L"Result of file download: " + fileName);
    log.WriteHeading(rule);
    log.WriteRaw(buffer_.data(), kDumpSize);
    log.WriteHeading(L"\r\n" + rule);
    log.WriteEntry(L"\r\n");
    ShowError(errorText + L"\r\n\r\n" + details, L"File download error");
}
