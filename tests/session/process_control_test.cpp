#include "session/main_application.h"

#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <string_view>
#include <thread>
#include <vector>

#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "test_support.h"

namespace {

// Long enough for a program that closes on WM_CLOSE to end on a busy machine.
constexpr DWORD kPatientMs = 30000;

TEST(ProcessNames, ExactNamesAndNamesCutToFifteenCharacters) {
    EXPECT_TRUE(ProcessNameMatches(L"Viewer.exe", L"Viewer.exe"));
    EXPECT_TRUE(ProcessNameMatches(L"VIEWER.EXE", L"viewer.exe"));
    EXPECT_TRUE(ProcessNameMatches(L"ExampleViewerPr", L"ExampleViewerPro.exe"));
    EXPECT_TRUE(ProcessNameMatches(L"exampleviewerpr", L"ExampleViewerPro.exe"));
    EXPECT_FALSE(ProcessNameMatches(L"ExampleViewerPrX.exe", L"ExampleViewerPro.exe"));
    EXPECT_FALSE(ProcessNameMatches(L"ExampleViewerP", L"ExampleViewerPro.exe"));
    EXPECT_FALSE(ProcessNameMatches(L"Viewer.exe", L"Viewer.exe.bak"));
    EXPECT_FALSE(ProcessNameMatches(L"", L"Viewer.exe"));
}

TEST(LaunchAtTheEnd, OwedUnlessAnInstalledUpdateRestartedTheProgram) {
    struct Case {
        RunMode mode;
        bool afterCheck, pending, installed, restarted, launches;
    } const cases[] = {
        // The start-up table has the plain cases of each mode; these a start-up cannot stage.
        {ModeDefault, true, false, true, false, false},   // installed: the installation started it as it asked
        {ModeDefault, true, false, false, true, false},   // a failed installation started the old one again
        {ModeDefault, false, true, false, false, true},   // held back by an interrupted installation
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LaunchWhenRunEnds(c.mode, c.afterCheck, c.pending, c.installed, c.restarted), c.launches)
            << c.mode << c.afterCheck << c.pending << c.installed << c.restarted;
    }
}

struct WindowSearch {
    DWORD id;
    bool found;
};

// The helper's own window, shown: Wine gives a process other top-level windows (its input
// method's) before that one exists, and a close posted then would reach only those.
BOOL CALLBACK MarkWindowOf(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t windowClass[32] = L"";
    GetClassNameW(window, windowClass, 32);
    if (owner == search->id && IsWindowVisible(window) && std::wstring_view(windowClass) == L"RenewixTestWindow") {
        search->found = true;
    }
    return TRUE;
}

// What a user closing the program does.
BOOL CALLBACK CloseWindowOf(HWND window, LPARAM param) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(param)) PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

// Starts copies of the window helper under a chosen name and waits until each shows a window.
class ProcessControlTest : public ::testing::TestWithParam<ProcessControl::Method> {
protected:
    struct Started {
        renewix::UniqueHandle process;
        DWORD id;
    };

    Started Start(const std::wstring& name, const wchar_t* arguments = L"") {
        const std::wstring path = folder_ / name;
        if (!Exists(path)) CopyFileW((ApplicationDirectory() + L"window_app.exe").c_str(), path.c_str(), FALSE);
        std::wstring commandLine = L"\"" + path + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        EXPECT_TRUE(CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &info));
        CloseHandle(info.hThread);
        Started started{renewix::UniqueHandle(info.hProcess), info.dwProcessId};
        EXPECT_TRUE(WaitUntil([&] { return HasWindow(info.dwProcessId); }));
        return started;
    }

    static bool HasWindow(DWORD id) {
        WindowSearch search{id, false};
        EnumWindows(MarkWindowOf, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    // How many handles, in any process, are open to the program: one more once the client has
    // found it.
    static ULONG HandlesTo(const Started& started) {
        using QueryObject = LONG(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, void*, ULONG, ULONG*);
        const auto query = reinterpret_cast<QueryObject>(
            reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
        PUBLIC_OBJECT_BASIC_INFORMATION info{};
        if (!query || query(started.process.get(), ObjectBasicInformation, &info, sizeof(info), nullptr) < 0) return 0;
        return info.HandleCount;
    }

    static DWORD ExitCode(const Started& started) {
        EXPECT_EQ(WaitForSingleObject(started.process.get(), kPatientMs), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(started.process.get(), &code);
        return code;
    }

    ScratchFolder folder_{L"processes"};
};

// Two copies are closed one call each; a program that ignores WM_CLOSE is terminated.
TEST_P(ProcessControlTest, ClosesCooperativeCopiesAndTerminatesAStubbornOne) {
    ProcessControl control(GetParam());
    Started first = Start(L"PoliteViewer.exe");
    Started second = Start(L"PoliteViewer.exe");
    EXPECT_TRUE(control.CloseProcess(L"PoliteViewer.exe", false, 0, kPatientMs));
    EXPECT_TRUE(control.CloseProcess(L"PoliteViewer.exe", false, 0, kPatientMs));
    EXPECT_FALSE(control.CloseProcess(L"PoliteViewer.exe", false, 0, kPatientMs));
    EXPECT_EQ(ExitCode(first), 7u);  // each ended by itself on WM_CLOSE
    EXPECT_EQ(ExitCode(second), 7u);

    Started stubborn = Start(L"StubbornViewer.exe", L"ignore");
    EXPECT_TRUE(control.CloseProcess(L"stubbornviewer.exe", false, 0, 500));
    EXPECT_EQ(ExitCode(stubborn), 0u);  // terminated
    EXPECT_FALSE(control.CloseProcess(L"StubbornViewer.exe", false, 0, 500));
}

TEST_P(ProcessControlTest, OtherNamesAndTheExcludedProcessAreLeftAlone) {
    ProcessControl control(GetParam());
    Started other = Start(L"ExampleViewerPrX.exe");
    EXPECT_FALSE(control.CloseProcess(L"ExampleViewerPro.exe", false, 0, 500));
    EXPECT_EQ(WaitForSingleObject(other.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_FALSE(control.CloseProcess(L"ExampleViewerPrX.exe", false, other.id, 500));
    EXPECT_EQ(WaitForSingleObject(other.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    DWORD id = 0;
    renewix::UniqueHandle found = control.FindProcess(L"ExampleViewerPrX.exe", &id);
    EXPECT_TRUE(found.valid());
    EXPECT_EQ(id, other.id);
    id = other.id;  // skipping the one we know: none other
    EXPECT_FALSE(control.FindProcess(L"ExampleViewerPrX.exe", &id).valid());
    TerminateProcess(other.process.get(), 0);
}

TEST_P(ProcessControlTest, WaitFirstLetsTheProgramEndByItself) {
    ProcessControl control(GetParam());
    Started program = Start(L"PatientViewer.exe");
    // The user closes the program while the client waits: once the client holds it, not before
    // (a program gone before the client looks is not found at all).
    const ULONG handles = HandlesTo(program);
    bool held = false;
    std::thread user([&] {
        held = WaitUntil([&] { return HandlesTo(program) > handles; });
        EnumWindows(CloseWindowOf, static_cast<LPARAM>(program.id));
    });
    EXPECT_TRUE(control.CloseProcess(L"PatientViewer.exe", true, 0, 500));
    user.join();
    EXPECT_TRUE(held);
    EXPECT_EQ(ExitCode(program), 7u);
}

INSTANTIATE_TEST_SUITE_P(BothSearches, ProcessControlTest,
                         ::testing::Values(ProcessControl::Method::Automatic, ProcessControl::Method::Native),
                         [](const auto& info) {
                             return info.param == ProcessControl::Method::Native ? "Native" : "Toolhelp";
                         });

}  // namespace
