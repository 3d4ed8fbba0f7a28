#include "transfer/http_downloader.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

ServerSettings Http(const std::wstring& address, const std::wstring& port) {
    ServerSettings settings;
    settings.Protocol = L"http://";
    settings.Address = address;
    settings.Port = port;
    return settings;
}

TEST(HttpUrls, PortsGoAfterTheHost) {
    EXPECT_WSTREQ8(L"host:81/dir/u.xml", InsertPort(L"host/dir/u.xml", L"81"));
    EXPECT_WSTREQ8(L"host/dir/u.xml", InsertPort(L"host\\dir\\u.xml", L""));
    EXPECT_WSTREQ8(L"http://host:8080/a", InsertPort(L"http://host/a", L"8080"));
    EXPECT_WSTREQ8(L"host:81", InsertPort(L"host", L"81"));
    EXPECT_WSTREQ8(L"host:81/cgi?f=/x", InsertPort(L"host/cgi?f=/x", L"81"));
}

TEST(HttpUrls, DocumentAndFilesLocations) {
    HTTPFileDownloader withPort(Http(L"host/dir/update.xml", L"81"), TestTransfer());
    EXPECT_WSTREQ8(L"http://host:81/dir/update.xml", withPort.GetDocumentUrl());
    EXPECT_WSTREQ8(L"http://host:81/dir", withPort.GetFilesBaseUrl());
    HTTPFileDownloader withoutPort(Http(L"host/dir/update.xml", L""), TestTransfer());
    EXPECT_WSTREQ8(L"http://host/dir/update.xml", withoutPort.GetDocumentUrl());

    ServerSettings separate = Http(L"host/update.xml", L"");
    separate.SeparateFilesLocation = 1;
    separate.FilesProtocol = L"http://";
    separate.FilesAddress = L"host\\files\\";
    HTTPFileDownloader files(separate, TestTransfer());
    EXPECT_WSTREQ8(L"http://host/files", files.GetFilesBaseUrl());

    UrlParts parts;
    ASSERT_TRUE(CrackUrl(L"https://localhost:8443/a/b.xml?x=1", &parts));
    EXPECT_WSTREQ8(L"https", parts.scheme);
    EXPECT_WSTREQ8(L"localhost", parts.host);
    EXPECT_EQ(parts.port, 8443);
    EXPECT_WSTREQ8(L"/a/b.xml", parts.path);
    EXPECT_WSTREQ8(L"?x=1", parts.extra);
    EXPECT_WSTREQ8(L"http://host/a%20b/c.txt", files.CanonicalizeUrl(L"http://host/a b/./c.txt"));
    // Certificates are checked: none of the flags that would ignore a bad one.
    EXPECT_EQ(HTTPFileDownloader::kRequestFlags & (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID), 0u);
    EXPECT_EQ(HTTPFileDownloader::kRequestFlags, 0xA4400C10u);
}

TEST(HttpUrls, NoFileOpenMeansNoSizeOrTimes) {
    HTTPFileDownloader downloader(Http(L"127.0.0.1/u.xml", L""), TestTransfer());
    EXPECT_EQ(downloader.GetFileSize(), -1);
    FILETIME a, b, c;
    EXPECT_FALSE(downloader.GetFileTimes(&a, &b, &c));
    char buffer[4];
    EXPECT_EQ(downloader.Read(buffer, 4), 0u);
    // Wine always reports a connected state, so the public probes are never asked.
    DWORD state = 0;
    EXPECT_TRUE(InternetGetConnectedState(&state, 0));
}

}  // namespace
