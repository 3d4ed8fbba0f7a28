// The document's file list as flat entries, each selected or skipped by the download decision.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "description/document_rules.h"
#include "foundation/crypto.h"

namespace PermissionManager {
class IClientFileManager;
}

// The largest file a patch is made for and applied to: the rebuilt file is held in memory
// once (its size, and never more: the base is mapped, not copied, and the decoder keeps no
// window of its own).
inline constexpr std::uint64_t kMaxPatchedFileSize = 512ull << 20;

// A patch that rebuilds an entry's file from the version a client has installed.
struct FilePatch {
    std::wstring source;  // Src + Patch, relative to the server's files location
    Sha256Digest from{};  // the SHA-256 of the installed file it starts from
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    Sha256Digest sha256{};
};

struct FileEntry {
    std::wstring destination;   // full local path
    std::wstring source;        // Src + Name, relative to the server's files location
    std::wstring downloadName;  // "UpdateFile%d" in the download folder
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::optional<Sha256Digest> sha256;  // SHA256, checked with size and CRC when the document gives it
    // Listed only with all five Patch attributes readable and a SHA256 for the result; a client
    // that has other bytes installed fetches the whole file.
    std::optional<FilePatch> patch;
    int alreadyDownloaded = 0;
    int registerServer = 0;
    int selected = 0;
    int unzip = 0;
    int ignoreErrors = 0;
};

// What the decision needs to know about one file from the document.
struct FileRequest {
    std::wstring byVersion;
    std::wstring byDate;
};

// The document's file list: which files to fetch, where each goes and how it is checked.
class DownloadFile : public DownloadBase {
public:
    DownloadFile(std::wstring downloadFolder, Log& log);
    // Reads files already in the download folder through `files`; without it none counts as
    // downloaded.
    void SetFileManager(PermissionManager::IClientFileManager& files) { fileManager_ = &files; }
    // Lists every file the document names, whatever is installed: what a document authorises
    // does not change once part of it is in place.
    void ListEveryEntry() { everyEntry_ = true; }

    // Reads a FileList (or Directory) element; 0 when a directory macro expanded to nothing.
    int Read(const XmlNode& element, const std::wstring& basePath);
    void Clear();

    // Decides whether the candidate is fetched, with the log lines of each test, and marks
    // a file already in the download folder.
    bool Decide(FileEntry& candidate, const FileRequest& request);

    std::size_t Count() const { return entries_.size(); }
    std::uint64_t TotalBytes() const { return totalBytes_; }
    // Whether a run fetches the entry: chosen, and not in the download folder already.
    static bool Fetched(const FileEntry& entry) { return entry.selected && !entry.alreadyDownloaded; }
    const std::vector<FileEntry>& Entries() const { return entries_; }
    std::vector<FileEntry>& Entries() { return entries_; }
    const std::wstring& DownloadFolder() const { return downloadFolder_; }

private:
    bool VersionTest(const std::wstring& destination, const std::wstring& version);
    bool TimeTest(const std::wstring& destination, const std::wstring& stamp);
    bool AlreadyDownloaded(const std::wstring& path, const FileEntry& entry);

    std::wstring downloadFolder_;
    PermissionManager::IClientFileManager* fileManager_ = nullptr;
    bool everyEntry_ = false;
    std::uint64_t totalBytes_ = 0;
    std::vector<FileEntry> entries_;
};

// The entry's patch from its Patch, PatchFrom, PatchSize, PatchCRC and PatchSHA256 under
// `folder` (its Src); nothing unless all five are there and readable and Patch is a plain file
// name.
std::optional<FilePatch> ReadFilePatch(const std::wstring& folder, const std::wstring& name, const std::wstring& from,
                                       const std::wstring& size, const std::wstring& crc, const std::wstring& sha256);

// A DOS date (high 16 bits) and time (low 16 bits) as a file time, with no zone conversion.
bool DosStampToFileTime(std::uint32_t stamp, FILETIME* time);
