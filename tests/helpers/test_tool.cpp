// The tests' helper program: each command stands in for another program a test needs beside
// the client, and prints what the test waits for.
//   test_tool hold-mutex MILLISECONDS           holds the client's single-instance mutex ("held")
//   test_tool hold-file PATH [MILLISECONDS]     holds a file (or a pipe) open without sharing, as a
//                                               scanner or a running program may ("held"); lets go
//                                               when standard input closes or the time is up
//   test_tool keep-alive                        keeps a Wine session (see below) until killed
//   test_tool write-marker MARKER [TEXT [DELAY_MS [GATE]]]
//                                               started by an execute list: after the delay writes
//                                               TEXT (or "ran") to MARKER; with a gate, then waits
//                                               (two minutes at most) until that file exists
//   test_tool connected-state                   whether WinINet reports a connected state
//   test_tool trust-certificate CERT.der        trusts a test authority inside the prefix
//   test_tool http-fetch PROTOCOL ADDRESS PORT FILE LOG [wizard]
//                                               fetches one file with the client's HTTP downloader,
//                                               beside a stand-in wizard window when asked
//   test_tool credentials KIND                  shows the credentials dialog (0 website, 1 proxy)
//                                               and prints how it was closed and what was entered
//   test_tool answer-credentials TITLE USER PASSWORD ok|cancel|enter
//                                               the user at a credentials dialog: prints its prompt,
//                                               whether the password is masked and where the caret
//                                               is, types both and presses the button or Enter
//   test_tool delete-task NAME                  removes a scheduled task, if there is one
#include <windows.h>
#include <initguid.h>
#include <mstask.h>
#include <wincrypt.h>
#include <wininet.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "app/startup.h"
#include "description/variables.h"
#include "foundation/cancellation.h"
#include "foundation/client_config.h"
#include "foundation/file_bytes.h"
#include "foundation/file_management.h"
#include "foundation/log.h"
#include "foundation/run_state.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "persistence/status_file.h"
#include "transfer/credentials.h"
#include "transfer/http_downloader.h"
#include "ui/wizard_prompts.h"

namespace {

DWORD Milliseconds(int argc, wchar_t** argv, int at, DWORD otherwise) {
    return argc > at ? static_cast<DWORD>(_wtoi(argv[at])) : otherwise;
}

void Say(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

int HoldMutex(DWORD milliseconds) {
    const renewix::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, kSingleInstanceMutexName));
    if (!mutex) return 1;
    Say("held");
    Sleep(milliseconds);
    return 0;
}

DWORD WINAPI WaitForEndOfInput(void*) {
    char byte;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read == 1) {
    }
    return 0;
}

int HoldFile(const wchar_t* path, DWORD milliseconds) {
    const renewix::UniqueFile file(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file) return 1;
    Say("held");
    // Whichever comes first: the caller closing our input, or the time limit. The waiter may
    // still be reading when the process ends; nothing else waits for it.
    const renewix::UniqueHandle waiter(CreateThread(nullptr, 0, WaitForEndOfInput, nullptr, 0, nullptr));
    WaitForSingleObject(waiter.get(), milliseconds);
    return 0;
}

// Wine starts its services with the first process of a session and they inherit that
// process's output; started with output going nowhere, they never hold a test runner's pipe
// open. The hidden window does the same for Wine's desktop process, which a program's first
// window would otherwise start, with that program's output, and keep a second after it ended.
int KeepAlive() {
    CreateWindowExW(0, L"STATIC", L"keep alive", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

int WriteMarker(int argc, wchar_t** argv) {
    Sleep(Milliseconds(argc, argv, 4, 0));
    if (!WriteWholeFile(argv[2], argc > 3 ? WideToUtf8(argv[3]) : "ran", CREATE_ALWAYS)) return 2;
    if (argc > 5) {
        for (int waited = 0; waited < 120000 && GetFileAttributesW(argv[5]) == INVALID_FILE_ATTRIBUTES; waited += 50) {
            Sleep(50);
        }
    }
    return 0;
}

int ConnectedState() {
    DWORD state = 0;
    const BOOL connected = InternetGetConnectedState(&state, 0);
    Say(connected ? "connected" : "not connected");
    return connected ? 0 : 1;
}

int TrustCertificate(const wchar_t* path) {
    std::string der;
    if (!ReadWholeFile(path, der, 1 << 20)) return 1;
    if (!CertAddEncodedCertificateToSystemStoreW(L"Root", reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()))) {
        std::printf("failed: %lu\n", GetLastError());
        return 1;
    }
    Say("trusted");
    return 0;
}

int HttpFetch(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // texts carry their own CR LF
    Log log;
    PermissionManager::StandardFileManagement files(log);
    log.Start(files, argv[6], 0);
    ClientConfig config;
    RunState state;
    StatusFile status(L"", 0, 0, state, log);
    TextVariables variables(config, state, log);
    renewix::Cancellation cancellation;
    const RunContext run{config, state, log, status, variables, files, cancellation};
    renewix::UniqueWindow window;
    WizardPrompts prompts(run);
    if (argc > 7 && std::wstring(argv[7]) == L"wizard") {
        window.reset(CreateWindowW(L"STATIC", L"Stand-in wizard", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300, 200,
                                   nullptr, nullptr, nullptr, nullptr));
        prompts.PublishSheet(window.get());
    }
    ServerSettings settings;
    settings.Protocol = argv[2];
    settings.Address = argv[3];
    settings.Port = argv[4];
    HTTPFileDownloader downloader(settings, TransferContext{log, variables});
    downloader.SetPrompts(&prompts);
    const bool connected = downloader.Connect();
    std::string body;
    if (connected && downloader.OpenDownloadFile(argv[5])) {
        char buffer[8192];
        for (DWORD read; (read = downloader.Read(buffer, sizeof(buffer))) != 0;) body.append(buffer, read);
    }
    std::printf("connected=%d body=[%s]\n", connected ? 1 : 0, body.c_str());
    return 0;
}

int ShowCredentials(int kind) {
    Credentials dialog(kind);
    const INT_PTR result = dialog.DoModal(nullptr);
    std::printf("result=%d user=[%s] password=[%s]\n", static_cast<int>(result), WideToUtf8(dialog.UserName).c_str(),
                WideToUtf8(dialog.Password).c_str());
    return 0;
}

// Under Xvfb there is no window manager: showing, enabling and focusing settle a little after
// the window exists, so every step waits for its condition (with a time limit).
template <typename Condition>
bool WaitFor(Condition condition, DWORD limitMs = 60000) {
    const ULONGLONG start = GetTickCount64();
    while (!condition()) {
        if (GetTickCount64() - start > limitMs) return false;
        Sleep(20);
    }
    return true;
}

HWND FocusOf(HWND dialog) {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof(gui);
    return GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui) ? gui.hwndFocus : nullptr;
}

int AnswerCredentials(const wchar_t* title, const wchar_t* user, const wchar_t* password, const std::wstring& action) {
    HWND dialog = nullptr;
    const bool ready = WaitFor([&] {
        dialog = FindWindowW(L"#32770", title);
        return dialog && IsWindowVisible(dialog) && IsWindowEnabled(GetDlgItem(dialog, IDOK)) &&
               IsWindowEnabled(GetDlgItem(dialog, 1053));
    });
    if (!ready) {
        Say("no dialog");
        return 1;
    }
    // The dialog places the caret in the user name; a few seconds is plenty for that to show.
    const bool focused = WaitFor([&] { return FocusOf(dialog) == GetDlgItem(dialog, 1053); }, 10000);
    wchar_t prompt[256] = {}, typed[256] = {};
    GetDlgItemTextW(dialog, 1052, prompt, 256);
    GetDlgItemTextW(dialog, 1053, typed, 256);
    const LONG style = GetWindowLongW(GetDlgItem(dialog, 1054), GWL_STYLE);
    std::printf("prompt=[%s] empty=%d masked=%d focus-on-user=%d\n", WideToUtf8(prompt).c_str(), typed[0] == L'\0',
                (style & ES_PASSWORD) != 0, focused ? 1 : 0);
    std::fflush(stdout);
    SetDlgItemTextW(dialog, 1053, user);
    SetDlgItemTextW(dialog, 1054, password);
    if (action == L"enter") {
        // Enter in an edit: the dialog manager turns it into the default button's command.
        PostMessageW(GetDlgItem(dialog, 1054), WM_KEYDOWN, VK_RETURN, 0);
        PostMessageW(GetDlgItem(dialog, 1054), WM_KEYUP, VK_RETURN, 0);
    } else {
        const int id = action == L"ok" ? IDOK : IDCANCEL;
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    }
    // The press is taken when the dialog goes away.
    return WaitFor([&] { return !IsWindow(dialog); }) ? 0 : 3;
}

// A name Wine's scheduler refuses (one with a dot) is kept as its job file, removed directly.
int DeleteTask(const std::wstring& name) {
    renewix::ScopedComInit com;
    renewix::ComPtr<ITaskScheduler> scheduler;
    if (FAILED(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                                scheduler.put_void()))) {
        return 3;
    }
    if (scheduler->Delete(name.c_str()) == E_INVALIDARG) {
        wchar_t windows[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        DeleteFileW((std::wstring(windows) + L"\\Tasks\\" + name + L".job").c_str());
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"hold-mutex") return HoldMutex(Milliseconds(argc, argv, 2, 5000));
    if (command == L"hold-file" && argc > 2) return HoldFile(argv[2], Milliseconds(argc, argv, 3, 30000));
    if (command == L"keep-alive") return KeepAlive();
    if (command == L"write-marker" && argc > 2) return WriteMarker(argc, argv);
    if (command == L"connected-state") return ConnectedState();
    if (command == L"trust-certificate" && argc > 2) return TrustCertificate(argv[2]);
    if (command == L"http-fetch" && argc > 6) return HttpFetch(argc, argv);
    if (command == L"credentials") return ShowCredentials(argc > 2 ? _wtoi(argv[2]) : 0);
    if (command == L"answer-credentials" && argc > 5) return AnswerCredentials(argv[2], argv[3], argv[4], argv[5]);
    if (command == L"delete-task" && argc > 2) return DeleteTask(argv[2]);
    return 2;
}
