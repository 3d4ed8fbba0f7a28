// The service's side of one pipe connection.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "foundation/file_management.h"
#include "foundation/trusted_keys.h"
#include "service/pipe_protocol.h"
#include "service/request_policy.h"

namespace PermissionManager {

// Where a refusal goes: one line naming the opcode and the path (the service's event log).
using RefusalSink = void (*)(const std::wstring& line);

// What every session of one service is given: where it acts, the keys its own executable
// trusts, its instance (naming its version floor and set-aside records) and its own image.
struct ServiceSettings {
    ServiceScope scope;
    TrustedKeys keys;
    std::uint32_t instance = 0;
    std::wstring ownImage;  // the native image name of the service's executable
    RefusalSink reportRefusal = nullptr;
};

// The files the service set aside into staging, kept for its instance under HKLM rather than
// for one connection: a client ended half-way, or started again after the service restarted,
// can still put back what an earlier run set aside. A record names the file itself (by its
// id, not its path, which anyone may reuse), the SHA-256 of the bytes set aside and where
// they came from, so that only those bytes, and only to there, go back. Every session of the
// service shares them: each read and change is made under one lock.
class SetAsideRecords {
public:
    struct FileKey {
        DWORD volume = 0;
        DWORD indexHigh = 0;
        DWORD indexLow = 0;
    };
    // The most records an instance keeps: no client can grow the registry without bound. A
    // record is forgotten when its file goes back, or when the service deletes it.
    static constexpr DWORD kMaxRecords = 4096;

    explicit SetAsideRecords(std::uint32_t instance);
    // Records the file about to be set aside from `from`; false, and nothing recorded, when
    // the records are full or cannot be written.
    bool Note(const FileKey& file, const std::wstring& from, const Sha256Digest& digest) const;
    bool Matches(const FileKey& file, const std::wstring& destination, const Sha256Digest& digest) const;
    void Forget(const FileKey& file) const;

private:
    std::wstring key_;  // under HKLM
};

// What the service does for the requests of one connection, apart from the pipe: the files
// opened on it (file id k is the k-th), checked against the policy first.
class RequestHandler {
public:
    RequestHandler(const ServiceSettings& settings, Log& log);

    // The reply; nothing when the request ends the connection (a failed or refused open, a
    // file id this connection never issued, a 51st open).
    std::optional<Wire::Bytes> Handle(const Wire::Request& request);
    // A Write: its data, as one read delivered it, go to an issued file opened for writing.
    std::optional<Wire::Bytes> HandleWrite(std::uint32_t fileId, std::span<const std::uint8_t> data);
    bool IsIssued(std::uint32_t fileId) const { return fileId >= 1 && fileId <= files_.size(); }
    std::size_t OpenedFiles() const { return files_.size(); }

private:
    struct OpenFile {
        std::unique_ptr<StandardFile> file;
        bool writable = false;
    };
    OpenFile& File(std::uint32_t fileId) { return files_[fileId - 1]; }

    // The failure reply of a refused request, after one line to the refusal sink.
    std::optional<Wire::Bytes> Refuse(const Wire::Request& request, const std::wstring& path);
    std::optional<Wire::Bytes> Carry(const Wire::Request& request, const Decision& decision);
    std::optional<Wire::Bytes> CarryMove(const Wire::MoveRequest& move, const Decision& decision);
    // What the staged document authorises, read and verified now (kept while its bytes stay
    // the same); null when there is none or it is refused.
    const AllowList* Authorisation();
    void AddArchiveTargets(AllowList& allow);
    void Report(const std::wstring& line);
    // Something the document authorised was done: its version becomes the floor.
    void CarriedOut();

    const ServiceSettings& settings_;
    SetAsideRecords records_;
    Log& log_;
    StandardFileManagement paths_;
    std::vector<OpenFile> files_;
    std::optional<AllowList> authorised_;
    Sha256Digest documentDigest_{};
    std::wstring documentVersion_;
    std::uint64_t documentExpires_ = 0;
    std::wstring refusalReason_;  // why this request was refused, beyond its path
};

// Serves one connected client until it closes its end, sends anything malformed, or the
// stop event is set; then disconnects the pipe (an overlapped server end). Only a client
// whose image is the service's own is served.
void PipeSession(HANDLE pipe, HANDLE stopEvent, const ServiceSettings& settings, Log& log);

}  // namespace PermissionManager
