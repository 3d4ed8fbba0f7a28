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

}  // namespace PermissionManager
