// The service's side of one pipe connection.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/file_management.h"
#include "foundation/trusted_keys.h"
#include "service/pipe_protocol.h"
#include "service/request_policy.h"

namespace PermissionManager {

// Where a refusal goes: one line naming the opcode and the path (the service's event log).
using RefusalSink = void (*)(const std::wstring& line);

// What every session of one service is given: where it acts, the keys its own executable
// trusts, its instance (naming the version floor's value) and its own image.
struct ServiceSettings {
    ServiceScope scope;
    TrustedKeys keys;
    std::uint32_t instance = 0;
    std::wstring ownImage;  // the native image name of the service's executable
    RefusalSink reportRefusal = nullptr;
};

// The files one connection had the service set aside into staging: the file itself (by its
// id, not its path, which anyone may reuse) and the SHA-256 of the bytes set aside, so that
// only those bytes, and only to where they came from, can go back.
class SetAsideRecords {
public:
    struct FileKey {
        DWORD volume = 0;
        DWORD indexHigh = 0;
        DWORD indexLow = 0;
        bool operator<(const FileKey& other) const {
            return std::tie(volume, indexHigh, indexLow) < std::tie(other.volume, other.indexHigh, other.indexLow);
        }
    };
    void Note(const FileKey& file, const std::wstring& from, const Sha256Digest& digest);
    bool Matches(const FileKey& file, const std::wstring& destination, const Sha256Digest& digest) const;
    void Forget(const FileKey& file) { records_.erase(file); }

private:
    struct Record {
        std::wstring from;
        Sha256Digest digest{};
    };
    std::map<FileKey, Record> records_;
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
    std::wstring documentProblem_;  // why this request found no verified document
};

// Serves one connected client until it closes its end, sends anything malformed, or the
// stop event is set; then disconnects the pipe (an overlapped server end). Only a client
// whose image is the service's own is served.
void PipeSession(HANDLE pipe, HANDLE stopEvent, const ServiceSettings& settings, Log& log);

}  // namespace PermissionManager
