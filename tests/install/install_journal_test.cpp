#include "install/install_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

#include "description/file_list.h"
#include "fake_file_management.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "install/file_installation.h"
#include "test_support.h"
#include "zip_support.h"

namespace {

using PermissionManager::IClientFileManager;

// One installation of five entries: a replaced file, an added file in a new folder, an archive
// that overwrites one file and adds another in a new folder, a replaced COM server, and the
// running client itself.
class KilledInstallation : public ::testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryW(downloads_.c_str(), nullptr);
        ASSERT_TRUE(MakeZip(downloads_ + L"\\UpdateFile3", {{"readme.txt", "new readme"}, {"docs/guide.txt", "guide"}}));
        archive_ = ReadFileBytes(downloads_ + L"\\UpdateFile3");
    }

    // A machine with the old version and the five downloads.
    void Prepare(FakeFileManagement& files) const {
        for (const auto& [path, bytes] : Old()) {
            if (bytes) files.PutFile(path, *bytes);
        }
        files.MarkRegistered(app_ + L"\\server.dll");
        for (std::size_t n = 0; n < kEntries.size(); ++n) files.PutFile(Downloaded(n), Download(n));
        files.UnzipWrites(Downloaded(2), {{L"readme.txt", "new readme"}, {L"docs\\guide.txt", "guide"}});
    }

    DownloadFile List(bool withViewer = true) const {
        DownloadFile list(downloads_, TestLog());
        for (std::size_t n = 0; n < kEntries.size(); ++n) {
            FileEntry& entry = AddEntry(list, Destination(n), Download(n));
            entry.selected = n != 0 || withViewer ? 1 : 0;
            entry.unzip = n == 2;
            entry.registerServer = n == 3;
        }
        return list;
    }

    // What a session does with the files: journal, install, commit, clear the download folder.
    static bool Install(IClientFileManager& files, DownloadFile& list, const std::wstring& downloads) {
        InstallJournal journal(files, downloads, TestLog());
        return journal.Begin(L"2.0") && InstallFiles(list, files, journal, TestLog()) && journal.Commit() &&
               files.DeleteTree(downloads);
    }

    using State = std::map<std::wstring, std::optional<std::string>>;
    State Old() const {
        return {{app_ + L"\\viewer.exe", "old viewer"},  {app_ + L"\\plugins\\plugin.dll", std::nullopt},
                {app_ + L"\\readme.txt", "old readme"},  {app_ + L"\\docs\\guide.txt", std::nullopt},
                {app_ + L"\\server.dll", "old server"},  {ModulePath(), "old client"}};
    }
    State New(bool withViewer = true) const {
        return {{app_ + L"\\viewer.exe", withViewer ? "new viewer" : "old viewer"},
                {app_ + L"\\plugins\\plugin.dll", "new plugin"},
                {app_ + L"\\readme.txt", "new readme"},
                {app_ + L"\\docs\\guide.txt", "guide"},
                {app_ + L"\\server.dll", "new server"},
                {ModulePath(), "new client"}};
    }
    static State Now(const FakeFileManagement& files, const State& like) {
        State now;
        for (const auto& [path, bytes] : like) {
            now[path] = files.HasFile(path) ? std::optional<std::string>(files.FileBytes(path)) : std::nullopt;
        }
        return now;
    }
    // Whether every old file's bytes are still somewhere on the machine.
    bool NothingLost(const FakeFileManagement& files) const {
        std::map<std::wstring, std::string> everything = files.FilesUnder(app_);
        for (const auto& [path, bytes] : files.FilesUnder(downloads_)) everything.emplace(path, bytes);
        everything.emplace(ModulePath(), files.FileBytes(ModulePath()));
        for (const auto& [path, bytes] : Old()) {
            if (!bytes) continue;
            if (std::none_of(everything.begin(), everything.end(), [&](const auto& f) { return f.second == *bytes; })) {
                return false;
            }
        }
        return true;
    }

    std::wstring Destination(std::size_t n) const {
        const std::wstring names[] = {L"\\viewer.exe", L"\\plugins\\plugin.dll", L"\\help.zip", L"\\server.dll"};
        return n == 4 ? ModulePath() : app_ + names[n];
    }
    std::wstring Downloaded(std::size_t n) const { return downloads_ + L"\\UpdateFile" + std::to_wstring(n + 1); }
    std::string Download(std::size_t n) const { return n == 2 ? archive_ : std::string(kEntries[n]); }

    static constexpr std::array<const char*, 5> kEntries = {"new viewer", "new plugin", "", "new server", "new client"};
    ScratchFolder scratch_{L"journal"};
    // The archive is listed from the disk; everything else lives in the fake.
    std::wstring downloads_ = scratch_ / L"RenewixFiles";
    std::wstring app_ = L"C:\\app";
    std::string archive_;
};

// Killed after every change the installation makes, and again after every change the taking
// back makes: the program is always wholly old or wholly new, no old byte is lost, and the
// next run installs the update from the downloads that waited (with another selection, too).
TEST_F(KilledInstallation, EveryKillPointEndsWhollyOldOrWhollyNew) {
    int changes = 0;
    {
        FakeFileManagement files;
        Prepare(files);
        DownloadFile list = List();
        ASSERT_TRUE(Install(files, list, downloads_));
        ASSERT_EQ(Now(files, New()), New());
        EXPECT_EQ(files.RegisteredBytes(app_ + L"\\server.dll"), "new server");
        changes = files.Changes();
    }
    ASSERT_GT(changes, 20);
    for (int kill = 0; kill < changes; ++kill) {
        for (int second = 0;; ++second) {
            SCOPED_TRACE("killed after change " + std::to_string(kill) + ", then after " + std::to_string(second));
            FakeFileManagement files;
            Prepare(files);
            DownloadFile list = List();
            files.DieAfter(kill);
            EXPECT_FALSE(Install(files, list, downloads_));
            ASSERT_TRUE(NothingLost(files));

            // The next run is killed while it takes the installation back; the one after finishes.
            files.DieAfter(second);
            const RecoveryResult interrupted = RecoverInstallation(files, downloads_, TestLog());
            const int spentAgain = files.Changes();
            ASSERT_TRUE(NothingLost(files));
            files.DieAfter(std::nullopt);
            const RecoveryResult result = RecoverInstallation(files, downloads_, TestLog());

            const bool finished = interrupted.outcome == RecoveryResult::Finished ||
                                  result.outcome == RecoveryResult::Finished;
            ASSERT_NE(result.outcome, RecoveryResult::Failed);
            ASSERT_FALSE(HasInstallJournal(files, downloads_));
            if (finished) {
                EXPECT_EQ(Now(files, New()), New());
                EXPECT_EQ(files.RegisteredBytes(app_ + L"\\server.dll"), "new server");
                EXPECT_TRUE(files.FilesUnder(downloads_).empty());
            } else {
                EXPECT_EQ(Now(files, Old()), Old());
                EXPECT_TRUE(NothingLost(files));
                EXPECT_EQ(files.RegisteredBytes(app_ + L"\\server.dll"), "old server");
                for (std::size_t n = 0; n < kEntries.size(); ++n) EXPECT_EQ(files.FileBytes(Downloaded(n)), Download(n));
                // Backups are named after their destinations: another selection finds none of
                // another file's.
                const bool withViewer = kill % 2 == 0;
                DownloadFile next = List(withViewer);
                ASSERT_TRUE(Install(files, next, downloads_));
                EXPECT_EQ(Now(files, New(withViewer)), New(withViewer));
            }
            // Taking back is over once a second kill point changes nothing more.
            if (spentAgain < second || interrupted.outcome != RecoveryResult::Failed) break;
        }
    }
}

TEST(InstallJournalText, CutAndDamagedJournalsAreReadOrRefusedWhole) {
    FakeFileManagement files;
    const std::wstring folder = L"C:\\app\\RenewixFiles";
    {
        InstallJournal journal(files, folder, TestLog());
        ASSERT_TRUE(journal.Begin(L"2.0"));
        ASSERT_TRUE(journal.Note({JournalChange::Folder, L"C:\\app\\new"}));
        ASSERT_TRUE(journal.Note({JournalChange::Replaced, L"C:\\app\\a.dll", journal.BackupFor(L"C:\\app\\a.dll"),
                                  folder + L"\\UpdateFile1", true}));
        ASSERT_TRUE(journal.NoteRegistered(L"C:\\app\\a.dll"));
        ASSERT_TRUE(journal.Commit());
    }
    const std::string whole = files.FileBytes(folder + L"\\" + kInstallJournalName);
    JournalContents contents;
    ASSERT_TRUE(ReadJournalText(whole, contents));
    EXPECT_TRUE(contents.committed);
    EXPECT_EQ(contents.version, L"2.0");
    ASSERT_EQ(contents.changes.size(), 2u);
    EXPECT_EQ(contents.changes[1].downloaded, folder + L"\\UpdateFile1");
    EXPECT_EQ(contents.registered.count(L"C:\\app\\a.dll"), 1u);

    // A journal cut anywhere reads as the records it holds whole: never more, never garbage.
    std::size_t before = 0;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        ASSERT_TRUE(ReadJournalText(whole.substr(0, length), contents)) << length;
        EXPECT_GE(contents.changes.size(), before);
        before = contents.changes.size();
        EXPECT_EQ(contents.committed, length == whole.size());
    }

    const char* damaged[] = {
        "not a journal\r\n",
        "begun",
        "begin\t2.0\r\nreplaced\tC:\\a.dll\t\t\t0\r\n",       // nowhere to bring the old file back from
        "begin\t2.0\r\nplaced\tC:\\a.dll\t\tC:\\d\t2\r\n",     // a flag that is not one
        "begin\t2.0\r\nmoved\tC:\\a.dll\tC:\\b\tC:\\c\t0\r\n",  // an unknown change
        "begin\t2.0\r\nplaced\t\t\tC:\\d\t0\r\n",               // no destination
        "begin\t2.0\r\nwritten\tC:\\\xff\t\t\t0\r\n",           // not UTF-8
    };
    for (const char* text : damaged) EXPECT_FALSE(ReadJournalText(text, contents)) << text;

    // Where others may write the download folder, a journal naming anything outside the
    // program's folder changes nothing: not even a library of theirs gets registered.
    const std::string forged = "begin\t2.0\r\nreplaced\tC:\\Users\\Public\\x.dll\tC:\\none\t\t1\r\n";
    const std::string climbing = "begin\t2.0\r\nwritten\tC:\\app\\..\\windows\\x.dll\t\t\t0\r\n";
    for (const std::string& text : {forged, climbing}) {
        FakeFileManagement target;
        target.PutFile(L"C:\\Users\\Public\\x.dll", "theirs");
        target.PutFile(L"C:\\windows\\x.dll", "the system's");
        target.PutFile(folder + L"\\" + kInstallJournalName, text);
        EXPECT_EQ(RecoverInstallation(target, folder, TestLog(), L"C:\\app").outcome, RecoveryResult::Failed);
        EXPECT_EQ(target.FileBytes(L"C:\\windows\\x.dll"), "the system's");
        const std::vector<std::wstring> calls = target.Calls();
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::wstring& call) {
                      return !call.starts_with(L"GetAttributes") && !call.starts_with(L"Open");
                  }), 0);
    }

    // A set-aside copy to another volume that was cut short: the download never left, so the
    // destination still holds the old file, and it stays.
    files.PutFile(L"C:\\app\\b.dll", "old b");
    files.PutFile(folder + L"\\b.dll.bak", "old");  // cut short
    files.PutFile(folder + L"\\UpdateFile2", "new b");
    files.PutFile(folder + L"\\" + kInstallJournalName,
                  WideToUtf8(L"begin\t2.0\r\nreplaced\tC:\\app\\b.dll\t" + folder + L"\\b.dll.bak\t" + folder +
                             L"\\UpdateFile2\t0\r\n"));
    EXPECT_EQ(RecoverInstallation(files, folder, TestLog(), L"C:\\app").outcome, RecoveryResult::Undone);
    EXPECT_EQ(files.FileBytes(L"C:\\app\\b.dll"), "old b");

    // A journal that cannot be read changes nothing, and stays for someone to look at.
    files.PutFile(folder + L"\\" + kInstallJournalName, "not a journal\r\n");
    files.PutFile(folder + L"\\a.dll.bak", "old a");
    EXPECT_EQ(RecoverInstallation(files, folder, TestLog()).outcome, RecoveryResult::Failed);
    EXPECT_EQ(files.FileBytes(folder + L"\\a.dll.bak"), "old a");
    EXPECT_TRUE(HasInstallJournal(files, folder));

    // A completed installation's journal goes only once its version is on record.
    files.PutFile(folder + L"\\" + kInstallJournalName, "begin\t2.0\r\ncommitted\r\n");
    for (const bool recorded : {false, true}) {
        std::wstring asked;
        const RecoveryResult result = RecoverInstallation(files, folder, TestLog(), {}, [&](const std::wstring& version) {
            asked = version;
            return recorded;
        });
        EXPECT_EQ(asked, L"2.0");
        EXPECT_EQ(result.outcome, recorded ? RecoveryResult::Finished : RecoveryResult::Failed);
        EXPECT_EQ(HasInstallJournal(files, folder), !recorded);
        EXPECT_EQ(files.HasFile(folder + L"\\a.dll.bak"), !recorded);
    }
}

}  // namespace
