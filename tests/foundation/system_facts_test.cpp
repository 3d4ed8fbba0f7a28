#include "foundation/system_facts.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "test_support.h"

namespace {

struct OsCase {
    unsigned long platform, major, minor, build;
    unsigned char productType;
    Architecture architecture;
    int code;
    const char* description;
};

TEST(OperatingSystemTable, EveryRowAndItsNeighbours) {
    constexpr unsigned char kWorkstation = 1, kController = 2, kServer = 3;
    constexpr Architecture kNone = Architecture::Unknown, k32 = Architecture::X86, k64 = Architecture::X64,
                           kArm = Architecture::Arm64;
    const OsCase cases[] = {
        {1, 4, 0, 950, kWorkstation, k32, 1, "Windows 95 (x86)"},
        {1, 3, 0, 0, kWorkstation, kNone, 1, "Windows 95"},
        {1, 4, 10, 0, kWorkstation, kNone, 2, "Windows 98"},
        {1, 4, 90, 0, kWorkstation, kNone, 2, "Windows Me"},
        {1, 4, 11, 0, kWorkstation, kNone, 127, "Unknown System"},
        {2, 3, 51, 0, kWorkstation, kNone, 4, "Windows NT"},
        {2, 4, 0, 0, kServer, kNone, 4, "Windows NT"},
        {2, 5, 0, 2195, kWorkstation, kNone, 8, "Windows 2000"},
        {2, 5, 1, 2600, kWorkstation, k32, 16, "Windows XP (x86)"},
        {2, 5, 2, 3790, kServer, k64, 32, "Windows 2003 (x64)"},
        {2, 5, 3, 0, kWorkstation, kNone, 127, "Unknown System"},
        {2, 6, 0, 6002, kServer, kNone, 64, "Windows Server 2008"},
        {2, 6, 0, 6002, kWorkstation, kNone, 64, "Windows Vista"},
        {2, 6, 1, 7601, kWorkstation, k64, 127, "Windows 7 (x64)"},
        {2, 6, 1, 7601, kController, k64, 127, "Windows Server 2008 R2 (x64)"},
        {2, 6, 2, 9200, kWorkstation, k32, 127, "Windows 8 (x86)"},
        {2, 6, 2, 9200, kServer, k64, 127, "Windows Server 2012 (x64)"},
        {2, 6, 3, 9600, kWorkstation, kArm, 127, "Windows 8.1 (ARM64)"},
        {2, 6, 3, 9600, kServer, k64, 127, "Windows Server 2012 R2 (x64)"},
        {2, 6, 4, 0, kWorkstation, kNone, 127, "Unknown System"},
        {2, 10, 0, 19045, kWorkstation, k64, 127, "Windows 10 (x64)"},
        {2, 10, 0, 21999, kWorkstation, k64, 127, "Windows 10 (x64)"},
        {2, 10, 0, 22000, kWorkstation, kArm, 127, "Windows 11 (ARM64)"},
        {2, 10, 0, 26100, kWorkstation, k64, 127, "Windows 11 (x64)"},
        {2, 10, 0, 14393, kServer, k64, 127, "Windows Server 2016 (x64)"},
        {2, 10, 0, 17762, kServer, k64, 127, "Windows Server 2016 (x64)"},
        {2, 10, 0, 17763, kServer, k64, 127, "Windows Server 2019 (x64)"},
        {2, 10, 0, 20348, kController, k64, 127, "Windows Server 2022 (x64)"},
        {2, 10, 0, 26099, kServer, k64, 127, "Windows Server 2022 (x64)"},
        {2, 10, 0, 26100, kServer, k64, 127, "Windows Server 2025 (x64)"},
        {2, 10, 1, 0, kWorkstation, k64, 127, "Unknown System (x64)"},
        {2, 11, 0, 30000, kWorkstation, k64, 127, "Unknown System (x64)"},
        {0, 3, 10, 0, kWorkstation, kNone, 127, "Unknown System"},
        {3, 5, 1, 0, kWorkstation, kNone, 127, "Unknown System"},
    };
    for (const OsCase& c : cases) {
        const WindowsVersion version{c.platform, c.major, c.minor, c.build, c.productType, c.architecture};
        EXPECT_EQ(ClassifyOperatingSystem(version).code, c.code) << c.description;
        EXPECT_EQ(WideToUtf8(DescribeOperatingSystem(version)), c.description);
    }
}

TEST(MachineFacts, AreFilledAndStableAcrossThreads) {
    const std::wstring login = LoginName();
    const std::wstring host = HostName();
    const std::wstring address = IpAddress();
    EXPECT_FALSE(login.empty());
    EXPECT_FALSE(host.empty());
    // Dotted IPv4 form: four numbers.
    int dots = 0;
    for (wchar_t c : address) {
        if (c == L'.') ++dots;
        else EXPECT_TRUE(c >= L'0' && c <= L'9');
    }
    EXPECT_EQ(dots, 3);

    std::vector<std::thread> threads;
    std::vector<std::wstring> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] { seen[i] = LoginName() + L"|" + HostName() + L"|" + IpAddress(); });
    }
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_WSTREQ8(login + L"|" + host + L"|" + address, s);
}

}  // namespace
