// Test helper for the permission manager. Started with a permission-manager keyword it is
// the service's own program, as Renewix.exe is; a copy configured with an instance number
// can so install itself as a service and then be that service's accepted client.
//   pipe_client greet <pipe>               "connected" or "refused"
//   pipe_client security <pipe>            the pipe's owner and access list (SDDL)
//   pipe_client probe <pipe> <operation> <argument>...
//                                          one request on a connection of its own: the result, the
//                                          text in quotes, "ended" or "refused" (not served at all).
//                                          Open <path> read|write; Write <path> <local file> (an open
//                                          for writing, the file's bytes, a close); Move, Unzip <a> <b>;
//                                          Delete, GetAttributes, MakeDirectories, DeleteTree,
//                                          RegisterServer, UnregisterServer <path>; UpdateRegistry <key> <value> <action>;
//                                          QueryRegistry <path> <type>
//   pipe_client service <name>             "state=N pid=N path=..." or "absent"
//   pipe_client error-box                  the text of an "Error" message box, which it closes
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
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

namespace Wire = PermissionManager::Wire;

namespace {

void Print(const std::wstring& text) {
    const std::string bytes = WideToUtf8(text) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

int Greet(const std::wstring& pipe) {
    PermissionManager::PipedFileManagement client(pipe);
    Print(client.IsConnected() ? L"connected" : L"refused");
    return client.IsConnected() ? 0 : 1;
}

int Security(const std::wstring& pipe) {
    // The pipe's free instance may be serving someone else for a moment: wait for it, as a
    // client would. The service drops a program it does not know at once, so the instance
    // may be gone before it is asked: ask again on a new one, for a while.
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool opened = false;
    DWORD error = ERROR_SUCCESS;
    for (const ULONGLONG deadline = GetTickCount64() + 30000; !descriptor && GetTickCount64() < deadline;) {
        renewix::UniqueFile handle(
            CreateFileW(pipe.c_str(), PermissionManager::kPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!handle) {
            error = GetLastError();
            if (error != ERROR_PIPE_BUSY) break;
            WaitNamedPipeW(pipe.c_str(), 1000);
            continue;
        }
        opened = true;
        if (GetSecurityInfo(handle.get(), SE_KERNEL_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
            ERROR_SUCCESS) {
            descriptor = nullptr;
            Sleep(50);
        }
    }
    if (!descriptor) {
        Print(opened ? std::wstring(L"no descriptor") : FormatText(L"no pipe (%lu)", error));
        return 1;
    }
    renewix::UniqueLocalMem held(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text, nullptr)) {
        return 1;
    }
    renewix::UniqueLocalMem heldText(text);
    Print(text);
    return 0;
}

// ---- One request ----------------------------------------------------------------------

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
    const std::optional<Wire::Request> request = args.empty() ? std::nullopt : ProbeRequest(args);
    std::string source;
    if (!request || (args[0] == L"Write" && !ReadWholeFile(args[2], source, 16 << 20))) {
        Print(L"usage: see the top of pipe_client.cpp");
        return 2;
    }
    PermissionManager::PipeConnection connection(pipe);
    if (!connection.IsConnected()) {
        Print(L"refused");
        return 1;
    }
    const bool text = std::holds_alternative<Wire::QueryRegistryRequest>(*request);
    Wire::Bytes reply(text ? Wire::kTextReplyBytes : 4);
    if (!connection.Send(*request) || !connection.ReceiveExact(reply.data(), reply.size())) {
        Print(L"ended");
        return 0;
    }
    if (text) {
        Print(L"\"" + Wire::DecodeTextReply(reply) + L"\"");
        return 0;
    }
    const auto result = static_cast<std::int32_t>(Wire::GetU32(reply.data()));
    if (args[0] != L"Write") {
        Print(std::to_wstring(result));
        return 0;
    }
    PermissionManager::PipedFile file(std::move(connection), static_cast<std::uint32_t>(result));
    Print(file.Write(source.data(), static_cast<DWORD>(source.size())) && file.Close() ? L"1" : L"0");
    return 0;
}

// ---- Observers -------------------------------------------------------------------------

int Service(const std::wstring& name) {
    renewix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    renewix::UniqueServiceHandle service(
        manager ? OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) {
        Print(L"absent");
        return 0;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                         &needed);
    std::vector<BYTE> config(8192);
    auto* query = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    const bool haveConfig = QueryServiceConfigW(service.get(), query, static_cast<DWORD>(config.size()), &needed);
    Print(FormatText(L"state=%lu pid=%lu start=%lu path=%ls", status.dwCurrentState, status.dwProcessId,
                     haveConfig ? query->dwStartType : 0, haveConfig ? query->lpBinaryPathName : L""));
    return 0;
}

int ErrorBox() {
    HWND box = nullptr;
    for (int i = 0; i < 400 && !(box = FindWindowW(L"#32770", L"Error")); ++i) Sleep(50);
    if (!box) {
        Print(L"none");
        return 1;
    }
    wchar_t text[2048] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    std::wstring shown = text;
    ReplaceAll(shown, L"\r\n", L"|");
    Print(shown);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2) {
        int exitCode = 0;
        ClientConfig config;
        config.LoadFromModule(GetModuleHandleW(nullptr));
        Log log;
        if (RunPermissionManagerCommand(argv[1], &exitCode, config, log)) return exitCode;
    }
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"greet" && argc == 3) return Greet(argv[2]);
    if (command == L"security" && argc == 3) return Security(argv[2]);
    if (command == L"probe" && argc >= 4) return Probe(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
    if (command == L"service" && argc == 3) return Service(argv[2]);
    if (command == L"error-box") return ErrorBox();
    Print(L"usage: see the top of pipe_client.cpp");
    return 2;
}
