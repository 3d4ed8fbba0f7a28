// Every file and registry operation that may need more rights than the user has goes
// through IClientFileManager, so the same callers work with and without the service.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/win_resource.h"

namespace PermissionManager {

class IClientFileManager {
public:
    virtual ~IClientFileManager() = default;
    virtual int Open(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags) = 0;
    virtual int Write(const void* data, DWORD count) = 0;
    virtual DWORD Read(void* buffer, DWORD count) = 0;
    virtual int Close() = 0;
    virtual int MakeDirectories(const std::wstring& path) = 0;
    virtual int Move(const std::wstring& from, const std::wstring& to) = 0;
    virtual int Delete(const std::wstring& path) = 0;
    virtual int DeleteTree(const std::wstring& path) = 0;
    virtual DWORD GetAttributes(const std::wstring& path) = 0;
    virtual void SetTimes(const FILETIME& creation, const FILETIME& lastAccess, const FILETIME& lastWrite) = 0;
    virtual int UpdateRegistry(const std::wstring& keyPath, const std::wstring& valueName,
                               const std::wstring& action) = 0;
    virtual std::wstring QueryRegistry(const std::wstring& registryPath, const std::wstring& type) = 0;
    virtual int RegisterServer(const std::wstring& libraryPath) = 0;
    virtual int Unzip(const std::wstring& archivePath, const std::wstring& destination) = 0;
};

// Performs every operation in the client's own process.
class StandardFileManagement : public IClientFileManager {
public:
    StandardFileManagement() = default;
    ~StandardFileManagement() override { Close(); }

    int Open(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags) override;
    int Write(const void* data, DWORD count) override;
    DWORD Read(void* buffer, DWORD count) override;
    int Close() override;
    int MakeDirectories(const std::wstring& path) override;
    int Move(const std::wstring& from, const std::wstring& to) override;
    int Delete(const std::wstring& path) override;
    int DeleteTree(const std::wstring& path) override;
    DWORD GetAttributes(const std::wstring& path) override;
    void SetTimes(const FILETIME& creation, const FILETIME& lastAccess, const FILETIME& lastWrite) override;
    int UpdateRegistry(const std::wstring& keyPath, const std::wstring& valueName,
                       const std::wstring& action) override;
    std::wstring QueryRegistry(const std::wstring& registryPath, const std::wstring& type) override;
    int RegisterServer(const std::wstring& libraryPath) override;
    int Unzip(const std::wstring& archivePath, const std::wstring& destination) override;

    // Creates the directory that will hold `path` when it does not exist.
    int EnsureParentDirectory(const std::wstring& path);

    // For the file-share downloader, which reads the open file's facts directly.
    bool GetTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) const;
    // The size seen at Open; 0 without an open file.
    std::uint64_t OpenSize() const { return file_ ? size_ : 0; }

private:
    std::uint64_t position_ = 0;
    std::uint64_t size_ = 0;
    renewix::UniqueFile file_;
};

// Makes a file manager for a caller that will own it.
using FileManagerMaker = std::unique_ptr<IClientFileManager> (*)();

// Chooses how this process's file managers are made: start-up hands in the one that asks the
// permission-manager service; until then (and in every other program) they are standard.
void SetFileManagerMaker(FileManagerMaker maker);

// A new file manager owned by the caller, made as the process chose.
std::unique_ptr<IClientFileManager> CreateFileManager();

}  // namespace PermissionManager
