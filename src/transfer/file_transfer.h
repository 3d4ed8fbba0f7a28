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
class IUserPrompts;

namespace PermissionManager {
class IClientFileManager;
}

class CFileTransfer {
public:
    // Files are written through `files`. Progress goes to `sink` and errors to `prompts`; either
    // may be null (a silent run shows nothing).
    CFileTransfer(ServerSelection& selection, PermissionManager::IClientFileManager& files, IDownloadSink* sink,
                  IUserPrompts* prompts);
    virtual ~CFileTransfer() = default;

    // Fetches remoteName into localDirectory\localName; false after any failure, which
    // has been logged and (unless silent) shown. The size is checked on the way, the CRC (when
    // not 0) and the SHA-256 (when given) of the bytes written, at the end.
    // A file that fails any check is deleted, so that no later run can take it for a good one.
    bool TransferFile(const std::wstring& localDirectory, const std::wstring& remoteName,
                      const std::wstring& localName, std::uint64_t expectedSize, std::uint32_t expectedCrc,
                      const std::optional<Sha256Digest>& expectedSha256 = std::nullopt);
    // A transfer that finds `*stop` set or the run cancelled deletes what it wrote and fails
    // quietly: no box, no dump.
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

private:
    void ShowError(const std::wstring& text, const wchar_t* caption);

    IDownloadSink* sink_;
    IUserPrompts* prompts_;
    bool keepLocalTimes_ = false;
    ServerSelection& selection_;
    PermissionManager::IClientFileManager& files_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kBufferSize);
    const std::atomic<bool>* stop_ = nullptr;
};
