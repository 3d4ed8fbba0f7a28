// The service's side of one pipe connection.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "foundation/file_management.h"
#include "service/pipe_protocol.h"

namespace PermissionManager {

// What the service does for the requests of one connection, apart from the pipe: the
// files opened on it (file id k is the k-th) and one manager for the path operations.
class RequestHandler {
public:
    // `log` hears why an archive was refused.
    explicit RequestHandler(Log& log) : paths_(log) {}

    // The reply; nothing when the request ends the connection (a failed open, a file id
    // this connection never issued, a 51st open).
    std::optional<Wire::Bytes> Handle(const Wire::Request& request);
    // A Write: its data, as one read delivered it, go to an issued file.
    std::optional<Wire::Bytes> HandleWrite(std::uint32_t fileId, std::span<const std::uint8_t> data);
    bool IsIssued(std::uint32_t fileId) const { return fileId >= 1 && fileId <= files_.size(); }
    std::size_t OpenedFiles() const { return files_.size(); }

private:
    StandardFile& File(std::uint32_t fileId) { return *files_[fileId - 1]; }

    StandardFileManagement paths_;
    std::vector<std::unique_ptr<StandardFile>> files_;
};

// Serves one connected client until it closes its end, sends anything malformed, or the
// stop event is set; then disconnects the pipe (an overlapped server end). Only a client
// whose executable is `ownImage` is served.
void PipeSession(HANDLE pipe, HANDLE stopEvent, const std::wstring& ownImage, Log& log);

}  // namespace PermissionManager
