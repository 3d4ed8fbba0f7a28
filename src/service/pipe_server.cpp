#include "service/pipe_server.h"

#include <optional>
#include <system_error>

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

PipeServer::PipeServer(std::wstring pipeName, ServiceSettings settings, ServiceErrorSink reportError, Log& log)
    : pipeName_(std::move(pipeName)),
      settings_(std::move(settings)),
      reportError_(reportError),
      log_(log),
      sessionsEnd_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      sessionEnded_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

PipeServer::~PipeServer() {
    if (sessionsEnd_) SetEvent(sessionsEnd_.get());
    Reap(true);
}

bool PipeServer::Run(HANDLE stopEvent) {
    if (!stopEvent || !sessionsEnd_ || !sessionEnded_) {
        reportError_(L"Error waiting for client connection");
        return false;
    }
    bool stopped = false;
    try {
        stopped = Loop(stopEvent);
    } catch (const std::exception&) {
        reportError_(L"Error waiting for client connection");
    }
    // Whatever ended the loop, the sessions end with it.
    SetEvent(sessionsEnd_.get());
    Reap(true);
    return stopped;
}

bool PipeServer::Loop(HANDLE stopEvent) {
    PipeSecurity security;
    if (!security.valid() || PipeNameTaken(pipeName_)) {
        if (security.valid()) SetLastError(ERROR_ACCESS_DENIED);  // what the flag gives on Windows
        reportError_(L"Unable to create a named pipe");
        return false;
    }
    bool first = true;
    for (;;) {
        while (sessions_.size() >= kMaxSessions) {
            HANDLE waits[2] = {stopEvent, sessionEnded_.get()};
            const DWORD signalled = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (signalled == WAIT_OBJECT_0) return true;
            if (signalled != WAIT_OBJECT_0 + 1) {
                reportError_(L"Error waiting for client connection");
                return false;
            }
            Reap(false);
        }

        renewix::UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const DWORD openMode =
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        renewix::UniqueFile pipe(CreateNamedPipeW(pipeName_.c_str(), openMode,
                                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                      PIPE_REJECT_REMOTE_CLIENTS,
                                                  kMaxInstances, kOutputBuffer, kInputBuffer, kDefaultTimeout,
                                                  security.attributes()));
        if (!connected || !pipe) {
            reportError_(L"Unable to create a named pipe");
            return false;
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
                return false;
            }
        }
        // Ended sessions, and a refused client's instance, close only now that a new one
        // listens: the pipe's name never disappears between two clients.
        Reap(false);
        refused_.reset();

        HANDLE waits[2] = {connected.get(), stopEvent};
        const DWORD signalled = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (signalled == WAIT_OBJECT_0) {
            if (!StartSession(std::move(pipe))) {
                reportError_(L"Unable to generate piping thread.");
                return false;
            }
            continue;
        }
        // The pending connection must be over before the instance and its event go.
        DWORD ignored = 0;
        CancelIoEx(pipe.get(), &overlapped);
        GetOverlappedResult(pipe.get(), &overlapped, &ignored, TRUE);
        if (signalled == WAIT_OBJECT_0 + 1) return true;
        reportError_(L"Error waiting for client connection");
        return false;
    }
}

bool PipeServer::StartSession(renewix::UniqueFile pipe) {
    // Counted by process before anything is read: one program cannot take every session. A
    // client the system cannot name is not served at all.
    const std::optional<DWORD> client = PipeClientProcess(pipe.get());
    if (!client || SessionsOf(*client) >= kMaxSessionsPerProcess) {
        ++refusedOverShare_;
        DisconnectNamedPipe(pipe.get());
        refused_ = std::move(pipe);
        return true;
    }
    // Listed before its thread starts: a failure to list it can then never leave a running
    // thread without an owner.
    auto session = std::make_unique<Session>();
    session->pipe = std::move(pipe);
    session->clientProcess = *client;
    Session* raw = session.get();
    sessions_.push_back(std::move(session));
    try {
        raw->thread = std::thread([raw, this] {
            PipeSession(raw->pipe.get(), sessionsEnd_.get(), settings_, log_);
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

std::size_t PipeServer::SessionsOf(DWORD clientProcess) const {
    std::size_t count = 0;
    for (const auto& session : sessions_) {
        if (!session->done && session->clientProcess == clientProcess) ++count;
    }
    return count;
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
