// Test helper: connects the client's HTTP downloader to a URL and fetches one file, with a
// window standing in for the wizard's when "wizard" is given (so credentials can be asked).
//   http_fetch <protocol> <address> <port> <file> <log> [wizard]
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "description/variables.h"
#include "foundation/cancellation.h"
#include "foundation/client_config.h"
#include "foundation/file_management.h"
#include "foundation/log.h"
#include "foundation/run_state.h"
#include "persistence/status_file.h"
#include "transfer/http_downloader.h"
#include "ui/wizard_prompts.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 6) return 2;
    _setmode(_fileno(stdout), _O_BINARY);  // texts carry their own CR LF
    Log log;
    PermissionManager::StandardFileManagement files(log);
    log.Start(files, argv[5], 0);
    ClientConfig config;
    RunState state;
    StatusFile status(L"", 0, 0, state, log);
    TextVariables variables(config, state, log);
    renewix::Cancellation cancellation;
    const RunContext run{config, state, log, status, variables, files, cancellation};
    HWND window = nullptr;
    WizardPrompts prompts(run);
    if (argc > 6 && std::wstring(argv[6]) == L"wizard") {
        window = CreateWindowW(L"STATIC", L"Stand-in wizard", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300, 200, nullptr,
                               nullptr, nullptr, nullptr);
        prompts.PublishSheet(window);
    }
    ServerSettings settings;
    settings.Protocol = argv[1];
    settings.Address = argv[2];
    settings.Port = argv[3];
    HTTPFileDownloader downloader(settings, TransferContext{log, variables});
    downloader.SetPrompts(&prompts);
    const bool connected = downloader.Connect();
    std::string body;
    if (connected && downloader.OpenDownloadFile(argv[4])) {
        char buffer[8192];
        for (DWORD read; (read = downloader.Read(buffer, sizeof(buffer))) != 0;) body.append(buffer, read);
    }
    std::printf("connected=%d body=[%s]\n", connected ? 1 : 0, body.c_str());
    if (window) DestroyWindow(window);
    return 0;
}
