// The file manager that hands every operation to the permission-manager service.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/file_management.h"
#include "service/pipe_protocol.h"

class Log;

namespace PermissionManager {

// One connection to the service, greeted at construction. Requests are strictly one at a
// time; every failure of the pipe is the request's failure, and a connection the service has
// ended stays ended.
class PipeConnection {
public:
    explicit PipeConnection(const std::wstring& pipeName);

    bool IsConnected() const { return pipe_.valid(); }
    // Sends the opcode and the payload as two writes; false when a text does not fit.
    bool Send(const Wire::Request& request);
    bool SendBytes(const void* data, std::size_t count);
    bool ReceiveExact(void* buffer, std::size_t count);
    // Sends a request and reads its 4-byte result; `failure` when either fails.
    std::int32_t Exchange(const Wire::Request& request, std::int32_t failure);
    // The stream can no longer be trusted to be in step: every later request fails.
    void Disconnect() { pipe_.reset(); }

    // How many greetings a connection tries before it gives up.
    static constexpr int kGreetingAttempts = 3;

private:
    bool Connect(const std::wstring& pipeName);
    bool Greet();

    renewix::UniqueFile pipe_;
};

// A file the service opened, on a connection of its own: the service serves one open file
// per connection, and the file closes with it.
class PipedFile : public IManagedFile {
public:
    PipedFile(PipeConnection connection, std::uint32_t remoteFile)
        : connection_(std::move(connection)), remoteFile_(remoteFile) {}
    ~PipedFile() override { Close(); }
    PipedFile(const PipedFile&) = delete;
    PipedFile& operator=(const PipedFile&) = delete;

    // The service's id of the file; 0 once closed or when the connection has ended.
    std::uint32_t RemoteFile() const { return connection_.IsConnected() ? remoteFile_ : 0; }

    int Write(const void* data, DWORD count) override;
    DWORD Read(void* buffer, DWORD count) override;
    void SetTimes(const FILETIME& creation, const FILETIME& lastAccess, const FILETIME& lastWrite) override;
    // 1 when the service closed the file, or nothing was open; 0 when the close failed.
    int Close() override;

private:
    PipeConnection connection_;
    std::uint32_t remoteFile_;
};

// The path and registry operations go one at a time over one connection, whichever thread
// asks; every file opened gets a connection of its own.
//
// Made with the client's folder, it sends only what lies in that folder (the service's) to the
// service: paths elsewhere (a user's desktop, another program's folder) and registry queries are
// the user's own business and done in this process, with the user's rights; a file moved
// between the two is copied across and its source removed by whoever owns it.
class PipedFileManagement : public IClientFileManager {
public:
    explicit PipedFileManagement(std::wstring pipeName);
    PipedFileManagement(std::wstring pipeName, std::wstring serviceFolder, Log& log);
    PipedFileManagement(const PipedFileManagement&) = delete;
    PipedFileManagement& operator=(const PipedFileManagement&) = delete;

    bool IsConnected() const;

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

    static constexpr int kGreetingAttempts = PipeConnection::kGreetingAttempts;

private:
    std::int32_t Exchange(const Wire::Request& request, std::int32_t failure);
    // A path request with the path made absolute here, where a relative one means something.
    std::int32_t PathExchange(Wire::Opcode opcode, const std::wstring& path, std::int32_t failure);

    // Whether `path` (full) is the service's to act on.
    bool ForService(const std::wstring& path) const;
    IClientFileManager& ManagerFor(const std::wstring& path);

    const std::wstring pipeName_;
    const std::wstring serviceFolder_;  // empty: everything goes to the service
    std::unique_ptr<StandardFileManagement> local_;
    mutable std::mutex mutex_;  // one request at a time on connection_
    PipeConnection connection_;
};

// The name of the service's pipe for an instance number.
std::wstring PipeName(std::uint32_t instance);

// Whether the permission-manager service of the client's `instance` answers on its pipe now.
bool IsServiceActive(std::uint32_t instance);

// The run's file manager: piped when the service of `instance` is active, else standard,
// logging to `log`.
std::unique_ptr<IClientFileManager> CreateServiceOrStandardFileManager(std::uint32_t instance, Log& log);

}  // namespace PermissionManager
