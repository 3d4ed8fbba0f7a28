#include "transfer/ftp_downloader.h"

#include "transfer/resume.h"

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "foundation/text.h"

namespace {

// The position of the "/" that ends the host, or npos when the address has none after its
// first character.
std::size_t HostEnd(const std::wstring& address) {
    const std::size_t slash = address.find(L'/');
    return slash == 0 ? std::wstring::npos : slash;
}

std::wstring WithSlashes(std::wstring path) {
    ReplaceAll(path, L"\\", L"/");
    return path;
}

void TrimLeadingSlashes(std::wstring& path) { path.erase(0, path.find_first_not_of(L'/')); }

}  // namespace

std::wstring FtpHost(const std::wstring& address) {
    const std::size_t end = HostEnd(address);
    return end == std::wstring::npos ? address : address.substr(0, end);
}

std::wstring FtpAddressPath(const std::wstring& address) {
    const std::size_t slash = address.find(L'/');
    // A host alone has its files in the login directory, not in a folder named after it.
    return slash == std::wstring::npos ? std::wstring() : address.substr(slash);
}

std::wstring FtpServerPath(const std::wstring& input) {
    std::wstring path = WithSlashes(input);
    for (std::size_t at = path.find(L"//"); at != std::wstring::npos; at = path.find(L"//", at)) path.erase(at, 1);
    TrimLeadingSlashes(path);
    return path;
}

std::wstring FtpFilePath(const std::wstring& filesAddress, const std::wstring& input) {
    std::wstring directory = WithSlashes(FtpAddressPath(filesAddress));
    while (!directory.empty() && directory.back() == L'/') directory.pop_back();
    std::wstring name = WithSlashes(input);
    TrimLeadingSlashes(name);
    std::wstring path = directory + L"/" + name;
    TrimLeadingSlashes(path);
    return path;
}

FtpFilesConnection PlanFilesConnection(const ServerSettings& settings) {
    FtpFilesConnection plan;
    const bool separate = settings.SeparateFilesLocation != 0;
    // Files beside the document lie on the document's server: a login without the
    // document's credentials would be refused there, or land in another user's tree.
    plan.userName = separate ? settings.FilesUserName : settings.UserName;
    plan.password = separate ? settings.FilesPassword : settings.Password;
    const std::size_t documentEnd = HostEnd(settings.Address);
    const std::size_t filesEnd = HostEnd(settings.FilesAddress);
    const bool sameHost = documentEnd != std::wstring::npos && filesEnd != std::wstring::npos &&
                          settings.Address.compare(0, documentEnd, settings.FilesAddress, 0, filesEnd) == 0;
    // A connection is logged in as one user: files configured with other credentials get their own.
    plan.shared = sameHost && plan.userName == settings.UserName && plan.password == settings.Password;
    if (plan.shared) {
        plan.userName.clear();
        plan.password.clear();
    } else {
        plan.address = settings.FilesAddress;
    }
    return plan;
}

FtpDocumentFault DecodeFtpDocument(std::string_view bytes, std::wstring& text) {
    if (bytes.size() < 2) return FtpDocumentFault::TooShort;
    if (static_cast<unsigned char>(bytes[0]) != 0xFF || static_cast<unsigned char>(bytes[1]) != 0xFE) {
        return FtpDocumentFault::NoByteOrderMark;
    }
    if (bytes.size() % 2 != 0) return FtpDocumentFault::OddLength;
    std::wstring decoded((bytes.size() - 2) / 2, L'\0');
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const auto low = static_cast<unsigned char>(bytes[2 + 2 * i]);
        const auto high = static_cast<unsigned char>(bytes[3 + 2 * i]);
        decoded[i] = static_cast<wchar_t>(low | (high << 8));
    }
    text = std::move(decoded);
    return FtpDocumentFault::None;
}

std::wstring FtpErrorReply(const std::wstring& response) {
    const std::size_t start = response.find_first_not_of(L" \t\r\n");
    if (start == std::wstring::npos || (response[start] != L'4' && response[start] != L'5')) return {};
    return response.substr(start);
}

FTPFileDownloader::~FTPFileDownloader() = default;

UniqueInternet FTPFileDownloader::ConnectFtpHost(const std::wstring& address, const std::wstring& userName,
                                                 const std::wstring& password) {
    // No flags: active mode.
    const HINTERNET session = handles_.Get(InternetHandles::Session);
    UniqueInternet connection(handles_.Blocking<HINTERNET>([session, host = FtpHost(address), userName, password] {
        return InternetConnectW(session, host.c_str(), kFtpPort, userName.c_str(), password.c_str(),
                                INTERNET_SERVICE_FTP, 0, 0);
    }));
    if (!connection && !StopForCancel()) {
        const DWORD error = GetLastError();
        log_.WriteValue(L"No internet connection to", GetDocumentUrl());
        const std::wstring reply = FtpErrorReply(handles_.LastResponse());
        if (!reply.empty()) log_.WriteEntry(reply);
        SetLastError(error);
    }
    return connection;
}

bool FTPFileDownloader::ConnectFor(bool files) {
    if (!files || sharedConnection_) {
        return handles_.Set(InternetHandles::Connection,
                            ConnectFtpHost(settings_.Address, settings_.UserName, settings_.Password).release());
    }
    const FtpFilesConnection plan = PlanFilesConnection(settings_);
    return handles_.Set(InternetHandles::FilesConnection,
                        ConnectFtpHost(plan.address, plan.userName, plan.password).release());
}

bool FTPFileDownloader::Connect() {
    if (!IsInternetAvailable()) {
        log_.WriteHeading(L"No internet connection. Ensure you are connected and try again.");
        return false;
    }
    handles_.Close(InternetHandles::Request);
    handles_.Close(InternetHandles::FilesConnection);
    sharedConnection_ = PlanFilesConnection(settings_).shared;
    if (!ConnectFor(false)) return false;
    return sharedConnection_ || ConnectFor(true);
}

void FTPFileDownloader::ReportFailure(DWORD error) {
    log_.WriteNumber(L"FTP server error", static_cast<int>(error));
    const std::wstring reply = FtpErrorReply(handles_.LastResponse());
    if (!reply.empty()) log_.WriteEntry(reply);
}

bool FTPFileDownloader::OpenFtpFile(const std::wstring& path, bool files) {
    handles_.Close(InternetHandles::Request);
    openPath_.clear();
    restFrom_ = 0;
    found_ = false;
    if (path.empty()) return false;
    const std::wstring remote = FtpServerPath(path);
    for (int attempt = 0;; ++attempt) {
        if (StopForCancel()) return false;
        const HINTERNET connection = files ? FilesConnection() : handles_.Get(InternetHandles::Connection);
        if (files && connection) {
            // Only for the times; the file itself may still be fetched without them.
            const auto data = std::make_shared<WIN32_FIND_DATAW>();
            found_ = handles_.Set(InternetHandles::Search, handles_.Blocking<HINTERNET>([connection, remote, data] {
                return FtpFindFirstFileW(connection, remote.c_str(), data.get(), INTERNET_FLAG_NEED_FILE, 0);
            }));
            if (found_) findData_ = *data;
            // A transfer cannot start while the search is open on the connection.
            handles_.Close(InternetHandles::Search);
        }
        std::uint64_t from = 0;
        if (connection && restAt_ > 0 && found_ && restAt_ < ListedSize() && Validator() == restValidator_ &&
            AskRestart(connection, restAt_)) {
            from = restAt_;
        }
        if (connection && handles_.Set(InternetHandles::Request, handles_.Blocking<HINTERNET>([connection, remote] {
                return FtpOpenFileW(connection, remote.c_str(), GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0);
            }))) {
            openPath_ = path;
            openForFiles_ = files;
            delivered_ = from;
            restFrom_ = from;
            readRetried_ = false;
            readFailed_ = false;
            return true;
        }
        const DWORD error = GetLastError();
        found_ = false;
        if (StopForCancel()) return false;
        ReportFailure(error);
        if (attempt > 0) return false;
        log_.WriteValue(L"Connecting again to", GetDocumentUrl());
        if (!ConnectFor(files)) return false;
    }
}

DWORD FTPFileDownloader::Read(void* buffer, DWORD size) {
    for (;;) {
        DWORD read = 0;
        if (!Request()) return 0;
        if (ReadRequest(buffer, size, &read)) {
            delivered_ += read;
            // A data connection reset can look like the end: the listing says what is to come.
            if (read != 0 || !found_ || delivered_ >= ListedSize()) return read;
            readFailed_ = true;
            log_.WriteValueNumber(L"FTP transfer ended early", openPath_, static_cast<long long>(delivered_));
        } else {
            const DWORD error = GetLastError();
            readFailed_ = true;
            if (StopForCancel()) return 0;
            ReportFailure(error);
        }
        if (readRetried_ || openPath_.empty() || StopForCancel()) return 0;
        // Once per file: open it again on a fresh connection and skip what was delivered (at
        // once, where the server restarts transfers).
        const std::uint64_t skip = delivered_;
        const std::wstring path = openPath_;
        const bool files = openForFiles_;
        restAt_ = skip;
        restValidator_ = Validator();
        log_.WriteValue(L"Connecting again to", GetDocumentUrl());
        // The file's handle goes before the connection it belongs to.
        handles_.Close(InternetHandles::Request);
        const bool reopened = ConnectFor(files) && OpenFtpFile(path, files);
        restAt_ = 0;
        if (!reopened) return 0;
        readRetried_ = true;
        std::vector<char> discard(kDocumentChunk);
        while (delivered_ < skip) {
            const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(discard.size(), skip - delivered_));
            DWORD got = 0;
            if (!ReadRequest(discard.data(), want, &got) || got == 0) {
                if (!StopForCancel()) ReportFailure(GetLastError());
                readFailed_ = true;
                return 0;
            }
            delivered_ += got;
        }
        readFailed_ = false;
    }
}

bool FTPFileDownloader::OpenDocumentFile() {
    const std::wstring path = FtpAddressPath(settings_.Address);
    if (path.empty()) {
        log_.WriteValue(L"No document named in the FTP address", GetDocumentUrl());
        return false;
    }
    // No directory search: the document's times are never asked for.
    return OpenFtpFile(path, false);
}

bool FTPFileDownloader::OpenDownloadFile(const std::wstring& name) {
    return OpenFtpFile(FtpServerPath(FtpFilePath(settings_.FilesAddress, name)), true);
}

bool FTPFileDownloader::OpenDownloadFileFrom(const std::wstring& name, std::uint64_t offset,
                                             const std::wstring& validator, std::uint64_t* start) {
    restAt_ = validator.empty() ? 0 : offset;
    restValidator_ = validator;
    const bool opened = OpenDownloadFile(name);
    restAt_ = 0;
    *start = opened ? restFrom_ : 0;
    return opened;
}

std::wstring FTPFileDownloader::Validator() {
    return found_ ? SizeAndTimeValidator(ListedSize(), findData_.ftLastWriteTime) : std::wstring();
}

std::uint64_t FTPFileDownloader::ListedSize() const {
    return (static_cast<std::uint64_t>(findData_.nFileSizeHigh) << 32) | findData_.nFileSizeLow;
}

bool FTPFileDownloader::AskRestart(HINTERNET connection, std::uint64_t offset) {
    // A restart counts bytes only in binary mode, and servers refuse it in ASCII mode.
    const std::wstring rest = L"REST " + std::to_wstring(offset);
    const BOOL sent = handles_.Blocking<BOOL>([connection, rest] {
        return FtpCommandW(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, L"TYPE I", 0, nullptr) &&
               FtpCommandW(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, rest.c_str(), 0, nullptr);
    });
    return sent && StartsWith(handles_.LastResponse(), L"350");
}

std::optional<XmlDocument> FTPFileDownloader::LoadDocument() {
    try {
        std::optional<XmlDocument> document = CreateXmlDom(log_);
        if (!document) return std::nullopt;
        const std::wstring path = FtpAddressPath(settings_.Address);
        if (path.empty()) {
            log_.WriteValue(L"No document named in the FTP address", GetDocumentUrl());
            return std::nullopt;
        }
        if (!OpenFtpFile(path, false)) return std::nullopt;
        // The whole file first: a chunk may end inside a character.
        std::string bytes;
        char chunk[kDocumentChunk];
        for (;;) {
            const DWORD read = Read(chunk, kDocumentChunk);
            // A document cut short must not be parsed as if it were whole.
            if (readFailed_ || StopForCancel()) {
                CloseFile();
                return std::nullopt;
            }
            if (read == 0) break;
            if (bytes.size() + read > kLargestDocument) {
                // No update document is this large; the address names something else.
                log_.WriteValue(L"Update document larger than 16 MiB, refused", GetDocumentUrl());
                CloseFile();
                return std::nullopt;
            }
            bytes.append(chunk, read);
        }
        CloseFile();
        std::wstring text;
        if (const FtpDocumentFault fault = DecodeFtpDocument(bytes, text); fault != FtpDocumentFault::None) {
            ReportDocumentFault(fault);
            return std::nullopt;
        }
        if (!document->LoadText(text)) return std::nullopt;
        return document;
    } catch (const XmlError& error) {
        log_.WriteHeading(L"Unable to connect to the internet via ftp!");
        log_.WriteEntry(error.description);
    } catch (...) {
        log_.WriteHeading(L"An unknown error occured when connecting to the internet via ftp!");
    }
    return std::nullopt;
}

void FTPFileDownloader::ReportDocumentFault(FtpDocumentFault fault) {
    const wchar_t* title = L"Update document is not UTF-16LE text with a byte order mark";
    if (fault == FtpDocumentFault::TooShort) {
        title = L"Update document is too short to be UTF-16LE text with a byte order mark";
    } else if (fault == FtpDocumentFault::OddLength) {
        title = L"Update document is not UTF-16LE text: its size in bytes is odd";
    }
    log_.WriteValue(title, GetDocumentUrl());
    log_.WriteEntry(L"A document served over FTP must be stored as UTF-16LE text with a byte order mark "
                    L"(RenewixPublish.exe --utf16).");
}

std::wstring FTPFileDownloader::DescribeLastError() {
    const DWORD code = GetLastError();
    Sleep(500);
    if (!IsInternetAvailable()) {
        log_.WriteHeading(L"Internet connection lost during update.");
        return L"You appear to have lost your internet connection! This update will continue next time an internet "
               L"connection is available from the same file position.";
    }
    const std::wstring response = FtpErrorReply(handles_.LastResponse());
    const std::wstring text = response.empty()
                                  ? FormatText(L"FTP transfer errors occured. Error code %d.", static_cast<int>(code))
                                  : L"\r\n" + response;
    log_.WriteEntry(text);
    return text;
}

bool FTPFileDownloader::GetFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    if (!Request() || !found_) return false;
    *creation = findData_.ftCreationTime;
    *lastAccess = findData_.ftLastAccessTime;
    *lastWrite = findData_.ftLastWriteTime;
    return true;
}

std::int64_t FTPFileDownloader::GetFileSize() {
    const HINTERNET request = Request();
    if (!request) return -1;
    // A restarted transfer's size is the rest: the listing has the whole file's.
    if (restFrom_ > 0) return static_cast<std::int64_t>(ListedSize());
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = FtpGetFileSize(request, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}
