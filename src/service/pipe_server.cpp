#include "service/pipe_server.h"

#include <system_error>

#include "foundation/paths.h"
#include "service/pipe_protocol.h"
#include "service/pipe_security.h"
#include "service/pipe_session.h"

namespace PermissionManager {

namespace {

constexpr DWORD kMaxInstances = 255;
constexpr DWORD kOutputBuffer = 1024;
constexpr DWORD kInputBuffer = Wire::kMaxTransfer;
constexpr DWORD kDefaultTimeout = 1000;

// Whether any process already serves a pipe of that name. FILE_FLAG_FIRST_PIPE_INSTANCE
// refuses such a name on Windows; Wine ignores the flag, so ask first as well.
bool PipeNameTaken(const std::wstring& name) {
    return WaitNamedPipeW(name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace

PipeServer::PipeServer(PipeServerNames names, ServiceSettings settings, ServiceErrorSink reportError, Log& log)
    : names_(std::move(names)),
      reportError_(reportError),
      log_(log),
      settings_(std::move(settings)),
      sessionEnded_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

PipeServer::~PipeServer() { Reap(true); }

void PipeServer::Run() {
    // Held for the service's whole life: its existence says that the service runs.
    renewix::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, names_.stopEvent.c_str()));
    if (!stop || !sessionEnded_) {
        reportError_(L"Error waiting for client connection");
        return;
    }
    try {
        Loop(stop.get());
    } catch (const std::exception&) {
        reportError_(L"Error waiting for client connection");
    }
    // Whatever ended the loop, the sessions end with it: they wait on the same event.
    SetEvent(stop.get());
    Reap(true);
}

void PipeServer::Loop(HANDLE stopEvent) {
    PipeSecurity security;
    if (!security.valid() || PipeNameTaken(names_.pipe)) {
        if (security.valid()) SetLastError(ERROR_ACCESS_DENIED);  // what the flag gives on Windows
        reportError_(L"Unable to create a named pipe");
        return;
    }
    bool first = true;
    for (;;) {
        while (sessions_.size() >= kMaxSessions) {
            HANDLE waits[2] = {stopEvent, sessionEnded_.get()};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
            Reap(false);
        }

        renewix::UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const DWORD openMode =
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        renewix::UniqueFile pipe(CreateNamedPipeW(names_.pipe.c_str(), openMode,
                                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                      PIPE_REJECT_REMOTE_CLIENTS,
                                                  kMaxInstances, kOutputBuffer, kInputBuffer, kDefaultTimeout,
                                                  security.attributes()));
        if (!connected || !pipe) {
            reportError_(L"Unable to create a named pipe");
            return;
        }
        first = false;

        OVERLAPPED overlapped{};
        overlapped.hEvent = connected.get();
        if (!ConnectNamedPipe(pipe.get(), &overlapped)) {
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) {
                SetEvent(connected.get());  // the client came before the wait began
            } else if (error == ERROR_NO_DATA) {
                // A client came and went before the wait began: only this instance is spent, and
                // anyone who can open the pipe could otherwise stop the service this way.
                DisconnectNamedPipe(pipe.get());
                continue;
            } else if (error != ERROR_IO_PENDING) {
                reportError_(L"Unable to connect to a named pipe");
                return;
            }
        }
        // Ended sessions close their instances only now that a new one listens: the pipe's
        // name never disappears between two clients.
        Reap(false);

        HANDLE waits[2] = {connected.get(), stopEvent};
        const DWORD signalled = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (signalled == WAIT_OBJECT_0) {
            if (!StartSession(std::move(pipe), stopEvent)) {
                reportError_(L"Unable to generate piping thread.");
                return;
            }
            continue;
        }
        // The pending connection must be over before the instance and its event go.
        DWORD ignored = 0;
        CancelIoEx(pipe.get(), &overlapped);
        GetOverlappedResult(pipe.get(), &overlapped, &ignored, TRUE);
        if (signalled != WAIT_OBJECT_0 + 1) reportError_(L"Error waiting for client connection");
        return;
    }
}

bool PipeServer::StartSession(renewix::UniqueFile pipe, HANDLE stopEvent) {
    // Listed before its thread starts: a failure to list it can then never leave a running
    // thread without an owner.
    auto session = std::make_unique<Session>();
    session->pipe = std::move(pipe);
    Session* raw = session.get();
    sessions_.push_back(std::move(session));
    try {
        raw->thread = std::thread([raw, stopEvent, this] {
            PipeSession(raw->pipe.get(), stopEvent, settings_, records_, log_);
            raw->done = true;
            SetEvent(sessionEnded_.get());
        });
    } catch (const std::system_error&) {
        DisconnectNamedPipe(raw->pipe.get());
        sessions_.pop_back();
        return false;
    }
    return true;
}

void PipeServer::Reap(bool all) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (all || (*it)->done) {
            if ((*it)->thread.joinable()) (*it)->thread.join();
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace PermissionManager
