// The downloader for HTTP and HTTPS servers, over WinINet.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>

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

// The WinINet handles of one downloader. A Cancel on another thread closes them all, so that a
// call blocked on one of them returns; the lock decides who closes each handle, exactly once.
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
    // Runs a WinINet call that may block on the network on a thread of its own and waits for
    // it or for a Cancel, whichever comes first: closing a handle does not end a wait that has
    // begun on every WinINet (Wine's runs on to the timeout). `call` owns all it uses (captures
    // by value): after a Cancel it ends on its own, and closes any handle it made.
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
    renewix::UniqueHandle cancelEvent_;
    std::wstring lastResponse_;
    renewix::Cancellation::Registration registration_;
};

template <typename Result>
Result InternetHandles::Blocking(std::function<Result()> call) {
    if (!cancelEvent_) {
        const Result result = call();
        const DWORD error = GetLastError();
        std::wstring response = LastResponseInfo();
        {
            std::lock_guard<std::mutex> hold(lock_);
            lastResponse_ = std::move(response);
        }
        SetLastError(error);
        return result;
    }
    struct Pending {
        std::mutex lock;
        Result result{};
        DWORD error = 0;
        std::wstring response;
        bool abandoned = false;
        renewix::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    };
    const auto pending = std::make_shared<Pending>();
    if (Cancelled() || !pending->done) {
        SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        return Result{};
    }
    try {
        std::thread([pending, call = std::move(call)] {
            const Result result = call();
            const DWORD error = GetLastError();
            // Kept per thread by WinINet: read it on the thread that made the call.
            std::wstring response = LastResponseInfo();
            std::lock_guard<std::mutex> hold(pending->lock);
            if (pending->abandoned) {
                if constexpr (std::is_same_v<Result, HINTERNET>) {
                    if (result) InternetCloseHandle(result);
                }
                return;
            }
            pending->result = result;
            pending->error = error;
            pending->response = std::move(response);
            SetEvent(pending->done.get());
        }).detach();
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return Result{};
    }
    const HANDLE waits[] = {pending->done.get(), cancelEvent_.get()};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    Result result{};
    DWORD error = ERROR_INTERNET_OPERATION_CANCELLED;
    {
        std::lock_guard<std::mutex> hold(pending->lock);
        if (WaitForSingleObject(pending->done.get(), 0) == WAIT_OBJECT_0) {
            result = pending->result;
            error = pending->error;
            std::lock_guard<std::mutex> own(lock_);
            lastResponse_ = pending->response;
        } else {
            pending->abandoned = true;
        }
    }
    SetLastError(error);
    return result;
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
    // Every request: reload, keep and reuse connections, no cache writes. Certificates are
    // validated: a wrong host name or an expired date fails the request.
    static constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT |
                                           INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                           INTERNET_FLAG_RESYNCHRONIZE | INTERNET_FLAG_HYPERLINK |
                                           INTERNET_FLAG_NEED_FILE;
    using CredentialKind = IUserPrompts::CredentialKind;

    HTTPFileDownloader(const ServerSettings& settings, const TransferContext& context);
    ~HTTPFileDownloader() override;

    std::optional<XmlDocument> LoadDocument() override;
    bool OpenDownloadFile(const std::wstring& name) override;
    // An HTTP(S) GET of the document URL, query string included, with the credentials and
    // certificate handling of every request; other schemes are refused with a log line.
    bool OpenDocumentFile() override;
    DWORD Read(void* buffer, DWORD size) override;
    void CloseFile() override { handles_.Close(InternetHandles::Request); }
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
};
