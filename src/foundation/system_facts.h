// Facts about the machine, computed once and cached for the process.
#pragma once

#include <string>

enum class Architecture { Unknown, X86, X64, Arm64 };

// What the system reports of itself: the real version (not the one compatibility shims show a
// program), the product type (1 workstation, 2 domain controller, 3 server) and the machine's
// own architecture, whatever the process's.
struct WindowsVersion {
    unsigned long platformId = 2;  // VER_PLATFORM_WIN32_NT; 1 for Windows 95, 98 and Me
    unsigned long major = 0;
    unsigned long minor = 0;
    unsigned long build = 0;
    unsigned char productType = 1;
    Architecture architecture = Architecture::Unknown;
};

// `code` is the system's bit in the update documents' OS masks; systems after Vista have no bit
// of their own and keep 127, which every mask matches, as before they were named.
struct OperatingSystem {
    int code;
    std::wstring name;
};

// The system's name ("Windows 11", "Windows Server 2022"); 127 "Unknown System" when none fits.
OperatingSystem ClassifyOperatingSystem(const WindowsVersion& version);
// The name with the machine's architecture, as the log's header gives it: "Windows 11 (x64)".
std::wstring DescribeOperatingSystem(const WindowsVersion& version);

int OperatingSystemCode();
std::wstring OperatingSystemName();
std::wstring OperatingSystemDescription();
std::wstring LoginName();
std::wstring HostName();
std::wstring IpAddress();
