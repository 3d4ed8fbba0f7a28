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

namespace {

std::wstring FileNameOf(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// What one step of the installation changed, and how to take it back.
struct Change {
    enum Kind {
        Placed,    // a downloaded file moved to a destination where nothing was: moved back
        Replaced,  // the destination's old file set aside at `kept`: the new one goes, the old one returns
        Written,   // a file extracted from an archive where nothing was: deleted
        Folder,    // a folder made for the new files where nothing was: removed once empty again
    };
    Kind kind;
    std::wstring destination;
    std::wstring kept;        // Replaced: where the old file waits
    std::wstring downloaded;  // Placed, Replaced: where the new file goes back to (may be empty)
    bool registered = false;  // Replaced: the old file was a registered server; register it again
};

// Every change of one installation, so that a failure can put the program back as it was.
class InstallJournal {
public:
    explicit InstallJournal(PermissionManager::IClientFileManager& files) : files_(files) {}

    void Add(Change change) { changes_.push_back(std::move(change)); }

    // Takes every change back, the last one first, with a log line for each.
    void RollBack(Log& log) {
        if (changes_.empty()) return;
        log.WriteHeading(L"Restoring the files replaced by this update");
        for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
            const bool present = files_.GetAttributes(change->destination) != INVALID_FILE_ATTRIBUTES;
            if (change->kind == Change::Folder) {
                // Its files are already taken back. Only an empty folder can be removed, so
                // nothing that was there before can go with it (inner folders come first).
                if (present) RemoveDirectoryW(change->destination.c_str());
                continue;
            }
            if (change->kind != Change::Replaced) {
                // An extraction that failed part-way never wrote some of its files.
                if (!present) continue;
                if (TakeAway(*change)) {
                    log.WriteValue(L"Removed the added file", change->destination);
                } else {
                    log.WriteValue(L"Unable to remove the added file", change->destination);
                }
            } else if (TakeAway(*change) && files_.Move(change->kept, change->destination)) {
                log.WriteValue(L"Restored", change->destination);
                // The new version registered itself over the old one's entries.
                if (change->registered) RegisterComponent(change->destination, files_, log);
            } else {
                log.WriteValue(L"Unable to restore", change->destination);
            }
        }
        changes_.clear();
    }

private:
    // Moves the new file at the destination back to the download folder, so that it stays
    // there, verified, for the next run; a destination that is empty needs nothing.
    bool TakeAway(const Change& change) {
        if (files_.GetAttributes(change.destination) == INVALID_FILE_ATTRIBUTES) return true;
        if (change.kind == Change::Written) return files_.Delete(change.destination) != 0;
        if (!change.downloaded.empty() && files_.GetAttributes(change.downloaded) == INVALID_FILE_ATTRIBUTES &&
            files_.Move(change.destination, change.downloaded)) {
            return true;
        }
        return files_.Delete(change.destination) != 0;
    }

    PermissionManager::IClientFileManager& files_;
    std::vector<Change> changes_;
};

// The length of the part of a path that is never a folder of ours: "C:\" or "\\server\share\".
std::size_t RootLength(const std::wstring& path) {
    if (!StartsWith(path, L"\\\\")) return 3;
    std::size_t at = path.find(L'\\', 2);
    if (at != std::wstring::npos) at = path.find(L'\\', at + 1);
    return at == std::wstring::npos ? path.size() : at + 1;
}

// Notes every folder that placing `path` will create, outermost first, so that a roll-back
// meets the innermost first.
void NoteNewFolders(const std::wstring& path, PermissionManager::IClientFileManager& files, InstallJournal& journal) {
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
        journal.Add({Change::Folder, *folder, L"", L""});
    }
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

// A backup left by an earlier run whose restore failed is the only copy of the old file:
// it goes back before anything else happens to that destination.
void RecoverLeftBackup(const std::wstring& destination, const std::wstring& backup,
                       PermissionManager::IClientFileManager& files, Log& log) {
    if (files.GetAttributes(backup) == INVALID_FILE_ATTRIBUTES ||
        files.GetAttributes(destination) != INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (files.Move(backup, destination)) log.WriteValue(L"Restored from an earlier run's backup", destination);
}

// Sets aside, before an archive is extracted, every existing file it will overwrite, and
// notes the files it will add; false (with the log line) when the archive is damaged or a
// file cannot be moved, before anything is written.
bool SetAsideArchiveTargets(const std::wstring& archive, const std::wstring& directory, const std::wstring& backupBase,
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
    int kept = 0;
    for (const std::wstring& name : names) {
        const std::wstring target = NormalizePath(directory + L"\\" + name);
        if (RefuseFolder(target, files, log)) return false;
        if (files.GetAttributes(target) == INVALID_FILE_ATTRIBUTES) {
            NoteNewFolders(target, files, journal);
            journal.Add({Change::Written, target, L"", L""});
            continue;
        }
        const std::wstring backup = backupBase + std::to_wstring(++kept);
        files.Delete(backup);
        if (!files.Move(target, backup)) {
            log.WriteBlank();
            log.WriteValueNumber(L"Error moving file", target, static_cast<int>(files.GetAttributes(target)));
            log.WriteValue(L"Backup location", backup);
            log.WriteBlank();
            return false;
        }
        journal.Add({Change::Replaced, target, backup, L""});
    }
    return true;
}

// Installs one entry; false when the installation must stop.
bool InstallEntry(FileEntry& entry, const DownloadFile& list, PermissionManager::IClientFileManager& files,
                  InstallJournal& journal, Log& log) {
    const std::wstring& destination = entry.destination;
    const std::wstring downloaded = list.DownloadFolder() + L"\\" + entry.downloadName;
    const std::wstring backup = downloaded + L".bak";
    RecoverLeftBackup(destination, backup, files, log);
    if (RefuseFolder(destination, files, log)) return entry.ignoreErrors != 0 && !entry.unzip;
    bool existed = files.GetAttributes(destination) != INVALID_FILE_ATTRIBUTES;
    files.Delete(backup);
    // Where the file that was in place went, so that a failure can put it back.
    std::wstring setAside;

    if (EqualsNoCase(destination, ModulePath())) {
        // A running executable cannot be replaced, but it can be moved out of the way.
        entry.ignoreErrors = 1;
        // Parked in the download folder, which belongs to the program: never in a folder the
        // user controls, from where it could come back as something else.
        const std::wstring parked = list.DownloadFolder() + L"\\" + FileNameOf(destination) + L".old";
        files.Delete(parked);
        if (files.Move(destination, parked)) {
            log.WriteValue(L"Detected a self update!", destination);
            existed = false;
            setAside = parked;
        } else {
            log.WriteValue(L"Unable to update myself", destination);
        }
    }

    if (existed) {
        if (files.Move(destination, backup)) {
            setAside = backup;
        } else {
            log.WriteBlank();
            log.WriteValueNumber(L"Error moving file", destination, static_cast<int>(files.GetAttributes(destination)));
            log.WriteValue(L"Backup location", backup);
            log.WriteBlank();
        }
    }
    // A file that could not be replaced goes back where it was at once.
    const auto putBack = [&] {
        if (!setAside.empty() && files.GetAttributes(destination) == INVALID_FILE_ATTRIBUTES) {
            files.Move(setAside, destination);
        }
    };

    if (entry.unzip) {
        std::wstring drive, directory;
        SplitDriveAndDirectory(destination, &drive, &directory);
        const std::wstring folder = drive + directory;
        if (!setAside.empty()) journal.Add({Change::Replaced, destination, setAside, L""});
        if (!SetAsideArchiveTargets(downloaded, folder, backup, files, journal, log)) return false;
        if (!ExtractArchive(downloaded, folder, files, log)) return false;
        files.Delete(destination);
        return true;
    }

    NoteNewFolders(destination, files, journal);
    if (!files.Move(downloaded, destination)) {
        log.WriteBlank();
        log.WriteValue(L"Error moving file", downloaded);
        log.WriteValue(L"File destination", destination);
        log.WriteBlank();
        putBack();
        if (!entry.ignoreErrors) return false;
    } else if (setAside.empty()) {
        journal.Add({Change::Placed, destination, L"", downloaded});
    } else {
        journal.Add({Change::Replaced, destination, setAside, downloaded, entry.registerServer != 0});
    }
    return !entry.registerServer || RegisterComponent(destination, files, log);
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
        if (entry.sha256) {
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

int InstallFiles(DownloadFile& list, PermissionManager::IClientFileManager& files, Log& log) {
    log.WriteEntry(L"Moving files to directories");

    // Every file is checked against the document before the first one is put in place,
    // whether this run fetched it or an earlier run left it.
    for (const FileEntry& entry : list.Entries()) {
        if (entry.selected &&
            !CheckDownloadedFile(entry, list.DownloadFolder() + L"\\" + entry.downloadName, files, log)) {
            return 0;
        }
    }

    InstallJournal journal(files);
    for (FileEntry& entry : list.Entries()) {
        if (!entry.selected) continue;
        if (!InstallEntry(entry, list, files, journal, log)) {
            // Half an update is neither version: put every replaced file back.
            journal.RollBack(log);
            return 0;
        }
    }
    return 1;
}
