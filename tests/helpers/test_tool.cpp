// The tests' helper program: each command stands in for another program a test needs beside
// the client, and prints what the test waits for. Started with a permission-manager keyword it
// is the service's own program, as Renewix.exe is: a copy configured with an instance number
// can so install itself as a service and then be that service's accepted client.
//   test_tool hold-file PATH [MILLISECONDS]     holds a file (or a pipe) open without sharing, as a
//                                               scanner or a running program may ("held"); lets go
//                                               when standard input closes or the time is up
//   test_tool keep-alive                        keeps a Wine session (see below) until killed
//   test_tool write-marker MARKER [TEXT [DELAY_MS|gated [GATE]]]
//                                               started by an execute list: after the delay writes
//                                               TEXT (or "ran") to MARKER; with a gate, then waits
//                                               (two minutes at most) until that file exists;
//                                               "gated" waits for the gate (20 s at most) before
//                                               writing instead
//   test_tool connected-state                   whether WinINet reports a connected state
//   test_tool trust-certificate CERT.der        trusts a test authority inside the prefix
//   test_tool credentials KIND                  shows the credentials dialog (0 website, 1 proxy)
//                                               and prints how it was closed and what was entered
//   test_tool answer-credentials TITLE USER PASSWORD ok|cancel|enter
//                                               the user at a credentials dialog: prints its prompt,
//                                               whether the password is masked and where the caret
//                                               is, types both and presses the button or Enter
//   test_tool greet PIPE                        as a client of the permission manager's pipe:
//                                               "connected" or "refused"
//   test_tool security PIPE                     the pipe's owner and access list (SDDL)
//   test_tool probe PIPE OPERATION ARGUMENT...  one request on a connection of its own: the result,
//                                               the text in quotes, "ended" or "refused" (not served
//                                               at all). Open PATH read|write; Write PATH LOCAL_FILE
//                                               (an open for writing, the file's bytes, a close);
//                                               Move, Unzip A B; Delete, GetAttributes,
//                                               MakeDirectories, DeleteTree, RegisterServer,
//                                               UnregisterServer PATH; UpdateRegistry KEY VALUE
//                                               ACTION; QueryRegistry PATH TYPE
//   test_tool service NAME                      "state=N pid=N start=N path=..." or "absent"
//   test_tool error-box                         the text of an "Error" message box, which it closes
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/client_config.h"
#include "foundation/file_bytes.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "service/permission_service.h"
#include "service/pipe_protocol.h"
#include "service/pipe_security.h"
#include "service/piped_file_management.h"
#include "transfer/credentials.h"
#include "wait_until.h"

namespace Wire = PermissionManager::Wire;

namespace {

DWORD Milliseconds(int argc, wchar_t** argv, int at, DWORD otherwise) {
    return argc > at ? static_cast<DWORD>(_wtoi(argv[at])) : otherwise;
}

// One line of output, flushed: a test reads it while the command may still be running.
void Say(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

void Say(const std::wstring& line) { Say(WideToUtf8(line)); }

int Usage() {
    Say("usage: see the top of test_tool.cpp");
    return 2;
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
    const auto gateOpen = [&] { return GetFileAttributesW(argv[5]) != INVALID_FILE_ATTRIBUTES; };
    // Gated: a program still running when a caller that does not wait returns, which ends by
    // itself well before a caller that does wait would give up on it.
    const bool gatedFirst = argc > 5 && std::wstring_view(argv[4]) == L"gated";
    if (gatedFirst) WaitUntil(gateOpen, 20000);
    else Sleep(Milliseconds(argc, argv, 4, 0));
    if (!WriteWholeFile(argv[2], argc > 3 ? WideToUtf8(argv[3]) : "ran", CREATE_ALWAYS)) return 2;
    if (argc > 5 && !gatedFirst) WaitUntil(gateOpen, 120000);
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
        Say(FormatText(L"failed: %lu", GetLastError()));
        return 1;
    }
    Say("trusted");
    return 0;
}

int ShowCredentials(int kind) {
    Credentials dialog(kind);
    const INT_PTR result = dialog.DoModal(nullptr);
    Say(FormatText(L"result=%d user=[%ls] password=[%ls]", static_cast<int>(result), dialog.UserName.c_str(),
                   dialog.Password.c_str()));
    return 0;
}

HWND FocusOf(HWND dialog) {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof(gui);
    return GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui) ? gui.hwndFocus : nullptr;
}

// Under Xvfb there is no window manager: showing, enabling and focusing settle a little after
// the window exists, so every step waits for its condition.
int AnswerCredentials(const wchar_t* title, const wchar_t* user, const wchar_t* password, const std::wstring& action) {
    HWND dialog = nullptr;
    const bool ready = WaitUntil([&] {
        dialog = FindWindowW(L"#32770", title);
        return dialog && IsWindowVisible(dialog) && IsWindowEnabled(GetDlgItem(dialog, IDOK)) &&
               IsWindowEnabled(GetDlgItem(dialog, 1053));
    });
    if (!ready) {
        Say("no dialog");
        return 1;
    }
    // The dialog places the caret in the user name. Another test's window may take the
    // foreground meanwhile, and the dialog's thread then has no focus; made active again, a
    // dialog gives the focus back to the control that had it, so where it put the caret shows.
    const bool focused = WaitUntil([&] {
        if (GetForegroundWindow() != dialog) SetForegroundWindow(dialog);
        return FocusOf(dialog) == GetDlgItem(dialog, 1053);
    });
    wchar_t prompt[256] = {}, typed[256] = {};
    GetDlgItemTextW(dialog, 1052, prompt, 256);
    GetDlgItemTextW(dialog, 1053, typed, 256);
    const LONG style = GetWindowLongW(GetDlgItem(dialog, 1054), GWL_STYLE);
    Say(FormatText(L"prompt=[%ls] empty=%d masked=%d focus-on-user=%d", prompt, typed[0] == L'\0',
                   (style & ES_PASSWORD) != 0, focused ? 1 : 0));
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
    return WaitUntil([&] { return !IsWindow(dialog); }) ? 0 : 3;
}

// ---- The permission manager's pipe, as its client meets it -------------------------------

// A connection greeted as the client greets the service; "refused" when it would not serve us.
std::optional<PermissionManager::PipeConnection> Connect(const std::wstring& pipe) {
    PermissionManager::PipeConnection connection(pipe);
    if (connection.IsConnected()) return connection;
    Say("refused");
    return std::nullopt;
}

int Greet(const std::wstring& pipe) {
    if (!Connect(pipe)) return 1;
    Say("connected");
    return 0;
}

int Security(const std::wstring& pipe) {
    // The pipe's free instance may be serving someone else for a moment: wait for it, as a
    // client would. The service drops a program it does not know at once, so the instance
    // may be gone before it is asked: ask again on a new one, for a while.
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool opened = false;
    DWORD error = ERROR_SUCCESS;
    WaitUntil([&] {
        const renewix::UniqueFile handle(
            CreateFileW(pipe.c_str(), PermissionManager::kPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!handle) {
            error = GetLastError();
            if (error == ERROR_PIPE_BUSY) WaitNamedPipeW(pipe.c_str(), 1000);
            return error != ERROR_PIPE_BUSY;
        }
        opened = true;
        if (GetSecurityInfo(handle.get(), SE_KERNEL_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
            ERROR_SUCCESS) {
            descriptor = nullptr;
        }
        return descriptor != nullptr;
    }, 30000);
    if (!descriptor) {
        Say(opened ? std::wstring(L"no descriptor") : FormatText(L"no pipe (%lu)", error));
        return 1;
    }
    const renewix::UniqueLocalMem held(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text, nullptr)) {
        return 1;
    }
    const renewix::UniqueLocalMem heldText(text);
    Say(std::wstring(text));
    return 0;
}

std::optional<Wire::Request> ProbeRequest(const std::vector<std::wstring>& a) {
    static const std::pair<const wchar_t*, Wire::Opcode> kPathOps[] = {
        {L"Delete", Wire::kDelete}, {L"GetAttributes", Wire::kGetAttributes},
        {L"MakeDirectories", Wire::kMakeDirectories}, {L"DeleteTree", Wire::kDeleteTree},
        {L"RegisterServer", Wire::kRegisterServer}, {L"UnregisterServer", Wire::kUnregisterServer}};
    const std::wstring& op = a[0];
    if (op == L"Open" && a.size() == 3 && (a[2] == L"read" || a[2] == L"write")) {
        return a[2] == L"read" ? Wire::OpenRequest{GENERIC_READ, OPEN_EXISTING, 0, a[1]}
                               : Wire::OpenRequest{GENERIC_WRITE, CREATE_ALWAYS, 0, a[1]};
    }
    if (op == L"Write" && a.size() == 3) return Wire::OpenRequest{GENERIC_WRITE, CREATE_ALWAYS, 0, a[1]};
    if (op == L"Move" && a.size() == 3) return Wire::MoveRequest{a[1], a[2]};
    if (op == L"Unzip" && a.size() == 3) return Wire::UnzipRequest{a[1], a[2]};
    if (op == L"UpdateRegistry" && a.size() == 4) return Wire::UpdateRegistryRequest{a[1], a[2], a[3]};
    if (op == L"QueryRegistry" && a.size() == 3) return Wire::QueryRegistryRequest{a[1], a[2]};
    for (const auto& [name, opcode] : kPathOps) {
        if (op == name && a.size() == 2) return Wire::PathRequest{opcode, a[1]};
    }
    return std::nullopt;
}

int Probe(const std::wstring& pipe, const std::vector<std::wstring>& args) {
    const std::optional<Wire::Request> request = ProbeRequest(args);
    std::string source;
    if (!request || (args[0] == L"Write" && !ReadWholeFile(args[2], source, 16 << 20))) return Usage();
    std::optional<PermissionManager::PipeConnection> connection = Connect(pipe);
    if (!connection) return 1;
    const bool text = std::holds_alternative<Wire::QueryRegistryRequest>(*request);
    Wire::Bytes reply(text ? Wire::kTextReplyBytes : 4);
    if (!connection->Send(*request) || !connection->ReceiveExact(reply.data(), reply.size())) {
        Say("ended");
        return 0;
    }
    if (text) {
        Say(L"\"" + Wire::DecodeTextReply(reply) + L"\"");
        return 0;
    }
    const auto result = static_cast<std::int32_t>(Wire::GetU32(reply.data()));
    if (args[0] != L"Write") {
        Say(std::to_string(result));
        return 0;
    }
    PermissionManager::PipedFile file(std::move(*connection), static_cast<std::uint32_t>(result));
    Say(file.Write(source.data(), static_cast<DWORD>(source.size())) && file.Close() ? "1" : "0");
    return 0;
}

int Service(const std::wstring& name) {
    renewix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    renewix::UniqueServiceHandle service(
        manager ? OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) {
        Say("absent");
        return 0;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                         &needed);
    std::vector<BYTE> config(8192);
    auto* query = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    const bool haveConfig = QueryServiceConfigW(service.get(), query, static_cast<DWORD>(config.size()), &needed);
    Say(FormatText(L"state=%lu pid=%lu start=%lu path=%ls", status.dwCurrentState, status.dwProcessId,
                   haveConfig ? query->dwStartType : 0, haveConfig ? query->lpBinaryPathName : L""));
    return 0;
}

int ErrorBox() {
    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindWindowW(L"#32770", L"Error")) != nullptr; })) {
        Say("none");
        return 1;
    }
    wchar_t text[2048] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    std::wstring shown = text;
    ReplaceAll(shown, L"\r\n", L"|");
    Say(shown);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2) {
        // A permission-manager keyword: the service's program, configured as the client is.
        ClientConfig config;
        config.LoadFromModule(GetModuleHandleW(nullptr));
        Log log;
        int exitCode = 0;
        if (RunPermissionManagerCommand(argv[1], &exitCode, config, log)) return exitCode;
    }
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"hold-file" && argc > 2) return HoldFile(argv[2], Milliseconds(argc, argv, 3, 30000));
    if (command == L"keep-alive") return KeepAlive();
    if (command == L"write-marker" && argc > 2) return WriteMarker(argc, argv);
    if (command == L"connected-state") return ConnectedState();
    if (command == L"trust-certificate" && argc > 2) return TrustCertificate(argv[2]);
    if (command == L"credentials") return ShowCredentials(argc > 2 ? _wtoi(argv[2]) : 0);
    if (command == L"answer-credentials" && argc > 5) return AnswerCredentials(argv[2], argv[3], argv[4], argv[5]);
    if (command == L"greet" && argc == 3) return Greet(argv[2]);
    if (command == L"security" && argc == 3) return Security(argv[2]);
    if (command == L"probe" && argc >= 4) return Probe(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
    if (command == L"service" && argc == 3) return Service(argv[2]);
    if (command == L"error-box") return ErrorBox();
    return Usage();
}
