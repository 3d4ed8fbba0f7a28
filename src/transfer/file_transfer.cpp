#include "transfer/file_transfer.h"

#include <algorithm>

#include "foundation/cancellation.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/file_management.h"
#include "foundation/download_sink.h"
#include "foundation/file_digest.h"
#include "foundation/user_prompts.h"

CFileTransfer::CFileTransfer(ServerSelection& selection, PermissionManager::IClientFileManager& files,
                             IDownloadSink* sink, IUserPrompts* prompts)
    : sink_(sink), prompts_(prompts), selection_(selection), files_(files) {}

void CFileTransfer::ShowError(const std::wstring& text, const wchar_t* caption) {
    if (prompts_) prompts_->ShowError(text, caption);
}

bool CFileTransfer::TransferFile(const std::wstring& localDirectory, const std::wstring& remoteName,
                                 const std::wstring& localName, std::uint64_t expectedSize,
                                 std::uint32_t expectedCrc, const std::optional<Sha256Digest>& expectedSha256) {
    Log& log = selection_.Context().log;
    const std::wstring localPath = NormalizePath(localDirectory + L"\\" + localName);
    if (expectedSize == 0) return true;

    std::unique_ptr<PermissionManager::IManagedFile> file =
        files_.Open(localPath, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0);
    if (!file) {
        ShowError(L"Unable to create a file", L"File error");
        log.WriteValue(L"Critical error; Unable to create a file", localPath);
        return false;
    }
    // From here on every failure removes what was written: a partial or wrong file left in
    // the download folder could otherwise pass for a downloaded one.
    const auto discard = [&] {
        file->Close();
        files_.Delete(localPath);
        return false;
    };
    const renewix::Cancellation* cancellation = selection_.Context().cancellation;
    const auto stopped = [&] { return (stop_ && stop_->load()) || (cancellation && cancellation->Cancelled()); };
    // The user left: no partial file stays behind to be taken for a download, and no box
    // tells them about a failure they asked for.
    const auto leave = [&] {
        file->Close();
        if (IFileDownloader* open = selection_.GetActiveDownloader(nullptr)) open->CloseFile();
        files_.Delete(localPath);
        log.WriteValue(L"File transfer cancelled", remoteName);
        return false;
    };
    IFileDownloader* downloader = selection_.GetActiveDownloader(nullptr);
    if (!downloader) return stopped() ? leave() : discard();
    if (!downloader->OpenDownloadFile(remoteName)) {
        if (stopped()) return leave();
        log.WriteValue(L"Critical error connecting to file server", remoteName);
        ShowError(L"The update file server could not be found:\r\n" +
                      downloader->CanonicalizeUrl(downloader->GetFilesBaseUrl() + L"/" + remoteName),
                  L"Critical error");
        return discard();
    }
    // A Cancel that came as the request returned leaves no answer to judge: nothing to report.
    if (stopped()) return leave();
    if (const std::wstring refused = downloader->RefusedResponse(); !refused.empty()) {
        // The dump shows the start of what the server sent instead of the file.
        std::fill(buffer_.begin(), buffer_.end(), 0);
        const DWORD count = downloader->Read(buffer_.data(), static_cast<DWORD>(buffer_.size()));
        ReportDownloadError(refused, remoteName, expectedSize, count);
        return discard();
    }

    FILETIME creation{}, lastAccess{}, lastWrite{};
    const bool haveTimes = downloader->GetFileTimes(&creation, &lastAccess, &lastWrite);
    const std::int64_t remoteSize = downloader->GetFileSize();
    std::uint64_t total = 0;
    // The checks are made of the bytes as they are written: no second read of the file.
    DigestBuilder digestOfWritten(expectedSha256.has_value());
    const auto fail = [&](std::uint64_t actual) {
        if (stopped()) return leave();
        ReportDownloadError(downloader->DescribeLastError(), remoteName, expectedSize, actual);
        return discard();
    };
    for (bool first = true;; first = false) {
        if (stopped()) return leave();
        const DWORD count = downloader->Read(buffer_.data(), static_cast<DWORD>(buffer_.size()));
        if (first && remoteSize > 0 && static_cast<std::uint64_t>(remoteSize) != expectedSize) {
            return fail(static_cast<std::uint64_t>(remoteSize));
        }
        if (count == 0) {
            if (total != expectedSize) return fail(total);
            break;
        }
        total += count;
        // Never more than the document lists: a server that keeps sending cannot fill the disk.
        if (total > expectedSize) return fail(total);
        if (!file->Write(buffer_.data(), count)) return fail(total);
        digestOfWritten.Update(buffer_.data(), count);
        if (sink_) sink_->Progress(total, expectedSize);
    }
    if (haveTimes && !keepLocalTimes_) file->SetTimes(creation, lastAccess, lastWrite);
    // What the system could not put on disk when closing is not a downloaded file.
    if (!file->Close()) return fail(total);
    downloader->CloseFile();
    if (expectedCrc == 0 && !expectedSha256) return true;

    const FileDigest digest = digestOfWritten.Finish();
    const std::uint32_t crc = digest.crc;
    if (expectedCrc != 0 && crc != expectedCrc) {
        log.WriteHeading(L"File CRC error. Exiting.");
        log.WriteValue(L"File", remoteName);
        log.WriteNumber(L"Expected CRC", static_cast<int>(expectedCrc));
        log.WriteNumber(L"Detected CRC", static_cast<int>(crc));
        ShowError(L"File CRC errors detected. See log file for details. Exiting.", L"File Error");
        return discard();
    }
    // A CRC can be made to match by anyone who may change the file; the hash cannot.
    if (expectedSha256 && digest.sha256 != expectedSha256) {
        log.WriteHeading(L"File SHA-256 error. Exiting.");
        log.WriteValue(L"File", remoteName);
        log.WriteValue(L"Expected SHA-256", HexText(*expectedSha256));
        log.WriteValue(L"Detected SHA-256", HexText(*digest.sha256));
        ShowError(L"File SHA-256 errors detected. See log file for details. Exiting.", L"File Error");
        return discard();
    }
    if (expectedCrc != 0) log.WriteValueNumber(L"File download success", remoteName, static_cast<int>(crc));
    if (expectedSha256) log.WriteValue(L"File SHA-256 verified", remoteName);
    return true;
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
