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

TEST(CompareVersions, OrdersDottedNumbers) {
    EXPECT_EQ(CompareVersions(L"1.2", L"1.2.0.0"), 0);
    EXPECT_EQ(CompareVersions(L"1.10", L"1.9"), 1);
    EXPECT_EQ(CompareVersions(L"1.9", L"1.10"), -1);
    EXPECT_EQ(CompareVersions(L"2", L"1.99.99.99"), 1);
    EXPECT_EQ(CompareVersions(L"1..2", L"1.2"), 0);  // empty components are skipped
    EXPECT_EQ(CompareVersions(L"0010.1", L"10.1"), 0);
}

TEST(CompareVersions, MalformedTextsGiveTheirOwnCodes) {
    EXPECT_EQ(CompareVersions(L"1.2.3.4.5", L"1.0"), -21);
    EXPECT_EQ(CompareVersions(L"1.0", L"1.a"), -22);
    EXPECT_EQ(CompareVersions(L"", L"1.0"), -21);
    EXPECT_EQ(CompareVersions(L"...", L"1.0"), -21);
    EXPECT_EQ(CompareVersions(L"1.0", L"-1"), -22);
    EXPECT_EQ(CompareVersions(L"1.0 ", L"1.0"), -21);
    // The first text is judged first even when both are malformed.
    EXPECT_EQ(CompareVersions(L"x", L"y"), -21);
}

TEST(CompareVersions, ComponentsBeyondThirtyTwoBitsAreMalformed) {
    EXPECT_EQ(CompareVersions(L"4294967295", L"4294967294"), 1);
    EXPECT_EQ(CompareVersions(L"4294967296", L"1"), -21);
    EXPECT_EQ(CompareVersions(L"1", L"1.99999999999999999999"), -22);
}

TEST(NormalizePath, TidiesSeparators) {
    EXPECT_WSTREQ8(L"C:\\a\\b\\c", NormalizePath(L"C:/a//b\\\\\\c"));
    EXPECT_WSTREQ8(L"C:\\a\\b", NormalizePath(L"C:\\\\\\\\a\\b"));  // four collapse to one
    EXPECT_WSTREQ8(L"\\\\server\\share\\dir", NormalizePath(L"\\\\server\\share//dir"));
    EXPECT_WSTREQ8(L"\\\\server\\share", NormalizePath(L"//server/share"));
    EXPECT_WSTREQ8(L"", NormalizePath(L""));
    EXPECT_WSTREQ8(L"\\", NormalizePath(L"/"));
}

TEST(NormalizePath, DotPathsBecomeFullPathsUnderTheCurrentDirectory) {
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    std::wstring base = current;
    if (base.back() != L'\\') base += L'\\';
    EXPECT_WSTREQ8(base + L"sub\\file", NormalizePath(L".\\sub\\file"));
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

TEST(ExpandPathMacros, ReplacesTheLeadingMacroOnly) {
    const std::wstring windows = ShellFolder(CSIDL_WINDOWS);
    ASSERT_FALSE(windows.empty());
    EXPECT_WSTREQ8(windows + L"\\fonts", ExpandPathMacros(L"<WinDir>\\fonts"));
    EXPECT_WSTREQ8(windows + L"\\fonts", ExpandPathMacros(L"<windir>\\fonts"));
    EXPECT_WSTREQ8(windows + L"\\a", ExpandPathMacros(L"x<WinDir>\\a"));
    EXPECT_WSTREQ8(windows + L"\\<SystemDir>", ExpandPathMacros(L"<WinDir>\\<SystemDir>"));
    EXPECT_WSTREQ8(L"plain\\path", ExpandPathMacros(L"plain\\path"));
    EXPECT_WSTREQ8(L"<unclosed\\path", ExpandPathMacros(L"<unclosed\\path"));
}

TEST(ExpandPathMacros, ApplicationMacrosAndFallbacks) {
    const std::wstring app = ApplicationDirectory();
    EXPECT_WSTREQ8(app + L"a", ExpandPathMacros(L"<NoSuchDir>\\a"));
    EXPECT_WSTREQ8(app + L"data\\x.dat", ExpandPathMacros(L"<ApplicationDir>data/x.dat"));
    EXPECT_WSTREQ8(ApplicationDrive() + L"\\tools", ExpandPathMacros(L"<CurrentDrive>\\tools"));
    // Another spelling misses the exact test and reaches the table row with folder 0: the desktop.
    EXPECT_WSTREQ8(ShellFolder(CSIDL_DESKTOP), ExpandDirectoryMacro(L"<applicationdir>"));
}

TEST(ExpandDirectoryMacro, EveryTableRowNamesItsShellFolder) {
    struct Row {
        const wchar_t* macro;
        int folder;
    };
    for (Row row : {Row{L"<ProgramFilesDir>", CSIDL_PROGRAM_FILES}, Row{L"<SystemDir>", CSIDL_SYSTEM},
                    Row{L"<StartMenu>", CSIDL_STARTMENU}, Row{L"<Desktop>", CSIDL_DESKTOP},
                    Row{L"<CommonAppDataDir>", CSIDL_COMMON_APPDATA},
                    Row{L"<CommonProgramFilesDir>", CSIDL_PROGRAM_FILES_COMMON},
                    Row{L"<CommonDesktopDir>", CSIDL_COMMON_DESKTOPDIRECTORY}}) {
        EXPECT_WSTREQ8(ShellFolder(row.folder), ExpandDirectoryMacro(row.macro)) << WideToUtf8(row.macro);
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
