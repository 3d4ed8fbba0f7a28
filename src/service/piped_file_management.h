// The file manager that hands every operation to the permission-manager service.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/file_management.h"
#include "service/pipe_protocol.h"

namespace PermissionManager {

// One connection to the service, greeted at construction. Requests are strictly one at a
// time; every failure of the pipe is the operation's failure value, and a connection the
// service has ended stays ended.
class PipedFileManagement : public IClientFileManager {
public:
    explicit PipedFileManagement(const std::wstring& pipeName);
    ~PipedFileManagement() override;
    PipedFileManagement(const PipedFileManagement&) = delete;
    PipedFileManagement& operator=(const PipedFileManagement&) = delete;

    bool IsConnected() const { return pipe_.valid(); }
    // The service's id of the file opened through this object; 0 when none.
    std::uint32_t RemoteFile() const { return remoteFile_; }

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

    // How many greetings a connection tries before it gives up.
    static constexpr int kGreetingAttempts = 3;

private:
    bool Connect(const std::wstring& pipeName);
    bool Greet();
    // Sends the opcode and the payload as two writes; false when a text does not fit.
    bool Send(const Wire::Request& request);
    bool SendBytes(const void* data, std::size_t count);
    bool ReceiveExact(void* buffer, std::size_t count);
    // Sends a request and reads its 4-byte result; `failure` when either fails.
    std::int32_t Exchange(const Wire::Request& request, std::int32_t failure);
    // A path request with the path made absolute here, where a relative one means something.
    std::int32_t PathExchange(Wire::Opcode opcode, const std::wstring& path, std::int32_t failure);
    // The stream can no longer be trusted to be in step: every later request fails.
    void Disconnect();

    renewix::UniqueFile pipe_;
    std::uint32_t remoteFile_ = 0;
};

// The name of the service's pipe for an instance number.
std::wstring PipeName(std::uint32_t instance);

// Whether the permission-manager service of this client's instance answers on its pipe;
// asked once per process.
bool IsServiceActive();

// A new file manager owned by the caller: piped when the service is active, else standard.
// Start-up makes it the process's choice (SetFileManagerMaker).
std::unique_ptr<IClientFileManager> CreateServiceOrStandardFileManager();

}  // namespace PermissionManager
