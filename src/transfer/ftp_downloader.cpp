#include "transfer/ftp_downloader.h"

#include <string>

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

std::wstring LastFtpResponse() {
    wchar_t buffer[512] = {};
    DWORD length = 512;
    DWORD code = 0;
    if (!InternetGetLastResponseInfoW(&code, buffer, &length)) return {};
    buffer[511] = L'\0';
    std::wstring response(buffer);
    while (!response.empty() && (response.back() == L'\r' || response.back() == L'\n')) response.pop_back();
    return response;
}

FTPFileDownloader::~FTPFileDownloader() {
    // The open remote file belongs to one of the connections: it goes first.
    request_.reset();
    filesConnection_.reset();
    documentConnection_.reset();
}

UniqueInternet FTPFileDownloader::ConnectFtpHost(const std::wstring& address, const std::wstring& userName,
                                                 const std::wstring& password) {
    // No flags: active mode.
    UniqueInternet connection(InternetConnectW(session_.get(), FtpHost(address).c_str(), kFtpPort, userName.c_str(),
                                               password.c_str(), INTERNET_SERVICE_FTP, 0, 0));
    if (!connection) {
        const DWORD error = GetLastError();
        log_.WriteValue(L"No internet connection to", GetDocumentUrl());
        const std::wstring response = LastFtpResponse();
        if (!response.empty()) log_.WriteEntry(response);
        SetLastError(error);
    }
    return connection;
}

bool FTPFileDownloader::Connect() {
    if (!IsInternetAvailable()) {
        log_.WriteHeading(L"No internet connection. Ensure you are connected and try again.");
        return false;
    }
    request_.reset();
    filesConnection_.reset();
    sharedConnection_ = false;
    documentConnection_ = ConnectFtpHost(settings_.Address, settings_.UserName, settings_.Password);
    if (!documentConnection_) return false;
    const FtpFilesConnection plan = PlanFilesConnection(settings_);
    if (plan.shared) {
        sharedConnection_ = true;
    } else {
        filesConnection_ = ConnectFtpHost(plan.address, plan.userName, plan.password);
    }
    return FilesConnection() != nullptr;
}

bool FTPFileDownloader::OpenFtpFile(const std::wstring& path, HINTERNET connection) {
    if (path.empty()) return false;
    request_.reset();
    const std::wstring remote = FtpServerPath(path);
    request_.reset(FtpOpenFileW(connection, remote.c_str(), GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0));
    if (!request_) {
        log_.WriteNumber(L"FTP server error", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

bool FTPFileDownloader::OpenDocumentFile() {
    const std::wstring path = FtpAddressPath(settings_.Address);
    if (path.empty()) {
        log_.WriteValue(L"No document named in the FTP address", GetDocumentUrl());
        return false;
    }
    if (!documentConnection_) return false;
    found_ = false;  // no directory search: the document's times are never asked for
    return OpenFtpFile(path, documentConnection_.get());
}

bool FTPFileDownloader::OpenDownloadFile(const std::wstring& name) {
    // A transfer still open on the connection would make the directory search fail.
    request_.reset();
    const std::wstring path = FtpServerPath(FtpFilePath(settings_.FilesAddress, name));
    {
        UniqueInternet search(FtpFindFirstFileW(FilesConnection(), path.c_str(), &findData_, INTERNET_FLAG_NEED_FILE, 0));
        found_ = search.valid();
    }
    if (!OpenFtpFile(path, FilesConnection())) {
        found_ = false;
        return false;
    }
    return true;
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
        if (!OpenFtpFile(path, documentConnection_.get())) return std::nullopt;
        // The whole file first: a chunk may end inside a character.
        std::string bytes;
        char chunk[kDocumentChunk];
        for (;;) {
            DWORD read = 0;
            if (!InternetReadFile(request_.get(), chunk, kDocumentChunk, &read)) {
                // A document cut short must not be parsed as if it were whole.
                log_.WriteNumber(L"FTP server error", static_cast<int>(GetLastError()));
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
    const std::wstring response = LastFtpResponse();
    const std::wstring text = response.empty()
                                  ? FormatText(L"FTP transfer errors occured. Error code %d.", static_cast<int>(code))
                                  : L"\r\n" + response;
    log_.WriteEntry(text);
    return text;
}

bool FTPFileDownloader::GetFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    if (!request_ || !found_) return false;
    *creation = findData_.ftCreationTime;
    *lastAccess = findData_.ftLastAccessTime;
    *lastWrite = findData_.ftLastWriteTime;
    return true;
}

std::int64_t FTPFileDownloader::GetFileSize() {
    if (!request_) return -1;
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = FtpGetFileSize(request_.get(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}
