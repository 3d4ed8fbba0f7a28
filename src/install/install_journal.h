// The installation's journal: every change is written to the download folder before it is
// made, so that a run that was killed, or whose roll-back failed, is taken back (or, once
// wholly done, finished) by the next run, and no backup the journal names is ever lost.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class Log;

namespace PermissionManager {
class IClientFileManager;
class IManagedFile;
}  // namespace PermissionManager

// The journal's file name in the download folder.
inline constexpr wchar_t kInstallJournalName[] = L"install.journal";

// One change the installation is about to make, and how to take it back.
struct JournalChange {
    enum Kind {
        Folder,    // a folder made where nothing was: removed once empty again
        Placed,    // a new file where nothing was: goes back to `downloaded` (or is deleted)
        Replaced,  // the file at the destination set aside at `kept`: the new one goes, the old returns
        Written,   // a file extracted from an archive where nothing was: deleted
    };
    Kind kind = Placed;
    std::wstring destination;
    std::wstring kept;        // Replaced
    std::wstring downloaded;  // Placed, Replaced: where the new file waits for the next run (may be empty)
    bool server = false;      // Placed, Replaced: the entry registers its file
};

// What a journal holds: its changes in order, the servers registered, whether the
// installation completed, and the version it installed.
struct JournalContents {
    std::wstring version;
    std::vector<JournalChange> changes;
    std::set<std::wstring> registered;
    bool committed = false;
};

// Reads a journal's bytes (a line per record, UTF-8). A last record whose end never reached
// the disk is ignored: its change was never begun (so a journal cut inside its first record
// reads as empty). False for anything else unreadable.
bool ReadJournalText(const std::string& text, JournalContents& contents);

// Writes the journal of one installation, each record flushed before the change it describes.
class InstallJournal {
public:
    InstallJournal(PermissionManager::IClientFileManager& files, std::wstring downloadFolder, Log& log);
    ~InstallJournal();
    InstallJournal(const InstallJournal&) = delete;
    InstallJournal& operator=(const InstallJournal&) = delete;

    // Creates the journal; false (with the log line) when one is there already, which only
    // an installation that was never taken back leaves, or when it cannot be written.
    bool Begin(const std::wstring& version);
    // Each false when the record could not be written: the change must then not be made.
    bool Note(const JournalChange& change);
    // Before a server registers: a run killed while it registers takes the entries back too.
    bool NoteRegistered(const std::wstring& path);
    // The installation is whole: a later run only finishes it.
    bool Commit();

    // A name in the download folder for the file now at `destination`, derived from the
    // destination alone and not yet taken, so that no run ever overwrites a backup.
    std::wstring BackupFor(const std::wstring& destination);

    // Takes every change back, the last one first; true when all are back and the journal
    // is gone. Otherwise the journal and every copy it names stay for the next run.
    bool RollBack();

private:
    bool Append(const std::wstring& record);

    PermissionManager::IClientFileManager& files_;
    std::wstring folder_;
    Log& log_;
    std::unique_ptr<PermissionManager::IManagedFile> file_;
    JournalContents contents_;
};

// What the start of a run found of an earlier installation.
struct RecoveryResult {
    enum Outcome {
        Nothing,   // no journal
        Undone,    // an interrupted installation was taken back: the program is the old one
        Finished,  // a completed installation was finished: the program is `version`
        Failed,    // some change could not be taken back: journal and copies kept
    };
    Outcome outcome = Nothing;
    std::wstring version;
};

// Finishes or takes back the installation whose journal lies in `downloadFolder`, with the
// log lines that say what was found and done. Every operation goes through `files`. With
// `confineTo`, a journal that names a destination outside that folder, or a backup or download
// outside the download folder, changes nothing: where others may write the download folder
// (the service's staging), a journal is only trusted to undo what an installation there did.
// A completed installation's journal is the only record of its version until `recordVersion`
// has put that version on disk: when it cannot, everything stays for a later run (Failed).
RecoveryResult RecoverInstallation(PermissionManager::IClientFileManager& files, const std::wstring& downloadFolder,
                                   Log& log, const std::wstring& confineTo = {},
                                   const std::function<bool(const std::wstring&)>& recordVersion = {});

// Whether a journal lies in the download folder (an installation runs or was interrupted).
bool HasInstallJournal(PermissionManager::IClientFileManager& files, const std::wstring& downloadFolder);
