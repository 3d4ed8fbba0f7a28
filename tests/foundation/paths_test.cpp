#include "foundation/paths.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "test_support.h"

namespace {

std::wstring ShellFolder(int id) {
    wchar_t path[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, path, id, FALSE);
    return path;
}

// 1, 0 or -1 for the order; -21 or -22 when the first or the second text is malformed.
TEST(CompareVersions, OrdersDottedNumbersAndNamesTheMalformedText) {
    struct Case {
        const wchar_t* first;
        const wchar_t* second;
        int result;
    };
    const Case cases[] = {
        {L"1.2", L"1.2.0.0", 0},
        {L"1.10", L"1.9", 1},
        {L"1.9", L"1.10", -1},
        {L"2", L"1.99.99.99", 1},
        {L"1..2", L"1.2", 0},  // empty components are skipped
        {L"0010.1", L"10.1", 0},
        {L"4294967295", L"4294967294", 1},
        {L"1.2.3.4.5", L"1.0", -21},
        {L"1.0", L"1.a", -22},
        {L"", L"1.0", -21},
        {L"...", L"1.0", -21},
        {L"1.0", L"-1", -22},
        {L"1.0 ", L"1.0", -21},
        {L"x", L"y", -21},  // the first text is judged first
        {L"4294967296", L"1", -21},
        {L"1", L"1.99999999999999999999", -22},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.first) + " vs " + WideToUtf8(c.second));
        EXPECT_EQ(CompareVersions(c.first, c.second), c.result);
    }
}

TEST(NormalizePath, TidiesSeparatorsAndCompletesDotPaths) {
    EXPECT_WSTREQ8(L"C:\\a\\b\\c", NormalizePath(L"C:/a//b\\\\\\c"));
    EXPECT_WSTREQ8(L"C:\\a\\b", NormalizePath(L"C:\\\\\\\\a\\b"));  // four collapse to one
    EXPECT_WSTREQ8(L"\\\\server\\share\\dir", NormalizePath(L"\\\\server\\share//dir"));
    EXPECT_WSTREQ8(L"\\\\server\\share", NormalizePath(L"//server/share"));
    EXPECT_WSTREQ8(L"", NormalizePath(L""));
    EXPECT_WSTREQ8(L"\\", NormalizePath(L"/"));
    // A dot path becomes a full path under the current directory.
    wchar_t current[MAX_PATH] = {};
    std::wstring base(current, GetCurrentDirectoryW(MAX_PATH, current));
    if (base.back() != L'\\') base += L'\\';
    EXPECT_WSTREQ8(base + L"sub\\file", NormalizePath(L"./sub//file"));
}

TEST(ModulePaths, DirectoryAndDriveComeFromTheExecutable) {
    const std::wstring module = ModulePath();
    const std::wstring directory = ApplicationDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), L'\\');
    EXPECT_EQ(module.rfind(directory, 0), 0u);
    EXPECT_EQ(module.find(L'\\', directory.size()), std::wstring::npos);
    EXPECT_WSTREQ8(module.substr(0, 2), ApplicationDrive());
    EXPECT_EQ(ApplicationDrive()[1], L':');
}

// Only a leading macro is replaced; an unknown one stands for the application's folder.
TEST(ExpandPathMacros, ReplacesTheLeadingMacroOnly) {
    const std::wstring windows = ShellFolder(CSIDL_WINDOWS);
    ASSERT_FALSE(windows.empty());
    const std::wstring app = ApplicationDirectory();
    struct Case {
        const wchar_t* text;
        std::wstring expanded;
    };
    const Case cases[] = {
        {L"<WinDir>\\fonts", windows + L"\\fonts"},
        {L"<windir>\\fonts", windows + L"\\fonts"},
        {L"x<WinDir>\\a", windows + L"\\a"},
        {L"<WinDir>\\<SystemDir>", windows + L"\\<SystemDir>"},
        {L"plain\\path", L"plain\\path"},
        {L"<unclosed\\path", L"<unclosed\\path"},
        {L"<NoSuchDir>\\a", app + L"a"},
        {L"<ApplicationDir>data/x.dat", app + L"data\\x.dat"},
        {L"<CurrentDrive>\\tools", ApplicationDrive() + L"\\tools"},
        {L"<SystemDir>\\x", ShellFolder(CSIDL_SYSTEM) + L"\\x"},
        {L"<CommonProgramFilesDir>\\x", ShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"\\x"},
        {L"<CommonAppDataDir>\\x", ShellFolder(CSIDL_COMMON_APPDATA) + L"\\x"},
        // Another spelling misses the exact test and reaches the table row with folder 0.
        {L"<applicationdir>\\x", ShellFolder(CSIDL_DESKTOP) + L"\\x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.text));
        EXPECT_WSTREQ8(c.expanded, ExpandPathMacros(c.text));
    }
}

TEST(FileVersion, FormsOfTheFixedVersion) {
    EXPECT_WSTREQ8(L"2.5", FormatFileVersion(MAKELONG(5, 2), 0));
    EXPECT_WSTREQ8(L"2.5.0.1", FormatFileVersion(MAKELONG(5, 2), MAKELONG(1, 0)));
    EXPECT_WSTREQ8(L"0.0.3.0", FormatFileVersion(0, MAKELONG(0, 3)));
    EXPECT_WSTREQ8(L"", FormatFileVersion(0, 0));
}

TEST(FileVersion, ReadsVersionResourcesOfRealFiles) {
    // The test executable has no version resource; a system library has one.
    EXPECT_WSTREQ8(L"", FileVersionString(ModulePath()));
    EXPECT_WSTREQ8(L"", FileVersionString(L"C:\\no\\such\\file.exe"));
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring version = FileVersionString(std::wstring(system) + L"\\kernel32.dll");
    EXPECT_FALSE(version.empty());
    EXPECT_GE(CompareVersions(version, L"1"), 0);
}

}  // namespace
