#include "install/install_journal.h"

#include <windows.h>

#include <utility>

#include "foundation/crc32.h"
#include "foundation/file_management.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "install/file_installation.h"

namespace {

using PermissionManager::IClientFileManager;

// Journals are a few lines per entry; anything near this is not one of ours.
constexpr std::size_t kMaxJournalBytes = 16 * 1024 * 1024;

std::wstring JournalPath(const std::wstring& folder) { return folder + L"\\" + kInstallJournalName; }

bool Present(IClientFileManager& files, const std::wstring& path) {
    return files.GetAttributes(path) != INVALID_FILE_ATTRIBUTES;
}

const wchar_t* KindName(JournalChange::Kind kind) {
    switch (kind) {
        case JournalChange::Folder: return L"folder";
        case JournalChange::Placed: return L"placed";
        case JournalChange::Replaced: return L"replaced";
        case JournalChange::Written: return L"written";
    }
    return L"";
}

// Fields are separated by tabs, which no path holds.
std::wstring Record(std::initializer_list<std::wstring_view> fields) {
    std::wstring line;
    for (std::wstring_view field : fields) {
        if (!line.empty()) line += L'\t';
        line += field;
    }
    return line + L"\r\n";
}

std::wstring ChangeRecord(const JournalChange& change) {
    return Record({KindName(change.kind), change.destination, change.kept, change.downloaded,
                   change.server ? L"1" : L"0"});
}

std::vector<std::wstring> SplitFields(const std::wstring& line) {
    std::vector<std::wstring> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find(L'\t', start);
        fields.push_back(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos) return fields;
        start = tab + 1;
    }
}

bool ReadRecord(const std::vector<std::wstring>& fields, JournalContents& contents) {
    const std::wstring& kind = fields[0];
    if (kind == L"registered" && fields.size() == 2 && !fields[1].empty()) {
        contents.registered.insert(fields[1]);
        return true;
    }
    if (kind == L"committed" && fields.size() == 1) {
        contents.committed = true;
        return true;
    }
    if (fields.size() != 5 || fields[1].empty() || (fields[4] != L"0" && fields[4] != L"1")) return false;
    JournalChange change;
    if (kind == L"folder") change.kind = JournalChange::Folder;
    else if (kind == L"placed") change.kind = JournalChange::Placed;
    else if (kind == L"replaced") change.kind = JournalChange::Replaced;
    else if (kind == L"written") change.kind = JournalChange::Written;
    else return false;
    change.destination = fields[1];
    change.kept = fields[2];
    change.downloaded = fields[3];
    change.server = fields[4] == L"1";
    // A set-aside file without the place it waits at could never come back.
    if (change.kind == JournalChange::Replaced && change.kept.empty()) return false;
    contents.changes.push_back(std::move(change));
    return true;
}

// Moves the new file at the destination back to the download folder, so that it waits
// there, verified, for the next run; a destination that is empty needs nothing.
bool TakeAway(const JournalChange& change, IClientFileManager& files) {
    if (!Present(files, change.destination)) return true;
    if (change.kind != JournalChange::Written && !change.downloaded.empty() && !Present(files, change.downloaded) &&
        files.Move(change.destination, change.downloaded)) {
        return true;
    }
    return files.Delete(change.destination) != 0;
}

// An added server's entries go before its file: none may point at a file that is gone. A
// replaced one's entries stay: the old server registers over them at the same path.
void Unregister(const JournalChange& change, const JournalContents& contents, IClientFileManager& files, Log& log) {
    if (change.kind != JournalChange::Placed || !change.server || !contents.registered.count(change.destination) ||
        !Present(files, change.destination)) {
        return;
    }
    if (files.UnregisterServer(change.destination)) {
        log.WriteValue(L"Unregistered", change.destination);
    } else {
        log.WriteValue(L"Unable to unregister", change.destination);
    }
}

// Takes every change back, the last one first; true when nothing stays changed. Each step
// looks at what is on disk, so that a run killed while taking back can be taken back again.
bool UndoChanges(const JournalContents& contents, IClientFileManager& files, Log& log) {
    bool whole = true;
    for (auto change = contents.changes.rbegin(); change != contents.changes.rend(); ++change) {
        switch (change->kind) {
            case JournalChange::Folder:
                // Its files are already taken back. Only an empty folder is removed, so that
                // nothing put there since goes with it (inner folders come first).
                if (Present(files, change->destination)) files.Delete(change->destination);
                break;
            case JournalChange::Placed:
            case JournalChange::Written:
                if (!Present(files, change->destination)) break;
                Unregister(*change, contents, files, log);
                if (TakeAway(*change, files)) {
                    log.WriteValue(L"Removed the added file", change->destination);
                } else {
                    log.WriteValue(L"Unable to remove the added file", change->destination);
                    whole = false;
                }
                break;
            case JournalChange::Replaced:
                if (!Present(files, change->kept) ||
                    (!change->downloaded.empty() && Present(files, change->downloaded) &&
                     Present(files, change->destination))) {
                    // Not set aside yet (or a copy to another volume cut short: the download
                    // never left, so the destination still holds the old file), or already back.
                    // A run killed after putting a server back may not have registered it again,
                    // and doing so twice is harmless.
                    if (change->server && Present(files, change->destination)) {
                        RegisterComponent(change->destination, files, log);
                    }
                    break;
                }
                Unregister(*change, contents, files, log);
                if (TakeAway(*change, files) && files.Move(change->kept, change->destination)) {
                    log.WriteValue(L"Restored", change->destination);
                    // The new version registered itself over the old one's entries.
                    if (change->server) RegisterComponent(change->destination, files, log);
                } else {
                    log.WriteValue(L"Unable to restore", change->destination);
                    log.WriteValue(L"The old file is kept at", change->kept);
                    whole = false;
                }
                break;
        }
    }
    return whole;
}

}  // namespace

bool ReadJournalText(const std::string& text, JournalContents& contents) {
    contents = {};
    bool valid = false;
    const std::wstring wide = Utf8ToWide(text, &valid);
    if (!valid) return false;
    bool begun = false;
    std::size_t start = 0;
    // Only records with their end: the last one may have been cut by a lost write.
    for (std::size_t end; (end = wide.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        const std::vector<std::wstring> fields = SplitFields(wide.substr(start, end - start));
        if (!begun) {
            if (fields.size() != 2 || fields[0] != L"begin") return false;
            contents.version = fields[1];
            begun = true;
        } else if (!ReadRecord(fields, contents)) {
            return false;
        }
    }
    if (begun) return true;
    // The first record never reached the disk whole: nothing was begun, nothing to take back.
    const std::wstring_view first = L"begin\t";
    const std::wstring_view opening = std::wstring_view(wide).substr(0, first.size());
    return first.starts_with(opening) && wide.find(L"\r\n") == std::wstring::npos;
}

InstallJournal::InstallJournal(IClientFileManager& files, std::wstring downloadFolder, Log& log)
    : files_(files), folder_(std::move(downloadFolder)), log_(log) {}

InstallJournal::~InstallJournal() = default;

bool InstallJournal::Begin(const std::wstring& version) {
    const std::wstring path = JournalPath(folder_);
    if (Present(files_, path)) {
        log_.WriteValue(L"An earlier installation was never taken back", path);
        return false;
    }
    file_ = files_.Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_FLAG_WRITE_THROUGH);
    contents_ = {};
    contents_.version = version;
    if (file_ && Append(Record({L"begin", version}))) return true;
    log_.WriteValue(L"Unable to write the installation journal", path);
    file_.reset();
    return false;
}

bool InstallJournal::Append(const std::wstring& record) {
    const std::string bytes = WideToUtf8(record);
    return file_ && file_->Write(bytes.data(), static_cast<DWORD>(bytes.size())) != 0;
}

bool InstallJournal::Note(const JournalChange& change) {
    if (!Append(ChangeRecord(change))) return false;
    contents_.changes.push_back(change);
    return true;
}

bool InstallJournal::NoteRegistered(const std::wstring& path) {
    if (!Append(Record({L"registered", path}))) return false;
    contents_.registered.insert(path);
    return true;
}

bool InstallJournal::Commit() {
    if (!Append(Record({L"committed"}))) return false;
    contents_.committed = true;
    file_.reset();
    return true;
}

std::wstring InstallJournal::BackupFor(const std::wstring& destination) {
    std::wstring upper = destination;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    const std::uint32_t crc = CCrc32Static::Update(0xFFFFFFFFu, upper.data(), upper.size() * sizeof(wchar_t)) ^
                              0xFFFFFFFFu;
    const std::wstring base = folder_ + L"\\" + FileNamePart(destination) + FormatText(L".%08x", crc);
    for (int copy = 1;; ++copy) {
        const std::wstring name = base + (copy == 1 ? L"" : L"." + std::to_wstring(copy)) + L".bak";
        bool named = false;
        for (const JournalChange& change : contents_.changes) named = named || EqualsNoCase(change.kept, name);
        if (!named && !Present(files_, name)) return name;
    }
}

bool InstallJournal::RollBack() {
    if (!file_ && contents_.changes.empty()) return true;
    if (!contents_.changes.empty()) log_.WriteHeading(L"Restoring the files replaced by this update");
    const bool whole = UndoChanges(contents_, files_, log_);
    file_.reset();
    const std::wstring path = JournalPath(folder_);
    if (whole && files_.Delete(path)) {
        contents_ = {};
        return true;
    }
    log_.WriteValue(L"The installation could not be taken back; its journal stays", path);
    return false;
}

bool HasInstallJournal(IClientFileManager& files, const std::wstring& downloadFolder) {
    return Present(files, JournalPath(downloadFolder));
}

namespace {

// Whether `path` lies below `folder`, named plainly (no "..", no forward slashes).
bool IsBelow(const std::wstring& path, const std::wstring& folder) {
    std::wstring base = folder;
    while (!base.empty() && base.back() == L'\\') base.pop_back();
    return !base.empty() && path.size() > base.size() + 1 && EqualsNoCase(path.substr(0, base.size()), base) &&
           path[base.size()] == L'\\' && path.find(L'/') == std::wstring::npos &&
           (path + L"\\").find(L"\\..\\") == std::wstring::npos && (path + L"\\").find(L"\\.\\") == std::wstring::npos;
}

// Whether every path the journal names stays where this run's own installations put them:
// destinations in `programFolder`, backups and downloads in the download folder.
bool StaysInside(const JournalContents& contents, const std::wstring& programFolder, const std::wstring& downloadFolder) {
    for (const JournalChange& change : contents.changes) {
        if (!IsBelow(change.destination, programFolder)) return false;
        for (const std::wstring* kept : {&change.kept, &change.downloaded}) {
            if (!kept->empty() && !IsBelow(*kept, downloadFolder)) return false;
        }
    }
    for (const std::wstring& path : contents.registered) {
        if (!IsBelow(path, programFolder)) return false;
    }
    return true;
}

}  // namespace

RecoveryResult RecoverInstallation(IClientFileManager& files, const std::wstring& downloadFolder, Log& log,
                                   const std::wstring& confineTo,
                                   const std::function<bool(const std::wstring&)>& recordVersion) {
    RecoveryResult result;
    const std::wstring path = JournalPath(downloadFolder);
    if (!Present(files, path)) return result;
    log.WriteHeading(L"An interrupted installation was found");
    log.WriteValue(L"Journal", path);
    result.outcome = RecoveryResult::Failed;
    std::string bytes;
    bool whole = false;
    // Closed before anything is undone: the journal itself is deleted at the end.
    if (const std::unique_ptr<PermissionManager::IManagedFile> file = files.Open(path, GENERIC_READ, OPEN_EXISTING, 0)) {
        whole = PermissionManager::ReadAll(*file, bytes, kMaxJournalBytes);
    }
    JournalContents contents;
    if (!whole || !ReadJournalText(bytes, contents)) {
        log.WriteValue(L"Unable to read the installation journal: nothing is changed", path);
        return result;
    }
    if (!confineTo.empty() && !StaysInside(contents, confineTo, downloadFolder)) {
        log.WriteValue(L"The installation journal names files outside the program's folder: nothing is changed", path);
        return result;
    }
    if (contents.committed) {
        // Every file was in place and the registry changed: only the clearing up was left.
        log.WriteValue(L"The installation had completed: finishing it for version", contents.version);
        if (recordVersion && !recordVersion(contents.version)) {
            log.WriteEntry(L"The installed version could not be recorded: the installation is finished by a later run");
            return result;
        }
        files.DeleteTree(downloadFolder);
        files.Delete(path);
        result.outcome = RecoveryResult::Finished;
        result.version = contents.version;
        return result;
    }
    log.WriteValue(L"Taking back the installation of version", contents.version);
    if (!UndoChanges(contents, files, log) || !files.Delete(path)) {
        log.WriteEntry(L"The interrupted installation could not be taken back: its copies stay in the download folder");
        return result;
    }
    log.WriteEntry(L"The interrupted installation was taken back: the program is as it was before");
    result.outcome = RecoveryResult::Undone;
    return result;
}
