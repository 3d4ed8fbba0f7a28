// The permission manager's listening loop: one pipe instance after another, one session
// thread per connected client, until the stop event is set.
#pragma once

#include <windows.h>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "foundation/win_resource.h"
#include "service/pipe_session.h"

class Log;

namespace PermissionManager {

struct PipeServerNames {
    std::wstring pipe;       // "\\.\pipe\Renewix%d"
    std::wstring stopEvent;  // "RenewixStop%d"
};

// Where the loop's failures go: message box or event log (the service's ShowServiceError).
using ServiceErrorSink = void (*)(const std::wstring& text);

class PipeServer {
public:
    // Sessions beyond this wait for one to end; a full set of pipe instances would
    // otherwise end the loop and with it the service.
    static constexpr std::size_t kMaxSessions = 64;

    // `log` hears what the sessions log (an archive refused); `settings` say where they act.
    PipeServer(PipeServerNames names, ServiceSettings settings, ServiceErrorSink reportError, Log& log);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Serves until the stop event is set or a failure ends the loop; every session has
    // ended when it returns.
    void Run();

private:
    struct Session {
        renewix::UniqueFile pipe;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Loop(HANDLE stopEvent);
    bool StartSession(renewix::UniqueFile pipe, HANDLE stopEvent);
    // Joins the sessions that have ended, or all of them.
    void Reap(bool all);

    PipeServerNames names_;
    ServiceErrorSink reportError_;
    Log& log_;
    ServiceSettings settings_;
    SetAsideRecords records_;
    renewix::UniqueHandle sessionEnded_;
    std::list<std::unique_ptr<Session>> sessions_;
};

}  // namespace PermissionManager
