// The vendor's executable that the client stands beside: launching, restarting, closing.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/run_state.h"
#include "foundation/win_resource.h"

class ClientConfig;
class RunState;

// ApplicationDirectory followed by the configured main application file name.
std::wstring MainApplicationPath(const ClientConfig& config);

// Starts the main application with the client's parameters and show command; its process
// handle, or none when it is missing or ended within 250 ms.
renewix::UniqueHandle LaunchMainApplication(const ClientConfig& config, const RunState& state);
// Starts it again after an update, without waiting for it.
void RestartMainApplication(const ClientConfig& config, const RunState& state);

// Whether the run starts the program as it ends: when the start it promised is still owed (held
// back by an interrupted installation, or due after the check), no installed update has settled
// it (restarted the program, or not, as its document asked) and the program was not started
// again already (after a failed installation that had closed it). A failed or abandoned update
// still owes it.
bool LaunchWhenRunEnds(RunMode mode, bool launchAfterCheck, bool launchPending, bool updateInstalled,
                       bool programRestarted);

// Whether a running process's reported image name is the main application's. Names the
// system cut to 15 characters still match their own executable, and nothing else does.
bool ProcessNameMatches(const std::wstring& reportedName, const std::wstring& imageName);

// Finds the main application's processes, asks their windows to close, and terminates
// those that do not end in time. Toolhelp is used where the system has it, else the
// native process list; both are looked up at run time.
class ProcessControl {
public:
    enum class Method { Automatic, Native };
    explicit ProcessControl(Method method = Method::Automatic);
    ProcessControl(const ProcessControl&) = delete;
    ProcessControl& operator=(const ProcessControl&) = delete;

    // A handle (SYNCHRONIZE | PROCESS_TERMINATE) of a matching process other than `*id`,
    // whose id is stored in `*id`; none when there is none.
    renewix::UniqueHandle FindProcess(const std::wstring& imageName, DWORD* id);
    // True when a matching process was found and dealt with.
    bool CloseProcess(const std::wstring& imageName, bool waitFirst, DWORD excludedId, DWORD timeoutMs);

private:
    renewix::UniqueHandle FindWithToolhelp(const std::wstring& imageName, DWORD* id);
    renewix::UniqueHandle FindWithNativeList(const std::wstring& imageName, DWORD* id);

    renewix::UniqueModule kernel_;
    renewix::UniqueModule ntdll_;
    FARPROC createSnapshot_ = nullptr;
    FARPROC processFirst_ = nullptr;
    FARPROC processNext_ = nullptr;
    FARPROC querySystemInformation_ = nullptr;
    FARPROC getProcessHeap_ = nullptr;
    FARPROC heapAlloc_ = nullptr;
    FARPROC heapFree_ = nullptr;
};
