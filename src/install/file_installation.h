// Puts downloaded files in place: backups, self-update, archives and registration.
#pragma once

#include <string>

class DownloadFile;
class InstallJournal;
class Log;
struct FileEntry;

namespace PermissionManager {
class IClientFileManager;
}

// Whether every selected download has the size, CRC and hash the document gives; the first
// that does not is deleted, with the log lines that say why.
bool CheckDownloads(const DownloadFile& list, PermissionManager::IClientFileManager& files, Log& log);

// Installs every selected entry in list order (checked by CheckDownloads before), each change
// written first to `journal`, which has begun; 1 when all were installed. 0 when the
// installation stopped: every file it had replaced is then back, the files it had added are
// gone, and the verified downloads wait in the download folder for the next run; what could
// not be put back stays named in the journal. Every file operation goes through `files`. The
// download folder stays: what the caller does next (the registry list) may still need it.
int InstallFiles(DownloadFile& list, PermissionManager::IClientFileManager& files, InstallJournal& journal, Log& log);

// Whether the file at `path` has the entry's size and (when the document gives one) CRC; a
// file that does not is deleted, with the log lines that say why.
bool CheckDownloadedFile(const FileEntry& entry, const std::wstring& path, PermissionManager::IClientFileManager& files,
                         Log& log);

// Unzips with the log lines; 1 or 0.
int ExtractArchive(const std::wstring& archivePath, const std::wstring& directory,
                   PermissionManager::IClientFileManager& files, Log& log);
// Registers a COM server with the log lines; 1 or 0.
int RegisterComponent(const std::wstring& path, PermissionManager::IClientFileManager& files, Log& log);
