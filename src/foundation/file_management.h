// Every file and registry operation that may need more rights than the user has goes
// through IClientFileManager, so the same callers work with and without the service.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/win_resource.h"

class Log;

namespace PermissionManager {

// One open file: whoever holds it reads and writes it, and it closes when it goes.
class IManagedFile {
public:
    virtual ~IManagedFile() = default;
    // 1 when every byte was written (nothing to write counts), else 0.
    virtual int Write(const void* data, DWORD count) = 0;
    // The bytes read; 0 at the end, after a failure and once closed.
    virtual DWORD Read(void* buffer, DWORD count) = 0;
    virtual void SetTimes(const FILETIME& creation, const FILETIME& lastAccess, const FILETIME& lastWrite) = 0;
    virtual int Close() = 0;
};

// The operations on paths and the registry, and the opening of files. One object may be used
// from two threads at once (the download worker and the window's thread).
class IClientFileManager {
public:
    virtual ~IClientFileManager() = default;
    // The open file; null when it could not be opened.
    virtual std::unique_ptr<IManagedFile> Open(const std::wstring& path, DWORD access, DWORD disposition,
                                               DWORD flags) = 0;
    virtual int MakeDirectories(const std::wstring& path) = 0;
    virtual int Move(const std::wstring& from, const std::wstring& to) = 0;
    // A file, or a folder that is empty.
    virtual int Delete(const std::wstring& path) = 0;
    virtual int DeleteTree(const std::wstring& path) = 0;
    virtual DWORD GetAttributes(const std::wstring& path) = 0;
    virtual int UpdateRegistry(const std::wstring& keyPath, const std::wstring& valueName,
                               const std::wstring& action) = 0;
    virtual std::wstring QueryRegistry(const std::wstring& registryPath, const std::wstring& type) = 0;
    virtual int RegisterServer(const std::wstring& libraryPath) = 0;
    // Removes what the library registered, so that a roll-back leaves no entry pointing at a
    // file that goes; 1 or 0.
    virtual int UnregisterServer(const std::wstring& libraryPath) = 0;
    virtual int Unzip(const std::wstring& archivePath, const std::wstring& destination) = 0;
};

// A file opened in the client's own process.
class StandardFile : public IManagedFile {
public:
    // Null when the file could not be opened, the thread's last error saying why. A file
    // opened for writing gets its missing folders first.
    static std::unique_ptr<StandardFile> Open(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags);
    // A file someone else opened (and checked) already.
    static std::unique_ptr<StandardFile> Adopt(renewix::UniqueFile file);

    int Write(const void* data, DWORD count) override;
    DWORD Read(void* buffer, DWORD count) override;
    void SetTimes(const FILETIME& creation, const FILETIME& lastAccess, const FILETIME& lastWrite) override;
    // 1 when this closed the file, 0 when it was closed already.
    int Close() override;

    // For the file-share downloader, which reads the open file's facts directly.
    bool GetTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) const;
    // Moves the read and write position to `position` (at most the size seen at Open).
    bool SeekTo(std::uint64_t position);
    // The size seen at Open; 0 once closed.
    std::uint64_t OpenSize() const { return file_ ? size_ : 0; }

private:
    StandardFile(renewix::UniqueFile file, std::uint64_t size) : size_(size), file_(std::move(file)) {}

    std::uint64_t position_ = 0;
    std::uint64_t size_ = 0;
    renewix::UniqueFile file_;
};

// Performs every operation in the client's own process.
class StandardFileManagement : public IClientFileManager {
public:
    // `log` hears why an archive was refused.
    explicit StandardFileManagement(Log& log) : log_(log) {}

    std::unique_ptr<IManagedFile> Open(const std::wstring& path, DWORD access, DWORD disposition,
                                       DWORD flags) override;
    int MakeDirectories(const std::wstring& path) override;
    int Move(const std::wstring& from, const std::wstring& to) override;
    int Delete(const std::wstring& path) override;
    int DeleteTree(const std::wstring& path) override;
    DWORD GetAttributes(const std::wstring& path) override;
    int UpdateRegistry(const std::wstring& keyPath, const std::wstring& valueName,
                       const std::wstring& action) override;
    std::wstring QueryRegistry(const std::wstring& registryPath, const std::wstring& type) override;
    int RegisterServer(const std::wstring& libraryPath) override;
    int UnregisterServer(const std::wstring& libraryPath) override;
    int Unzip(const std::wstring& archivePath, const std::wstring& destination) override;

private:
    Log& log_;
};

// Creates, in this process, every missing folder of `path`; 1 or 0.
int MakeDirectoryPath(const std::wstring& path);

// Creates, in this process, the folder that will hold `path` when it does not exist; 1 or 0.
int EnsureParentDirectory(const std::wstring& path);

// Reads what is left of an open file; false when it holds more than `limit` bytes.
bool ReadAll(IManagedFile& file, std::string& bytes, std::size_t limit);

}  // namespace PermissionManager
