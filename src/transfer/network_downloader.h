// The downloader for update documents and files on a local disk or a network share.
#pragma once

#include "foundation/file_management.h"
#include "transfer/downloader.h"

class NetworkFileDownloader : public IFileDownloader {
public:
    NetworkFileDownloader(const ServerSettings& settings, const TransferContext& context)
        : IFileDownloader(settings, context) {}

    std::optional<XmlDocument> LoadDocument() override;
    bool OpenDownloadFile(const std::wstring& name) override;
    // Goes on by seeking, when the file's size and time are still those `validator` names.
    bool OpenDownloadFileFrom(const std::wstring& name, std::uint64_t offset, const std::wstring& validator,
                              std::uint64_t* start) override;
    // The open file's size and last write time.
    std::wstring Validator() override;
    bool OpenDocumentFile() override { return OpenForReading(GetDocumentUrl()); }
    DWORD Read(void* buffer, DWORD size) override { return file_ ? file_->Read(buffer, size) : 0; }
    void CloseFile() override { file_.reset(); }
    std::wstring CanonicalizeUrl(const std::wstring& path) override { return path; }
    std::wstring GetDocumentUrl() override;
    std::wstring GetFilesBaseUrl() override;
    std::wstring DescribeLastError() override;
    bool GetFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override;
    std::int64_t GetFileSize() override;
    bool Connect() override;
    bool IsInternetAvailable() override { return true; }

    // The path an update file is opened from, for a name relative to the files base.
    std::wstring FilePathFor(const std::wstring& name);

private:
    bool OpenForReading(const std::wstring& path);

    std::unique_ptr<PermissionManager::StandardFile> file_;
};
