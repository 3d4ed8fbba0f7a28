#include "transfer/ftp_downloader.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "test_support.h"
#include "transfer/transfer_support.h"

namespace {

ServerSettings Ftp(const std::wstring& address) { return Server(L"ftp://", address); }

// The settings after the files location is completed, as every downloader sees them.
ServerSettings Resolved(const ServerSettings& settings) { return FTPFileDownloader(settings, TestTransfer()).Settings(); }

std::string Utf16Bytes(const std::wstring& text) { return "\xFF\xFE" + WideToUtf16LeBytes(text); }

// A host and a path, as in the FTP e2e suite's 127.0.0.1/upd/update.xml, are split there; here the edges.
TEST(FtpPaths, HostAndPathOfAnAddress) {
    EXPECT_WSTREQ8(L"host", FtpHost(L"host"));
    // A host alone: the login directory, not a folder named like the host.
    EXPECT_WSTREQ8(L"", FtpAddressPath(L"host"));
    // A leading "/" leaves no host: the whole text is both.
    EXPECT_WSTREQ8(L"/upd/update.xml", FtpHost(L"/upd/update.xml"));
    EXPECT_WSTREQ8(L"/upd/update.xml", FtpAddressPath(L"/upd/update.xml"));
}

TEST(FtpPaths, WhatTheServerIsAskedFor) {
    EXPECT_WSTREQ8(L"upd/bin/app.dll", FtpServerPath(L"\\\\upd\\bin\\\\app.dll"));
    EXPECT_WSTREQ8(L"a/b", FtpServerPath(L"///a///b"));
    EXPECT_WSTREQ8(L"", FtpServerPath(L"//"));

    EXPECT_WSTREQ8(L"upd/sub/a.txt", FtpFilePath(L"host/upd//", L"\\sub/a.txt"));
    EXPECT_WSTREQ8(L"pub/x/files/a.txt", FtpFilePath(L"host/pub\\x\\", L"files/a.txt"));
    // The files of a document directly under the host lie in the login directory.
    EXPECT_WSTREQ8(L"files/a.txt", FtpFilePath(Resolved(Ftp(L"host/update.xml")).FilesAddress, L"files/a.txt"));
}

// The document's login is u:p; a row without a files address has the files beside the document.
TEST(FtpPaths, WhenTheFilesShareTheDocumentsConnection) {
    const struct {
        const wchar_t *document, *files, *user, *password;
        const char* plan;  // "shared", or the address and login of the files' own connection
    } rows[] = {
        // Directly under the host: a second connection, logged in as the document's user.
        {L"host/update.xml", nullptr, L"", L"", "host u p"},
        {L"host/upd/update.xml", L"files.example/pub", L"f", L"q", "files.example/pub f q"},
        {L"host/upd/update.xml", L"HOST/pub", L"u", L"p", "HOST/pub u p"},  // hosts compare as written
        // The same host with the same login shares; with another login it cannot.
        {L"host/upd/update.xml", L"host/pub", L"f", L"q", "host/pub f q"},
        {L"host/upd/update.xml", L"host/pub", L"u", L"p", "shared"},
        {L"host/upd/update.xml", L"host/pub", L"u", L"", "host/pub u "},
    };
    for (const auto& row : rows) {
        ServerSettings settings = Ftp(row.document);
        std::tie(settings.UserName, settings.Password) = std::tuple(L"u", L"p");
        if (row.files) {
            settings.SeparateFilesLocation = 1;
            std::tie(settings.FilesAddress, settings.FilesUserName, settings.FilesPassword) =
                std::tuple(row.files, row.user, row.password);
        }
        const FtpFilesConnection plan = PlanFilesConnection(Resolved(settings));
        EXPECT_EQ(plan.shared ? "shared" : WideToUtf8(plan.address + L" " + plan.userName + L" " + plan.password),
                  row.plan) << "row " << &row - rows;
    }
}

// The faults are told apart; any other bytes pass only as UTF-16LE after its mark, and read back whole.
TEST(FtpDocument, OnlyUtf16LittleEndianWithAByteOrderMarkIsRead) {
    const struct {
        std::string bytes;
        FtpDocumentFault fault;
    } refused[] = {
        {"<", FtpDocumentFault::TooShort},
        {"\xEF\xBB\xBF<Renewix/>", FtpDocumentFault::NoByteOrderMark},
        {Utf16Bytes(L"<Renewix/>") + "x", FtpDocumentFault::OddLength},
    };
    std::wstring text = L"untouched";
    for (const auto& row : refused) EXPECT_EQ(DecodeFtpDocument(row.bytes, text), row.fault) << row.bytes;
    EXPECT_WSTREQ8(L"untouched", text);

    std::mt19937 random(12);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes(random() % 40, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        if (round % 3 == 0 && bytes.size() >= 2) bytes[0] = '\xFF', bytes[1] = '\xFE';
        const FtpDocumentFault fault = DecodeFtpDocument(bytes, text);
        const bool wellFormed = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE' && bytes.size() % 2 == 0;
        ASSERT_EQ(fault == FtpDocumentFault::None, wellFormed) << round;
        if (wellFormed) {
            ASSERT_EQ(text.size(), (bytes.size() - 2) / 2);
            EXPECT_EQ(Utf16Bytes(text), bytes);
        }
    }
}

TEST(FtpDownloader, PortShowsOnlyInTheLocations) {
    ServerSettings settings = Ftp(L"host/upd/update.xml");
    settings.Port = L"2121";
    FTPFileDownloader downloader(settings, TestTransfer());
    // The port shows in the locations' texts only: connections always go to port 21.
    EXPECT_WSTREQ8(L"ftp://host:2121/upd/update.xml", downloader.GetDocumentUrl());
    EXPECT_WSTREQ8(L"ftp://host:2121/upd", downloader.GetFilesBaseUrl());
    EXPECT_WSTREQ8(L"ftp://host/a b/../c", downloader.CanonicalizeUrl(L"ftp://host/a b/../c"));
}

TEST(FtpDownloader, OnlyErrorRepliesAreLoggedAndWhole) {
    const std::wstring longReply = L"550 " + std::wstring(700, L'x');
    const struct {
        std::wstring response;
        std::wstring logged;
    } cases[] = {
        {L"421 Control connection timed out.", L"421 Control connection timed out."},
        {L"530-Login refused\r\n530-for this user\r\n530 Goodbye.", L"530-Login refused\r\n530-for this user\r\n530 Goodbye."},
        {longReply, longReply},
        {L"\r\n550 Failed to open file.", L"550 Failed to open file."},
        {L"331 Password required.", L""},
        {L"", L""},
        {L"Not a reply", L""},
    };
    for (const auto& c : cases) EXPECT_WSTREQ8(c.logged, FtpErrorReply(c.response)) << WideToUtf8(c.response);
}

TEST(FtpDownloader, ErrorTextWithoutAServerResponse) {
    ScratchFolder folder(L"ftp");
    FTPFileDownloader downloader(Ftp(L"host/u.xml"), TestTransfer());
    CapturedLog log(folder / L"ftp.log");
    SetLastError(ERROR_ACCESS_DENIED);
    const std::wstring text = downloader.DescribeLastError();
    EXPECT_WSTREQ8(L"FTP transfer errors occured. Error code 5.", text);
    // The error box shows it and is gone; the log keeps it.
    EXPECT_NE(log.Finish().find(WideToUtf8(text)), std::string::npos);
}

}  // namespace
