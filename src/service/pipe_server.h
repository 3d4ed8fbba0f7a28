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

// Where the loop's failures go: message box or event log (the service's ShowServiceError).
using ServiceErrorSink = void (*)(const std::wstring& text);

class PipeServer {
public:
    // Sessions beyond this wait for one to end; a full set of pipe instances would
    // otherwise end the loop and with it the service.
    static constexpr std::size_t kMaxSessions = 64;
    // A client holds at most its log, its file manager's connection, one open file and a
    // status-file retry at once: eight is room enough, and no one program can take the
    // sessions every other client needs.
    static constexpr std::size_t kMaxSessionsPerProcess = 8;

    // `pipeName` is "\\.\pipe\Renewix%d"; every session gets `settings` and the records of
    // what the service set aside; `log` hears what the sessions log (an archive refused).
    PipeServer(std::wstring pipeName, ServiceSettings settings, ServiceErrorSink reportError, Log& log);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Serves until `stopEvent` (manual-reset, not changed here) is set or a failure ends the
    // loop; every session has ended when it returns. True when the stop event ended it.
    [[nodiscard]] bool Run(HANDLE stopEvent);

    // The connections refused because their process already held its share; for tests.
    std::size_t RefusedOverShare() const { return refusedOverShare_; }

private:
    struct Session {
        renewix::UniqueFile pipe;
        DWORD clientProcess = 0;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    bool Loop(HANDLE stopEvent);
    // False only when no thread could be started; a client over its share is disconnected
    // and counts as handled.
    bool StartSession(renewix::UniqueFile pipe);
    std::size_t SessionsOf(DWORD clientProcess) const;
    // Joins the sessions that have ended, or all of them.
    void Reap(bool all);

    std::wstring pipeName_;
    ServiceSettings settings_;
    ServiceErrorSink reportError_;
    Log& log_;
    // Set when the loop ends, whatever ended it: every session waits on it.
    renewix::UniqueHandle sessionsEnd_;
    renewix::UniqueHandle sessionEnded_;
    std::list<std::unique_ptr<Session>> sessions_;
    // The instance of the last client refused, disconnected, until the next one listens.
    renewix::UniqueFile refused_;
    std::atomic<std::size_t> refusedOverShare_{0};
};

}  // namespace PermissionManager
