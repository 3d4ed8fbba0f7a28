#include "transfer/http_downloader.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "test_support.h"
#include "transfer/loopback_server.h"

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
}

TEST(HttpUrls, NoFileOpenMeansNoSizeOrTimes) {
    HTTPFileDownloader downloader(Http(L"127.0.0.1/u.xml", L""), TestTransfer());
    EXPECT_EQ(downloader.GetFileSize(), -1);
    FILETIME a, b, c;
    EXPECT_FALSE(downloader.GetFileTimes(&a, &b, &c));
    char buffer[4];
    EXPECT_EQ(downloader.Read(buffer, 4), 0u);
}

TEST(InternetHandles, EveryHandleHasTheTimeoutsAndNoneIsKeptAfterACancel) {
    renewix::Cancellation cancellation;
    InternetHandles handles(&cancellation);
    // A parent with the system's defaults: what its children have, they have from the set.
    UniqueInternet session(InternetOpenW(L"RenewixTest", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    ASSERT_TRUE(handles.Set(InternetHandles::Connection, InternetConnectW(session.get(), L"127.0.0.1", 80, nullptr,
                                                                          nullptr, INTERNET_SERVICE_HTTP, 0, 0)));
    ASSERT_TRUE(handles.Set(InternetHandles::Request, HttpOpenRequestW(handles.Get(InternetHandles::Connection), L"GET",
                                                                       L"/", nullptr, nullptr, nullptr, 0, 0)));
    for (const InternetHandles::Slot slot : {InternetHandles::Connection, InternetHandles::Request}) {
        // Wine answers queries for the connect timeout only.
        DWORD value = 0, size = sizeof(value);
        ASSERT_TRUE(InternetQueryOptionW(handles.Get(slot), INTERNET_OPTION_CONNECT_TIMEOUT, &value, &size)) << slot;
        EXPECT_EQ(value, kConnectTimeoutMs) << slot;
    }
    cancellation.Cancel();
    EXPECT_TRUE(handles.Cancelled());
    EXPECT_EQ(handles.Get(InternetHandles::Request), nullptr);
    EXPECT_FALSE(handles.Set(InternetHandles::Connection, InternetConnectW(session.get(), L"127.0.0.1", 80, nullptr,
                                                                           nullptr, INTERNET_SERVICE_HTTP, 0, 0)));
    EXPECT_EQ(handles.Get(InternetHandles::Connection), nullptr);
}

// A server that accepts and then says nothing more: Cancel on another thread ends the blocked
// call at once, with a failure that says so, and no new connection is opened after it.
TEST(DownloaderCancel, ACancelEndsACallBlockedOnASilentServer) {
    struct Case {
        const char* name;
        const wchar_t* protocol;
        std::deque<std::string> replies;
        std::function<bool(IFileDownloader&)> call;
    };
    const std::string headers = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nbegun";
    const Case cases[] = {
        {"http document request", L"http://", {}, [](IFileDownloader& d) { return d.OpenDocumentFile(); }},
        {"http file read", L"http://", {headers},
         [](IFileDownloader& d) {
             char buffer[2000];
             if (!d.OpenDownloadFile(L"a.bin")) return false;
             DWORD total = 0;
             for (DWORD count; (count = d.Read(buffer, sizeof(buffer))) != 0;) total += count;
             return total == 1000;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server(c.replies);
        ASSERT_NE(server.port(), 0);
        ScratchFolder folder(L"cancel");
        TestRun run;
        CapturedLog log(folder / L"cancel.log");
        ServerSettings settings;
        settings.Protocol = c.protocol;
        settings.Address = L"127.0.0.1/u.xml";
        settings.Port = std::to_wstring(server.port());
        std::unique_ptr<IFileDownloader> downloader = CreateDownloader(c.protocol, settings, run.transfer);
        auto call = std::async(std::launch::async, [&] { return c.call(*downloader); });
        ASSERT_TRUE(server.WaitForConnections(1));
        const ULONGLONG cancelled = GetTickCount64();
        run.cancellation.Cancel();
        ASSERT_EQ(call.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_LT(GetTickCount64() - cancelled, 5000u);
        EXPECT_FALSE(call.get());
        // Under Wine the call a Cancel abandoned may still finish its own exchange; what the
        // downloader is asked after the cancel never reaches the server.
        const int before = server.accepted();
        EXPECT_FALSE(downloader->OpenDownloadFile(L"b.bin"));
        EXPECT_EQ(server.accepted(), before);
        const std::string text = log.Finish();
        EXPECT_NE(text.find("Cancelled by the user"), std::string::npos) << text;
        EXPECT_EQ(text.find("error"), std::string::npos) << text;
    }
}

TEST(HttpDocument, AnErrorStatusIsRefusedWhateverTheBody) {
    const std::string body = "<?xml version=\"1.0\"?><Renewix><UpdateVersion>2.0</UpdateVersion></Renewix>";
    for (const char* status : {"500 Internal Server Error", "404 Not Found", "302 Found", "200 OK"}) {
        SCOPED_TRACE(status);
        const std::string response = std::string("HTTP/1.1 ") + status + "\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body;
        // One answer for the connection check, one for the document.
        LoopbackServer server({response, response});
        ScratchFolder folder(L"status");
        CapturedLog log(folder / L"status.log");
        renewix::ScopedComInit com;
        HTTPFileDownloader downloader(Http(L"127.0.0.1/u.xml", std::to_wstring(server.port())), TestTransfer());
        const bool ok = std::string(status) == "200 OK";
        EXPECT_EQ(downloader.LoadDocument().has_value(), ok);
        const std::string text = log.Finish();
        const std::string code(status, 3);
        EXPECT_EQ(text.find("HTTP status of the file request:\t" + code) != std::string::npos, !ok) << text;
    }
}

}  // namespace
