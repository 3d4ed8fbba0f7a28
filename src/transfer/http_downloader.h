// The downloader for HTTP and HTTPS servers, over WinINet.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "foundation/user_prompts.h"
#include "foundation/win_resource.h"
#include "transfer/downloader.h"

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { InternetCloseHandle(h); }
};
using UniqueInternet = renewix::UniqueResource<InternetHandleTraits>;

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
    void CloseFile() override { request_.reset(); }
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
    DWORD StatusCode() const;
    bool OpenRequest(const std::wstring& path, DWORD flags);

    std::optional<XmlDocument> document_;
    bool loadAttempted_ = false;
    UniqueInternet session_;
    UniqueInternet request_;
    UniqueInternet connection_;
    std::wstring proxyUser_, websiteUser_, proxyPassword_, websitePassword_;
    std::wstring connectedServer_;
};
