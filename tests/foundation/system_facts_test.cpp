#include "foundation/system_facts.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "test_support.h"

namespace {

struct OsCase {
    unsigned long platform, major, minor;
    int code;
    const char* name;
};

TEST(OperatingSystemTable, EveryRowAndItsNeighbours) {
    const OsCase cases[] = {
        {1, 4, 0, 1, "Windows 95"},      {1, 3, 0, 1, "Windows 95"},     {1, 4, 10, 2, "Windows 98"},
        {1, 4, 90, 2, "Windows Me"},     {1, 4, 11, 127, "Unknown System"}, {2, 3, 51, 4, "Windows NT"},
        {2, 4, 0, 4, "Windows NT"},      {2, 5, 0, 8, "Windows 2000"},   {2, 5, 1, 16, "Windows XP"},
        {2, 5, 2, 32, "Windows 2003"},   {2, 5, 3, 127, "Unknown System"}, {2, 6, 0, 64, "Windows Vista"},
        {2, 6, 1, 127, "Unknown System"}, {2, 10, 0, 127, "Unknown System"}, {0, 3, 10, 127, "Unknown System"},
        {3, 5, 1, 127, "Unknown System"},
    };
    for (const OsCase& c : cases) {
        OperatingSystem os = ClassifyOperatingSystem(c.platform, c.major, c.minor);
        EXPECT_EQ(os.code, c.code) << c.platform << " " << c.major << "." << c.minor;
        EXPECT_EQ(WideToUtf8(os.name), c.name) << c.platform << " " << c.major << "." << c.minor;
    }
}

TEST(OperatingSystemFacts, RunningSystemMatchesItsVersionTriple) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExW(&info));
#pragma GCC diagnostic pop
    OperatingSystem expected = ClassifyOperatingSystem(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
    EXPECT_EQ(OperatingSystemCode(), expected.code);
    EXPECT_WSTREQ8(expected.name, OperatingSystemName());
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
