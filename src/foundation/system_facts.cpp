#include "foundation/system_facts.h"

#include <winsock2.h>
#include <windows.h>

#include <mutex>

#include "foundation/text.h"

namespace {

std::once_flag g_osOnce;
WindowsVersion g_version;
OperatingSystem g_os{127, L"Unknown System"};

std::mutex g_factsMutex;
std::wstring g_loginName;
std::wstring g_hostName;
std::wstring g_ipAddress;

template <typename T>
T Procedure(const wchar_t* module, const char* name) {
    HMODULE loaded = GetModuleHandleW(module);
    return loaded ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(loaded, name))) : nullptr;
}

Architecture ArchitectureOfMachine(unsigned machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_I386: return Architecture::X86;
        case IMAGE_FILE_MACHINE_AMD64: return Architecture::X64;
        case 0xAA64: return Architecture::Arm64;  // IMAGE_FILE_MACHINE_ARM64
        default: return Architecture::Unknown;
    }
}

// IsWow64Process2 (Windows 10 1709 on) also sees through an x64 process emulated on ARM64.
Architecture MachineArchitecture() {
    using IsWow64Process2Type = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    if (auto isWow64Process2 = Procedure<IsWow64Process2Type>(L"kernel32.dll", "IsWow64Process2")) {
        USHORT process = 0, native = 0;
        if (isWow64Process2(GetCurrentProcess(), &process, &native)) {
            if (Architecture found = ArchitectureOfMachine(native); found != Architecture::Unknown) return found;
        }
    }
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_INTEL: return Architecture::X86;
        case PROCESSOR_ARCHITECTURE_AMD64: return Architecture::X64;
        case 12: return Architecture::Arm64;  // PROCESSOR_ARCHITECTURE_ARM64
        default: return Architecture::Unknown;
    }
}

// RtlGetVersion answers with the real version; GetVersionEx answers 6.2 to a program whose
// manifest does not name the newer systems. Windows 95 to Me have only the latter.
void DetectOperatingSystem() {
    using RtlGetVersionType = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    auto rtlGetVersion = Procedure<RtlGetVersionType>(L"ntdll.dll", "RtlGetVersion");
    bool known = rtlGetVersion && rtlGetVersion(&info) == 0;
    if (!known) {
        info = OSVERSIONINFOEXW{};
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        known = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
#pragma GCC diagnostic pop
        info.wProductType = VER_NT_WORKSTATION;
    }
    g_version.architecture = MachineArchitecture();
    if (!known) return;
    g_version.platformId = info.dwPlatformId;
    g_version.major = info.dwMajorVersion;
    g_version.minor = info.dwMinorVersion;
    g_version.build = info.dwBuildNumber;
    g_version.productType = info.wProductType;
    g_os = ClassifyOperatingSystem(g_version);
}

// Fills both host facts, or neither, so a failed lookup is retried by the next caller.
void LookUpHost() {
    if (!g_hostName.empty() || !g_ipAddress.empty()) return;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) return;
    char name[255] = {};
    if (gethostname(name, sizeof(name)) == 0) {
        name[sizeof(name) - 1] = '\0';
        if (hostent* host = gethostbyname(name); host && host->h_addr_list && host->h_addr_list[0]) {
            in_addr address;
            memcpy(&address, host->h_addr_list[0], sizeof(address));
            g_hostName = AnsiToWide(name);
            g_ipAddress = AnsiToWide(inet_ntoa(address));
        }
    }
    WSACleanup();
}

}  // namespace

OperatingSystem ClassifyOperatingSystem(const WindowsVersion& version) {
    const unsigned long major = version.major, minor = version.minor, build = version.build;
    const bool server = version.productType != VER_NT_WORKSTATION;
    if (version.platformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (minor == 0) return {1, L"Windows 95"};
        if (minor == 10) return {2, L"Windows 98"};
        if (minor == 90) return {2, L"Windows Me"};
    } else if (version.platformId == VER_PLATFORM_WIN32_NT) {
        if (major <= 4) return {4, L"Windows NT"};
        if (major == 5 && minor == 0) return {8, L"Windows 2000"};
        if (major == 5 && minor == 1) return {16, L"Windows XP"};
        if (major == 5 && minor == 2) return {32, L"Windows 2003"};
        if (major == 6 && minor == 0) return {64, server ? L"Windows Server 2008" : L"Windows Vista"};
        if (major == 6 && minor == 1) return {127, server ? L"Windows Server 2008 R2" : L"Windows 7"};
        if (major == 6 && minor == 2) return {127, server ? L"Windows Server 2012" : L"Windows 8"};
        if (major == 6 && minor == 3) return {127, server ? L"Windows Server 2012 R2" : L"Windows 8.1"};
        if (major == 10 && minor == 0 && !server) return {127, build >= 22000 ? L"Windows 11" : L"Windows 10"};
        if (major == 10 && minor == 0) {
            if (build >= 26100) return {127, L"Windows Server 2025"};
            if (build >= 20348) return {127, L"Windows Server 2022"};
            if (build >= 17763) return {127, L"Windows Server 2019"};
            return {127, L"Windows Server 2016"};
        }
    }
    return {127, L"Unknown System"};
}

std::wstring DescribeOperatingSystem(const WindowsVersion& version) {
    std::wstring text = ClassifyOperatingSystem(version).name;
    switch (version.architecture) {
        case Architecture::X86: return text + L" (x86)";
        case Architecture::X64: return text + L" (x64)";
        case Architecture::Arm64: return text + L" (ARM64)";
        default: return text;
    }
}

int OperatingSystemCode() {
    std::call_once(g_osOnce, DetectOperatingSystem);
    return g_os.code;
}

std::wstring OperatingSystemName() {
    std::call_once(g_osOnce, DetectOperatingSystem);
    return g_os.name;
}

std::wstring OperatingSystemDescription() {
    std::call_once(g_osOnce, DetectOperatingSystem);
    return DescribeOperatingSystem(g_version);
}

std::wstring LoginName() {
    std::lock_guard lock(g_factsMutex);
    if (g_loginName.empty()) {
        wchar_t buffer[260] = {};
        DWORD size = 260;
        if (GetUserNameW(buffer, &size)) g_loginName = buffer;
    }
    return g_loginName;
}

std::wstring HostName() {
    std::lock_guard lock(g_factsMutex);
    LookUpHost();
    return g_hostName;
}

std::wstring IpAddress() {
    std::lock_guard lock(g_factsMutex);
    LookUpHost();
    return g_ipAddress;
}
