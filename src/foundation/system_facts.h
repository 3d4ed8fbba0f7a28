// Facts about the machine, computed once and cached for the process.
#pragma once

#include <string>

struct OperatingSystem {
    int code;
    const wchar_t* name;
};

// The row of the system table for a version triple; 127 "Unknown System" when none fits.
OperatingSystem ClassifyOperatingSystem(unsigned long platformId, unsigned long major, unsigned long minor);

int OperatingSystemCode();
std::wstring OperatingSystemName();
std::wstring LoginName();
std::wstring HostName();
std::wstring IpAddress();
