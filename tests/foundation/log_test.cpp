#include "foundation/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "fake_file_management.h"
#include "foundation/file_management.h"
#include "test_support.h"

namespace {

// A log file's bytes as text, with the byte order mark checked and removed.
std::wstring LogText(const std::string& bytes) {
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        ADD_FAILURE() << "no UTF-16 byte order mark";
        return {};
    }
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

std::wstring ReadLog(const std::wstring& path) { return LogText(ReadFileBytes(path)); }

// A log kept through the standard file manager, as the client keeps its own.
struct DiskLog : Log {
    explicit DiskLog(const std::wstring& path, int disabled = 0, bool held = false) {
        held ? StartHeld(files, path, disabled) : Start(files, path, disabled);
    }
    PermissionManager::StandardFileManagement files{*this};
};

// Every form of line, the session header's among them. The first heading of a log has no
// blank line before it, every later one has.
TEST(Log, LineFormsOfAWholeSession) {
    ScratchFolder folder(L"log-forms");
    const std::wstring path = folder / L"run.log";
    {
        DiskLog log(path);
        log.WriteHeading(L"Checking for updates...");
        log.WriteSessionHeader(L"1.2.3.4", L"Windows XP");
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
    // The header's date and time are the clock's: only their form is checked here.
    const std::wregex date(L"\tDate:\t\\d\\d/\\d\\d/\\d\\d, \\d\\d:\\d\\d:\\d\\d\r\n");
    EXPECT_WSTREQ8(L"Logging started\r\n"
                   L"\r\nChecking for updates...\r\n"
                   L"\tDate:\tnow\r\n\tClient:\t1.2.3.4\r\n\tOS:\tWindows XP\r\n"
                   L"\tAn entry\r\n"
                   L"\tUnable to launch:\tC:\\App\\App.exe\r\n"
                   L"\tVariable replacement:\t%Login%, user\r\n"
                   L"\tLocale  :\t1033\r\n"
                   L"\tNegative:\t-21\r\n"
                   L"\tFile:\ta.dll, 4096\r\n"
                   L"\t\r\n"
                   L"A\t\r\n"
                   L"\tEnd of recording\r\n",
                   std::regex_replace(ReadLog(path), date, L"\tDate:\tnow\r\n"));
    EXPECT_WSTREQ8(L"01/02/03", Log::FormatDate(2003, 1, 2));
    EXPECT_WSTREQ8(L"21:53:07", Log::FormatTime(21, 53, 7));
}

// What Start leaves on disk: a disabled log touches an earlier file not at all, an enabled one
// replaces it whole. (A file that cannot be opened is in the service test below.)
TEST(Log, StartReplacesOrLeavesTheFile) {
    ScratchFolder folder(L"log-start");
    const std::wstring path = folder / L"run.log";
    const std::string earlier(10000, 'x');
    for (const int disabled : {1, 0}) {
        SCOPED_TRACE(disabled ? "disabled" : "enabled");
        ASSERT_TRUE(WriteFileBytes(path, earlier));
        {
            DiskLog log(path, disabled);
            EXPECT_EQ(log.IsOpen(), disabled == 0);
            log.WriteEntry(L"new");
        }
        if (disabled) {
            EXPECT_EQ(ReadFileBytes(path), earlier);
        } else {
            // Nothing of the earlier, longer file is left after the log's own end.
            const std::wstring text = ReadLog(path);
            EXPECT_TRUE(text.ends_with(L"\tnew\r\n\tEnd of recording\r\n")) << WideToUtf8(text.substr(0, 200));
        }
    }
}

// A client that may find another instance running holds its lines: held and dropped, no
// file is touched; held and opened, the file reads exactly as if it had been open at once.
TEST(Log, HeldLinesAreWrittenOnlyWhenOpened) {
    ScratchFolder folder(L"log-held");
    const std::wstring path = folder / L"held.log";
    ASSERT_TRUE(WriteFileBytes(path, "another instance's log"));
    {
        DiskLog log(path, 0, true);
        log.WriteEntry(L"Instance already exists");
        EXPECT_FALSE(log.IsOpen());
        log.Stop();
    }
    EXPECT_EQ(ReadFileBytes(path), "another instance's log");

    {
        DiskLog log(path, 0, true);
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
    const std::wstring path = L"C:\\logs\\run.log", opening = L"Logging started\r\n", longLine(40, L'x');
    const struct {
        const char* what;
        bool failOpen;
        std::size_t writeLimit;  // 0: none
        std::wstring text;       // empty: no file
    } rows[] = {
        {"through the service", false, 0,
         opening + L"\r\nPermission management service is active\r\n\tshort\r\n\t" + longLine +
             L"\r\n\tx\r\n\tEnd of recording\r\n"},
        {"a file that cannot be opened", true, 0, L""},
        // A line past the limit is dropped whole, the service's own too; shorter ones still fit.
        {"a file that stops taking writes", false, 2 + 2 * opening.size() + 64,
         opening + L"\tshort\r\n\tx\r\n\tEnd of recording\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        FakeFileManagement files;
        if (row.failOpen) files.FailOpen(path);
        if (row.writeLimit) files.FailWritesAfter(path, row.writeLimit);
        Log log;
        log.Start(files, path, 0);
        EXPECT_EQ(log.IsOpen(), !row.failOpen);
        for (const std::wstring& entry : {std::wstring(L"short"), longLine, std::wstring(L"x")}) log.WriteEntry(entry);
        log.Stop();
        EXPECT_EQ(files.HasFile(path), !row.text.empty());
        if (files.HasFile(path)) {
            EXPECT_WSTREQ8(row.text, LogText(files.FileBytes(path)));
        }
    }
}

TEST(Log, LinesFromManyThreadsNeverMix) {
    ScratchFolder folder(L"log-threads");
    const std::wstring path = folder / L"threads.log";
    constexpr int kThreads = 6, kLines = 300;
    {
        DiskLog log(path);
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
    std::vector<int> next(kThreads, 0);
    for (std::wsregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        int thread = std::stoi((*it)[1].str());
        // Each thread's lines arrive whole and in its own order.
        EXPECT_EQ(std::stoi((*it)[2].str()), next[thread]++);
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
    // Nothing but whole lines: without them the file is the opening and the closing.
    EXPECT_WSTREQ8(L"Logging started\r\n\tEnd of recording\r\n", std::regex_replace(text, line, L""));
}

}  // namespace
