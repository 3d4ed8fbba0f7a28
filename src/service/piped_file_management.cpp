#include "service/piped_file_management.h"

#include "service/request_policy.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "foundation/paths.h"
#include "foundation/text.h"
#include "service/pipe_security.h"

namespace PermissionManager {

namespace {

// How often a busy pipe (every instance taken at that moment) is waited for.
constexpr int kBusyAttempts = 10;

}  // namespace

PipeConnection::PipeConnection(const std::wstring& pipeName) {
    if (Connect(pipeName) && !Greet()) pipe_.reset();
}

bool PipeConnection::Connect(const std::wstring& pipeName) {
    for (int attempt = 0; attempt < kBusyAttempts; ++attempt) {
        // Identification only: whatever serves the name may learn who calls, never act as them.
        pipe_.reset(CreateFileW(pipeName.c_str(), kPipeClientAccess, 0, nullptr, OPEN_EXISTING,
                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe_ || GetLastError() != ERROR_PIPE_BUSY) break;
        // Every instance is taken for a moment: the service makes the next one right after a
        // connection. Wine answers this wait at once instead of waiting, hence the pause.
        if (!WaitNamedPipeW(pipeName.c_str(), 1000)) Sleep(20);
    }
    if (!pipe_) return false;
    // Files and registry values go only to a pipe the service made, never to one that an
    // ordinary user created under the service's name while the service was away.
    if (!IsPipeOwnerTrusted(pipe_.get())) {
        pipe_.reset();
        return false;
    }
    return true;
}

bool PipeConnection::Greet() {
    for (int attempt = 0; attempt < kGreetingAttempts; ++attempt) {
        std::uint8_t reply[Wire::kGreetingBytes] = {};
        if (Send(Wire::GreetingRequest{}) && ReceiveExact(reply, sizeof(reply)) &&
            std::memcmp(reply, Wire::kHello, sizeof(reply)) == 0) {
            return true;
        }
    }
    return false;
}

bool PipeConnection::SendBytes(const void* data, std::size_t count) {
    if (!pipe_) return false;
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), data, static_cast<DWORD>(count), &written, nullptr) || written != count) {
        Disconnect();
        return false;
    }
    return true;
}

bool PipeConnection::ReceiveExact(void* buffer, std::size_t count) {
    auto* at = static_cast<std::uint8_t*>(buffer);
    while (count > 0) {
        DWORD read = 0;
        if (!pipe_ || !ReadFile(pipe_.get(), at, static_cast<DWORD>(count), &read, nullptr) || read == 0) {
            Disconnect();
            return false;
        }
        at += read;
        count -= read;
    }
    return true;
}

bool PipeConnection::Send(const Wire::Request& request) {
    if (!pipe_) return false;
    const std::optional<Wire::Bytes> payload = Wire::EncodePayload(request);
    if (!payload) return false;  // refused before anything was sent: the connection stays in step
    Wire::Bytes opcode;
    Wire::PutU32(opcode, Wire::OpcodeOf(request));
    return SendBytes(opcode.data(), opcode.size()) && SendBytes(payload->data(), payload->size());
}

std::int32_t PipeConnection::Exchange(const Wire::Request& request, std::int32_t failure) {
    std::uint8_t reply[4];
    if (!Send(request) || !ReceiveExact(reply, sizeof(reply))) return failure;
    return static_cast<std::int32_t>(Wire::GetU32(reply));
}

int PipedFile::Write(const void* data, DWORD count) {
    if (count == 0) return 1;  // the service would wait for data that never comes
    if (RemoteFile() == 0) return 0;
    // Larger writes go in pieces the service reads whole.
    const auto* at = static_cast<const std::uint8_t*>(data);
    for (DWORD left = count; left > 0;) {
        const DWORD piece = std::min<DWORD>(left, Wire::kMaxTransfer);
        std::uint8_t reply[4];
        if (!connection_.Send(Wire::WriteRequest{remoteFile_}) || !connection_.SendBytes(at, piece) ||
            !connection_.ReceiveExact(reply, sizeof(reply)) || Wire::GetU32(reply) == 0) {
            return 0;
        }
        at += piece;
        left -= piece;
    }
    return 1;
}

DWORD PipedFile::Read(void* buffer, DWORD count) {
    if (count == 0 || RemoteFile() == 0) return 0;
    // A larger request would end the connection; a shorter read is an ordinary answer.
    const DWORD asked = std::min<DWORD>(count, Wire::kMaxTransfer);
    std::uint8_t reply[4];
    if (!connection_.Send(Wire::ReadRequest{remoteFile_, asked}) || !connection_.ReceiveExact(reply, sizeof(reply))) {
        return 0;
    }
    const std::uint32_t got = Wire::GetU32(reply);
    if (got > asked) {
        // More than the buffer holds: the stream is out of step, and the bytes are not ours to take.
        connection_.Disconnect();
        return 0;
    }
    if (got != 0 && !connection_.ReceiveExact(buffer, got)) return 0;
    return got;
}

void PipedFile::SetTimes(const FILETIME& creation, const FILETIME& lastAccess, const FILETIME& lastWrite) {
    if (RemoteFile() == 0) return;
    connection_.Exchange(Wire::SetTimesRequest{creation, lastAccess, lastWrite, remoteFile_}, 0);
}

int PipedFile::Close() {
    if (RemoteFile() == 0) return 1;
    const std::uint32_t id = std::exchange(remoteFile_, 0);
    const int closed = connection_.Exchange(Wire::CloseRequest{id}, 0) != 0 ? 1 : 0;
    // The connection served this file only.
    connection_.Disconnect();
    return closed;
}

PipedFileManagement::PipedFileManagement(std::wstring pipeName)
    : pipeName_(std::move(pipeName)), connection_(pipeName_) {}

PipedFileManagement::PipedFileManagement(std::wstring pipeName, std::wstring serviceFolder, Log& log)
    : pipeName_(std::move(pipeName)),
      serviceFolder_(std::move(serviceFolder)),
      local_(std::make_unique<StandardFileManagement>(log)),
      connection_(pipeName_) {}

bool PipedFileManagement::ForService(const std::wstring& path) const {
    return serviceFolder_.empty() || IsInside(path, serviceFolder_);
}

IClientFileManager& PipedFileManagement::ManagerFor(const std::wstring& path) {
    if (ForService(path)) return *this;
    return *local_;
}

namespace {

// A file copied from one manager's side to the other's, then removed where it was.
int MoveAcross(IClientFileManager& source, const std::wstring& from, IClientFileManager& target,
               const std::wstring& to) {
    if (target.GetAttributes(to) != INVALID_FILE_ATTRIBUTES) return 0;  // never over an existing file
    std::unique_ptr<IManagedFile> in = source.Open(from, GENERIC_READ, OPEN_EXISTING, 0);
    if (!in) return 0;
    std::unique_ptr<IManagedFile> out = target.Open(to, GENERIC_WRITE, CREATE_NEW, 0);
    if (!out) return 0;
    std::vector<std::uint8_t> buffer(Wire::kMaxTransfer);
    bool copied = true;
    for (DWORD got; (got = in->Read(buffer.data(), static_cast<DWORD>(buffer.size()))) != 0;) {
        if (!out->Write(buffer.data(), got)) {
            copied = false;
            break;
        }
    }
    in.reset();
    if (!out->Close() || !copied) {
        target.Delete(to);
        return 0;
    }
    if (source.Delete(from)) return 1;
    // Both copies would otherwise stay: the move did not happen.
    target.Delete(to);
    return 0;
}

}  // namespace

bool PipedFileManagement::IsConnected() const {
    std::lock_guard lock(mutex_);
    return connection_.IsConnected();
}

std::int32_t PipedFileManagement::Exchange(const Wire::Request& request, std::int32_t failure) {
    std::lock_guard lock(mutex_);
    return connection_.Exchange(request, failure);
}

std::int32_t PipedFileManagement::PathExchange(Wire::Opcode opcode, const std::wstring& path, std::int32_t failure) {
    const std::wstring absolute = FullPathName(path);
    if (absolute.empty()) return failure;
    if (!ForService(absolute)) {
        switch (opcode) {
            case Wire::kMakeDirectories: return local_->MakeDirectories(absolute);
            case Wire::kDelete: return local_->Delete(absolute);
            case Wire::kDeleteTree: return local_->DeleteTree(absolute);
            case Wire::kGetAttributes: return static_cast<std::int32_t>(local_->GetAttributes(absolute));
            case Wire::kRegisterServer: return local_->RegisterServer(absolute);
            case Wire::kUnregisterServer: return local_->UnregisterServer(absolute);
            default: return failure;
        }
    }
    return Exchange(Wire::PathRequest{opcode, absolute}, failure);
}

std::unique_ptr<IManagedFile> PipedFileManagement::Open(const std::wstring& path, DWORD access, DWORD disposition,
                                                        DWORD flags) {
    const std::wstring absolute = FullPathName(path);
    if (absolute.empty()) return nullptr;
    if (!ForService(absolute)) return local_->Open(absolute, access, disposition, flags);
    PipeConnection connection(pipeName_);
    // The service ends a connection whose open failed: it goes with this one.
    const auto id =
        static_cast<std::uint32_t>(connection.Exchange(Wire::OpenRequest{access, disposition, flags, absolute}, 0));
    if (id == 0) return nullptr;
    return std::make_unique<PipedFile>(std::move(connection), id);
}

int PipedFileManagement::MakeDirectories(const std::wstring& path) {
    return PathExchange(Wire::kMakeDirectories, path, 0) != 0 ? 1 : 0;
}

int PipedFileManagement::Move(const std::wstring& from, const std::wstring& to) {
    const std::wstring source = FullPathName(from), target = FullPathName(to);
    if (source.empty() || target.empty()) return 0;
    if (ForService(source) != ForService(target)) {
        return MoveAcross(ManagerFor(source), source, ManagerFor(target), target);
    }
    if (!ForService(source)) return local_->Move(source, target);
    return Exchange(Wire::MoveRequest{source, target}, 0) != 0 ? 1 : 0;
}

int PipedFileManagement::Delete(const std::wstring& path) { return PathExchange(Wire::kDelete, path, 0) != 0 ? 1 : 0; }

int PipedFileManagement::DeleteTree(const std::wstring& path) {
    return PathExchange(Wire::kDeleteTree, path, 0) != 0 ? 1 : 0;
}

DWORD PipedFileManagement::GetAttributes(const std::wstring& path) {
    return static_cast<DWORD>(PathExchange(Wire::kGetAttributes, path, -1));
}

int PipedFileManagement::UpdateRegistry(const std::wstring& keyPath, const std::wstring& valueName,
                                        const std::wstring& action) {
    return Exchange(Wire::UpdateRegistryRequest{keyPath, valueName, action}, 0) != 0 ? 1 : 0;
}

std::wstring PipedFileManagement::QueryRegistry(const std::wstring& registryPath, const std::wstring& type) {
    // Reading is the user's own right; the service answers no queries.
    if (local_) return local_->QueryRegistry(registryPath, type);
    std::uint8_t reply[Wire::kTextReplyBytes];
    std::lock_guard lock(mutex_);
    if (!connection_.Send(Wire::QueryRegistryRequest{registryPath, type}) ||
        !connection_.ReceiveExact(reply, sizeof(reply))) {
        return {};
    }
    return Wire::DecodeTextReply(reply);
}

int PipedFileManagement::RegisterServer(const std::wstring& libraryPath) {
    return PathExchange(Wire::kRegisterServer, libraryPath, 0) != 0 ? 1 : 0;
}

int PipedFileManagement::UnregisterServer(const std::wstring& libraryPath) {
    return PathExchange(Wire::kUnregisterServer, libraryPath, 0) != 0 ? 1 : 0;
}

int PipedFileManagement::Unzip(const std::wstring& archivePath, const std::wstring& destination) {
    const std::wstring archive = FullPathName(archivePath), folder = FullPathName(destination);
    // Without the service's answer nothing was extracted: 0, not "cannot open" (-1).
    if (archive.empty() || folder.empty()) return 0;
    if (!ForService(folder)) return local_->Unzip(archive, folder);
    return Exchange(Wire::UnzipRequest{archive, folder}, 0);
}

std::wstring PipeName(std::uint32_t instance) { return FormatText(L"\\\\.\\pipe\\Renewix%d", instance); }

bool IsServiceActive(std::uint32_t instance) {
    // Answering means greeting back from a pipe the service made, not merely existing; a
    // connection waits for a busy pipe's next instance as WaitNamedPipe would.
    return PipeConnection(PipeName(instance)).IsConnected();
}

std::unique_ptr<IClientFileManager> CreateServiceOrStandardFileManager(std::uint32_t instance, Log& log) {
    if (IsServiceActive(instance)) {
        return std::make_unique<PipedFileManagement>(PipeName(instance), ApplicationDirectory(), log);
    }
    return std::make_unique<StandardFileManagement>(log);
}

}  // namespace PermissionManager
