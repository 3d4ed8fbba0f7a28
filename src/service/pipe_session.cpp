#include "service/pipe_session.h"

#include <exception>

#include "service/pipe_security.h"
#include "foundation/registry_operations.h"

namespace PermissionManager {

namespace {

// The service's hive is never the one a client means: its own hive it changes in-process.
bool NamesServiceHive(const std::wstring& keyPath) {
    std::wstring subKey;
    return ResolveRootKey(keyPath, &subKey) == HKEY_CURRENT_USER;
}

std::int32_t AsResult(DWORD value) { return static_cast<std::int32_t>(value); }

// Overlapped reads and writes on the service's end that give up when the stop event is set.
class ServerChannel {
public:
    ServerChannel(HANDLE pipe, HANDLE stopEvent)
        : pipe_(pipe), stop_(stopEvent), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    bool ReadExact(void* buffer, std::size_t count) {
        auto* at = static_cast<std::uint8_t*>(buffer);
        while (count > 0) {
            const DWORD read = ReadSome(at, count);
            if (read == 0) return false;
            at += read;
            count -= read;
        }
        return true;
    }

    // What one read delivers; 0 when the client is gone or the service stops.
    DWORD ReadSome(void* buffer, std::size_t count) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        DWORD done = 0;
        const BOOL started = ReadFile(pipe_, buffer, static_cast<DWORD>(count), nullptr, &overlapped);
        return Finish(started, &overlapped, &done) ? done : 0;
    }

    bool WriteAll(const Wire::Bytes& bytes) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        DWORD done = 0;
        const BOOL started = WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
        return Finish(started, &overlapped, &done) && done == bytes.size();
    }

    bool valid() const { return event_.valid(); }

private:
    bool Finish(BOOL started, OVERLAPPED* overlapped, DWORD* done) {
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        HANDLE waits[2] = {event_.get(), stop_};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            // Stopping (or a failed wait): the operation must be over before its buffer goes.
            CancelIoEx(pipe_, overlapped);
            GetOverlappedResult(pipe_, overlapped, done, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_, overlapped, done, FALSE) != FALSE;
    }

    HANDLE pipe_;
    HANDLE stop_;
    renewix::UniqueHandle event_;
};

void Serve(ServerChannel& channel, RequestHandler& handler) {
    Wire::Bytes request;
    Wire::Bytes data(Wire::kMaxTransfer);
    for (;;) {
        request.assign(4, 0);
        if (!channel.ReadExact(request.data(), 4)) return;  // the client closed its end
        const std::optional<std::size_t> size = Wire::PayloadSize(Wire::GetU32(request.data()));
        if (!size) return;
        request.resize(4 + *size);
        if (!channel.ReadExact(request.data() + 4, *size)) return;
        const Wire::ParsedRequest parsed = Wire::ParseRequest(request);
        if (!parsed) return;

        std::optional<Wire::Bytes> reply;
        if (const auto* write = std::get_if<Wire::WriteRequest>(&parsed.request)) {
            if (!handler.IsIssued(write->fileId)) return;
            const DWORD count = channel.ReadSome(data.data(), data.size());
            if (count == 0) return;
            reply = handler.HandleWrite(write->fileId, std::span(data.data(), count));
        } else {
            reply = handler.Handle(parsed.request);
        }
        if (!reply || !channel.WriteAll(*reply)) return;
    }
}

}  // namespace

std::optional<Wire::Bytes> RequestHandler::Handle(const Wire::Request& request) {
    using namespace Wire;
    if (std::holds_alternative<GreetingRequest>(request)) return Bytes(std::begin(kHello), std::end(kHello));
    if (const auto* open = std::get_if<OpenRequest>(&request)) {
        // Ids are never reused, so the limit counts every open of the connection.
        if (files_.size() >= kMaxFilesPerConnection) return std::nullopt;
        std::unique_ptr<StandardFile> file =
            StandardFile::Open(open->path, open->access, open->disposition, open->flags);
        if (!file) return std::nullopt;
        files_.push_back(std::move(file));
        return EncodeResult(static_cast<std::int32_t>(files_.size()));
    }
    if (const auto* read = std::get_if<ReadRequest>(&request)) {
        if (!IsIssued(read->fileId)) return std::nullopt;
        Bytes buffer(read->count);
        const DWORD count = File(read->fileId).Read(buffer.data(), read->count);
        return EncodeReadReply(std::span(buffer.data(), count));
    }
    if (const auto* close = std::get_if<CloseRequest>(&request)) {
        // The object stays in the list: its id is not given out again.
        if (!IsIssued(close->fileId)) return std::nullopt;
        return EncodeResult(File(close->fileId).Close());
    }
    if (const auto* times = std::get_if<SetTimesRequest>(&request)) {
        if (!IsIssued(times->fileId)) return std::nullopt;
        File(times->fileId).SetTimes(times->creation, times->lastAccess, times->lastWrite);
        return EncodeResult(1);
    }
    if (const auto* move = std::get_if<MoveRequest>(&request)) return EncodeResult(paths_.Move(move->from, move->to));
    if (const auto* path = std::get_if<PathRequest>(&request)) {
        switch (path->opcode) {
            case kDelete: return EncodeResult(paths_.Delete(path->path));
            case kGetAttributes: return EncodeResult(AsResult(paths_.GetAttributes(path->path)));
            case kMakeDirectories: return EncodeResult(paths_.MakeDirectories(path->path));
            case kDeleteTree: return EncodeResult(paths_.DeleteTree(path->path));
            case kRegisterServer: return EncodeResult(paths_.RegisterServer(path->path));
            default: return std::nullopt;
        }
    }
    if (const auto* update = std::get_if<UpdateRegistryRequest>(&request)) {
        if (NamesServiceHive(update->keyPath)) return EncodeResult(0);
        return EncodeResult(paths_.UpdateRegistry(update->keyPath, update->valueName, update->action));
    }
    if (const auto* query = std::get_if<QueryRegistryRequest>(&request)) {
        const std::size_t slash = query->registryPath.rfind(L'\\');
        const std::wstring keyPath = slash == std::wstring::npos ? std::wstring() : query->registryPath.substr(0, slash);
        if (NamesServiceHive(keyPath)) return EncodeTextReply(std::wstring());
        return EncodeTextReply(paths_.QueryRegistry(query->registryPath, query->type));
    }
    if (const auto* unzip = std::get_if<UnzipRequest>(&request)) {
        return EncodeResult(paths_.Unzip(unzip->archivePath, unzip->destination));
    }
    return std::nullopt;  // a Write is served with its data (HandleWrite)
}

std::optional<Wire::Bytes> RequestHandler::HandleWrite(std::uint32_t fileId, std::span<const std::uint8_t> data) {
    if (!IsIssued(fileId)) return std::nullopt;
    return Wire::EncodeResult(File(fileId).Write(data.data(), static_cast<DWORD>(data.size())));
}

void PipeSession(HANDLE pipe, HANDLE stopEvent, const std::wstring& ownImage, Log& log) {
    try {
        ServerChannel channel(pipe, stopEvent);
        // Only the product's own client is served; any other program is disconnected unheard.
        if (channel.valid() && IsSameExecutable(PipeClientImage(pipe), ownImage)) {
            RequestHandler handler(log);
            Serve(channel, handler);
        }
    } catch (const std::exception&) {
        // Out of memory and the like end this connection only.
    }
    DisconnectNamedPipe(pipe);
}

}  // namespace PermissionManager
