// Fetches update files from the working server with size and CRC checks.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/crypto.h"
#include "transfer/downloader.h"

class IDownloadSink;
struct ExpectedFile;
struct FilePatch;
class IUserPrompts;

namespace PermissionManager {
class IClientFileManager;
}

// Empties the download folder of an update that will not be made, but for the partial
// downloads and their records at its top: the next run goes on from them (a run that could not
// reach its server is the common reason to end here). The folder goes when nothing stays.
void ClearDownloadsKeepingPartials(PermissionManager::IClientFileManager& files, const std::wstring& folder);

class CFileTransfer {
public:
    // Files are written through `files`. Progress goes to `sink` and errors to `prompts`; either
    // may be null (a silent run shows nothing).
    CFileTransfer(ServerSelection& selection, PermissionManager::IClientFileManager& files, IDownloadSink* sink,
                  IUserPrompts* prompts);
    virtual ~CFileTransfer() = default;

    // Fetches remoteName into localDirectory\localName; false after any failure, which
    // has been logged and (unless silent) shown. The size is checked on the way, the CRC (when
    // not 0) and the SHA-256 (when given) of the whole file, at the end.
    // The bytes arrive in localName + ".partial", beside a record of what they are (".resume"),
    // and take the file's name only once every check passed. A partial that a Cancel, a lost
    // connection or a killed process left is continued by the next transfer of the same file; a
    // dropped connection is tried again at most kMaxRetries times. A continued file that fails
    // its checks is fetched once more from byte 0; a file that fails any check is deleted, so
    // that no later run can take it for a good one.
    bool TransferFile(const std::wstring& localDirectory, const std::wstring& remoteName,
                      const std::wstring& localName, std::uint64_t expectedSize, std::uint32_t expectedCrc,
                      const std::optional<Sha256Digest>& expectedSha256 = std::nullopt);
    enum class PatchResult { Patched, WholeFile, Stopped };
    // Fetches `patch` as localName + ".patch" and rebuilds localDirectory\localName from it and
    // the installed file, checked against `expected`; the patch goes again either way. WholeFile,
    // with the reason in the log and nothing shown, when the patch cannot be had or used: the
    // caller fetches the whole file. Stopped when the run was cancelled meanwhile.
    PatchResult TransferPatch(const std::wstring& localDirectory, const std::wstring& localName,
                              const std::wstring& installedPath, const FilePatch& patch, const ExpectedFile& expected);
    // A transfer that finds `*stop` set or the run cancelled fails quietly (no box, no dump) and
    // keeps what arrived for the next run, when it can be continued.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
    void ReportDownloadError(const std::wstring& errorText, const std::wstring& fileName, std::uint64_t expectedSize,
                             std::uint64_t actualSize);
    // The times a server reports are not signed: a client that trusts only signed content keeps
    // its own times, so that a server cannot date a file into the future and make every later
    // ByDate update of it look older.
    void KeepLocalTimes() { keepLocalTimes_ = true; }

    // Large pieces: the cost of a transfer is per read and per write (a write through the service
    // is a round trip), not per byte.
    static constexpr std::size_t kBufferSize = 256 * 1024;
    static constexpr std::size_t kDumpSize = 1600;
    static constexpr int kMaxRetries = 3;
    // The pause before the first new attempt after a dropped connection; each next one waits
    // twice as long. Tests shorten it.
    void SetRetryPause(DWORD milliseconds) { retryPauseMs_ = milliseconds; }

private:
    enum class Outcome { Verified, Failed, WrongAfterContinuing };
    struct Target;
    Outcome Fetch(const Target& target, bool mayContinue);
    // Waits before new attempt `attempt` (0-based); false when the run stopped meanwhile.
    bool PauseBeforeRetry(int attempt);
    bool Stopped() const;
    void ShowError(const std::wstring& text, const wchar_t* caption);

    IDownloadSink* sink_;
    IUserPrompts* prompts_;
    bool keepLocalTimes_ = false;
    ServerSelection& selection_;
    PermissionManager::IClientFileManager& files_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kBufferSize);
    const std::atomic<bool>* stop_ = nullptr;
    DWORD retryPauseMs_ = 500;
};
