#include "install/file_installation.h"
#include "install/install_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "description/file_list.h"
#include "fake_file_management.h"
#include "foundation/file_management.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "foundation/zip_extractor.h"
#include "test_support.h"
#include "zip_support.h"

namespace {

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryW((folder_ / L"app").c_str(), nullptr);
        CreateDirectoryW(downloads_.c_str(), nullptr);
    }

    // Adds an entry as the file list would, its downloaded file in place.
    FileEntry& Add(const std::wstring& destination, const std::string& downloadedContent) {
        WriteFileBytes(downloads_ + L"\\UpdateFile" + std::to_wstring(list_.Entries().size() + 1), downloadedContent);
        return AddEntry(list_, folder_ / destination, downloadedContent);
    }
    std::string Zip(const std::vector<ZipTestEntry>& entries) {
        EXPECT_TRUE(MakeZip(folder_ / L"made.zip", entries));
        return ReadFileBytes(folder_ / L"made.zip");
    }

    // As a session installs, without the registry list: the journal of a run that installed
    // goes with it, as the download folder would; the backups stay for the test to look at.
    int Install(std::string* log) {
        CapturedLog captured(folder_ / L"install.log");
        InstallJournal journal(files_, downloads_, TestLog());
        const int result = CheckDownloads(list_, files_, TestLog()) && journal.Begin(L"2.0") &&
                                   InstallFiles(list_, files_, journal, TestLog())
                               ? 1
                               : 0;
        if (result && journal.Commit()) DeleteFileW((downloads_ + L"\\" + kInstallJournalName).c_str());
        *log = captured.Finish();
        return result;
    }
    // The bytes of the backups in the download folder whose names start with `fileName`.
    std::vector<std::string> BackupsOf(const std::wstring& fileName) const {
        std::vector<std::string> found;
        ForEachChild(downloads_, [&](const std::wstring& name, bool) {
            if (name.starts_with(fileName + L".") && name.ends_with(L".bak")) {
                found.push_back(ReadFileBytes(downloads_ + L"\\" + name));
            }
        });
        return found;
    }

    ScratchFolder folder_{L"install"};
    std::wstring downloads_ = folder_ / L"RenewixFiles";
    DownloadFile list_{downloads_, TestLog()};
    PermissionManager::StandardFileManagement files_{TestLog()};
};

// Whatever left a file in the download folder (an earlier run, a failed CRC, a stale update),
// it passes only when it is the file the document lists: one that is not is deleted, with what
// it is and what it should be in the log, and the other downloads stay.
TEST(DownloadCheck, OnlyTheListedFilePasses) {
    const std::string real(300, 'a');
    // The size and CRC made to match the document's: only the hash tells it apart.
    std::string forged = real;
    forged.replace(0, 4, "MZ!!");
    ASSERT_TRUE(ForgeCrc(forged, 100, CrcOf(real)));
    const auto sha = [](const std::string& bytes) { return Sha256Of(bytes.data(), bytes.size()); };
    const std::wstring downloads = L"C:\\app\\RenewixFiles";
    const struct {
        const char* what;
        std::optional<std::string> downloaded;  // none: missing
        std::uint32_t crc;
        std::optional<Sha256Digest> sha256;
        std::string logged;  // none: it passes
    } rows[] = {
        {"the listed file", real, CrcOf(real), sha(real), ""},
        {"the same size, other bytes", std::string(300, 'b'), CrcOf(real), std::nullopt,
         "\tExpected size:\t300\r\n\tDetected size:\t300\r\n"},
        {"without a CRC the size still decides", std::string(301, 'a'), 0, std::nullopt, "\tDetected size:\t301\r\n"},
        {"a forged CRC", forged, CrcOf(real), sha(real),
         "\tExpected SHA-256:\t" + WideToUtf8(HexText(sha(real))) + "\r\n\tDetected SHA-256:\t" +
             WideToUtf8(HexText(sha(forged))) + "\r\n"},
        {"a missing download", std::nullopt, CrcOf(real), std::nullopt,
         "\tUnable to read:\t" + WideToUtf8(downloads) + "\\UpdateFile2, 2\r\n"},
    };
    ScratchFolder scratch(L"check");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        FakeFileManagement files;
        DownloadFile list(downloads, TestLog());
        AddEntry(list, L"C:\\app\\good.dll", "good");
        files.PutFile(downloads + L"\\UpdateFile1", "good");
        FileEntry& entry = AddEntry(list, L"C:\\app\\a.dll", real);
        entry.crc = row.crc;
        entry.sha256 = row.sha256;
        if (row.downloaded) files.PutFile(downloads + L"\\UpdateFile2", *row.downloaded);
        CapturedLog log(scratch / L"check.log");
        EXPECT_EQ(CheckDownloads(list, files, TestLog()), row.logged.empty());
        const std::string text = log.Finish();
        const std::string heading = "\r\nA downloaded file does not match the update description\r\n\tFile:\t";
        EXPECT_EQ(text.find(heading) != std::string::npos, !row.logged.empty()) << text;
        EXPECT_NE(text.find(row.logged), std::string::npos) << text;
        EXPECT_EQ(files.FileBytes(downloads + L"\\UpdateFile1"), "good");
        EXPECT_EQ(files.HasFile(downloads + L"\\UpdateFile2"), row.logged.empty());
    }
}

// One installation of every kind of entry: a replaced file, whose old bytes wait in the download
// folder; an added file in a new folder; archives, extracted beside their destination; and a COM
// server (the probe records the process that registered it beside itself: this one).
TEST_F(InstallTest, InstallsEveryKindOfEntry) {
    const std::string probe = ReadFileBytes(ApplicationDirectory() + L"host_probe.dll");
    ASSERT_FALSE(probe.empty());
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\viewer.exe", "old viewer"));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\help.zip", "stale archive"));
    Add(L"app\\viewer.exe", "new viewer");
    Add(L"app\\new\\plugin.dll", "plugin");
    FileEntry& archive =
        Add(L"app\\help.zip", Zip({{"docs/", ""}, {"docs/guide.txt", "guide"}, {"readme.txt", "read me"}}));
    archive.unzip = 1;
    archive.registerServer = 1;  // ignored for archives
    Add(L"app\\single.zip", Zip({{"one.txt", "1"}})).unzip = 1;
    Add(L"app\\probe.dll", probe).registerServer = 1;
    std::string log;
    ASSERT_EQ(Install(&log), 1) << log;
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\viewer.exe"), "new viewer");
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\new\\plugin.dll"), "plugin");
    EXPECT_EQ(BackupsOf(L"viewer.exe"), std::vector<std::string>{"old viewer"});
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\docs\\guide.txt"), "guide");
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\readme.txt"), "read me");
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\one.txt"), "1");
    EXPECT_FALSE(Exists(folder_ / L"app\\help.zip"));
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\probe.dll.host").rfind(std::to_string(GetCurrentProcessId()) + " ", 0), 0u);
    EXPECT_EQ(log, "\tMoving files to directories\r\n\tUnzipped 3 file(s)\r\n\tUnzipped 1 file\r\n"
                   "\tA file was successfully registered:\t" + WideToUtf8(folder_ / L"app\\probe.dll") +
                       "\r\n\tEnd of recording\r\n");
    // The entry's DOS time, read as local time.
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW((folder_ / L"app\\readme.txt").c_str(), GetFileExInfoStandard, &data));
    FILETIME local;
    SYSTEMTIME when;
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    FileTimeToSystemTime(&local, &when);
    EXPECT_EQ(when.wYear, 2021);
    EXPECT_EQ(when.wMonth, 6);
    EXPECT_EQ(when.wHour, 12);
}

// What an archive that cannot be extracted leaves and says, extracted alone and installed:
// nothing written, and why (every name the extractor refuses is in its own tests).
TEST_F(InstallTest, ArchivesThatCannotBeExtractedWriteNothing) {
    const char* const unopened = "\tUnable to open zip file:\t";
    const char* const unextracted = "\tUnable to extract zip files:\t";
    const struct {
        const char* what;
        std::string bytes;
        const char* logged;
    } rows[] = {
        {"a name that climbs out", Zip({{"fine.txt", "ok"}, {"sub/../../escape.txt", "evil"}}), unextracted},
        {"not an archive", "plain text", unopened},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        list_.Entries().clear();
        Add(L"app\\pack.zip", row.bytes).unzip = 1;
        {
            CapturedLog log(folder_ / L"extract.log");
            EXPECT_EQ(ExtractArchive(downloads_ + L"\\UpdateFile1", folder_ / L"app", files_, TestLog()), 0);
            const std::string text = log.Finish();
            EXPECT_NE(text.find(row.logged), std::string::npos) << text;
        }
        // Installed, it fails the same way, and says so.
        std::string log;
        EXPECT_EQ(Install(&log), 0);
        EXPECT_NE(log.find(row.logged), std::string::npos) << log;
        int written = 0;
        ForEachChild(folder_ / L"app", [&](const std::wstring&, bool) { ++written; });
        EXPECT_EQ(written, 0);
        EXPECT_FALSE(Exists(folder_ / L"escape.txt"));
    }
}

// The refusals and roll-back paths, with the failures staged in memory: what each leaves
// behind and says. Only archives are real files, in a scratch download folder: the installer
// lists them itself before it extracts.
TEST(InstallRollBack, StagedFailures) {
    ScratchFolder scratch(L"rollback");
    const std::wstring app = L"C:\\app", downloads = scratch.path();
    struct Entry {
        const wchar_t* destination;
        const char* bytes;  // null for an archive
        int ignoreErrors = 0;
        int registerServer = 0;
        std::vector<ZipTestEntry> archive = {};
        std::size_t extracted = SIZE_MAX;  // the archive's first entries written before extraction fails
    };
    struct Case {
        const char* name;
        std::vector<std::pair<const wchar_t*, const char*>> before;  // under app
        std::vector<Entry> entries;
        // Under app; "@name" is the backup of the file of that name, "RenewixFiles\name" a file in
        // the download folder.
        std::vector<const wchar_t*> failMoves, failDeletes, failRegisters;
        int result;
        // The same; null bytes: absent. A name ending in "\" is a folder, there unless null.
        std::vector<std::pair<const wchar_t*, const char*>> after;
        std::vector<std::string> logged;
        bool journalStays = false;  // a failed run whose roll-back could not put everything back
        std::vector<std::pair<const wchar_t*, const char*>> registered = {};  // the bytes registered; null: none
    };
    const Case cases[] = {
        {"a placement that fails puts back what was replaced and takes away what was added, folders too",
         {{L"a.dll", "old a"}, {L"c.dll", "old c"}},
         {{L"a.dll", "new a"}, {L"added\\b.dll", "new b"}, {L"c.dll", "new c"}},
         {L"RenewixFiles\\UpdateFile3"}, {}, {},
         0,
         {{L"a.dll", "old a"}, {L"c.dll", "old c"}, {L"added\\b.dll", nullptr}, {L"added\\", nullptr},
          {L"RenewixFiles\\UpdateFile1", "new a"}, {L"RenewixFiles\\UpdateFile2", "new b"},
          {L"RenewixFiles\\UpdateFile3", "new c"}, {L"@a.dll", nullptr}},
         {"UpdateFile3\r\n\tFile destination:\tC:\\app\\c.dll\r\n",
          "\r\nRestoring the files replaced by this update\r\n\tRestored:\tC:\\app\\c.dll\r\n"
          "\tRemoved the added file:\tC:\\app\\added\\b.dll\r\n\tRestored:\tC:\\app\\a.dll\r\n"}},
        {"a restore that fails leaves the backup, the only copy of the old file, in place",
         {{L"a.dll", "old a"}, {L"c.dll", "old c"}},
         {{L"a.dll", "new a"}, {L"c.dll", "new c"}},
         {L"RenewixFiles\\UpdateFile2", L"@a.dll"}, {}, {},
         0,
         {{L"a.dll", nullptr}, {L"@a.dll", "old a"}, {L"RenewixFiles\\UpdateFile1", "new a"}, {L"c.dll", "old c"}},
         {"\tUnable to restore:\tC:\\app\\a.dll\r\n"},
         true},
        {"an added file that can be neither moved back nor deleted stays, and is named",
         {},
         {{L"x.dll", "new x"}, {L"y.dll", "new y"}},
         {L"RenewixFiles\\UpdateFile2", L"x.dll"}, {L"x.dll"}, {},
         0,
         {{L"x.dll", "new x"}, {L"y.dll", nullptr}},
         {"\tUnable to remove the added file:\tC:\\app\\x.dll\r\n"},
         true},
        {"a kept file that cannot be put back stops the run, even with IgnoreErrors, and stays",
         {{L"busy.dll", "old busy"}},
         {{L"busy.dll", "new busy", 1}, {L"c.dll", "new c"}},
         {L"RenewixFiles\\UpdateFile1", L"@busy.dll"}, {}, {},
         0,
         {{L"busy.dll", nullptr}, {L"@busy.dll", "old busy"}, {L"c.dll", nullptr}},
         {"\tUnable to restore:\tC:\\app\\busy.dll\r\n"},
         true},
        {"an added server is unregistered before its file goes",
         {},
         {{L"s.dll", "new s", 0, 1}, {L"c.dll", "new c"}},
         {L"RenewixFiles\\UpdateFile2"}, {}, {},
         0,
         {{L"s.dll", nullptr}, {L"RenewixFiles\\UpdateFile1", "new s"}},
         {"\tUnregistered:\tC:\\app\\s.dll\r\n\tRemoved the added file:\tC:\\app\\s.dll\r\n"},
         false,
         {{L"s.dll", nullptr}}},
        {"a placement that fails with IgnoreErrors keeps the old file and goes on",
         {{L"busy.dll", "old busy"}},
         {{L"busy.dll", "new busy", 1}, {L"c.dll", "new c"}},
         {L"RenewixFiles\\UpdateFile1"}, {}, {},
         1,
         {{L"busy.dll", "old busy"}, {L"c.dll", "new c"}, {L"RenewixFiles\\UpdateFile1", "new busy"}},
         {"\tError moving file:\t" + WideToUtf8(downloads) + "\\UpdateFile1\r\n"}},
        {"a registration that fails is taken back, and the old server is registered again",
         {{L"a.dll", "old a"}},
         {{L"a.dll", "new a", 0, 1}},
         {}, {}, {L"a.dll"},
         0,
         {{L"a.dll", "old a"}, {L"RenewixFiles\\UpdateFile1", "new a"}},
         {"\tUnable to register:\tC:\\app\\a.dll\r\n\r\nRestoring the files replaced by this update\r\n"
          "\tRestored:\t"
          "C:\\app\\a.dll\r\n\tUnable to register:\tC:\\app\\a.dll\r\n"}},
        {"a registration that fails stops the run even with IgnoreErrors",
         {},
         {{L"plain.dll", "plain", 1, 1}, {L"after.txt", "after"}},
         {}, {}, {L"plain.dll"},
         0,
         {{L"plain.dll", nullptr}, {L"after.txt", nullptr}, {L"RenewixFiles\\UpdateFile1", "plain"}},
         {"\tUnable to register:\tC:\\app\\plain.dll\r\n"}},
        // Setting a folder aside would lose it with the download folder once the update succeeded.
        {"a folder where the update puts a file is left alone and stops the run",
         {{L"data\\keep.txt", "the user's"}},
         {{L"data", "a file"}, {L"after.txt", "after"}},
         {}, {}, {},
         0,
         {{L"data\\keep.txt", "the user's"}, {L"data\\", ""}, {L"after.txt", nullptr}},
         {"\tA folder stands where the update puts a file:\tC:\\app\\data\r\n"}},
        {"a folder where the update puts a file is passed over with IgnoreErrors",
         {{L"data\\keep.txt", "the user's"}},
         {{L"data", "a file", 1}, {L"after.txt", "after"}},
         {}, {}, {},
         1,
         {{L"data\\keep.txt", "the user's"}, {L"data\\", ""}, {L"after.txt", "after"},
          {L"RenewixFiles\\UpdateFile1", "a file"}},
         {"\tA folder stands where the update puts a file:\tC:\\app\\data\r\n"}},
        {"an archive entry where a folder stands fails the archive before it writes, even with IgnoreErrors",
         {{L"data\\keep.txt", "the user's"}, {L"readme.txt", "old read me"}},
         {{L"pack.zip", nullptr, 1, 0, {{"readme.txt", "new read me"}, {"data", "would replace the folder"}}},
          {L"after.txt", "after"}},
         {}, {}, {},
         0,
         {{L"data\\keep.txt", "the user's"}, {L"data\\", ""}, {L"readme.txt", "old read me"},
          {L"after.txt", nullptr}},
         {"\tA folder stands where the update puts a file:\tC:\\app\\data\r\n",
          "\tRestored:\tC:\\app\\readme.txt\r\n"}},
        {"an archive that fails part-way is taken back: overwritten files return, new ones and their folders go",
         {{L"viewer.exe", "old viewer"}, {L"readme.txt", "old read me"}},
         {{L"viewer.exe", "new viewer"},
          {L"help.zip", nullptr, 0, 0, {{"readme.txt", "new read me"}, {"new/fresh.txt", "fresh"}, {"last.txt", "last"}}, 2}},
         {}, {}, {},
         0,
         {{L"viewer.exe", "old viewer"}, {L"readme.txt", "old read me"}, {L"new\\fresh.txt", nullptr},
          {L"new\\", nullptr}, {L"@readme.txt", nullptr}},
         {"\tUnable to extract zip files:\t",
          "\tRemoved the added file:\tC:\\app\\new\\fresh.txt\r\n\tRestored:\tC:\\app\\readme.txt\r\n"
          "\tRestored:\tC:\\app\\viewer.exe\r\n"}},
    };
    // "@name": the backup of app\name, as the journal names it in an empty download folder.
    const auto resolve = [&](std::wstring_view name) {
        if (name.starts_with(L"RenewixFiles\\")) return downloads + std::wstring(name.substr(12));
        if (!name.starts_with(L'@')) return app + L"\\" + std::wstring(name);
        FakeFileManagement empty;
        return InstallJournal(empty, downloads, TestLog()).BackupFor(app + L"\\" + std::wstring(name.substr(1)));
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFileManagement files;
        for (const auto& [name, bytes] : c.before) files.PutFile(app + L"\\" + name, bytes);
        DownloadFile list(downloads, TestLog());
        for (const Entry& e : c.entries) {
            const std::wstring downloaded = downloads + L"\\UpdateFile" + std::to_wstring(list.Entries().size() + 1);
            std::string bytes = e.bytes ? e.bytes : "";
            if (!e.archive.empty()) {
                ASSERT_TRUE(MakeZip(downloaded, e.archive));
                bytes = ReadFileBytes(downloaded);
                std::map<std::wstring, std::string> written;
                for (std::size_t n = 0; n < e.archive.size() && n < e.extracted; ++n) {
                    std::wstring name = Utf8ToWide(e.archive[n].name);
                    std::replace(name.begin(), name.end(), L'/', L'\\');
                    written[name] = e.archive[n].content;
                }
                files.UnzipWrites(downloaded, written);
                if (e.extracted < e.archive.size()) files.UnzipAnswers(downloaded, -2);
            }
            FileEntry& entry = AddEntry(list, app + L"\\" + e.destination, bytes);
            entry.ignoreErrors = e.ignoreErrors;
            entry.registerServer = e.registerServer;
            entry.unzip = e.archive.empty() ? 0 : 1;
            files.PutFile(downloaded, bytes);
        }
        for (const wchar_t* path : c.failMoves) files.FailMove(resolve(path));
        for (const wchar_t* path : c.failDeletes) files.FailDelete(resolve(path));
        for (const wchar_t* path : c.failRegisters) files.FailRegister(resolve(path));

        CapturedLog log(scratch / L"install.log");
        InstallJournal journal(files, downloads, TestLog());
        ASSERT_TRUE(journal.Begin(L"2.0"));
        EXPECT_EQ(InstallFiles(list, files, journal, TestLog()), c.result);
        const std::string text = log.Finish();

        for (const auto& [name, expected] : c.after) {
            const std::wstring path = resolve(name);
            if (path.ends_with(L'\\')) {
                EXPECT_EQ(files.HasFolder(path), expected != nullptr) << WideToUtf8(path);
            } else if (expected) {
                EXPECT_EQ(files.FileBytes(path), expected) << WideToUtf8(path);
            } else {
                EXPECT_FALSE(files.HasFile(path)) << WideToUtf8(path);
            }
        }
        for (const auto& [name, expected] : c.registered) {
            EXPECT_EQ(files.RegisteredBytes(resolve(name)), expected ? expected : "") << WideToUtf8(name);
        }
        for (const std::string& line : c.logged) EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
        // The download folder, and any backup in it, is left to the caller: the registry list
        // after the files may still need what waits there.
        if (c.result == 0) {
            EXPECT_EQ(HasInstallJournal(files, downloads), c.journalStays);
        }
        const std::vector<std::wstring> calls = files.Calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), L"DeleteTree " + downloads), 0) << text;
    }
}

}  // namespace
