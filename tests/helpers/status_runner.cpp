// Test helper: one run of the client's status-file handling, as start-up and the session
// would drive it. Prints whether the run is due to check and the version it compares
// against; the file is written at the end of the run, as in the client.
//   status_runner [--test-mode] [--version V] [--offered V] [--server-reached] [--install-started]
#include <windows.h>
#include <objbase.h>

#include <string>

#include "foundation/client_config.h"
#include "foundation/file_management.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "persistence/status_file.h"
#include "foundation/run_state.h"

int wmain(int argc, wchar_t** argv) {
    CoInitialize(nullptr);
    RunState state;
    for (int i = 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--test-mode") state.Mode = ModeTest;
    }
    Log log;
    PermissionManager::StandardFileManagement files(log);
    log.Start(files, ApplicationDirectory() + L"runner.log", 0);
    ClientConfig config;
    config.LoadFromModule(GetModuleHandleW(nullptr));
    StatusFile status(config, state, log);
    const bool due = status.Load(files);
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--version" && i + 1 < argc) status.SetApplicationVersion(argv[++i]);
        else if (option == L"--offered" && i + 1 < argc) status.SetOfferedVersion(argv[++i]);
        else if (option == L"--server-reached") status.SetServerReached();
        else if (option == L"--install-started") status.SetInstallStarted();
    }
    const std::string line = std::string(due ? "due" : "not due") + " version=" + WideToUtf8(status.ApplicationVersion()) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    status.Save(files);
    log.Stop();
    return 0;
}
