#include "install/file_installation.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <utility>
#include <vector>

#include "description/file_list.h"
#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "install/zip_extractor.h"
#include "test_support.h"

namespace {

// Writes a zip archive of (name, content) entries; names ending in "/" are folders.
void MakeZip(const std::wstring& path, const std::vector<std::pair<std::string, std::string>>& entries,
             unsigned long dosDate = 0x52CF6000) {  // 2021-06-15 12:00:00
    zipFile zip = zipOpen64(WideToAnsi(path).c_str(), 0);
    ASSERT_NE(zip, nullptr);
    for (const auto& [name, content] : entries) {
        zip_fileinfo info{};
        info.dosDate = dosDate;
        ASSERT_EQ(zipOpenNewFileInZip(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                      Z_DEFAULT_COMPRESSION),
                  ZIP_OK);
        if (!content.empty()) zipWriteInFileInZip(zip, content.data(), static_cast<unsigned>(content.size()));
        zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryW((folder_ / L"app").c_str(), nullptr);
        CreateDirectoryW(downloads_.c_str(), nullptr);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\RenewixTest"); }

    // Adds an entry as the file list would, with its downloaded file already in place.
    FileEntry& Add(const std::wstring& destination, const std::string& downloadedContent) {
        FileEntry entry;
        entry.destination = folder_ / destination;
        entry.downloadName = L"UpdateFile" + std::to_wstring(list_.Entries().size() + 1);
        entry.size = static_cast<int>(downloadedContent.size());
        entry.selected = 1;
        if (!downloadedContent.empty()) WriteFileBytes(downloads_ + L"\\" + entry.downloadName, downloadedContent);
        list_.Entries().push_back(entry);
        return list_.Entries().back();
    }

    int Install(std::string* log) {
        CapturedLog captured(folder_ / L"install.log");
        int result = InstallFiles(list_);
        *log = captured.Finish();
        return result;
    }

    ScratchFolder folder_{L"install"};
    std::wstring downloads_ = folder_ / L"RenewixFiles";
    DownloadFile list_{downloads_};
};

TEST_F(InstallTest, ReplacesFilesAndRemovesTheDownloadFolder) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\viewer.exe", "old viewer"));
    Add(L"app\\viewer.exe", "new viewer");
    Add(L"app\\new\\plugin.dll", "plugin");
    std::string log;
    ASSERT_EQ(Install(&log), 1) << log;
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\viewer.exe"), "new viewer");
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\new\\plugin.dll"), "plugin");
    EXPECT_FALSE(Exists(downloads_));
    EXPECT_EQ(log, "\tMoving files to directories\r\n\tEnd of recording\r\n");
}

TEST_F(InstallTest, AFailedEntryStopsKeepsTheBackupsAndPutsTheOldFileBack) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\a.dll", "old a"));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\b.dll", "old b"));
    Add(L"app\\a.dll", "new a");
    Add(L"app\\b.dll", "");  // its download is missing
    Add(L"app\\c.dll", "new c");
    std::string log;
    EXPECT_EQ(Install(&log), 0);
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\a.dll"), "new a");
    EXPECT_EQ(ReadFileBytes(downloads_ + L"\\UpdateFile1.bak"), "old a");
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\b.dll"), "old b");
    EXPECT_FALSE(Exists(folder_ / L"app\\c.dll"));
    EXPECT_EQ(ReadFileBytes(downloads_ + L"\\UpdateFile3"), "new c");
    EXPECT_NE(log.find("\t\r\n\tError moving file:\t" + WideToUtf8(downloads_) + "\\UpdateFile2\r\n\tFile destination:\t" +
                       WideToUtf8(folder_ / L"app\\b.dll") + "\r\n\t\r\n"),
              std::string::npos)
        << log;
}

TEST_F(InstallTest, IgnoreErrorsGoesOn) {
    Add(L"app\\missing.dll", "").ignoreErrors = 1;
    Add(L"app\\c.dll", "new c");
    std::string log;
    EXPECT_EQ(Install(&log), 1);
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\c.dll"), "new c");
}

TEST_F(InstallTest, ArchivesExtractBesideTheirDestination) {
    MakeZip(downloads_ + L"\\UpdateFile1", {{"docs/", ""}, {"docs/guide.txt", "guide"}, {"readme.txt", "read me"}});
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\help.zip", "stale archive"));
    FileEntry& archive = Add(L"app\\help.zip", "");
    archive.unzip = 1;
    archive.registerServer = 1;  // ignored for archives
    MakeZip(downloads_ + L"\\UpdateFile2", {{"one.txt", "1"}});
    Add(L"app\\single.zip", "").unzip = 1;
    std::string log;
    ASSERT_EQ(Install(&log), 1) << log;
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\docs\\guide.txt"), "guide");
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\readme.txt"), "read me");
    EXPECT_EQ(ReadFileBytes(folder_ / L"app\\one.txt"), "1");
    EXPECT_FALSE(Exists(folder_ / L"app\\help.zip"));
    EXPECT_NE(log.find("\tUnzipped 3 file(s)\r\n\tUnzipped 1 file\r\n"), std::string::npos) << log;
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

TEST_F(InstallTest, ArchivesThatWouldWriteOutsideOrAreBrokenWriteNothing) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> entries;
    };
    const Case cases[] = {
        {{{"fine.txt", "ok"}, {"../escape.txt", "evil"}}},
        {{{"fine.txt", "ok"}, {"sub/../../escape.txt", "evil"}}},
        {{{"fine.txt", "ok"}, {"/rooted.txt", "evil"}}},
        {{{"fine.txt", "ok"}, {"C:/drive.txt", "evil"}}},
    };
    for (const Case& c : cases) {
        MakeZip(downloads_ + L"\\bad.zip", c.entries);
        CapturedLog log(folder_ / L"bad.log");
        EXPECT_EQ(ExtractArchive(downloads_ + L"\\bad.zip", folder_ / L"app\\"), 0);
        const std::string text = log.Finish();
        EXPECT_NE(text.find("\tUnable to extract zip files:\t"), std::string::npos) << text;
        EXPECT_FALSE(Exists(folder_ / L"app\\fine.txt"));
        EXPECT_FALSE(Exists(folder_ / L"escape.txt"));
    }
    // An archive without entries is refused too (minizip will not even open it).
    MakeZip(downloads_ + L"\\empty.zip", {});
    EXPECT_EQ(ExtractArchive(downloads_ + L"\\empty.zip", folder_ / L"app"), 0);

    // A damaged entry: flip a byte of the compressed data.
    MakeZip(downloads_ + L"\\damaged.zip", {{"first.txt", "first"}, {"second.txt", std::string(5000, 'z')}});
    std::string bytes = ReadFileBytes(downloads_ + L"\\damaged.zip");
    const std::size_t at = bytes.find("second.txt") + 12;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
    WriteFileBytes(downloads_ + L"\\damaged.zip", bytes);
    EXPECT_EQ(UnzipArchive(downloads_ + L"\\damaged.zip", folder_ / L"app"), -2);
    EXPECT_FALSE(Exists(folder_ / L"app\\first.txt"));

    WriteFileBytes(downloads_ + L"\\notzip.zip", "plain text");
    CapturedLog log(folder_ / L"notzip.log");
    EXPECT_EQ(ExtractArchive(downloads_ + L"\\notzip.zip", folder_ / L"app"), 0);
    EXPECT_NE(log.Finish().find("\tUnable to open zip file:\t"), std::string::npos);

    EXPECT_TRUE(IsContainedEntryName("a\\b..c\\..d"));
    EXPECT_FALSE(IsContainedEntryName("a\\..\\b"));
}

TEST_F(InstallTest, RegistrationOfComServers) {
    const std::string probe = ReadFileBytes(ApplicationDirectory() + L"register_probe.dll");
    const std::string plain = ReadFileBytes(ApplicationDirectory() + L"plain_library.dll");
    ASSERT_FALSE(probe.empty());
    Add(L"app\\probe.dll", probe).registerServer = 1;
    std::string log;
    ASSERT_EQ(Install(&log), 1) << log;
    DWORD value = 0, size = sizeof(value);
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\RenewixTest\\Probe", L"Registered", RRF_RT_REG_DWORD,
                           nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_NE(log.find("\tA file was successfully registered:\t" + WideToUtf8(folder_ / L"app\\probe.dll")),
              std::string::npos);

    CreateDirectoryW(downloads_.c_str(), nullptr);
    list_.Entries().clear();
    FileEntry& entry = Add(L"app\\plain.dll", plain);
    entry.registerServer = 1;
    entry.ignoreErrors = 1;
    Add(L"app\\after.txt", "after");
    EXPECT_EQ(Install(&log), 0);
    EXPECT_NE(log.find("\tUnable to register:\t"), std::string::npos);
    EXPECT_FALSE(Exists(folder_ / L"app\\after.txt"));
}

}  // namespace
