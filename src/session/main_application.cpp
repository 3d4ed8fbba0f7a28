#include "session/main_application.h"

#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>

#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "foundation/client_config.h"
#include "foundation/run_state.h"

namespace {

using CreateSnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
// The 8-bit entry (296 bytes on 32-bit Windows), as the 8-bit walk functions fill it.
using AnsiProcessEntry = tagPROCESSENTRY32;
using ProcessWalkFn = BOOL(WINAPI*)(HANDLE, AnsiProcessEntry*);
using QuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using GetProcessHeapFn = HANDLE(WINAPI*)();
using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapFreeFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID);

constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr DWORD kFindAccess = SYNCHRONIZE | PROCESS_TERMINATE;

template <typename T>
T As(FARPROC proc) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(proc));
}

struct CloseWindowsOf {
    DWORD processId;
};

BOOL CALLBACK PostCloseToProcessWindows(HWND window, LPARAM param) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == reinterpret_cast<CloseWindowsOf*>(param)->processId) PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

std::wstring MainApplicationPath(const ClientConfig& config) {
    return ApplicationDirectory() + config.MainApplicationName();
}

namespace {
// An unconfigured name leaves the client's own folder as the path: never "launch" a folder.
bool IsLaunchableFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
}  // namespace

renewix::UniqueHandle LaunchMainApplication(const ClientConfig& config, const RunState& state) {
    const std::wstring path = MainApplicationPath(config);
    if (!IsLaunchableFile(path)) return {};
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = path.c_str();
    info.lpParameters = state.MainAppParameters.c_str();
    info.nShow = state.ShowCommand;
    if (!ShellExecuteExW(&info) || !info.hProcess) return {};
    renewix::UniqueHandle process(info.hProcess);
    WaitForInputIdle(process.get(), 10000);
    // A program that ends at once did not really start.
    if (WaitForSingleObject(process.get(), 250) == WAIT_OBJECT_0) return {};
    return process;
}

void RestartMainApplication(const ClientConfig& config, const RunState& state) {
    const std::wstring path = MainApplicationPath(config);
    if (!IsLaunchableFile(path)) return;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = path.c_str();
    info.lpParameters = state.MainAppParameters.c_str();
    info.nShow = SW_SHOW;
    ShellExecuteExW(&info);
    renewix::UniqueHandle process(info.hProcess);  // nothing waits for it
}

bool ProcessNameMatches(const std::wstring& reportedName, const std::wstring& imageName) {
    if (EqualsNoCase(reportedName, imageName)) return true;
    return reportedName.size() == 15 && imageName.size() > 15 && EqualsNoCase(imageName.substr(0, 15), reportedName);
}

ProcessControl::ProcessControl(Method method) : kernel_(LoadLibraryA("Kernel32")) {
    if (!kernel_) return;
    HMODULE kernel = kernel_.get();
    if (method == Method::Automatic) {
        createSnapshot_ = GetProcAddress(kernel, "CreateToolhelp32Snapshot");
        processFirst_ = GetProcAddress(kernel, "Process32First");
        processNext_ = GetProcAddress(kernel, "Process32Next");
    }
    if (!createSnapshot_ || !processFirst_ || !processNext_) {
        ntdll_.reset(LoadLibraryA("ntdll.dll"));
        if (ntdll_) {
            querySystemInformation_ = GetProcAddress(ntdll_.get(), "ZwQuerySystemInformation");
            getProcessHeap_ = GetProcAddress(kernel, "GetProcessHeap");
            heapAlloc_ = GetProcAddress(kernel, "HeapAlloc");
            heapFree_ = GetProcAddress(kernel, "HeapFree");
        }
    }
}

renewix::UniqueHandle ProcessControl::FindProcess(const std::wstring& imageName, DWORD* id) {
    if (!kernel_) return {};
    if (createSnapshot_ && processFirst_ && processNext_) return FindWithToolhelp(imageName, id);
    if (querySystemInformation_ && getProcessHeap_ && heapAlloc_ && heapFree_) return FindWithNativeList(imageName, id);
    return {};
}

renewix::UniqueHandle ProcessControl::FindWithToolhelp(const std::wstring& imageName, DWORD* id) {
    renewix::UniqueFile snapshot(As<CreateSnapshotFn>(createSnapshot_)(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return {};
    AnsiProcessEntry entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = As<ProcessWalkFn>(processFirst_)(snapshot.get(), &entry); more;
         more = As<ProcessWalkFn>(processNext_)(snapshot.get(), &entry)) {
        const char* name = entry.szExeFile;
        if (const char* slash = strrchr(name, '\\')) name = slash + 1;
        if (!ProcessNameMatches(AnsiToWide(name, sizeof(entry.szExeFile)), imageName)) continue;
        renewix::UniqueHandle process(OpenProcess(kFindAccess, TRUE, entry.th32ProcessID));
        if (!process || entry.th32ProcessID == *id) continue;
        *id = entry.th32ProcessID;
        return process;
    }
    return {};
}

renewix::UniqueHandle ProcessControl::FindWithNativeList(const std::wstring& imageName, DWORD* id) {
    HANDLE heap = As<GetProcessHeapFn>(getProcessHeap_)();
    const auto allocate = As<HeapAllocFn>(heapAlloc_);
    const auto release = As<HeapFreeFn>(heapFree_);
    ULONG size = 32768;
    void* buffer = allocate(heap, 0, size);
    renewix::ScopeExit freeBuffer([&] {
        if (buffer) release(heap, 0, buffer);
    });
    LONG status = kStatusInfoLengthMismatch;
    while (buffer && (status = As<QuerySystemInformationFn>(querySystemInformation_)(
                          kSystemProcessInformation, buffer, size, nullptr)) == kStatusInfoLengthMismatch) {
        release(heap, 0, buffer);
        size *= 2;
        buffer = allocate(heap, 0, size);
    }
    if (!buffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return {};
    }
    if (status < 0) {
        SetLastError(static_cast<DWORD>(status));
        return {};
    }
    auto* record = static_cast<const std::uint8_t*>(buffer);
    for (;;) {
        const auto* info = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(record);
        std::wstring name = info->ImageName.Buffer
                                ? std::wstring(info->ImageName.Buffer, info->ImageName.Length / sizeof(wchar_t))
                                : std::wstring(L"Idle");
        // The comparison goes through the ANSI code page, as the system's 8-bit names do.
        name = AnsiToWide(WideToAnsi(name).substr(0, 260));
        const DWORD processId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(info->UniqueProcessId));
        if (EqualsNoCase(name, imageName) && processId != *id) {
            if (renewix::UniqueHandle process(OpenProcess(kFindAccess, TRUE, processId)); process) {
                *id = processId;
                return process;
            }
        }
        if (info->NextEntryOffset == 0) break;
        record += info->NextEntryOffset;
    }
    return {};
}

bool ProcessControl::CloseProcess(const std::wstring& imageName, bool waitFirst, DWORD excludedId, DWORD timeoutMs) {
    DWORD id = 0;
    renewix::UniqueHandle process = FindProcess(imageName, &id);
    if (!process) return false;
    if (id == excludedId) return false;
    if (waitFirst) WaitForSingleObject(process.get(), INFINITE);
    CloseWindowsOf target{id};
    EnumWindows(PostCloseToProcessWindows, reinterpret_cast<LPARAM>(&target));
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) TerminateProcess(process.get(), 0);
    return true;
}

bool LaunchWhenRunEnds(RunMode mode, bool launchAfterCheck, bool launchPending, bool updateInstalled,
                       bool programRestarted) {
    if (updateInstalled || programRestarted) return false;
    return launchPending || (mode == ModeDefault && launchAfterCheck);
}
