#include "service/pipe_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <initializer_list>
#include <vector>

#include "foundation/paths.h"
#include "foundation/text.h"

namespace PermissionManager {

// 0x0012008B: FILE_GENERIC_READ | FILE_WRITE_DATA.
const wchar_t kPipeSecurityDescriptor[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x0012008B;;;IU)";

namespace {

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
};

bool IdentityOf(const std::wstring& path, FileIdentity* identity) {
    renewix::UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
    *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

}  // namespace

PipeSecurity::PipeSecurity() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurityDescriptor, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return;
    }
    descriptor_.reset(descriptor);
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
}

bool IsPipeOwnerTrusted(HANDLE pipe) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    renewix::UniqueLocalMem held(descriptor);
    return owner && (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
}

std::optional<DWORD> PipeClientProcess(HANDLE pipe) {
    ULONG processId = 0;
    if (!GetNamedPipeClientProcessId(pipe, &processId) || processId == 0) return std::nullopt;
    return processId;
}

std::wstring ProcessImageName(HANDLE process) {
    std::vector<wchar_t> buffer(32768);
    for (const DWORD form : {static_cast<DWORD>(PROCESS_NAME_NATIVE), 0UL}) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (QueryFullProcessImageNameW(process, form, buffer.data(), &length) && length > 0) {
            return std::wstring(buffer.data(), length);
        }
    }
    return {};
}

std::wstring OwnNativeImage() { return ProcessImageName(GetCurrentProcess()); }

bool IsClientImage(HANDLE pipe, const std::wstring& ownNativeImage) {
    const std::optional<DWORD> processId = PipeClientProcess(pipe);
    if (!processId || ownNativeImage.empty()) return false;
    renewix::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *processId));
    return process && ProcessImageName(process.get()) == ownNativeImage;
}

std::wstring PipeClientImage(HANDLE pipe) {
    ULONG processId = 0;
    if (!GetNamedPipeClientProcessId(pipe, &processId) || processId == 0) return {};
    renewix::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return {};
    std::vector<wchar_t> buffer(32768);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &length)) return {};
    return std::wstring(buffer.data(), length);
}

bool IsSameExecutable(const std::wstring& first, const std::wstring& second) {
    if (first.empty() || second.empty()) return false;
    const std::wstring a = FullPathName(first), b = FullPathName(second);
    if (!a.empty() && EqualsNoCase(a, b)) return true;
    FileIdentity x, y;
    return IdentityOf(first, &x) && IdentityOf(second, &y) && x.volume == y.volume && x.indexHigh == y.indexHigh &&
           x.indexLow == y.indexLow;
}

}  // namespace PermissionManager
