#include "foundation/system_facts.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "test_support.h"

namespace {

// Each side of every boundary and the neighbours of the known numbers; every row is read as
// a workstation and as both kinds of server, and the architecture only adds its suffix.
TEST(OperatingSystemTable, BoundariesAndNeighbours) {
    struct Case {
        unsigned long platform, major, minor, build;
        int code;
        const char* workstation;
        const char* server;  // null: the same
    };
    const Case cases[] = {
        {1, 4, 0, 950, 1, "Windows 95", nullptr},
        {1, 4, 10, 0, 2, "Windows 98", nullptr},
        {1, 4, 90, 0, 2, "Windows Me", nullptr},
        {1, 4, 11, 0, 127, "Unknown System", nullptr},
        {2, 4, 0, 0, 4, "Windows NT", nullptr},
        {2, 5, 0, 2195, 8, "Windows 2000", nullptr},
        {2, 5, 1, 2600, 16, "Windows XP", nullptr},
        {2, 5, 2, 3790, 32, "Windows 2003", nullptr},
        {2, 5, 3, 0, 127, "Unknown System", nullptr},
        {2, 6, 0, 6002, 64, "Windows Vista", "Windows Server 2008"},
        {2, 6, 1, 7601, 127, "Windows 7", "Windows Server 2008 R2"},
        {2, 6, 2, 9200, 127, "Windows 8", "Windows Server 2012"},
        {2, 6, 3, 9600, 127, "Windows 8.1", "Windows Server 2012 R2"},
        {2, 6, 4, 0, 127, "Unknown System", nullptr},
        {2, 10, 0, 17762, 127, "Windows 10", "Windows Server 2016"},
        {2, 10, 0, 17763, 127, "Windows 10", "Windows Server 2019"},
        {2, 10, 0, 20348, 127, "Windows 10", "Windows Server 2022"},
        {2, 10, 0, 21999, 127, "Windows 10", "Windows Server 2022"},
        {2, 10, 0, 22000, 127, "Windows 11", "Windows Server 2022"},
        {2, 10, 0, 26099, 127, "Windows 11", "Windows Server 2022"},
        {2, 10, 0, 26100, 127, "Windows 11", "Windows Server 2025"},
        {2, 10, 1, 0, 127, "Unknown System", nullptr},
        {2, 11, 0, 30000, 127, "Unknown System", nullptr},
        {0, 4, 10, 0, 127, "Unknown System", nullptr},
    };
    for (const Case& c : cases) {
        for (unsigned char productType : {VER_NT_WORKSTATION, VER_NT_DOMAIN_CONTROLLER, VER_NT_SERVER}) {
            const std::string name = productType != VER_NT_WORKSTATION && c.server ? c.server : c.workstation;
            SCOPED_TRACE(name + " as product type " + std::to_string(productType));
            const WindowsVersion version{c.platform, c.major, c.minor, c.build, productType, Architecture::Unknown};
            EXPECT_EQ(ClassifyOperatingSystem(version).code, c.code);
            EXPECT_EQ(WideToUtf8(DescribeOperatingSystem(version)), name);
        }
    }
    const std::pair<Architecture, const char*> suffixes[] = {
        {Architecture::X86, " (x86)"}, {Architecture::X64, " (x64)"}, {Architecture::Arm64, " (ARM64)"}};
    for (const auto& [architecture, suffix] : suffixes) {
        EXPECT_EQ(WideToUtf8(DescribeOperatingSystem({2, 5, 1, 2600, VER_NT_WORKSTATION, architecture})),
                  std::string("Windows XP") + suffix);
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
