#include "description/file_list.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "test_support.h"

namespace {

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

void SetWriteTime(const std::wstring& path, const FILETIME& time) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
}

class FileListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(com_.succeeded());
        CreateDirectoryW((folder_ / L"app").c_str(), nullptr);
        CreateDirectoryW((folder_ / L"downloads").c_str(), nullptr);
    }

    // Reads a FileList element whose directories sit under the scratch folder.
    DownloadFile ReadList(const std::wstring& fileList, std::string* log = nullptr, int* result = nullptr) {
        XmlDocument document = XmlDocument::Create();
        EXPECT_TRUE(document.LoadText(L"<Renewix><FileList>" + fileList + L"</FileList></Renewix>"));
        DownloadFile list(folder_ / L"downloads", TestLog());
        list.SetFileManager(files_);
        CapturedLog captured(folder_ / L"files.log");
        int read = list.Read(document.SelectSingle(L"Renewix/FileList"), folder_.path());
        std::string text = captured.Finish();
        if (log) *log = text;
        if (result) *result = read;
        return list;
    }

    renewix::ScopedComInit com_;
    ScratchFolder folder_{L"file-list"};
    PermissionManager::StandardFileManagement files_{TestLog()};
};

TEST_F(FileListTest, DirectoriesFirstDepthFirstAndNumberedWithoutGaps) {
    std::string log;
    DownloadFile list = ReadList(
        L"<File Name=\"root.txt\" Size=\"1\"/>"
        L"<Directory Name=\"a\"><File Name=\"a1.txt\" Src=\"files/a/\" Size=\"10\" CRC=\"cbf43926\"/>"
        L"  <Directory Name=\"deep\"><File Name=\"d.txt\" Size=\"20\" CRC=\"0xCBF43926\"/></Directory></Directory>"
        L"<Directory Name=\"b\"><File Name=\"zero.txt\" Size=\"0\"/><File Name=\"text.txt\" Size=\"many\"/>"
        L"  <File Name=\"skipped.txt\" Size=\"5\" OS=\"0\"/><File Name=\"b1.dll\" Size=\"30\" Register=\"true\" "
        L"Action=\"Unzip\" IgnoreErrors=\"TRUE\"/><File Name=\"b2.zip\" Size=\"40\" Action=\"unzip\"/></Directory>"
        L"<Directory Name=\"a\"><File Name=\"again.txt\" Size=\"50\"/></Directory>",
        &log);
    const auto& e = list.Entries();
    ASSERT_EQ(e.size(), 6u) << log;
    const std::wstring base = folder_.path();
    EXPECT_WSTREQ8(base + L"\\a\\deep\\d.txt", e[0].destination);
    EXPECT_WSTREQ8(base + L"\\a\\a1.txt", e[1].destination);
    EXPECT_WSTREQ8(L"files/a/a1.txt", e[1].source);
    EXPECT_EQ(e[1].crc, 0xCBF43926u);
    EXPECT_EQ(e[0].crc, 0xCBF43926u);
    EXPECT_WSTREQ8(base + L"\\b\\b1.dll", e[2].destination);
    EXPECT_TRUE(e[2].registerServer && e[2].ignoreErrors && !e[2].unzip);
    EXPECT_TRUE(e[3].unzip);
    EXPECT_WSTREQ8(base + L"\\a\\again.txt", e[4].destination);
    EXPECT_WSTREQ8(base + L"\\root.txt", e[5].destination);
    for (std::size_t i = 0; i < e.size(); ++i) {
        EXPECT_WSTREQ8(L"UpdateFile" + std::to_wstring(i + 1), e[i].downloadName);
        EXPECT_TRUE(e[i].selected);
    }
    EXPECT_EQ(list.TotalBytes(), 20u + 10 + 30 + 40 + 50 + 1);
    EXPECT_NE(log.find("\tZero byte file will not be retrieved:\t" + WideToUtf8(base) + "\\b\\zero.txt\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("\tItem skipped. Not targeted for this OS.\r\n"), std::string::npos);
    EXPECT_EQ(log.find("skipped.txt"), std::string::npos);
}

TEST_F(FileListTest, MacrosAndFilesOutsideAnyDirectory) {
    XmlDocument document = XmlDocument::Create();
    ASSERT_TRUE(document.LoadText(L"<Renewix><FileList><File Name=\"top.txt\" Size=\"1\"/>"
                                  L"<Directory Name=\"&lt;ApplicationDir&gt;\"><File Name=\"x.txt\" Size=\"2\"/>"
                                  L"<Directory Name=\"sub\"><File Name=\"y.txt\" Size=\"3\"/></Directory></Directory>"
                                  L"<Directory Name=\"&lt;WinDir&gt;\\fonts\"><File Name=\"z.txt\" Size=\"4\"/></Directory>"
                                  L"</FileList></Renewix>"));
    DownloadFile list(folder_ / L"downloads", TestLog());
    {
        CapturedLog log(folder_ / L"macros.log");
        ASSERT_EQ(list.Read(document.SelectSingle(L"Renewix/FileList"), L""), 1);
    }
    const auto& e = list.Entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_WSTREQ8(ApplicationDirectory() + L"sub\\y.txt", e[0].destination);
    EXPECT_WSTREQ8(ApplicationDirectory() + L"x.txt", e[1].destination);  // the doubled backslash is tidied
    // A macro with more text after it is one unknown macro name: the application directory.
    EXPECT_WSTREQ8(ApplicationDirectory() + L"z.txt", e[2].destination);
    EXPECT_WSTREQ8(L"\\top.txt", e[3].destination);
}

TEST_F(FileListTest, IgnoreIfMissingDropsSilentlyAndShiftsTheNumbers) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\present.txt", "p"));
    std::string log;
    DownloadFile list = ReadList(L"<Directory Name=\"app\"><File Name=\"first.txt\" Size=\"1\"/>"
                                 L"<File Name=\"absent.txt\" Size=\"1\" IgnoreIfMissing=\"true\"/>"
                                 L"<File Name=\"present.txt\" Size=\"1\" IgnoreIfMissing=\"TRUE\"/></Directory>",
                                 &log);
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_WSTREQ8(L"UpdateFile2", list.Entries()[1].downloadName);
    EXPECT_NE(list.Entries()[1].destination.find(L"present.txt"), std::wstring::npos);
    EXPECT_EQ(log.find("absent.txt"), std::string::npos);
}

TEST_F(FileListTest, VersionDecision) {
    const std::wstring client = ApplicationDirectory() + L"Renewix.exe";
    ASSERT_TRUE(CopyFileW(client.c_str(), (folder_ / L"app\\tool.exe").c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\plain.dat", "no version"));
    const std::wstring local = FileVersionString(folder_ / L"app\\tool.exe");
    ASSERT_EQ(WideToUtf8(local), "1.0.0.1");
    std::string log;
    DownloadFile list = ReadList(L"<Directory Name=\"app\">"
                                 L"<File Name=\"tool.exe\" Size=\"9\" ByVersion=\"1.0.0.2\"/>"
                                 L"<File Name=\"tool.exe\" Size=\"9\" ByVersion=\"1.0.0.1\"/>"
                                 L"<File Name=\"tool.exe\" Size=\"9\" ByVersion=\"1.0\"/>"
                                 L"<File Name=\"tool.exe\" Size=\"9\" ByVersion=\"bad\"/>"
                                 L"<File Name=\"plain.dat\" Size=\"9\" ByVersion=\"1.0\"/>"
                                 L"<File Name=\"new.exe\" Size=\"9\" ByVersion=\"1.0\"/>"
                                 L"<File Name=\"tool.exe\" Size=\"9\"/></Directory>",
                                 &log);
    ASSERT_EQ(list.Count(), 4u) << log;
    EXPECT_NE(log.find("\tCompare versions: 1.0.0.2, 1.0.0.1 - File added, server version newer.\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tCompare versions: 1.0.0.1, 1.0.0.1 - File not added, client version newer.\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("\tCompare versions: 1.0, 1.0.0.1 - File not added, client version newer.\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tCompare versions: bad, 1.0.0.1 - File not added, client version newer.\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tFile version not readable -- download new version.\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tFile added - not on user system.\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tFile added\r\n"), std::string::npos);
}

TEST_F(FileListTest, TimeDecisionAndBothTests) {
    const std::wstring path = folder_ / L"app\\data.bin";
    ASSERT_TRUE(WriteFileBytes(path, "local"));
    // Local file written on 2020-06-15 12:00:00; DOS stamps around it.
    SYSTEMTIME when{2020, 6, 0, 15, 12, 0, 0, 0};
    FILETIME local;
    SystemTimeToFileTime(&when, &local);
    SetWriteTime(path, local);
    const auto stamp = [](int y, int mo, int d, int h, int mi, int s) {
        return FormatText(L"%X", ((y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) | (s / 2));
    };
    FILETIME converted;
    ASSERT_TRUE(DosStampToFileTime(HexValue(stamp(2020, 6, 15, 12, 0, 0)), &converted));
    EXPECT_EQ(CompareFileTime(&converted, &local), 0);

    std::string log;
    DownloadFile list = ReadList(L"<Directory Name=\"app\">"
                                 L"<File Name=\"data.bin\" Size=\"5\" ByDate=\"" + stamp(2020, 6, 15, 12, 0, 2) + L"\"/>"
                                 L"<File Name=\"data.bin\" Size=\"5\" ByDate=\"" + stamp(2020, 6, 15, 12, 0, 0) + L"\"/>"
                                 L"<File Name=\"data.bin\" Size=\"5\" ByDate=\"" + stamp(2019, 1, 1, 0, 0, 0) + L"\"/>"
                                 L"<File Name=\"data.bin\" Size=\"5\" ByVersion=\"1.0\" ByDate=\"" +
                                     stamp(2021, 1, 1, 0, 0, 0) + L"\"/>"
                                 L"</Directory>",
                                 &log);
    ASSERT_EQ(list.Count(), 2u) << log;
    EXPECT_NE(log.find("\tFile added - Timestamp is newer on server.\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tFile not added - Timestamp is older on server.\r\n"), std::string::npos);
    // With both, each test writes its line and either one selects the file.
    EXPECT_NE(log.find("\tFile version not readable -- download new version.\r\n\tFile added - Timestamp is newer "
                       "on server.\r\n"),
              std::string::npos);
}

// A file left in the download folder counts as downloaded only when size and CRC are the
// document's: a stale file of the right size, or one without a CRC to prove it, is fetched.
TEST_F(FileListTest, FilesLeftByAnInterruptedRun) {
    const std::string good(100, 'x');
    const std::wstring crc = FormatText(L"%08X", static_cast<unsigned>(crc32(0, reinterpret_cast<const Bytef*>(good.data()), 100)));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", good));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile2", std::string(99, 'x')));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile3", std::string(100, 'y')));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile4", good));
    std::string log;
    DownloadFile list = ReadList(L"<Directory Name=\"app\"><File Name=\"one.bin\" Size=\"100\" CRC=\"" + crc + L"\"/>"
                                 L"<File Name=\"two.bin\" Size=\"100\" CRC=\"" + crc + L"\"/>"
                                 L"<File Name=\"three.bin\" Size=\"100\" CRC=\"" + crc + L"\"/>"
                                 L"<File Name=\"four.bin\" Size=\"100\"/></Directory>",
                                 &log);
    ASSERT_EQ(list.Count(), 4u);
    EXPECT_TRUE(list.Entries()[0].alreadyDownloaded);
    EXPECT_FALSE(list.Entries()[1].alreadyDownloaded);
    EXPECT_FALSE(list.Entries()[2].alreadyDownloaded);
    EXPECT_FALSE(list.Entries()[3].alreadyDownloaded);
    EXPECT_EQ(list.TotalBytes(), 300u);
    EXPECT_EQ(Count(log, "File already downloaded"), 1) << log;
}

// SHA256 is read into the entry; a hash that is there but unreadable skips the file, and a
// leftover download counts only when its hash matches too.
TEST_F(FileListTest, HashesAreReadAndDecideLeftoversWithTheCrc) {
    const std::string good(100, 'x');
    std::string forged = good;
    forged[0] = 'y';
    ASSERT_TRUE(ForgeCrc(forged, 50, CrcOf(good)));
    const std::wstring crc = FormatText(L"%08X", CrcOf(good));
    const std::wstring hash = HexText(Sha256Of(good.data(), good.size()));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", good));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile2", forged));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile3", good));
    std::string log;
    DownloadFile list = ReadList(L"<Directory Name=\"app\">"
                                 L"<File Name=\"one.bin\" Size=\"100\" CRC=\"" + crc + L"\" SHA256=\"" + hash + L"\"/>"
                                 L"<File Name=\"two.bin\" Size=\"100\" CRC=\"" + crc + L"\" SHA256=\"" + hash + L"\"/>"
                                 L"<File Name=\"three.bin\" Size=\"100\" SHA256=\"" + hash + L"\"/>"
                                 L"<File Name=\"short.bin\" Size=\"100\" SHA256=\"" + hash.substr(1) + L"\"/>"
                                 L"<File Name=\"plain.bin\" Size=\"100\"/></Directory>",
                                 &log);
    ASSERT_EQ(list.Count(), 4u) << log;
    EXPECT_EQ(list.Entries()[0].sha256, Sha256Of(good.data(), good.size()));
    EXPECT_FALSE(list.Entries()[3].sha256.has_value());
    EXPECT_EQ(list.Entries()[3].downloadName, L"UpdateFile4");
    EXPECT_TRUE(list.Entries()[0].alreadyDownloaded);
    EXPECT_FALSE(list.Entries()[1].alreadyDownloaded) << "same size and CRC, other bytes";
    EXPECT_TRUE(list.Entries()[2].alreadyDownloaded) << "a hash proves it without a CRC";
    EXPECT_NE(log.find("\tFile hash not acceptable, file skipped:\t"), std::string::npos) << log;
}

TEST_F(FileListTest, SizesBeyondThirtyTwoBitsAndMalformedSizes) {
    std::string log;
    DownloadFile list = ReadList(L"<Directory Name=\"app\">"
                                 L"<File Name=\"huge.bin\" Size=\"5000000000\"/>"
                                 L"<File Name=\"negative.bin\" Size=\"-1\"/>"
                                 L"<File Name=\"endless.bin\" Size=\"99999999999999999999\"/>"
                                 L"<File Name=\"words.bin\" Size=\"many\"/>"
                                 L"<File Name=\"big.bin\" Size=\"3000000000\"/></Directory>",
                                 &log);
    ASSERT_EQ(list.Count(), 2u) << log;
    EXPECT_EQ(list.Entries()[0].size, 5000000000ull);
    EXPECT_EQ(list.Entries()[1].size, 3000000000ull);
    EXPECT_EQ(list.Entries()[1].downloadName, L"UpdateFile2");
    EXPECT_EQ(list.TotalBytes(), 8000000000ull);
    EXPECT_NE(log.find("\tFile size not acceptable, file skipped:\t"), std::string::npos) << log;
    EXPECT_NE(log.find("negative.bin, -1\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("endless.bin, 99999999999999999999\r\n"), std::string::npos) << log;
    // Text that is not a number at all reads as 0, the zero-byte rule.
    EXPECT_NE(log.find("\tZero byte file will not be retrieved:\t"), std::string::npos) << log;

    std::uint64_t size = 1;
    EXPECT_TRUE(ReadFileSize(L"  9223372036854775807", &size));
    EXPECT_EQ(size, 9223372036854775807ull);
    EXPECT_FALSE(ReadFileSize(L"9223372036854775808", &size));
    EXPECT_FALSE(ReadFileSize(L" -0", &size));
    EXPECT_TRUE(ReadFileSize(L"12abc", &size));
    EXPECT_EQ(size, 12u);
}

// A patch is listed only whole and only for a hashed file; any other entry is fetched whole.
TEST_F(FileListTest, PatchesAreListedOnlyWholeForHashedFiles) {
    const std::wstring hash(64, L'a'), base(64, L'b');
    const auto entry = [&](const std::wstring& attributes, bool hashed = true) {
        return L"<File Name=\"f.bin\" Src=\"bin/\" Size=\"100\"" + (hashed ? L" SHA256=\"" + hash + L"\"" : L"") +
               L" " + attributes + L"/>";
    };
    const std::wstring whole = L"Patch=\"f.bin.patch\" PatchFrom=\"" + base + L"\" PatchSize=\"40\" PatchCRC=\"1A2B\" "
                               L"PatchSHA256=\"" + hash + L"\"";
    const auto without = [&](const std::wstring& attribute) {
        std::wstring text = whole;
        const std::size_t at = text.find(attribute + L"=");
        text.erase(at, text.find(L'"', text.find(L'"', at) + 1) + 1 - at);
        return text;
    };
    std::wstring outside = whole, zero = whole, badFrom = whole, tooLarge = entry(whole);
    ReplaceAll(outside, L"f.bin.patch", L"../f.bin.patch");
    ReplaceAll(zero, L"PatchSize=\"40\"", L"PatchSize=\"0\"");
    ReplaceAll(badFrom, base, base.substr(1));
    ReplaceAll(tooLarge, L" Size=\"100\"", L" Size=\"" + std::to_wstring(kMaxPatchedFileSize + 1) + L"\"");
    const struct {
        const char* what;
        std::wstring file;
        bool listed;
    } rows[] = {
        {"all five", entry(whole), true},
        {"no PatchFrom", entry(without(L"PatchFrom")), false},
        {"no PatchCRC", entry(without(L"PatchCRC")), false},
        {"no PatchSHA256", entry(without(L"PatchSHA256")), false},
        {"a name outside the folder", entry(outside), false},
        {"an empty patch", entry(zero), false},
        {"a short base hash", entry(badFrom), false},
        {"a file without a hash", entry(whole, false), false},
        {"a file too large to rebuild in memory", tooLarge, false},
    };
    for (const auto& row : rows) {
        std::string log;
        DownloadFile list = ReadList(L"<Directory Name=\"app\">" + row.file + L"</Directory>", &log);
        ASSERT_EQ(list.Count(), 1u) << row.what << log;
        const std::optional<FilePatch>& patch = list.Entries()[0].patch;
        EXPECT_EQ(patch.has_value(), row.listed) << row.what;
        EXPECT_EQ(log.find("File patch not acceptable") == std::string::npos, row.listed) << row.what;
        if (patch) {
            EXPECT_EQ(patch->source, L"bin/f.bin.patch");
            EXPECT_EQ(patch->size, 40u);
            EXPECT_EQ(patch->crc, 0x1A2Bu);
        }
    }
}

}  // namespace
