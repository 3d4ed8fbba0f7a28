#include "service/server_registration.h"

#include <vector>

#include "foundation/log.h"
#include "foundation/win_resource.h"

namespace PermissionManager {

namespace {

// How long a killed child is given to be gone before this returns.
constexpr DWORD kEndWaitMs = 5000;

// A 32-bit process asking for it on 64-bit Windows is sent to SysWOW64 when it starts a
// program there: its regsvr32 is then as wide as the libraries it places.
std::wstring SystemFolder() {
    std::vector<wchar_t> folder(MAX_PATH);
    const UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length == 0 || length >= folder.size()) return {};
    return std::wstring(folder.data(), length);
}

// A job that ends every process in it when its handle closes, and lets none die slowly on an
// unhandled exception (an error report would keep it waiting for a window nobody sees).
renewix::UniqueHandle KillingJob() {
    renewix::UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return {};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) return {};
    return job;
}

}  // namespace

int RegisterServerInChild(const std::wstring& libraryPath, DWORD timeoutMs, Log& log, ServerRegistration what) {
    // A quote cannot be in a file name and would end the quoted argument early; neither can a
    // file name end in a backslash, which would escape the closing quote.
    const std::wstring folder = SystemFolder();
    const std::wstring program = folder + L"\\regsvr32.exe";
    if (folder.empty() || libraryPath.empty() || libraryPath.find(L'"') != std::wstring::npos ||
        libraryPath.back() == L'\\') {
        log.WriteValue(L"Registration refused", libraryPath);
        return 0;
    }
    renewix::UniqueHandle job = KillingJob();
    if (!job) {
        log.WriteValueNumber(L"Registration not started", libraryPath, static_cast<long long>(GetLastError()));
        return 0;
    }
    const wchar_t* switches = what == ServerRegistration::Unregister ? L" /u /s \"" : L" /s \"";
    std::wstring commandLine = L"\"" + program + L"\"" + switches + libraryPath + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    // Suspended until it is in the job, so that nothing it does escapes the job's limits.
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &started)) {
        log.WriteValueNumber(L"Registration not started", libraryPath, static_cast<long long>(GetLastError()));
        return 0;
    }
    renewix::UniqueHandle process(started.hProcess);
    renewix::UniqueHandle thread(started.hThread);
    if (!AssignProcessToJobObject(job.get(), process.get())) {
        log.WriteValueNumber(L"Registration not started", libraryPath, static_cast<long long>(GetLastError()));
        TerminateProcess(process.get(), ERROR_CANCELLED);
        WaitForSingleObject(process.get(), kEndWaitMs);
        return 0;
    }
    ResumeThread(thread.get());

    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        log.WriteValue(L"Registration timed out", libraryPath);
        TerminateJobObject(job.get(), ERROR_TIMEOUT);
        // Gone before this returns: a library it loaded never runs on after the answer.
        WaitForSingleObject(process.get(), kEndWaitMs);
        return 0;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) exitCode = static_cast<DWORD>(-1);
    if (exitCode != 0) {
        log.WriteValueNumber(L"Registration failed", libraryPath, static_cast<long long>(exitCode));
        return 0;
    }
    return 1;
}

}  // namespace PermissionManager
