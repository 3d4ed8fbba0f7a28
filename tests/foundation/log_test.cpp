#include "foundation/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "fake_file_management.h"
#include "foundation/file_management.h"
#include "test_support.h"

namespace {

// The log file as text, with its byte order mark checked and removed.
std::wstring ReadLog(const std::wstring& path) {
    std::string bytes = ReadFileBytes(path);
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        ADD_FAILURE() << "no UTF-16 byte order mark";
        return {};
    }
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

// One test drives the process-wide heading flag in order: the first heading of the
// process has no blank line before it, every later one has.
TEST(Log, LineFormsOfAWholeSession) {
    ScratchFolder folder(L"log-forms");
    const std::wstring path = folder / L"run.log";
    {
        Log log;
        PermissionManager::StandardFileManagement files(log);
        log.Start(files, path, 0);
        ASSERT_TRUE(log.IsOpen());
        log.WriteHeading(L"Checking for updates...");
        log.WriteEntry(L"An entry");
        log.WriteValue(L"Unable to launch", L"C:\\App\\App.exe");
        log.WriteTwoValues(L"Variable replacement", L"%Login%", L"user");
        log.WriteNumber(L"Locale  ", 1033);
        log.WriteNumber(L"Negative", -21);
        log.WriteValueNumber(L"File", L"a.dll", 4096);
        log.WriteBlank();
        log.WriteRaw("\x41\x00", 2);
        log.WriteEntry(L"");
        log.Stop();
        log.WriteEntry(L"dropped after stop");
    }
    EXPECT_WSTREQ8(L"Logging started\r\n"
                   L"\r\nChecking for updates...\r\n"
                   L"\tAn entry\r\n"
                   L"\tUnable to launch:\tC:\\App\\App.exe\r\n"
                   L"\tVariable replacement:\t%Login%, user\r\n"
                   L"\tLocale  :\t1033\r\n"
                   L"\tNegative:\t-21\r\n"
                   L"\tFile:\ta.dll, 4096\r\n"
                   L"\t\r\n"
                   L"A\t\r\n"
                   L"\tEnd of recording\r\n",
                   ReadLog(path));
}

TEST(Log, SessionHeaderHasDateClientAndSystem) {
    ScratchFolder folder(L"log-header");
    const std::wstring path = folder / L"header.log";
    {
        Log log;
        PermissionManager::StandardFileManagement files(log);
        log.Start(files, path, 0);
        log.WriteSessionHeader(L"1.2.3.4", L"Windows XP");
    }
    const std::string text = WideToUtf8(ReadLog(path));
    std::regex expected(
        "(\r\n)?Logging started\r\n\tDate:\t\\d\\d/\\d\\d/\\d\\d, \\d\\d:\\d\\d:\\d\\d\r\n\tClient:\t1\\.2\\.3\\.4\r\n"
        "\tOS:\tWindows XP\r\n\tEnd of recording\r\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    EXPECT_WSTREQ8(L"12/05/26", Log::FormatDate(2026, 12, 5));
    EXPECT_WSTREQ8(L"01/02/03", Log::FormatDate(2003, 1, 2));
    EXPECT_WSTREQ8(L"21:53:07", Log::FormatTime(21, 53, 7));
    EXPECT_WSTREQ8(L"00:00:00", Log::FormatTime(0, 0, 0));
}

// What Start leaves on disk: a disabled log touches nothing, an enabled one replaces an
// earlier file whole, and a folder's name (what an empty configured name leaves) is no log.
TEST(Log, StartReplacesOrLeavesTheFile) {
    struct Case {
        const char* what;
        std::string earlier;  // empty: no file before
        bool onFolder;
        int disabled;
        bool opens;
    };
    const Case cases[] = {
        {"disabled, no file", "", false, 1, false},
        {"disabled, an earlier file", "earlier", false, 1, false},
        {"an earlier, longer file", std::string(10000, 'x'), false, 0, true},
        {"a folder", "", true, 0, false},
    };
    ScratchFolder folder(L"log-start");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring path = c.onFolder ? folder.path() + L"\\" : folder / L"run.log";
        if (!c.onFolder) DeleteFileW(path.c_str());
        if (!c.earlier.empty()) ASSERT_TRUE(WriteFileBytes(path, c.earlier));
        {
            Log log;
            PermissionManager::StandardFileManagement files(log);
            log.Start(files, path, c.disabled);
            EXPECT_EQ(log.IsOpen(), c.opens);
            log.WriteEntry(L"new");
        }
        if (c.onFolder) continue;
        if (!c.opens) {
            EXPECT_EQ(Exists(path), !c.earlier.empty());
            EXPECT_EQ(ReadFileBytes(path), c.earlier);
            continue;
        }
        // Nothing of the earlier file is left after the log's own end.
        const std::wstring text = ReadLog(path);
        EXPECT_TRUE(text.ends_with(L"\tnew\r\n\tEnd of recording\r\n")) << WideToUtf8(text.substr(0, 200));
    }
}

// A client that may find another instance running holds its lines: held and dropped, no
// file is touched; held and opened, the file reads exactly as if it had been open at once.
TEST(Log, HeldLinesAreWrittenOnlyWhenOpened) {
    ScratchFolder folder(L"log-held");
    const std::wstring path = folder / L"held.log";
    ASSERT_TRUE(WriteFileBytes(path, "another instance's log"));
    {
        Log log;
        PermissionManager::StandardFileManagement files(log);
        log.StartHeld(files, path, 0);
        log.WriteEntry(L"Instance already exists");
        EXPECT_FALSE(log.IsOpen());
        log.Stop();
    }
    EXPECT_EQ(ReadFileBytes(path), "another instance's log");

    {
        Log log;
        PermissionManager::StandardFileManagement files(log);
        log.StartHeld(files, path, 0);
        log.WriteValue(L"Command line", L"CheckNow");
        log.WriteRaw("\x42\x00", 2);
        log.Open();
        EXPECT_TRUE(log.IsOpen());
        log.WriteEntry(L"after");
    }
    const std::wstring text = ReadLog(path);
    EXPECT_TRUE(text.ends_with(L"Logging started\r\n\tCommand line:\tCheckNow\r\nB\tafter\r\n\tEnd of recording\r\n"))
        << WideToUtf8(text);
}

// Through any manager but the standard one the log says that the service is active; a file
// that cannot be opened, or stops taking writes, costs the lines and nothing else.
TEST(Log, ThroughTheServiceAndWhenItsFileFails) {
    const std::wstring path = L"C:\\logs\\run.log";
    const auto text = [&](const FakeFileManagement& files) {
        const std::string bytes = files.FileBytes(path);
        return bytes.size() < 2 ? std::wstring()
                                : std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    };
    {
        FakeFileManagement files;
        Log log;
        log.Start(files, path, 0);
        log.WriteEntry(L"kept");
        log.Stop();
        EXPECT_TRUE(text(files).ends_with(L"\r\nPermission management service is active\r\n\tkept\r\n\tEnd of recording\r\n"))
            << WideToUtf8(text(files));
    }
    {
        FakeFileManagement files;
        files.FailOpen(path);
        Log log;
        log.Start(files, path, 0);
        EXPECT_FALSE(log.IsOpen());
        log.WriteEntry(L"goes nowhere");
        EXPECT_FALSE(files.HasFile(path));
    }
    {
        FakeFileManagement files;
        files.FailWritesAfter(path, 2 + 2 * std::wstring(L"Logging started\r\n").size() + 64);
        Log log;
        log.Start(files, path, 0);
        log.WriteEntry(L"short");
        log.WriteEntry(std::wstring(40, L'x'));  // past the limit: dropped whole
        log.WriteEntry(L"x");
        log.Stop();
        const std::wstring written = text(files);
        EXPECT_NE(written.find(L"\tshort\r\n"), std::wstring::npos) << WideToUtf8(written);
        EXPECT_EQ(written.find(L"xxxx"), std::wstring::npos) << WideToUtf8(written);
    }
}

TEST(Log, LinesFromManyThreadsNeverMix) {
    ScratchFolder folder(L"log-threads");
    const std::wstring path = folder / L"threads.log";
    constexpr int kThreads = 6, kLines = 300;
    {
        Log log;
        PermissionManager::StandardFileManagement files(log);
        log.Start(files, path, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < kLines; ++i) log.WriteValueNumber(L"Thread " + std::to_wstring(t), L"line", i);
            });
        }
        for (auto& thread : threads) thread.join();
    }
    std::wstring text = ReadLog(path);
    std::wregex line(L"\tThread (\\d):\tline, (\\d+)\r\n");
    int count = 0;
    std::vector<int> next(kThreads, 0);
    for (std::wsregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        int thread = std::stoi((*it)[1].str());
        // Each thread's lines arrive whole and in its own order.
        EXPECT_EQ(std::stoi((*it)[2].str()), next[thread]++);
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
    // Nothing but whole lines: the file is exactly the opening, the lines and the closing.
    std::size_t expected = text.find(L"\tThread") + std::wstring(L"\tEnd of recording\r\n").size();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            expected += (L"\tThread " + std::to_wstring(t) + L":\tline, " + std::to_wstring(i) + L"\r\n").size();
        }
    }
    EXPECT_EQ(text.size(), expected);
}

}  // namespace
