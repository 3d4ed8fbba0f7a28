// The downloader for HTTP and HTTPS servers, over WinINet.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "foundation/cancellation.h"
#include "foundation/user_prompts.h"
#include "foundation/win_resource.h"
#include "transfer/downloader.h"

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { InternetCloseHandle(h); }
};
using UniqueInternet = renewix::UniqueResource<InternetHandleTraits>;

// Limits set on every WinINet handle: a server that accepts and never answers fails the call
// instead of holding a silent run for ever.
inline constexpr DWORD kConnectTimeoutMs = 30'000;
inline constexpr DWORD kSendTimeoutMs = 60'000;
inline constexpr DWORD kReceiveTimeoutMs = 60'000;

// The server's last response to a call on this thread (InternetGetLastResponseInfo), whole,
// without trailing line breaks; empty when none.
std::wstring LastResponseInfo();

// The WinINet handles of one downloader. A Cancel on another thread closes them all and frees
// every caller waiting in Blocking; the lock decides who closes each handle, exactly once.
class InternetHandles {
public:
    // Children before their parents: the order they are closed in.
    enum Slot { Search, Request, FilesConnection, Connection, Session, kSlots };

    explicit InternetHandles(renewix::Cancellation* cancellation);
    ~InternetHandles();
    InternetHandles(const InternetHandles&) = delete;
    InternetHandles& operator=(const InternetHandles&) = delete;

    [[nodiscard]] HINTERNET Get(Slot slot);
    // Keeps `handle` in `slot` with the timeouts set, closing what was there. After a cancel the
    // handle is closed at once, the slot stays empty and the answer is false.
    bool Set(Slot slot, HINTERNET handle);
    void Close(Slot slot) { Set(slot, nullptr); }
    [[nodiscard]] bool Cancelled();
    // InternetReadFile on the Request slot, through Blocking: one hand-over to the call thread
    // per kReadAhead bytes, not per read. False when the read failed or was cancelled; at the
    // end, true with nothing read.
    bool Read(void* buffer, DWORD size, DWORD* read);
    static constexpr DWORD kReadAhead = 256 * 1024;
    // Runs a WinINet call that may block on the network on the downloader's call thread and
    // waits for it or for a Cancel, whichever comes first: closing a handle does not end a wait
    // that has begun on every WinINet (Wine's runs on to the timeout). `call` owns all it uses
    // (captures by value): after a Cancel it ends on its own, and what it opened is closed.
    template <typename Result>
    Result Blocking(std::function<Result()> call);
    // The server's last response to a call made through Blocking, whichever thread made it.
    std::wstring LastResponse() {
        std::lock_guard<std::mutex> hold(lock_);
        return lastResponse_;
    }

private:
    std::mutex lock_;
    bool cancelled_ = false;
    UniqueInternet handles_[kSlots];
    std::shared_ptr<struct InternetCallThread> calls_;
    // Joined at the end, unless it is still in a call a Cancel abandoned: that call ends on its
    // own at its timeout, and waiting for it would hold the end of the run as long.
    std::thread callThread_;
    std::wstring lastResponse_;
    // Read ahead from the open request; dropped when the request changes.
    std::shared_ptr<std::vector<char>> readAhead_;
    std::size_t readCount_ = 0;
    std::size_t readAt_ = 0;
    renewix::Cancellation::Registration registration_;
};

// The thread that makes one downloader's blocking calls, one at a time, so that the caller can
// stop waiting. Shared with that thread, which outlives the downloader only while it finishes
// an abandoned call.
struct InternetCallThread {
    std::mutex lock;
    std::condition_variable changed;
    std::function<void()> job;
    std::uint64_t posted = 0;
    std::uint64_t finished = 0;
    bool running = false;
    bool cancelled = false;
    bool quit = false;

    static void Run(std::shared_ptr<InternetCallThread> self);
};

template <typename Result>
Result InternetHandles::Blocking(std::function<Result()> call) {
    struct Outcome {
        Result result{};
        DWORD error = ERROR_INTERNET_OPERATION_CANCELLED;
        std::wstring response;
    };
    Outcome outcome;
    if (!calls_) {
        outcome.result = call();
        outcome.error = GetLastError();
        outcome.response = LastResponseInfo();
    } else if (!Cancelled()) {
        const auto shared = std::make_shared<Outcome>();
        std::unique_lock<std::mutex> hold(calls_->lock);
        if (!calls_->running) {
            try {
                callThread_ = std::thread(InternetCallThread::Run, calls_);
                calls_->running = true;
            } catch (const std::system_error&) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return Result{};
            }
        }
        const std::uint64_t ticket = ++calls_->posted;
        calls_->job = [call = std::move(call), shared, calls = calls_] {
            const Result result = call();
            const DWORD error = GetLastError();
            // Kept per thread by WinINet: read on the thread that made the call.
            std::wstring response = LastResponseInfo();
            bool orphaned = false;
            {
                std::lock_guard<std::mutex> hold(calls->lock);
                orphaned = calls->cancelled;
                if (!orphaned) {
                    shared->result = result;
                    shared->error = error;
                    shared->response = std::move(response);
                }
                ++calls->finished;
                calls->changed.notify_all();
            }
            // Nobody waits for it any more: what it opened is closed here, outside the lock,
            // as closing may wait on the server.
            if constexpr (std::is_same_v<Result, HINTERNET>) {
                if (orphaned && result) InternetCloseHandle(result);
            }
        };
        calls_->changed.notify_all();
        calls_->changed.wait(hold, [&] { return calls_->finished == ticket || calls_->cancelled; });
        if (calls_->finished == ticket) outcome = std::move(*shared);
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        lastResponse_ = std::move(outcome.response);
    }
    SetLastError(outcome.error);
    return outcome.result;
}

// `address` with `port` put after its host: host/dir/u.xml and 81 give host:81/dir/u.xml.
std::wstring InsertPort(const std::wstring& address, const std::wstring& port);

// The parts of a URL as InternetCrackUrl finds them.
struct UrlParts {
    std::wstring scheme;
    INTERNET_SCHEME schemeKind = INTERNET_SCHEME_UNKNOWN;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring user;
    std::wstring password;
    std::wstring path;
    std::wstring extra;
};
bool CrackUrl(const std::wstring& url, UrlParts* parts);

class HTTPFileDownloader : public IFileDownloader {
public:
    // Every request: reload, keep and reuse connections, no cache writes (and no flag that
    // asks for a cache file: with one, WinINet writes every download a second time, into its
    // cache). Certificates are validated: a wrong host name or an expired date fails the request.
    static constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT |
                                           INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
    using CredentialKind = IUserPrompts::CredentialKind;

    HTTPFileDownloader(const ServerSettings& settings, const TransferContext& context);
    ~HTTPFileDownloader() override;

    std::optional<XmlDocument> LoadDocument() override;
    bool OpenDownloadFile(const std::wstring& name) override;
    // A GET with "Range" and "If-Range": a server that sends another range, or none it can
    // keep, is asked once more for the whole file.
    bool OpenDownloadFileFrom(const std::wstring& name, std::uint64_t offset, const std::wstring& validator,
                              std::uint64_t* start) override;
    // A strong ETag, else the Last-Modified date, as the server sent it.
    std::wstring Validator() override;
    // An HTTP(S) GET of the document URL, query string included, with the credentials and
    // certificate handling of every request; other schemes are refused with a log line.
    bool OpenDocumentFile() override;
    DWORD Read(void* buffer, DWORD size) override;
    void CloseFile() override {
        rangeTotal_ = -1;
        handles_.Close(InternetHandles::Request);
    }
    std::wstring CanonicalizeUrl(const std::wstring& url) override;
    std::wstring GetDocumentUrl() override;
    std::wstring GetFilesBaseUrl() override;
    std::wstring DescribeLastError() override;
    bool GetFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override;
    std::int64_t GetFileSize() override;
    // Any status outside 200-299 is an error page, never the file.
    std::wstring RefusedResponse() override;
    bool Connect() override;
    bool IsInternetAvailable() override;

protected:
    bool ConnectAndManageCredentials(const std::wstring& url);
    virtual bool PromptForCredentials(CredentialKind kind);
    DWORD StatusCode();
    bool OpenRequest(const std::wstring& path, DWORD flags);
    HINTERNET Request() { return handles_.Get(InternetHandles::Request); }
    BOOL SendRequest();
    // InternetReadFile on the open request, cut short by a Cancel.
    bool ReadRequest(void* buffer, DWORD size, DWORD* read);

    std::optional<XmlDocument> document_;
    bool loadAttempted_ = false;
    InternetHandles handles_;
    std::wstring proxyUser_, websiteUser_, proxyPassword_, websitePassword_;
    std::wstring connectedServer_;
    // The whole file's size from the Content-Range of a continued request; -1 otherwise.
    std::int64_t rangeTotal_ = -1;
};
