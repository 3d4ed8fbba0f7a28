#include "transfer/http_downloader.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "test_support.h"
#include "transfer/file_transfer.h"
#include "transfer/loopback_server.h"
#include "transfer/transfer_support.h"

namespace {

TEST(HttpUrls, PortsGoAfterTheHost) {
    EXPECT_WSTREQ8(L"host:81/dir/u.xml", InsertPort(L"host/dir/u.xml", L"81"));
    EXPECT_WSTREQ8(L"host/dir/u.xml", InsertPort(L"host\\dir\\u.xml", L""));
    EXPECT_WSTREQ8(L"http://host:8080/a", InsertPort(L"http://host/a", L"8080"));
    EXPECT_WSTREQ8(L"host:81", InsertPort(L"host", L"81"));
    EXPECT_WSTREQ8(L"host:81/cgi?f=/x", InsertPort(L"host/cgi?f=/x", L"81"));
}

// Locations with a port, beside the document or apart, are what the e2e HTTP updates fetch from.
TEST(HttpUrls, DocumentAndFilesLocations) {
    ServerSettings separate = Server(L"http://", L"host/update.xml");
    separate.SeparateFilesLocation = 1;
    separate.FilesProtocol = L"http://";
    separate.FilesAddress = L"host\\files\\";
    HTTPFileDownloader files(separate, TestTransfer());
    EXPECT_WSTREQ8(L"http://host/files", files.GetFilesBaseUrl());

    // Host and port are what every loopback test connects to; the query is asked for only here.
    UrlParts parts;
    ASSERT_TRUE(CrackUrl(L"https://localhost:8443/a/b.xml?x=1", &parts));
    EXPECT_WSTREQ8(L"/a/b.xml", parts.path);
    EXPECT_WSTREQ8(L"?x=1", parts.extra);
    EXPECT_WSTREQ8(L"http://host/a%20b/c.txt", files.CanonicalizeUrl(L"http://host/a b/./c.txt"));
    // Certificates are checked: the HTTPS e2e suite refuses a stranger and a wrong name, and no
    // test server has an expired certificate, so the date is held here.
    EXPECT_EQ(HTTPFileDownloader::kRequestFlags &
                  (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID),
              0u);
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
// call, with a failure that says so, and no new connection is opened after it.
TEST(DownloaderCancel, ACancelEndsACallBlockedOnASilentServer) {
    struct Case {
        const char* name;
        std::deque<std::string> replies;
        std::function<bool(IFileDownloader&)> call;
    };
    const std::string headers = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nbegun";
    const Case cases[] = {
        {"http document request", {}, [](IFileDownloader& d) { return d.OpenDocumentFile(); }},
        {"http file read", {headers},
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
        std::unique_ptr<IFileDownloader> downloader =
            CreateDownloader(L"http://", Server(L"http://", L"127.0.0.1/u.xml", std::to_wstring(server.port())), run.transfer);
        auto call = std::async(std::launch::async, [&] { return c.call(*downloader); });
        ASSERT_TRUE(server.WaitForConnections(1));
        run.cancellation.Cancel();
        // Generous, yet short of the timeouts that would end a call waiting for the silent server.
        static_assert(kReceiveTimeoutMs > 30'000 && kSendTimeoutMs > 30'000);
        ASSERT_EQ(call.wait_for(std::chrono::seconds(30)), std::future_status::ready);
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
        const ServerSettings settings = Server(L"http://", L"127.0.0.1/u.xml", std::to_wstring(server.port()));
        HTTPFileDownloader downloader(settings, TestTransfer());
        const bool ok = std::string(status) == "200 OK";
        EXPECT_EQ(downloader.LoadDocument().has_value(), ok);
        const std::string text = log.Finish();
        const std::string code(status, 3);
        EXPECT_EQ(text.find("HTTP status of the file request:\t" + code) != std::string::npos, !ok) << text;
    }
}

// What one transfer of f.bin through the client's transfer code left behind, from a server
// that answers the connection check and then `replies`.
struct HttpTransfer {
    bool ok = false;
    std::string file;    // the downloaded file's bytes; empty when there is none
    int leftovers = 0;   // anything else in the downloads folder
    std::wstring shown;  // the error box's text
    std::vector<std::string> requests;
    bool cached = false;  // WinINet kept a copy of the file in its cache
};

HttpTransfer TransferOver(std::deque<std::string> replies, std::uint64_t size, std::uint32_t crc) {
    // A system that reports no connection would have the client probe public sites instead.
    DWORD state = 0;
    if (!InternetGetConnectedState(&state, 0)) {
        ADD_FAILURE() << "WinINet reports no connection";
        return {};
    }
    replies.push_front("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    LoopbackServer server(std::move(replies));
    ScratchFolder folder(L"http-transfer");
    TestRun run;
    const ClientConfig config = ConfigFrom(L"[PrimaryServer]\nDocumentProtocol=http://\nDocumentAddress=127.0.0.1/u.xml"
                                           L"\nDocumentPort=" + std::to_wstring(server.port()) + L"\n");
    PromptRecorder box;
    HttpTransfer result;
    {
        ServerSelection selection(config, run.transfer);
        CFileTransfer transfer(selection, run.files, nullptr, &box);
        transfer.SetRetryPause(1);
        result.ok = transfer.TransferFile(folder / L"downloads", L"f.bin", L"f.bin", size, crc);
    }
    result.file = ReadFileBytes(folder / L"downloads\\f.bin");
    ForEachChild(folder / L"downloads", [&](const std::wstring& name, bool) { result.leftovers += name != L"f.bin"; });
    result.shown = box.errors;
    result.requests = server.requests();
    DWORD entrySize = 0;
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/f.bin";
    result.cached = GetUrlCacheEntryInfoW(url.c_str(), nullptr, &entrySize) || GetLastError() != ERROR_FILE_NOT_FOUND;
    return result;
}

// Error pages exactly as long as the listed file, which has no CRC: only the status tells them
// apart from the file, and the user is told which refusal it was.
TEST(HttpFile, ARefusedOrCutAnswerLeavesNoFileAndIsExplained) {
    const std::string page = "<html>not the file</html>";
    const auto answer = [&](const std::string& status, const std::string& body, const std::string& extra = "") {
        return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(page.size()) + "\r\n" + extra + "\r\n" +
               body;
    };
    const std::string cut = answer("200 OK", page.substr(0, page.size() / 2), "Connection: close\r\n");
    const struct {
        const char* name;
        std::deque<std::string> replies;
        const wchar_t* says;
    } rows[] = {
        {"missing", {answer("404 Not Found", page)}, L"does not exist"},
        {"forbidden", {answer("403 Forbidden", page)}, L"Access was denied"},
        {"unauthorised", {answer("401 Unauthorized", page)}, L"Access was denied"},
        {"server error", {answer("500 Internal Server Error", page)}, L"Error 500"},
        // Every new attempt is cut as well.
        {"cut short", std::deque<std::string>(CFileTransfer::kMaxRetries + 1, cut), L"corrupt"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const HttpTransfer result = TransferOver(row.replies, page.size(), 0);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.file, "");
        EXPECT_EQ(result.leftovers, 0);
        EXPECT_NE(result.shown.find(row.says), std::wstring::npos) << WideToUtf8(result.shown);
        // An error page counts as what the server sent; only the cut answer arrives in part.
        if (row.replies.size() == 1) {
            EXPECT_NE(result.shown.find(L"Actual file size: " + std::to_wstring(page.size())), std::wstring::npos);
        }
    }
}

// A transfer cut short goes on with the rest of the version it began with: the server either
// sends that rest or, its file having changed, the whole new one.
TEST(HttpRange, AContinuedTransferAsksForTheRestOfTheSameVersion) {
    std::string body;
    for (int i = 0; i < 1000; ++i) body += static_cast<char>('a' + i % 26);
    const std::size_t kept = 400;
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    const std::string first =
        "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\n" + length + "Connection: close\r\n\r\n" + body.substr(0, kept);
    const struct {
        const char* name;
        std::string reply;
    } rows[] = {
        {"the rest", "HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nContent-Range: bytes 400-999/1000\r\n"
                     "Content-Length: 600\r\n\r\n" + body.substr(kept)},
        {"the whole of a new version", "HTTP/1.1 200 OK\r\nETag: \"v2\"\r\n" + length + "\r\n" + body},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const HttpTransfer result = TransferOver({first, row.reply}, body.size(), CrcOf(body));
        EXPECT_TRUE(result.ok) << WideToUtf8(result.shown);
        EXPECT_EQ(result.file, body);
        ASSERT_FALSE(result.requests.empty());
        const std::string& asked = result.requests.back();
        EXPECT_NE(asked.find("\r\nRange: bytes=" + std::to_string(kept) + "-\r\n"), std::string::npos) << asked;
        EXPECT_NE(asked.find("\r\nIf-Range: \"v1\"\r\n"), std::string::npos) << asked;
        // Written once: a cache copy would write every download twice.
        EXPECT_FALSE(result.cached);
    }
}

// A site that asks for a password in a run with nobody to ask: the client stops at the
// challenge, sends no credentials, and only the log says why.
TEST(HttpConnect, AChallengeInASilentRunStopsWithoutCredentials) {
    LoopbackServer server({"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"updates\"\r\n"
                           "Content-Length: 0\r\n\r\n",
                           "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
    ScratchFolder folder(L"challenge");
    CapturedLog log(folder / L"challenge.log");
    const ServerSettings settings = Server(L"http://", L"127.0.0.1/u.xml", std::to_wstring(server.port()));
    HTTPFileDownloader downloader(settings, TestTransfer());
    EXPECT_FALSE(downloader.Connect());
    const std::string text = log.Finish();
    EXPECT_NE(text.find("website authentication window will not occur"), std::string::npos) << text;
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].find("Authorization"), std::string::npos) << requests[0];
}

}  // namespace
