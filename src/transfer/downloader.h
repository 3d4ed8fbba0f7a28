// One downloader interface for every kind of update server, and the choice among them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/xml_document.h"

class ClientConfig;
class IUserPrompts;
class Log;
class TextVariables;
namespace renewix {
class Cancellation;
}

// What every downloader reports to and completes its addresses with, and the run's Cancel
// that cuts its blocked calls short (none: nothing can cancel); all outlive it.
struct TransferContext {
    Log& log;
    const TextVariables& variables;
    renewix::Cancellation* cancellation = nullptr;
};

struct ServerSettings {
    std::wstring Protocol;
    std::wstring Address;
    std::wstring Port;
    std::wstring UserName;
    std::wstring Password;
    std::wstring FilesProtocol;
    std::wstring FilesAddress;
    std::wstring FilesPort;
    std::wstring FilesUserName;
    std::wstring FilesPassword;
    std::int32_t SeparateFilesLocation = 0;
};

// The settings of the primary or the backup server block of a record.
ServerSettings ServerSettingsFromConfig(const ClientConfig& config, bool primary);

// The files location when the files lie beside the document: the address up to its first
// "?", else up to its last "/", else up to its last "\", else the whole address.
std::wstring FilesAddressFor(const std::wstring& documentAddress);

// A new "Microsoft.XMLDOM" document; nothing, with "Error creating XMLDOM" in the log, when
// the parser cannot be created.
std::optional<XmlDocument> CreateXmlDom(Log& log);

class IFileDownloader {
public:
    IFileDownloader(const ServerSettings& settings, const TransferContext& context);
    virtual ~IFileDownloader() = default;
    IFileDownloader(const IFileDownloader&) = delete;
    IFileDownloader& operator=(const IFileDownloader&) = delete;

    // The update document, loaded and parsed; nothing on failure.
    virtual std::optional<XmlDocument> LoadDocument() = 0;
    virtual bool OpenDownloadFile(const std::wstring& name) = 0;
    // Opens `name` to go on from byte `offset` of the version `validator` names (what Validator
    // said of an earlier open; empty: none). `*start` is where the bytes Read gives begin:
    // `offset`, or 0 when the server sends the whole file instead. A downloader that cannot go
    // on sends the whole file.
    virtual bool OpenDownloadFileFrom(const std::wstring& name, std::uint64_t offset, const std::wstring& validator,
                                      std::uint64_t* start) {
        (void)offset;
        (void)validator;
        *start = 0;
        return OpenDownloadFile(name);
    }
    // The server's name for the version of the open file (an ETag, a date, a size and a time);
    // empty when it gives none, and a file without one is never continued.
    virtual std::wstring Validator() { return {}; }
    // Opens the update document itself for Read and CloseFile, as OpenDownloadFile opens an
    // update file: for a client that checks the document's bytes before it parses them. A
    // downloader that cannot says so in the log and answers false.
    virtual bool OpenDocumentFile() = 0;
    virtual DWORD Read(void* buffer, DWORD size) = 0;
    virtual void CloseFile() = 0;
    virtual void ResolveLocations();
    virtual std::wstring CanonicalizeUrl(const std::wstring& url) = 0;
    virtual std::wstring GetDocumentUrl() = 0;
    virtual std::wstring GetFilesBaseUrl() = 0;
    virtual std::wstring DescribeLastError() = 0;
    virtual bool GetFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) = 0;
    // The size the server reports for the whole open file, also when it was opened from an
    // offset; -1 when it reports none.
    virtual std::int64_t GetFileSize() = 0;
    // Empty when what OpenDownloadFile opened is the file itself; otherwise why it is not (a
    // server's error page, for one), in words for the user.
    virtual std::wstring RefusedResponse() { return {}; }
    virtual bool Connect() = 0;
    virtual bool IsInternetAvailable() = 0;

    const ServerSettings& Settings() const { return settings_; }
    // Who answers when a server asks for credentials; nobody by default.
    void SetPrompts(IUserPrompts* prompts) { prompts_ = prompts; }

    // The update document's bytes, whole, as the server sends them (OpenDocumentFile, Read);
    // false, with the log lines that say why, when they cannot be had or exceed the limit.
    bool FetchDocumentBytes(std::string& bytes);
    static constexpr std::size_t kMaxDocumentBytes = 16u << 20;

    // True once the run is cancelled; the first call says so in the log. Nothing is retried
    // or shown after a cancel.
    bool StopForCancel();

protected:
    std::wstring documentUrl_;
    std::wstring filesBaseUrl_;
    Log& log_;
    const TextVariables& variables_;
    ServerSettings settings_;
    IUserPrompts* prompts_ = nullptr;
    renewix::Cancellation* cancellation_;

private:
    bool cancelReported_ = false;
};

// A share downloader for "file:", otherwise the FTP ("ftp://") or HTTP downloader.
std::unique_ptr<IFileDownloader> CreateDownloader(const std::wstring& protocol, const ServerSettings& settings,
                                                  const TransferContext& context);

// Which server this process talks to: the primary, or once per process the backup.
class ServerSelection {
public:
    using Factory = std::unique_ptr<IFileDownloader> (*)(const std::wstring& protocol, const ServerSettings& settings,
                                                         const TransferContext& context);

    // `factory` makes the downloaders; tests hand in their own.
    ServerSelection(const ClientConfig& config, const TransferContext& context, Factory factory = CreateDownloader)
        : config_(config), context_(context), factory_(factory) {}

    const TransferContext& Context() const { return context_; }

    // The primary downloader (made once), or the backup (made once, which destroys the
    // primary); null for the backup when none is enabled.
    IFileDownloader* CreateServerDownloader(bool primary);
    // The working downloader, tested on the first call only; null when no server works.
    IFileDownloader* GetActiveDownloader(int* available);
    // Who the downloaders made from now on ask for credentials.
    void SetPrompts(IUserPrompts* prompts) { prompts_ = prompts; }
    // Destroys the downloaders (and the documents and connections they hold) at the end of
    // the run, while COM is still initialised; later calls find no server.
    void Release();

private:
    const ClientConfig& config_;
    TransferContext context_;
    Factory factory_;
    IUserPrompts* prompts_ = nullptr;
    std::unique_ptr<IFileDownloader> primary_;
    std::unique_ptr<IFileDownloader> backup_;
    IFileDownloader* current_ = nullptr;
    bool started_ = false;
    bool tried_ = false;
    bool released_ = false;
};
