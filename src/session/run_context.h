// What one run of the client works with: made once by start-up and handed to whatever needs
// it, so that nothing below start-up reaches for a process-wide object.
#pragma once

class ClientConfig;
class Log;
class RunState;
class StatusFile;
class TextVariables;

namespace renewix {
class Cancellation;
}

namespace PermissionManager {
class IClientFileManager;
}

struct RunContext {
    const ClientConfig& config;
    RunState& state;
    Log& log;
    StatusFile& status;
    const TextVariables& variables;
    // Every file and registry change of the run: through the service when it answers.
    PermissionManager::IClientFileManager& files;
    // Set when the user gives up on the run: network calls in progress are cut short.
    renewix::Cancellation& cancellation;
};
