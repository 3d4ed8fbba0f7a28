#include "foundation/system_facts.h"

#include <winsock2.h>
#include <windows.h>

#include <mutex>

#include "foundation/text.h"

namespace {

std::once_flag g_osOnce;
OperatingSystem g_os{127, L"Unknown System"};

std::mutex g_factsMutex;
std::wstring g_loginName;
std::wstring g_hostName;
std::wstring g_ipAddress;

void DetectOperatingSystem() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);  // 276 bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info)) return;
#pragma GCC diagnostic pop
    g_os = ClassifyOperatingSystem(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
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

OperatingSystem ClassifyOperatingSystem(unsigned long platformId, unsigned long major, unsigned long minor) {
    if (platformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (minor == 0) return {1, L"Windows 95"};
        if (minor == 10) return {2, L"Windows 98"};
        if (minor == 90) return {2, L"Windows Me"};
    } else if (platformId == VER_PLATFORM_WIN32_NT) {
        if (major <= 4) return {4, L"Windows NT"};
        if (major == 5 && minor == 0) return {8, L"Windows 2000"};
        if (major == 5 && minor == 1) return {16, L"Windows XP"};
        if (major == 5 && minor == 2) return {32, L"Windows 2003"};
        if (major == 6 && minor == 0) return {64, L"Windows Vista"};
    }
    return {127, L"Unknown System"};
}

int OperatingSystemCode() {
    std::call_once(g_osOnce, DetectOperatingSystem);
    return g_os.code;
}

std::wstring OperatingSystemName() {
    std::call_once(g_osOnce, DetectOperatingSystem);
    return g_os.name;
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
