// The client's start-up sequence, from the entry point to the end of the run.
#pragma once

#include <windows.h>

#include <string>

#include "session/run_context.h"

class Renewix;
class ServerSelection;

int RunClient(HINSTANCE instance, const std::wstring& commandLine, int showCommand);

// The single-instance mutex shared by every client in the logon session.
extern const wchar_t kSingleInstanceMutexName[];

// Text shown when the configured main application is the client itself.
std::wstring SameNameMessage(const std::wstring& mainApplicationPath);

// What a run shows the user and starts. The client's are its wizard and the vendor's program.
class IRunFront {
public:
    virtual ~IRunFront() = default;
    // A message alone in the wizard's frame.
    virtual void ShowMessage(const std::wstring& text) = 0;
    // The update wizard; true when it installed the update.
    virtual bool RunWizard() = 0;
    // The schedule page.
    virtual void RunScheduler() = 0;
    // Starts the configured program with the run's parameters; false when it could not.
    virtual bool Launch() = 0;
    // Gives the client that holds the single-instance mutex time to end before it is tried again.
    virtual void AwaitOtherClient(bool background) = 0;
};

// One run from its log's start to its end: the mode it was started in decides what `front`
// shows and starts. Only one run in the logon session at a time holds `mutexName`.
void RunStarted(const RunContext& run, Renewix& session, ServerSelection& selection, IRunFront& front,
                const std::wstring& commandLine, int showCommand, const wchar_t* mutexName);
