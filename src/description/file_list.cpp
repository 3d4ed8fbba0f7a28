#include "description/file_list.h"

#include <windows.h>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "description/signed_document.h"
#include "foundation/file_digest.h"

DownloadFile::DownloadFile(std::wstring downloadFolder, Log& log)
    : DownloadBase(log), downloadFolder_(std::move(downloadFolder)) {}

void DownloadFile::Clear() {
    entries_.clear();
    totalBytes_ = 0;
}

int DownloadFile::Read(const XmlNode& element, const std::wstring& basePath) {
    std::vector<XmlNode> directories = element.SelectChildren(L"Directory");
    if (!ShouldRead(directories, basePath)) return 1;
    for (const XmlNode& directory : directories) {
        std::wstring path;
        for (const auto& [name, value] : directory.Attributes()) {
            if (name != L"Name") continue;
            if (StartsWith(value, L"<")) {
                path = ExpandDirectoryMacro(value);
                if (path.empty()) return 0;
            } else {
                path = basePath + L"\\" + value;
            }
            break;
        }
        if (!Read(directory, path)) return 0;
    }

    std::vector<XmlNode> files = element.SelectChildren(L"File");
    if (!ShouldRead(files, basePath)) return 1;
    for (const XmlNode& file : files) {
        if (!PassesOsTest(file, *log_)) continue;
        std::wstring name, folder, sizeText, crcText, hashText;
        std::wstring patchName, patchFrom, patchSize, patchCrc, patchHash;
        bool hasHash = false;
        FileRequest request;
        bool unzip = false, ignoreIfMissing = false, registerServer = false, ignoreErrors = false;
        for (const auto& [key, value] : file.Attributes()) {
            if (key == L"Name") name = value;
            else if (key == L"Src") folder = value;
            else if (key == L"Size") sizeText = value;
            else if (key == L"CRC") crcText = value;
            else if (key == L"SHA256") {
                hashText = value;
                hasHash = true;
            }
            else if (key == L"Action") unzip = value == L"unzip";
            else if (key == L"ByDate") request.byDate = value;
            else if (key == L"ByVersion") request.byVersion = value;
            else if (key == L"IgnoreIfMissing") ignoreIfMissing = IsTrueText(value);
            else if (key == L"Register") registerServer = IsTrueText(value);
            else if (key == L"IgnoreErrors") ignoreErrors = IsTrueText(value);
            else if (key == L"Patch") patchName = value;
            else if (key == L"PatchFrom") patchFrom = value;
            else if (key == L"PatchSize") patchSize = value;
            else if (key == L"PatchCRC") patchCrc = value;
            else if (key == L"PatchSHA256") patchHash = value;
        }
        const std::wstring fullPath = basePath + L"\\" + name;
        FileEntry candidate;
        candidate.destination = NormalizePath(fullPath);
        candidate.source = folder + name;
        candidate.downloadName = FormatText(L"UpdateFile%d", static_cast<int>(entries_.size() + 1));
        if (!ReadFileSize(sizeText, &candidate.size)) {
            log_->WriteTwoValues(L"File size not acceptable, file skipped", candidate.destination, sizeText);
            continue;
        }
        candidate.crc = HexValue(crcText);
        if (hasHash) {
            Sha256Digest digest{};
            // A hash that cannot be read protects nothing; the file is not taken unchecked.
            if (!ParseSha256Text(hashText, digest)) {
                log_->WriteTwoValues(L"File hash not acceptable, file skipped", candidate.destination, hashText);
                continue;
            }
            candidate.sha256 = digest;
        }
        if (!patchName.empty() || !patchFrom.empty() || !patchSize.empty() || !patchCrc.empty() || !patchHash.empty()) {
            candidate.patch = ReadFilePatch(folder, patchName, patchFrom, patchSize, patchCrc, patchHash);
            // Only a result that is hashed can be trusted from a patch, and only one held in memory
            // once can be rebuilt; otherwise the file whole.
            if (!candidate.sha256 || candidate.size > kMaxPatchedFileSize) candidate.patch.reset();
            if (!candidate.patch) log_->WriteValue(L"File patch not acceptable, the whole file is fetched", candidate.destination);
        }
        candidate.registerServer = registerServer;
        candidate.unzip = unzip;
        candidate.ignoreErrors = ignoreErrors;
        if (everyEntry_) {
            entries_.push_back(candidate);
            continue;
        }
        if (ignoreIfMissing && GetFileAttributesW(fullPath.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        if (!Decide(candidate, request)) continue;
        // Saturates rather than wraps: only a progress display reads the total.
        if (!candidate.alreadyDownloaded) {
            totalBytes_ = candidate.size > UINT64_MAX - totalBytes_ ? UINT64_MAX : totalBytes_ + candidate.size;
        }
        entries_.push_back(candidate);
    }
    return 1;
}

bool DownloadFile::Decide(FileEntry& candidate, const FileRequest& request) {
    log_->WriteValue(L"Checking file", candidate.destination);
    if (candidate.size == 0) {
        log_->WriteValue(L"Zero byte file will not be retrieved", candidate.destination);
        return false;
    }
    bool selected = false;
    if (request.byVersion.empty() && request.byDate.empty()) {
        log_->WriteEntry(L"File added");
        selected = true;
    } else if (GetFileAttributesW(candidate.destination.c_str()) == INVALID_FILE_ATTRIBUTES) {
        log_->WriteEntry(L"File added - not on user system.");
        selected = true;
    } else {
        if (!request.byVersion.empty() && VersionTest(candidate.destination, request.byVersion)) selected = true;
        if (!request.byDate.empty() && TimeTest(candidate.destination, request.byDate)) selected = true;
    }
    candidate.selected = selected;
    if (selected) {
        candidate.alreadyDownloaded = AlreadyDownloaded(downloadFolder_ + L"\\" + candidate.downloadName, candidate);
    }
    return selected;
}

std::optional<FilePatch> ReadFilePatch(const std::wstring& folder, const std::wstring& name, const std::wstring& from,
                                       const std::wstring& size, const std::wstring& crc, const std::wstring& sha256) {
    // A name beside the file: nothing that leaves its folder.
    if (name.empty() || name == L"." || name == L".." || name.find_first_of(L"\\/:") != std::wstring::npos) {
        return std::nullopt;
    }
    FilePatch patch;
    patch.source = folder + name;
    if (!ParseSha256Text(from, patch.from) || !ParseSha256Text(sha256, patch.sha256) ||
        !ReadFileSize(size, &patch.size) || patch.size == 0 || crc.empty()) {
        return std::nullopt;
    }
    patch.crc = HexValue(crc);
    return patch;
}

bool DownloadFile::VersionTest(const std::wstring& destination, const std::wstring& version) {
    const std::wstring local = FileVersionString(destination);
    if (local.empty()) {
        log_->WriteEntry(L"File version not readable -- download new version.");
        return true;
    }
    const bool newer = CompareVersions(version, local) == 1;
    log_->WriteEntry(FormatText(L"Compare versions: %ls, %ls - ", version.c_str(), local.c_str()) +
                     (newer ? L"File added, server version newer." : L"File not added, client version newer."));
    return newer;
}

bool DosStampToFileTime(std::uint32_t stamp, FILETIME* time) {
    return DosDateTimeToFileTime(static_cast<WORD>(stamp >> 16), static_cast<WORD>(stamp & 0xFFFF), time) != FALSE;
}

bool DownloadFile::TimeTest(const std::wstring& destination, const std::wstring& stamp) {
    WIN32_FIND_DATAW data;
    renewix::UniqueFind find(FindFirstFileW(destination.c_str(), &data));
    if (!find) {
        log_->WriteEntry(L"File time-stamp not readable -- download new version.");
        return true;
    }
    FILETIME server{};
    DosStampToFileTime(HexValue(stamp), &server);
    if (CompareFileTime(&server, &data.ftLastWriteTime) > 0) {
        log_->WriteEntry(L"File added - Timestamp is newer on server.");
        return true;
    }
    log_->WriteEntry(L"File not added - Timestamp is older on server.");
    return false;
}

// A file left by an earlier run counts only when it is the very file the document lists: the
// same size, CRC and (when given) SHA-256. Without either nothing proves that, so such a file
// is fetched again.
bool DownloadFile::AlreadyDownloaded(const std::wstring& path, const FileEntry& entry) {
    if ((entry.crc == 0 && !entry.sha256) || !fileManager_) return false;
    WIN32_FIND_DATAW data;
    {
        renewix::UniqueFind find(FindFirstFileW(path.c_str(), &data));
        if (!find || ((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) != entry.size) {
            return false;
        }
    }
    FileDigest found;
    if (ComputeFileDigest(*fileManager_, path, entry.sha256.has_value(), found) != 0 ||
        CompareDigest({entry.size, entry.crc, entry.sha256}, found) != DigestMismatch::None) {
        return false;
    }
    log_->WriteEntry(L"File already downloaded");
    return true;
}
