#include "description/file_list.h"

#include <gtest/gtest.h>

#include <optional>

#include "description/description_support.h"
#include "foundation/paths.h"

namespace {

class FileListTest : public DocumentTest {
protected:
    FileListTest() : DocumentTest(L"file-list") {}
    void SetUp() override {
        DocumentTest::SetUp();
        CreateDirectoryW((folder_ / L"app").c_str(), nullptr);
        CreateDirectoryW((folder_ / L"downloads").c_str(), nullptr);
    }

    // Reads a FileList element whose directories sit under `base` (the scratch folder unless given).
    DownloadFile ReadList(const std::wstring& fileList, std::string* log = nullptr,
                          std::optional<std::wstring> base = std::nullopt) {
        const XmlNode element = Load(L"<Renewix><FileList>" + fileList + L"</FileList></Renewix>", L"Renewix/FileList");
        DownloadFile list(folder_ / L"downloads", TestLog());
        list.SetFileManager(files_);
        const std::string text = LogOf([&] { EXPECT_EQ(list.Read(element, base.value_or(folder_.path())), 1); });
        if (log) *log = text;
        return list;
    }
    // The same for files in the folder "app".
    DownloadFile ReadApp(const std::wstring& files, std::string* log = nullptr) {
        return ReadList(L"<Directory Name=\"app\">" + files + L"</Directory>", log);
    }

    PermissionManager::StandardFileManagement files_{TestLog()};
};

TEST_F(FileListTest, DirectoriesFirstDepthFirstAndNumberedWithoutGaps) {
    std::string log;
    DownloadFile list = ReadList(
        L"<File Name=\"root.txt\" Size=\"1\"/>"
        L"<Directory Name=\"a\"><File Name=\"a1.txt\" Src=\"files/a/\" Size=\"10\" CRC=\"cbf43926\"/>"
        L"  <Directory Name=\"deep\"><File Name=\"d.txt\" Size=\"20\" CRC=\"0xCBF43926\"/></Directory></Directory>"
        L"<Directory Name=\"b\"><File Name=\"zero.txt\" Size=\"0\"/><File Name=\"text.txt\" Size=\"many\"/>"
        L"  <File Name=\"absent.txt\" Size=\"1\" IgnoreIfMissing=\"true\"/><File Name=\"negative.txt\" Size=\"-1\"/>"
        L"  <File Name=\"skipped.txt\" Size=\"5\" OS=\"0\"/><File Name=\"b1.dll\" Size=\"30\" Register=\"true\" "
        L"Action=\"Unzip\" IgnoreErrors=\"TRUE\"/><File Name=\"b2.zip\" Size=\"3000000000\" Action=\"unzip\"/>"
        L"</Directory><Directory Name=\"a\"><File Name=\"again.txt\" Size=\"5000000000\"/></Directory>",
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
    // Sizes beyond 32 bits, summed.
    EXPECT_EQ(list.TotalBytes(), 20u + 10 + 30 + 3000000000ull + 5000000000ull + 1);
    // Neither a file for another system nor a missing one that may be missing is even looked at.
    for (const char* name : {"skipped.txt", "absent.txt"}) EXPECT_EQ(log.find(name), std::string::npos) << name;
}

TEST_F(FileListTest, MacrosAndFilesOutsideAnyDirectory) {
    DownloadFile list = ReadList(L"<File Name=\"top.txt\" Size=\"1\"/>"
                                 L"<Directory Name=\"&lt;ApplicationDir&gt;\"><File Name=\"x.txt\" Size=\"2\"/>"
                                 L"<Directory Name=\"sub\"><File Name=\"y.txt\" Size=\"3\"/></Directory></Directory>"
                                 L"<Directory Name=\"&lt;WinDir&gt;\\fonts\"><File Name=\"z.txt\" Size=\"4\"/></Directory>",
                                 nullptr, L"");
    const auto& e = list.Entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_WSTREQ8(ApplicationDirectory() + L"sub\\y.txt", e[0].destination);
    EXPECT_WSTREQ8(ApplicationDirectory() + L"x.txt", e[1].destination);  // the doubled backslash is tidied
    // A macro with more text after it is one unknown macro name: the application directory.
    EXPECT_WSTREQ8(ApplicationDirectory() + L"z.txt", e[2].destination);
    EXPECT_WSTREQ8(L"\\top.txt", e[3].destination);
}

// tool.exe has version 1.0.0.1 and, like plain.dat (which has none), was written at noon on
// 2020-06-15; a file with both tests is taken when either one takes it. One that may be
// missing is dropped when it is.
TEST_F(FileListTest, VersionAndTimeDecideWhetherAFileIsTaken) {
    const std::wstring client = ApplicationDirectory() + L"Renewix.exe";
    ASSERT_TRUE(CopyFileW(client.c_str(), (folder_ / L"app\\tool.exe").c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"app\\plain.dat", "no version"));
    ASSERT_EQ(WideToUtf8(FileVersionString(folder_ / L"app\\tool.exe")), "1.0.0.1");
    SYSTEMTIME noon{2020, 6, 0, 15, 12, 0, 0, 0};
    FILETIME written;
    SystemTimeToFileTime(&noon, &written);
    for (const wchar_t* name : {L"tool.exe", L"plain.dat"}) {
        renewix::UniqueFile file(CreateFileW((folder_ / L"app\\" + name).c_str(), FILE_WRITE_ATTRIBUTES,
                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &written));
    }
    const auto stamp = [](int y, int d, int s) {  // a DOS date and time in June at noon
        return L" ByDate=\"" + FormatText(L"%X", ((y - 1980) << 25) | (6 << 21) | (d << 16) | (12 << 11) | (s / 2)) +
               L"\"";
    };
    struct Case {
        const wchar_t* name;
        std::wstring tests;
        bool taken;
    };
    const Case cases[] = {
        {L"tool.exe", L"", true},
        {L"tool.exe", L" ByVersion=\"1.0.0.2\"", true},
        {L"tool.exe", L" ByVersion=\"1.0.0.1\"", false},
        {L"tool.exe", L" ByVersion=\"bad\"", false},
        {L"plain.dat", L" ByVersion=\"1.0\"", true},
        {L"new.exe", L" ByVersion=\"1.0\"", true},
        {L"new.exe", L" IgnoreIfMissing=\"true\"", false},
        {L"plain.dat", L" IgnoreIfMissing=\"TRUE\"", true},
        {L"plain.dat", stamp(2020, 15, 2), true},
        {L"plain.dat", stamp(2020, 15, 0), false},
        {L"plain.dat", stamp(2019, 15, 0), false},
        {L"tool.exe", L" ByVersion=\"1.0\"" + stamp(2020, 15, 2), true},
        {L"tool.exe", L" ByVersion=\"1.0.0.2\"" + stamp(2019, 15, 0), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.name + c.tests));
        std::string log;
        EXPECT_EQ(ReadApp(L"<File Name=\"" + std::wstring(c.name) + L"\" Size=\"9\"" + c.tests + L"/>", &log).Count(),
                  c.taken ? 1u : 0u)
            << log;
    }
}

// A file left in the download folder counts as downloaded only when it is the document's: the
// same size, CRC and hash where given. One that nothing proves is fetched again.
TEST_F(FileListTest, FilesLeftByAnInterruptedRun) {
    const std::string good(100, 'x');
    std::string forged = good;
    forged[0] = 'y';
    ASSERT_TRUE(ForgeCrc(forged, 50, CrcOf(good)));
    const std::wstring crc = L" CRC=\"" + FormatText(L"%08X", CrcOf(good)) + L"\"";
    const std::wstring hash = HexText(Sha256Of(good.data(), good.size()));
    struct Case {
        std::string left;
        std::wstring proof;
        bool counts;
    };
    const Case cases[] = {
        {good, crc, true},
        {std::string(99, 'x'), crc, false},
        {std::string(100, 'y'), crc, false},
        {good, L"", false},
        {good, crc + L" SHA256=\"" + hash + L"\"", true},
        {forged, crc + L" SHA256=\"" + hash + L"\"", false},
        {good, L" SHA256=\"" + hash + L"\"", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.proof) + " " + c.left.substr(0, 1) + std::to_string(c.left.size()));
        ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", c.left));
        DownloadFile list = ReadApp(L"<File Name=\"one.bin\" Size=\"100\"" + c.proof + L"/>");
        ASSERT_EQ(list.Count(), 1u);
        EXPECT_EQ(list.Entries()[0].alreadyDownloaded, c.counts);
        EXPECT_EQ(list.TotalBytes(), c.counts ? 0u : 100u);
    }
    DownloadFile list = ReadApp(L"<File Name=\"one.bin\" Size=\"100\" SHA256=\"" + hash + L"\"/>"
                                L"<File Name=\"short.bin\" Size=\"100\" SHA256=\"" + hash.substr(1) + L"\"/>");
    ASSERT_EQ(list.Count(), 1u) << "a hash that is there but cannot be read skips its file";
    EXPECT_EQ(list.Entries()[0].sha256, Sha256Of(good.data(), good.size()));
}

TEST(FileSizeText, DecimalsOfSixtyThreeBitsAtMost) {
    struct Case {
        const wchar_t* text;
        bool read;
        std::uint64_t size = 0;
    };
    for (const Case& c : {Case{L"  9223372036854775807", true, 9223372036854775807ull},
                          Case{L"9223372036854775808", false}, Case{L" -0", false}, Case{L"12abc", true, 12},
                          Case{L"many", true, 0}}) {  // not a number at all: 0, the zero-byte rule
        SCOPED_TRACE(WideToUtf8(c.text));
        std::uint64_t size = 1;
        EXPECT_EQ(ReadFileSize(c.text, &size), c.read);
        if (c.read) {
            EXPECT_EQ(size, c.size);
        }
    }
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
    // The entry with one text of the five changed.
    const auto changed = [&](const std::wstring& from, const std::wstring& to) {
        std::wstring text = whole;
        ReplaceAll(text, from, to);
        return entry(text);
    };
    std::wstring tooLarge = entry(whole);
    ReplaceAll(tooLarge, L" Size=\"100\"", L" Size=\"" + std::to_wstring(kMaxPatchedFileSize + 1) + L"\"");
    const struct {
        const char* what;
        std::wstring file;
        bool listed;
    } rows[] = {
        {"all five", entry(whole), true},
        {"no PatchCRC", changed(L"PatchCRC=\"1A2B\"", L""), false},
        {"no PatchSHA256", changed(L"PatchSHA256=\"" + hash + L"\"", L""), false},
        {"a name outside the folder", changed(L"f.bin.patch", L"../f.bin.patch"), false},
        {"an empty patch", changed(L"PatchSize=\"40\"", L"PatchSize=\"0\""), false},
        {"a short base hash", changed(base, base.substr(1)), false},
        {"a file without a hash", entry(whole, false), false},
        {"a file too large to rebuild in memory", tooLarge, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string log;
        DownloadFile list = ReadApp(row.file, &log);
        ASSERT_EQ(list.Count(), 1u) << log;
        const std::optional<FilePatch>& patch = list.Entries()[0].patch;
        EXPECT_EQ(patch.has_value(), row.listed);
        EXPECT_EQ(log.find("File patch not acceptable") == std::string::npos, row.listed);
        if (patch) {
            EXPECT_EQ(patch->source, L"bin/f.bin.patch");
            EXPECT_EQ(patch->size, 40u);
            EXPECT_EQ(patch->crc, 0x1A2Bu);
        }
    }
}

}  // namespace
