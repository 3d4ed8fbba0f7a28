#include "transfer/downloader.h"

#include <gtest/gtest.h>

#include <typeinfo>
#include <vector>

#include "foundation/win_resource.h"
#include "test_support.h"
#include "transfer/ftp_downloader.h"
#include "transfer/http_downloader.h"
#include "transfer/network_downloader.h"
#include "transfer/transfer_support.h"

namespace {

TEST(Downloader, ProtocolPrefixChoosesTheClassExactly) {
    const struct { const wchar_t* protocol; const std::type_info* made; } rows[] = {
        {L"file:", &typeid(NetworkFileDownloader)}, {L"ftp://", &typeid(FTPFileDownloader)},
        {L"http://", &typeid(HTTPFileDownloader)},  {L"file://", &typeid(HTTPFileDownloader)},
        {L"File:", &typeid(HTTPFileDownloader)},    {L"FTP://", &typeid(HTTPFileDownloader)},
        {L"ftp:", &typeid(HTTPFileDownloader)}};
    for (const auto& row : rows) {
        SCOPED_TRACE(WideToUtf8(row.protocol));
        const auto downloader =
            CreateDownloader(row.protocol, Server(row.protocol, L"127.0.0.1/u.xml"), TestTransfer());
        ASSERT_NE(downloader, nullptr);
        EXPECT_TRUE(typeid(*downloader) == *row.made) << typeid(*downloader).name();
        // Before a file is opened: no size, no times, nothing to read.
        EXPECT_LE(downloader->GetFileSize(), 0);
        FILETIME a, b, c;
        EXPECT_FALSE(downloader->GetFileTimes(&a, &b, &c));
        char buffer[4];
        EXPECT_EQ(downloader->Read(buffer, sizeof(buffer)), 0u);
    }
}

// Files beside the document are resolved in the base class for every protocol (the e2e update
// over HTTP with a port fetches from there); here the cut of the address and a share's own location.
TEST(Downloader, FilesLieBesideTheDocumentUnlessConfiguredApart) {
    EXPECT_WSTREQ8(L"host/a/b", FilesAddressFor(L"host/a/b/update.xml"));
    EXPECT_WSTREQ8(L"host/cgi/get", FilesAddressFor(L"host/cgi/get?f=1/x"));
    EXPECT_WSTREQ8(L"C:\\share\\upd", FilesAddressFor(L"C:\\share\\upd\\update.xml"));
    EXPECT_WSTREQ8(L"update.xml", FilesAddressFor(L"update.xml"));
    ServerSettings apart = Server(L"file:", L"C:\\docs\\update.xml");
    apart.SeparateFilesLocation = 1;
    apart.FilesAddress = L"D:\\files\\";
    NetworkFileDownloader separate(apart, TestTransfer());
    EXPECT_WSTREQ8(L"D:\\files", separate.GetFilesBaseUrl());
}

TEST(Downloader, SettingsComeFromTheRightBlock) {
    ClientConfig config = ConfigFrom(
        L"[PrimaryServer]\nDocumentProtocol=file:\nDocumentAddress=C:\\p\\u.xml\nFilesAddress=C:\\ignored\n"
        L"[BackupServer]\nDocumentProtocol=http://\nDocumentAddress=b/u.xml\nDocumentUser=u\nFilesAddress=b/files\n"
        L"FilesPassword=pw\nSeparateFilesLocation=1\nEnabled=1\n");
    ServerSettings primary = ServerSettingsFromConfig(config, true);
    EXPECT_WSTREQ8(L"C:\\p\\u.xml", primary.Address);
    EXPECT_WSTREQ8(L"", primary.FilesAddress);  // read only with a separate files location
    ServerSettings backup = ServerSettingsFromConfig(config, false);
    EXPECT_WSTREQ8(L"http://", backup.Protocol);
    EXPECT_WSTREQ8(L"u", backup.UserName);
    EXPECT_WSTREQ8(L"b/files", backup.FilesAddress);
    EXPECT_WSTREQ8(L"pw", backup.FilesPassword);
    EXPECT_EQ(backup.SeparateFilesLocation, 1);
    // A primary with a separate files location of its own reads it from its own block.
    config = ConfigFrom(L"[PrimaryServer]\nFilesAddress=p/files\nSeparateFilesLocation=1\n"
                        L"[BackupServer]\nFilesAddress=b/files\nSeparateFilesLocation=1\n");
    EXPECT_WSTREQ8(L"p/files", ServerSettingsFromConfig(config, true).FilesAddress);
}

class ShareTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(com_.succeeded());
        CreateDirectoryW((folder_ / L"primary").c_str(), nullptr);
        CreateDirectoryW((folder_ / L"backup").c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(folder_ / L"backup\\update.xml", "<Renewix><UpdateVersion>2</UpdateVersion></Renewix>"));
    }

    std::wstring Record(bool backupEnabled) {
        return L"[PrimaryServer]\nDocumentProtocol=file:\nDocumentAddress=" + (folder_ / L"primary\\update.xml") +
               L"\n[BackupServer]\nDocumentProtocol=file:\nDocumentAddress=" + (folder_ / L"backup\\update.xml") +
               L"\nEnabled=" + (backupEnabled ? L"1" : L"0") + L"\n";
    }

    renewix::ScopedComInit com_;
    ScratchFolder folder_{L"share"};
};

TEST_F(ShareTest, PathsDocumentsAndErrors) {
    NetworkFileDownloader share(Server(L"file:", L"\\\\server\\share\\upd\\update.xml"), TestTransfer());
    EXPECT_WSTREQ8(L"\\\\server\\share\\upd\\sub\\dir\\file.dll", share.FilePathFor(L"sub/dir/file.dll"));
    EXPECT_WSTREQ8(L"\\\\server\\share\\upd\\file.dll", share.FilePathFor(L"\\\\file.dll"));
    EXPECT_WSTREQ8(L"\\\\server\\share\\upd\\file.dll", share.FilePathFor(L"/file.dll"));

    CapturedLog log(folder_ / L"errors.log");
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::wstring text = share.DescribeLastError();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find(L'\r'), std::wstring::npos);
    SetLastError(0);
    EXPECT_WSTREQ8(L"File error occured", share.DescribeLastError());
    EXPECT_EQ(log.Finish(), "\tSystem error code:\t2\r\n\t" + WideToUtf8(text) + "\r\n\tEnd of recording\r\n");

    NetworkFileDownloader broken(Server(L"file:", folder_ / L"broken.xml"), TestTransfer());
    ASSERT_TRUE(WriteFileBytes(folder_ / L"broken.xml", "<Renewix><Unclosed></Renewix>"));
    EXPECT_FALSE(broken.LoadDocument().has_value());
}

// A share goes on by seeking, but only in the file it read before: same size, same time.
TEST_F(ShareTest, GoesOnOnlyInTheSameVersionOfTheFile) {
    NetworkFileDownloader share(Server(L"file:", folder_ / L"backup/update.xml"), TestTransfer());
    const std::wstring path = folder_ / L"backup\\app.dll";
    ASSERT_TRUE(WriteFileBytes(path, "0123456789"));
    ASSERT_TRUE(share.OpenDownloadFile(L"app.dll"));
    const std::wstring validator = share.Validator();
    ASSERT_FALSE(validator.empty());
    char buffer[16] = {};
    std::uint64_t start = 99;
    ASSERT_TRUE(share.OpenDownloadFileFrom(L"app.dll", 4, validator, &start));
    EXPECT_EQ(start, 4u);
    EXPECT_EQ(share.GetFileSize(), 10);  // the whole file's, not the rest's
    ASSERT_EQ(share.Read(buffer, sizeof(buffer)), 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");

    const struct {
        const char* what;
        std::uint64_t offset;
        std::wstring validator;
    } whole[] = {{"no validator", 4, L""}, {"another version", 4, L"10 bytes, written 0000000000000000"},
                 {"past the end", 10, validator}, {"from the start", 0, validator}};
    for (const auto& row : whole) {
        ASSERT_TRUE(share.OpenDownloadFileFrom(L"app.dll", row.offset, row.validator, &start)) << row.what;
        EXPECT_EQ(start, 0u) << row.what;
        EXPECT_EQ(share.Read(buffer, sizeof(buffer)), 10u) << row.what;
    }
    // Rewritten with the same bytes: the time tells.
    FILETIME later{};
    GetSystemTimeAsFileTime(&later);
    later.dwHighDateTime += 1;
    {
        renewix::UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &later));
    }
    ASSERT_TRUE(share.OpenDownloadFileFrom(L"app.dll", 4, validator, &start));
    EXPECT_EQ(start, 0u);
    EXPECT_NE(share.Validator(), validator);
}

// The primary server never answers here: the backup takes over when it is enabled and answers,
// and the choice holds for the rest of the process.
TEST_F(ShareTest, APrimaryThatFailsLeavesTheBackupOrNothing) {
    const std::string primary = WideToUtf8(folder_ / L"primary\\update.xml");
    const std::string backup = WideToUtf8(folder_ / L"backup\\update.xml");
    const struct {
        bool enabled, present, served, askedAgain;
        std::vector<std::string> logged;
    } rows[] = {
        {true, true, true, true, {"\tUnable to connect to:\t" + primary + "\r\n\tSystem error code:\t",
                            "\tPrimary server error:\t" + primary + "\r\n", "\tUsing backup server connections.\r\n"}},
        {false, true, false, true, {"\tNo backup server listed.\r\n"}},
        {true, false, false, false, {"\tBackup server error:\t" + backup + "\r\n"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "backup enabled " << row.enabled << ", present " << row.present);
        if (row.present) {
            ASSERT_TRUE(WriteFileBytes(folder_ / L"backup\\update.xml", "<Renewix/>"));
        } else {
            DeleteFileW((folder_ / L"backup\\update.xml").c_str());
        }
        ClientConfig config = ConfigFrom(Record(row.enabled));
        ServerSelection selection(config, TestTransfer());
        if (!row.enabled) {
            IFileDownloader* primaryServer = selection.CreateServerDownloader(true);
            EXPECT_EQ(selection.CreateServerDownloader(false), nullptr);
            EXPECT_EQ(selection.CreateServerDownloader(true), primaryServer);  // left untouched
        }
        CapturedLog log(folder_ / L"selection.log");
        int available = -1;
        IFileDownloader* active = selection.GetActiveDownloader(&available);
        const std::string text = log.Finish();
        EXPECT_EQ(available, 1);  // the network is there: the servers fail
        EXPECT_EQ(active ? WideToUtf8(active->GetDocumentUrl()) : "none", row.served ? backup : "none");
        for (const std::string& line : row.logged) EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
        if (!row.askedAgain) continue;
        // Asked again: the same answer, nothing logged again.
        CapturedLog again(folder_ / L"again.log");
        EXPECT_EQ(selection.GetActiveDownloader(&available), active);
        EXPECT_EQ(available, row.served ? 1 : 0);
        EXPECT_EQ(again.Finish(), "\tEnd of recording\r\n");
    }
}

// The document's bytes, for clients that verify them before parsing; the e2e signed update over
// a share shows they come exactly as stored. None when they cannot be had.
TEST_F(ShareTest, DocumentBytesComeWholeOrNotAtAll) {
    std::string bytes = "stale";
    NetworkFileDownloader missing(Server(L"file:", folder_ / L"primary\\none.xml"), TestTransfer());
    CapturedLog log(folder_ / L"fetch.log");
    EXPECT_FALSE(missing.FetchDocumentBytes(bytes));
    EXPECT_TRUE(bytes.empty());
    // A downloader that cannot fetch the bytes itself says so rather than send another protocol.
    HTTPFileDownloader overFtp(Server(L"ftp://", L"127.0.0.1/u.xml", L"8080"), TestTransfer());
    EXPECT_FALSE(overFtp.FetchDocumentBytes(bytes));
    const std::string text = log.Finish();
    EXPECT_NE(text.find("\tUnable to fetch the update description:\t" + WideToUtf8(folder_ / L"primary\\none.xml")),
              std::string::npos) << text;
    EXPECT_NE(text.find("\tThis downloader cannot fetch the update description itself:\tftp://127.0.0.1:8080/u.xml"),
              std::string::npos) << text;
}

TEST(DocumentBytes, CutShortOrEndlessIsRefused) {
    ScriptedDownloader server(Server(L"http://", L"x"), TestTransfer());
    std::string bytes;
    ScriptedDownloader::chunks = {std::string(50, 'a')};
    ScriptedDownloader::reportedSize = 100;
    EXPECT_FALSE(server.FetchDocumentBytes(bytes));
    ScriptedDownloader::chunks = {std::string(50, 'a'), std::string(50, 'b')};
    EXPECT_TRUE(server.FetchDocumentBytes(bytes));
    EXPECT_EQ(bytes, std::string(50, 'a') + std::string(50, 'b'));
    ScriptedDownloader::reportedSize = -1;
    ScriptedDownloader::chunks.assign(IFileDownloader::kMaxDocumentBytes / 8192 + 1, std::string(8192, 'x'));
    EXPECT_FALSE(server.FetchDocumentBytes(bytes));
    EXPECT_TRUE(bytes.empty());
    ScriptedDownloader::chunks.clear();
}

}  // namespace
