#include "transfer/http_downloader.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "description/document_rules.h"
#include "description/variables.h"
#include "foundation/cancellation.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "transfer/resume.h"

std::wstring InsertPort(const std::wstring& input, const std::wstring& port) {
    std::wstring address = input;
    ReplaceAll(address, L"\\", L"/");
    if (port.empty()) return address;
    const std::size_t scheme = address.find(L"://");
    const std::size_t slash = address.find(L'/', scheme == std::wstring::npos ? 0 : scheme + 3);
    if (slash == std::wstring::npos) return address + L":" + port;
    return address.substr(0, slash) + L":" + port + address.substr(slash);
}

bool CrackUrl(const std::wstring& url, UrlParts* parts) {
    // No part can be longer than the URL itself.
    const DWORD length = static_cast<DWORD>(url.size() + 1);
    std::vector<wchar_t> scheme(length), host(length), user(length), password(length), path(length), extra(length);
    URL_COMPONENTSW components{};
    components.dwStructSize = sizeof(components);
    const auto use = [length](std::vector<wchar_t>& buffer, LPWSTR& text, DWORD& size) {
        text = buffer.data();
        size = length;
    };
    use(scheme, components.lpszScheme, components.dwSchemeLength);
    use(host, components.lpszHostName, components.dwHostNameLength);
    use(user, components.lpszUserName, components.dwUserNameLength);
    use(password, components.lpszPassword, components.dwPasswordLength);
    use(path, components.lpszUrlPath, components.dwUrlPathLength);
    use(extra, components.lpszExtraInfo, components.dwExtraInfoLength);
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &components)) return false;
    *parts = UrlParts{scheme.data(), components.nScheme, host.data(), components.nPort,
                      user.data(),   password.data(),    path.data(), extra.data()};
    return true;
}

std::wstring LastResponseInfo() {
    // Replies can be long and span lines: the buffer is sized from what the call asks for.
    std::vector<wchar_t> buffer(512);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD length = static_cast<DWORD>(buffer.size());
        DWORD code = 0;
        if (InternetGetLastResponseInfoW(&code, buffer.data(), &length)) {
            std::wstring response(buffer.data(), std::min<std::size_t>(length, buffer.size()));
            response.resize(wcsnlen(response.c_str(), response.size()));
            while (!response.empty() && (response.back() == L'\r' || response.back() == L'\n')) response.pop_back();
            return response;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
        buffer.assign(std::max<std::size_t>(length + 1, buffer.size() * 2), L'\0');
    }
    return {};
}

namespace {

void ApplyTimeouts(HINTERNET handle) {
    // FTP data connections have limits of their own; options a handle kind does not know fail
    // harmlessly.
    for (const auto& [option, value] : {std::pair{INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs},
                                        std::pair{INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs},
                                        std::pair{INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs},
                                        std::pair{INTERNET_OPTION_DATA_SEND_TIMEOUT, kSendTimeoutMs},
                                        std::pair{INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, kReceiveTimeoutMs}}) {
        DWORD milliseconds = value;
        InternetSetOptionW(handle, option, &milliseconds, sizeof(milliseconds));
    }
}

}  // namespace

InternetHandles::InternetHandles(renewix::Cancellation* cancellation) {
    if (!cancellation) return;
    calls_ = std::make_shared<InternetCallThread>();
    registration_ = cancellation->OnCancel([this] {
        // Closed once both locks are released: closing an FTP file may wait for the server, and
        // nobody else may wait for that.
        UniqueInternet closing[kSlots];
        {
            std::lock_guard<std::mutex> hold(lock_);
            cancelled_ = true;
            std::move(std::begin(handles_), std::end(handles_), std::begin(closing));
            std::lock_guard<std::mutex> release(calls_->lock);
            calls_->cancelled = true;
            calls_->changed.notify_all();
        }
        for (UniqueInternet& handle : closing) handle.reset();
    });
}

void InternetCallThread::Run(std::shared_ptr<InternetCallThread> self) {
    std::unique_lock<std::mutex> hold(self->lock);
    for (;;) {
        self->changed.wait(hold, [&] { return self->job || self->quit || self->cancelled; });
        // A call posted just before a Cancel is not begun: its handle has been closed, and the
        // system may already have given the number to another handle.
        if (!self->job || self->cancelled) return;
        std::function<void()> job = std::exchange(self->job, nullptr);
        hold.unlock();
        job();
        hold.lock();
    }
}

InternetHandles::~InternetHandles() {
    // First: a closer running now finishes before the handles go.
    registration_.reset();
    bool abandoned = false;
    if (calls_) {
        std::lock_guard<std::mutex> hold(calls_->lock);
        calls_->quit = true;
        abandoned = calls_->finished != calls_->posted;
        calls_->changed.notify_all();
    }
    if (callThread_.joinable()) {
        if (abandoned) {
            callThread_.detach();
        } else {
            callThread_.join();
        }
    }
    for (UniqueInternet& handle : handles_) handle.reset();
}

HINTERNET InternetHandles::Get(Slot slot) {
    std::lock_guard<std::mutex> hold(lock_);
    return handles_[slot].get();
}

bool InternetHandles::Set(Slot slot, HINTERNET handle) {
    UniqueInternet owned(handle);
    if (owned) ApplyTimeouts(owned.get());
    // Closed once the lock is released: closing an FTP file waits for the server's reply.
    UniqueInternet previous;
    std::lock_guard<std::mutex> hold(lock_);
    previous = std::move(handles_[slot]);
    if (slot == Request) {
        readCount_ = 0;
        readAt_ = 0;
    }
    if (cancelled_) return false;
    handles_[slot] = std::move(owned);
    return handles_[slot].valid();
}

bool InternetHandles::Read(void* buffer, DWORD size, DWORD* read) {
    *read = 0;
    if (readAt_ == readCount_) {
        const HINTERNET request = Get(Request);
        if (!request) return false;
        // The call's own buffer: after a Cancel it may still be written to, so a buffer that an
        // abandoned call may hold is never used again. Otherwise one buffer serves every read.
        if (!readAhead_ || readAhead_.use_count() != 1) readAhead_ = std::make_shared<std::vector<char>>(kReadAhead);
        const std::shared_ptr<std::vector<char>> chunk = readAhead_;
        const auto count = std::make_shared<DWORD>(0);
        if (!Blocking<BOOL>([request, chunk, count] {
                return InternetReadFile(request, chunk->data(), static_cast<DWORD>(chunk->size()), count.get());
            })) {
            return false;
        }
        readCount_ = std::min<std::size_t>(*count, chunk->size());
        readAt_ = 0;
    }
    *read = static_cast<DWORD>(std::min<std::size_t>(size, readCount_ - readAt_));
    if (*read) memcpy(buffer, readAhead_->data() + readAt_, *read);
    readAt_ += *read;
    return true;
}

bool InternetHandles::Cancelled() {
    std::lock_guard<std::mutex> hold(lock_);
    return cancelled_;
}

HTTPFileDownloader::HTTPFileDownloader(const ServerSettings& settings, const TransferContext& context)
    : IFileDownloader(settings, context), handles_(context.cancellation) {
    if (!handles_.Set(InternetHandles::Session,
                      InternetOpenW(L"RenewixAgent", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)) &&
        !StopForCancel()) {
        log_.WriteNumber(L"InternetOpen error", static_cast<int>(GetLastError()));
    }
}

HTTPFileDownloader::~HTTPFileDownloader() = default;

std::wstring HTTPFileDownloader::GetDocumentUrl() {
    if (documentUrl_.empty()) documentUrl_ = variables_.ReplaceVariables(settings_.Protocol + InsertPort(settings_.Address, settings_.Port));
    return documentUrl_;
}

std::wstring HTTPFileDownloader::GetFilesBaseUrl() {
    if (filesBaseUrl_.empty()) {
        std::wstring url = settings_.FilesProtocol + InsertPort(settings_.FilesAddress, settings_.FilesPort);
        ReplaceAll(url, L"\\", L"/");
        while (!url.empty() && url.back() == L'/') url.pop_back();
        filesBaseUrl_ = variables_.ReplaceVariables(url);
    }
    return filesBaseUrl_;
}

std::wstring HTTPFileDownloader::CanonicalizeUrl(const std::wstring& url) {
    wchar_t buffer[1024] = {};
    DWORD length = 1024;
    // A URL too long for the buffer is used as it is.
    if (!InternetCanonicalizeUrlW(url.c_str(), buffer, &length, ICU_BROWSER_MODE)) return url;
    return std::wstring(buffer, length);
}

std::optional<XmlDocument> HTTPFileDownloader::LoadDocument() {
    if (loadAttempted_) return document_ ? std::optional<XmlDocument>(document_->Share()) : std::nullopt;
    loadAttempted_ = true;
    const std::wstring url = GetDocumentUrl();
    std::optional<XmlDocument> document;
    for (const wchar_t* progId : {L"MSXML2.DOMDocument.3.0", L"MSXML2.DOMDocument", L"Microsoft.XMLDOM"}) {
        try {
            document.emplace(XmlDocument::Create(progId));
            break;
        } catch (const XmlError&) {
        }
    }
    if (!document) {
        log_.WriteHeading(L"Error creating XMLDOM");
        return std::nullopt;
    }
    try {
        // Fetched over this downloader's own request, not by the parser: so the request has
        // the timeouts, Cancel and the status check of every other request.
        std::string bytes;
        if (!FetchDocumentBytes(bytes)) return std::nullopt;
        if (!document->LoadBytes(bytes.data(), bytes.size())) {
            log_.WriteBlank();
            log_.WriteValue(L"Errors try to access", url);
            return std::nullopt;
        }
    } catch (const XmlError& error) {
        log_.WriteBlank();
        log_.WriteValue(L"Errors connecting to the internet", url);
        log_.WriteEntry(error.description);
        return std::nullopt;
    } catch (...) {
        log_.WriteBlank();
        log_.WriteValue(L"Errors connecting to the internet", url);
        log_.WriteHeading(L"An unknown error occured when connecting to the internet!");
        return std::nullopt;
    }
    document_ = std::move(document);
    return document_->Share();
}

DWORD HTTPFileDownloader::StatusCode() {
    const HINTERNET request = Request();
    if (!request) return 0;
    DWORD status = 0, size = sizeof(status);
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
        return 0;
    }
    return status;
}

bool HTTPFileDownloader::OpenRequest(const std::wstring& path, DWORD flags) {
    if (!handles_.Set(InternetHandles::Request,
                      HttpOpenRequestW(handles_.Get(InternetHandles::Connection), L"GET", path.c_str(), nullptr,
                                       nullptr, nullptr, flags, 0))) {
        return false;
    }
    HttpAddRequestHeadersW(Request(), L"Accept: */*\r\n", static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD);
    return true;
}

bool HTTPFileDownloader::ConnectAndManageCredentials(const std::wstring& input) {
    UrlParts parts;
    const std::wstring url = CanonicalizeUrl(input);
    if (!CrackUrl(url, &parts)) return false;
    const std::wstring key = FormatText(L"%ls:%d", parts.host.c_str(), parts.port);
    if (key == connectedServer_) return true;
    connectedServer_ = key;
    DWORD flags = kRequestFlags;
    if (EqualsNoCase(parts.scheme, L"https")) flags |= INTERNET_FLAG_SECURE;

    if (!handles_.Set(InternetHandles::Connection,
                      InternetConnectW(handles_.Get(InternetHandles::Session), parts.host.c_str(), parts.port, nullptr,
                                       nullptr, INTERNET_SERVICE_HTTP, 0, 0))) {
        connectedServer_.clear();
        if (StopForCancel()) return false;
        log_.WriteValue(L"Critical error", L"File server was not reachable!");
        return false;
    }
    if (!OpenRequest(parts.path, flags)) {
        connectedServer_.clear();
        if (StopForCancel()) return false;
        log_.WriteValue(L"HttpOpenRequest error in ConnectAndManageCredentials", parts.path);
        return false;
    }
    for (;;) {
        if (!SendRequest()) {
            const DWORD error = GetLastError();
            connectedServer_.clear();
            if (StopForCancel()) return false;
            if (error == ERROR_INTERNET_INVALID_CA) {
                // An update client that accepted any certificate would let anyone on the
                // network replace the programs it installs: refuse, never retry unchecked.
                log_.WriteValue(L"Security error", L"There is no trust authority for the CA root certificate in the "
                                                   L"HTTPS request");
            } else {
                log_.WriteNumber(L"HttpSendRequest error in ConnectAndManageCredentials", static_cast<int>(error));
            }
            return false;
        }
        const DWORD status = StatusCode();
        if (status == HTTP_STATUS_PROXY_AUTH_REQ || status == HTTP_STATUS_DENIED) {
            const bool proxy = status == HTTP_STATUS_PROXY_AUTH_REQ;
            const std::wstring& user = proxy ? proxyUser_ : websiteUser_;
            if (!PromptForCredentials(proxy ? CredentialKind::Proxy : CredentialKind::Website) || user.empty()) {
                log_.WriteEntry(proxy ? L"Display of proxy window will not occur. Terminating..."
                                      : L"Display of website authentication window will not occur. Terminating...");
                return false;
            }
            const std::wstring& password = proxy ? proxyPassword_ : websitePassword_;
            log_.WriteValue(proxy ? L"-- Proxy username" : L"-- Website username", user);
            const BOOL userSet = InternetSetOptionW(Request(), proxy ? INTERNET_OPTION_PROXY_USERNAME : INTERNET_OPTION_USERNAME,
                                                    const_cast<wchar_t*>(user.c_str()), static_cast<DWORD>(user.size()));
            const BOOL passwordSet = InternetSetOptionW(
                Request(), proxy ? INTERNET_OPTION_PROXY_PASSWORD : INTERNET_OPTION_PASSWORD,
                const_cast<wchar_t*>(password.c_str()), static_cast<DWORD>(password.size()));
            if (!userSet || !passwordSet) log_.WriteEntry(L"Setting of proxy credentials failed!");
            continue;
        }
        return true;
    }
}

bool HTTPFileDownloader::PromptForCredentials(CredentialKind kind) {
    // Runs without a wizard never ask.
    std::wstring user, password;
    if (!prompts_ || !prompts_->AskCredentials(kind, &user, &password)) return false;
    const bool proxy = kind == CredentialKind::Proxy;
    (proxy ? proxyUser_ : websiteUser_) = std::move(user);
    (proxy ? proxyPassword_ : websitePassword_) = std::move(password);
    return true;
}

bool HTTPFileDownloader::OpenDownloadFile(const std::wstring& name) {
    std::uint64_t start = 0;
    return OpenDownloadFileFrom(name, 0, std::wstring(), &start);
}

namespace {

// A response header as text; empty when the response has none.
std::wstring QueryHeader(HINTERNET request, DWORD header) {
    wchar_t text[kMaxValidator + 1] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    if (!request || !HttpQueryInfoW(request, header, text, &size, nullptr)) return {};
    return std::wstring(text, size / sizeof(wchar_t));
}

}  // namespace

std::wstring HTTPFileDownloader::Validator() {
    std::wstring validator = QueryHeader(Request(), HTTP_QUERY_ETAG);
    // A weak ETag may not be used to join ranges.
    if (validator.empty() || StartsWith(validator, L"W/")) validator = QueryHeader(Request(), HTTP_QUERY_LAST_MODIFIED);
    // It goes back into a request header: nothing that could end the header is sent.
    return IsSafeValidator(validator) ? validator : std::wstring();
}

bool HTTPFileDownloader::OpenDownloadFileFrom(const std::wstring& input, std::uint64_t offset,
                                              const std::wstring& validator, std::uint64_t* start) {
    *start = 0;
    rangeTotal_ = -1;
    const bool ranged = offset > 0 && IsSafeValidator(validator) && !validator.empty();
    handles_.Close(InternetHandles::Request);
    if (StopForCancel() || !handles_.Get(InternetHandles::Session)) return false;
    std::wstring name = input;
    ReplaceAll(name, L"\\", L"/");
    ReplaceAll(name, L"//", L"/");
    if (!name.empty() && name[0] != L'/') name.insert(0, 1, L'/');
    const std::wstring url = CanonicalizeUrl(GetFilesBaseUrl() + name);
    UrlParts parts;
    if (!CrackUrl(url, &parts)) return false;
    DWORD flags = kRequestFlags;
    if (parts.scheme == L"https") flags |= INTERNET_FLAG_SECURE;
    ConnectAndManageCredentials(url);
    if (!handles_.Get(InternetHandles::Connection) || !OpenRequest(parts.path, flags)) {
        if (StopForCancel()) return false;
        log_.WriteValue(L"HttpOpenRequest error in OpenDownloadFile", parts.path);
        return false;
    }
    if (ranged) {
        // If-Range: the rest only of the same version, else the whole file in the same answer.
        const std::wstring headers =
            L"Range: bytes=" + std::to_wstring(offset) + L"-\r\nIf-Range: " + validator + L"\r\n";
        HttpAddRequestHeadersW(Request(), headers.c_str(), static_cast<DWORD>(-1),
                               HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    }
    if (!SendRequest()) {
        if (StopForCancel()) return false;
        log_.WriteNumber(L"HttpSendRequest error in OpenDownloadFile", static_cast<int>(GetLastError()));
        return false;
    }
    if (!ranged) return true;
    std::uint64_t total = 0;
    RangeAnswer answer = JudgeRangeAnswer(StatusCode(), QueryHeader(Request(), HTTP_QUERY_CONTENT_RANGE), offset, &total);
    // A server that ignored If-Range sends the rest of another version.
    if (answer == RangeAnswer::Continues && Validator() != validator) answer = RangeAnswer::AskWhole;
    if (answer == RangeAnswer::AskWhole) {
        log_.WriteValueNumber(L"The server did not send the rest of the file from byte", url,
                              static_cast<long long>(offset));
        return OpenDownloadFileFrom(input, 0, std::wstring(), start);
    }
    if (answer == RangeAnswer::Continues) {
        *start = offset;
        rangeTotal_ = static_cast<std::int64_t>(total);
    }
    return true;
}

bool HTTPFileDownloader::OpenDocumentFile() {
    rangeTotal_ = -1;
    handles_.Close(InternetHandles::Request);
    if (StopForCancel() || !handles_.Get(InternetHandles::Session)) return false;
    const std::wstring url = CanonicalizeUrl(GetDocumentUrl());
    UrlParts parts;
    if (!CrackUrl(url, &parts)) return false;
    // A subclass for another protocol that has no request of its own must not send HTTP.
    const bool secure = EqualsNoCase(parts.scheme, L"https");
    if (!secure && !EqualsNoCase(parts.scheme, L"http")) {
        log_.WriteValue(L"This downloader cannot fetch the update description itself", url);
        return false;
    }
    ConnectAndManageCredentials(url);
    const std::wstring query = parts.extra.substr(0, parts.extra.find(L'#'));
    if (!handles_.Get(InternetHandles::Connection) ||
        !OpenRequest(parts.path + query, kRequestFlags | (secure ? INTERNET_FLAG_SECURE : 0))) {
        if (StopForCancel()) return false;
        log_.WriteValue(L"HttpOpenRequest error in OpenDocumentFile", parts.path);
        return false;
    }
    if (!SendRequest()) {
        if (StopForCancel()) return false;
        log_.WriteNumber(L"HttpSendRequest error in OpenDocumentFile", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

DWORD HTTPFileDownloader::Read(void* buffer, DWORD size) {
    DWORD read = 0;
    return ReadRequest(buffer, size, &read) ? read : 0;
}

BOOL HTTPFileDownloader::SendRequest() {
    const HINTERNET request = Request();
    return handles_.Blocking<BOOL>([request] { return HttpSendRequestW(request, nullptr, 0, nullptr, 0); });
}

bool HTTPFileDownloader::ReadRequest(void* buffer, DWORD size, DWORD* read) {
    return handles_.Read(buffer, size, read);
}

bool HTTPFileDownloader::GetFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    const HINTERNET request = Request();
    if (!request) return false;
    wchar_t text[128] = {};  // 256 bytes
    DWORD size = sizeof(text);
    if (!HttpQueryInfoW(request, HTTP_QUERY_LAST_MODIFIED, text, &size, nullptr)) return false;
    SYSTEMTIME time{};
    FILETIME file{};
    if (!InternetTimeToSystemTimeW(text, &time, 0) || !SystemTimeToFileTime(&time, &file)) return false;
    *creation = *lastAccess = *lastWrite = file;
    return true;
}

std::int64_t HTTPFileDownloader::GetFileSize() {
    const HINTERNET request = Request();
    if (!request) return -1;
    if (rangeTotal_ >= 0) return rangeTotal_;
    // Read as text: the numeric form stops at 32 bits, and files may be larger.
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return -1;
    std::uint64_t length = 0;
    if (!ReadFileSize(text, &length)) return -1;
    return static_cast<std::int64_t>(length);
}

std::wstring HTTPFileDownloader::RefusedResponse() {
    const DWORD status = StatusCode();
    if (status >= 200 && status <= 299) return {};
    log_.WriteNumber(L"HTTP status of the file request", static_cast<int>(status));
    std::wstring text = DescribeLastError();
    // Every text but the generic one leaves the number out; the user should see it.
    if (text.find(std::to_wstring(status)) == std::wstring::npos) {
        text = FormatText(L"HTTP status %d\r\n\r\n", static_cast<int>(status)) + text;
    }
    return text;
}

bool HTTPFileDownloader::Connect() {
    if (!IsInternetAvailable()) {
        log_.WriteHeading(L"No internet connection. Ensure you are connected and try again.");
        return false;
    }
    const bool connected = ConnectAndManageCredentials(GetDocumentUrl());
    handles_.Close(InternetHandles::Request);
    return connected;
}

bool HTTPFileDownloader::IsInternetAvailable() {
    DWORD state = 0;
    if (InternetGetConnectedState(&state, 0)) return true;
    // Only asked when the system reports no connection at all; through the call thread, so
    // that a Cancel need not wait for an answer from outside.
    return handles_.Blocking<BOOL>([] {
        return InternetCheckConnectionW(L"http://www.microsoft.com/", 0, 0) ||
               InternetCheckConnectionW(L"http://www.wikipedia.org/", 0, 0);
    }) != FALSE;
}

std::wstring HTTPFileDownloader::DescribeLastError() {
    Sleep(500);
    DWORD state = 0;
    if (!InternetGetConnectedState(&state, 0)) {
        log_.WriteHeading(L"Internet connection lost during update.");
        return L"You appear to have lost your internet connection! This update will continue next time an internet "
               L"connection is available from the same file position.";
    }
    const DWORD status = StatusCode();
    std::wstring text;
    switch (status) {
        case 200:
            text = L"The server call succeeded, but the file is either corrupt or the server does not permit this file "
                   L"to be downloaded. Ensure you can retreive the file by typing its URL directly into your browser. "
                   L"Check log for file dump to diagnose error.";
            log_.WriteEntry(text);
            return text;
        case 401:
        case 403:
            return L"Access was denied. You cannot access the given server address.";
        case 404:
            text = L"Likely error; The file does not exist on the update server!";
            log_.WriteEntry(text);
            return text;
        case 407:
            return L"Proxy authentication failed. Ensure that you set the correct username/password credentials for "
                   L"your proxy.";
        default:
            return FormatText(L"HTTP Error %d\r\n\r\nThe file may be missing, the size does not match the expected size "
                              L"or your server does not permit downloads with this type of extension (you can check "
                              L"this by typing http://server/FileName.xxx into your browser and you may get a 404 "
                              L"error).\r\nSee the log file for more details. Update will now exit.",
                              static_cast<int>(status));
    }
}
