// The downloader for FTP servers: the HTTP downloader's session and reading, over FTP
// connections to the document's host and the files' host.
#pragma once

#include <string>
#include <string_view>

#include "transfer/http_downloader.h"

// An FTP address is host/path. The host is the text before the first "/", or the whole
// address when there is no "/" after its first character.
std::wstring FtpHost(const std::wstring& address);
// The path part of an address, from its first "/" on. An address without any "/" names
// only a host: its path is empty, the login directory.
std::wstring FtpAddressPath(const std::wstring& address);
// A path as the server gets it: "/" as separator, no empty segments, none in front.
std::wstring FtpServerPath(const std::wstring& path);
// Where an update file lies on the files host: the files directory, then the name.
std::wstring FtpFilePath(const std::wstring& filesAddress, const std::wstring& name);

// How the files host is reached: over the document's connection, or over one of its own.
struct FtpFilesConnection {
    bool shared = false;
    std::wstring address;
    std::wstring userName;
    std::wstring password;
};
FtpFilesConnection PlanFilesConnection(const ServerSettings& settings);

// Why the bytes of an update document are not UTF-16LE text with a byte order mark.
enum class FtpDocumentFault { None, TooShort, NoByteOrderMark, OddLength };
// The document's text without its byte order mark; `text` is set only for None.
FtpDocumentFault DecodeFtpDocument(std::string_view bytes, std::wstring& text);

class FTPFileDownloader : public HTTPFileDownloader {
public:
    FTPFileDownloader(const ServerSettings& settings, const TransferContext& context)
        : HTTPFileDownloader(settings, context) {}
    ~FTPFileDownloader() override;

    std::optional<XmlDocument> LoadDocument() override;
    bool OpenDownloadFile(const std::wstring& name) override;
    // With "REST", when the listing still shows the version `validator` names and the server
    // takes it; else the whole file.
    bool OpenDownloadFileFrom(const std::wstring& name, std::uint64_t offset, const std::wstring& validator,
                              std::uint64_t* start) override;
    // The listed size and last write time; empty without a listing.
    std::wstring Validator() override;
    // The document on the document's own connection, for a client that checks its bytes.
    bool OpenDocumentFile() override;
    // A read that fails reconnects once, opens the file again and goes on where it stopped.
    DWORD Read(void* buffer, DWORD size) override;
    std::wstring CanonicalizeUrl(const std::wstring& url) override { return url; }
    std::wstring DescribeLastError() override;
    bool GetFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override;
    std::int64_t GetFileSize() override;
    // An FTP file that opened is the file: FTP has no error pages (and no HTTP status).
    std::wstring RefusedResponse() override { return {}; }
    bool Connect() override;

    // FTP always uses its own port: configured ports only appear in the locations' texts.
    static constexpr INTERNET_PORT kFtpPort = INTERNET_DEFAULT_FTP_PORT;
    static constexpr DWORD kDocumentChunk = 8192;
    static constexpr std::size_t kLargestDocument = 16u << 20;

protected:
    UniqueInternet ConnectFtpHost(const std::wstring& address, const std::wstring& userName,
                                  const std::wstring& password);
    // Connects the document's host, or the files' (which may be the same connection).
    bool ConnectFor(bool files);
    // Opens `path` on the document's or the files' connection. Servers drop idle connections,
    // and the check's connections wait for the downloads as long as the user reads the pages:
    // a failure reconnects once and tries again.
    bool OpenFtpFile(const std::wstring& path, bool files);
    HINTERNET FilesConnection() {
        return handles_.Get(sharedConnection_ ? InternetHandles::Connection : InternetHandles::FilesConnection);
    }

private:
    void ReportDocumentFault(FtpDocumentFault fault);
    // "FTP server error" with the error code, and the server's reply when it is an error.
    void ReportFailure(DWORD error);
    std::uint64_t ListedSize() const;
    // Asks the server to start the next transfer at `offset`; true when it said it will.
    bool AskRestart(HINTERNET connection, std::uint64_t offset);

    bool found_ = false;
    WIN32_FIND_DATAW findData_{};
    // The document's connection is the Connection slot; the files' own is FilesConnection,
    // empty while the files share the document's.
    bool sharedConnection_ = false;
    // The open file, for a read that must open it again.
    std::wstring openPath_;
    bool openForFiles_ = false;
    std::uint64_t delivered_ = 0;
    bool readRetried_ = false;
    bool readFailed_ = false;
    // Where the next OpenFtpFile asks to start, and the version it must still be; where the
    // open file's bytes start.
    std::uint64_t restAt_ = 0;
    std::wstring restValidator_;
    std::uint64_t restFrom_ = 0;
};

// What of a server's reply belongs in the log as the reason of a failure: the whole reply when
// it is an error (4xx, 5xx), else nothing (a "125 Transfer starting" explains no failure).
std::wstring FtpErrorReply(const std::wstring& response);
