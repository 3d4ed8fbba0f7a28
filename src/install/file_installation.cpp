#include "install/file_installation.h"

#include <windows.h>

#include <vector>

#include "description/file_list.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/file_management.h"
#include "foundation/zip_extractor.h"
#include "foundation/file_digest.h"
#include "install/install_journal.h"

namespace {

// The length of the part of a path that is never a folder of ours: "C:\" or "\\server\share\".
std::size_t RootLength(const std::wstring& path) {
    if (!StartsWith(path, L"\\\\")) return 3;
    std::size_t at = path.find(L'\\', 2);
    if (at != std::wstring::npos) at = path.find(L'\\', at + 1);
    return at == std::wstring::npos ? path.size() : at + 1;
}

// Notes every folder that placing `path` will create, outermost first, so that a roll-back
// meets the innermost first; false when the journal cannot be written.
bool NoteNewFolders(const std::wstring& path, PermissionManager::IClientFileManager& files, InstallJournal& journal) {
    const std::size_t root = RootLength(path);
    std::vector<std::wstring> missing;
    for (std::wstring folder = path;;) {
        const std::size_t slash = folder.rfind(L'\\');
        if (slash == std::wstring::npos || slash < root) break;
        folder.resize(slash);
        if (files.GetAttributes(folder) != INVALID_FILE_ATTRIBUTES) break;
        missing.push_back(folder);
    }
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
        if (!journal.Note({JournalChange::Folder, *folder})) return false;
    }
    return true;
}

bool IsFolder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A file cannot replace a folder: setting the folder aside would lose it with the download
// folder once the update succeeded.
bool RefuseFolder(const std::wstring& target, PermissionManager::IClientFileManager& files, Log& log) {
    if (!IsFolder(files.GetAttributes(target))) return false;
    log.WriteValue(L"A folder stands where the update puts a file", target);
    return true;
}

void LogFailedSetAside(const std::wstring& target, const std::wstring& backup,
                       PermissionManager::IClientFileManager& files, Log& log) {
    log.WriteBlank();
    log.WriteValueNumber(L"Error moving file", target, static_cast<int>(files.GetAttributes(target)));
    log.WriteValue(L"Backup location", backup);
    log.WriteBlank();
}

// Sets aside, before an archive is extracted, every existing file it will overwrite, and
// notes the files it will add; false (with the log line) when the archive is damaged or a
// file cannot be moved, before anything is written.
bool SetAsideArchiveTargets(const std::wstring& archive, const std::wstring& directory,
                            PermissionManager::IClientFileManager& files, InstallJournal& journal, Log& log) {
    std::vector<std::wstring> names;
    switch (ListArchiveFiles(archive, &names, log)) {
        case ArchiveListing::Listed:
            break;
        case ArchiveListing::NotOpened:
            log.WriteValue(L"Unable to open zip file", archive);
            return false;
        case ArchiveListing::Damaged:
            log.WriteValue(L"Unable to extract zip files", archive);
            return false;
    }
    for (const std::wstring& name : names) {
        const std::wstring target = NormalizePath(directory + L"\\" + name);
        if (RefuseFolder(target, files, log)) return false;
        if (files.GetAttributes(target) == INVALID_FILE_ATTRIBUTES) {
            if (!NoteNewFolders(target, files, journal) || !journal.Note({JournalChange::Written, target})) return false;
            continue;
        }
        const std::wstring backup = journal.BackupFor(target);
        if (!journal.Note({JournalChange::Replaced, target, backup})) return false;
        if (!files.Move(target, backup)) {
            LogFailedSetAside(target, backup, files, log);
            return false;
        }
    }
    return true;
}

// Installs one entry; false when the installation must stop. Every change is in the
// journal before it is made.
bool InstallEntry(FileEntry& entry, const DownloadFile& list, PermissionManager::IClientFileManager& files,
                  InstallJournal& journal, Log& log) {
    const std::wstring& destination = entry.destination;
    const std::wstring downloaded = list.DownloadFolder() + L"\\" + entry.downloadName;
    if (RefuseFolder(destination, files, log)) return entry.ignoreErrors != 0 && !entry.unzip;
    const bool existed = files.GetAttributes(destination) != INVALID_FILE_ATTRIBUTES;
    const bool self = EqualsNoCase(destination, ModulePath());
    // A running executable cannot be replaced, but it can be moved out of the way.
    if (self) entry.ignoreErrors = 1;
    const bool server = entry.registerServer != 0 && !entry.unzip;

    // Where the file that was in place went, so that a failure can put it back.
    std::wstring setAside;
    if (existed) {
        setAside = journal.BackupFor(destination);
        if (!journal.Note({JournalChange::Replaced, destination, setAside, entry.unzip ? L"" : downloaded, server})) {
            return false;
        }
        if (!files.Move(destination, setAside)) {
            if (self) {
                log.WriteValue(L"Unable to update myself", destination);
            } else {
                LogFailedSetAside(destination, setAside, files, log);
            }
            // Nothing changed: an entry whose errors are ignored is passed over.
            return entry.ignoreErrors != 0 && !entry.unzip;
        }
        if (self) log.WriteValue(L"Detected a self update!", destination);
    }

    if (entry.unzip) {
        std::wstring drive, directory;
        SplitDriveAndDirectory(destination, &drive, &directory);
        const std::wstring folder = drive + directory;
        if (!SetAsideArchiveTargets(downloaded, folder, files, journal, log)) return false;
        if (!ExtractArchive(downloaded, folder, files, log)) return false;
        files.Delete(destination);
        return true;
    }

    if (!NoteNewFolders(destination, files, journal)) return false;
    if (!existed && !journal.Note({JournalChange::Placed, destination, L"", downloaded, server})) return false;
    if (!files.Move(downloaded, destination)) {
        log.WriteBlank();
        log.WriteValue(L"Error moving file", downloaded);
        log.WriteValue(L"File destination", destination);
        log.WriteBlank();
        if (!entry.ignoreErrors) return false;
        // The file that could not be replaced goes back at once; when it cannot, the
        // installation stops so that the journal keeps its copy and the run reports it.
        if (!setAside.empty() && files.GetAttributes(destination) == INVALID_FILE_ATTRIBUTES &&
            !files.Move(setAside, destination)) {
            log.WriteValue(L"Unable to restore", destination);
            return false;
        }
    }
    return !server || (journal.NoteRegistered(destination) && RegisterComponent(destination, files, log));
}

}  // namespace

bool CheckDownloadedFile(const FileEntry& entry, const std::wstring& path, PermissionManager::IClientFileManager& files,
                         Log& log) {
    FileDigest found;
    const std::uint32_t error = ComputeFileDigest(files, path, entry.sha256.has_value(), found);
    if (error == 0 && CompareDigest({entry.size, entry.crc, entry.sha256}, found) == DigestMismatch::None) return true;
    log.WriteHeading(L"A downloaded file does not match the update description");
    log.WriteValue(L"File", entry.source);
    if (error != 0) {
        log.WriteValueNumber(L"Unable to read", path, static_cast<int>(error));
    } else {
        log.WriteNumber(L"Expected size", static_cast<long long>(entry.size));
        log.WriteNumber(L"Detected size", static_cast<long long>(found.size));
        log.WriteNumber(L"Expected CRC", static_cast<int>(entry.crc));
        log.WriteNumber(L"Detected CRC", static_cast<int>(found.crc));
        if (entry.sha256 && found.sha256) {
            log.WriteValue(L"Expected SHA-256", HexText(*entry.sha256));
            log.WriteValue(L"Detected SHA-256", HexText(*found.sha256));
        }
    }
    // A file that failed its check must never be taken for a good one by a later run.
    files.Delete(path);
    return false;
}

int ExtractArchive(const std::wstring& archivePath, const std::wstring& directory,
                   PermissionManager::IClientFileManager& files, Log& log) {
    const int count = files.Unzip(archivePath, directory);
    if (count == -1) {
        log.WriteValue(L"Unable to open zip file", archivePath);
        return 0;
    }
    // No entry extracted, or no folder to extract into, is a failed archive, not success.
    if (count <= 0) {
        log.WriteValue(L"Unable to extract zip files", archivePath);
        return 0;
    }
    log.WriteEntry(FormatText(L"Unzipped %d file%ls", count, count == 1 ? L"" : L"(s)"));
    return 1;
}

int RegisterComponent(const std::wstring& path, PermissionManager::IClientFileManager& files, Log& log) {
    if (files.RegisterServer(path)) {
        log.WriteValue(L"A file was successfully registered", path);
        return 1;
    }
    log.WriteValue(L"Unable to register", path);
    return 0;
}

bool CheckDownloads(const DownloadFile& list, PermissionManager::IClientFileManager& files, Log& log) {
    for (const FileEntry& entry : list.Entries()) {
        if (entry.selected &&
            !CheckDownloadedFile(entry, list.DownloadFolder() + L"\\" + entry.downloadName, files, log)) {
            return false;
        }
    }
    return true;
}

int InstallFiles(DownloadFile& list, PermissionManager::IClientFileManager& files, InstallJournal& journal, Log& log) {
    log.WriteEntry(L"Moving files to directories");
    for (FileEntry& entry : list.Entries()) {
        if (!entry.selected) continue;
        if (!InstallEntry(entry, list, files, journal, log)) {
            // Half an update is neither version: put every replaced file back.
            journal.RollBack();
            return 0;
        }
    }
    return 1;
}
