#include "foundation/run_state.h"

#include <gtest/gtest.h>

#include "service/permission_service.h"
#include "test_support.h"

namespace {

struct CommandCase {
    const wchar_t* commandLine;
    const wchar_t* checkNow;
    const wchar_t* background;
    RunMode mode;
    const wchar_t* parameters;
};

TEST(CommandLine, KeywordsModesAndParameters) {
    const CommandCase cases[] = {
        {L"", L"CheckNow", L"Background", ModeDefault, L""},
        {L" /-checknow /x", L"CheckNow", L"Background", ModeCheckNow, L"/x"},
        {L"\\\\-/CheckNow  a b", L"CheckNow", L"Background", ModeCheckNow, L" a b"},
        {L"CheckNowX", L"CheckNow", L"Background", ModeDefault, L"CheckNowX"},
        {L"-background file.txt", L"CheckNow", L"Background", ModeCheckBackground, L"file.txt"},
        {L"/scheduler now", L"CheckNow", L"Background", ModeScheduler, L"now"},
        // An empty keyword never matches, not even an empty command.
        {L"", L"", L"", ModeDefault, L""},
        {L"  ", L"", L"", ModeDefault, L"  "},
        // The check-now keyword is tried first when both are the same.
        {L"go", L"go", L"go", ModeCheckNow, L""},
        // A configured keyword can shadow "Scheduler".
        {L"Scheduler", L"", L"scheduler", ModeCheckBackground, L""},
        // testMode counts only at position 0 and only spelled so.
        {L"testMode C:\\t\\u.xml", L"CheckNow", L"Background", ModeTest, L"testMode C:\\t\\u.xml"},
        {L" testMode C:\\t\\u.xml", L"CheckNow", L"Background", ModeDefault, L" testMode C:\\t\\u.xml"},
        {L"testmode x", L"CheckNow", L"Background", ModeDefault, L"testmode x"},
        {L"CheckNow testMode", L"CheckNow", L"Background", ModeCheckNow, L"testMode"},
    };
    for (const CommandCase& c : cases) {
        CommandLineChoice choice = ClassifyCommandLine(c.commandLine, c.checkNow, c.background);
        EXPECT_EQ(choice.mode, c.mode) << "'" << WideToUtf8(c.commandLine) << "'";
        EXPECT_WSTREQ8(c.parameters, choice.mainAppParameters) << "'" << WideToUtf8(c.commandLine) << "'";
    }
    EXPECT_TRUE(IsTestModeCommandLine(L"testMode"));
    EXPECT_FALSE(IsTestModeCommandLine(L"xtestMode"));
}

TEST(CommandLine, PermissionManagerKeywords) {
    using enum PermissionKeyword;
    EXPECT_EQ(RecognisePermissionKeyword(L"/PermissionsManagerRun"), Run);
    EXPECT_EQ(RecognisePermissionKeyword(L"permissionmanagerrun"), Run);
    EXPECT_EQ(RecognisePermissionKeyword(L"-\\/PERMISSIONMANAGERCHECKINSTALLED"), CheckInstalled);
    EXPECT_EQ(RecognisePermissionKeyword(L"--PermissionsManagerCheckInstalled"), CheckInstalled);
    // "PermissionsManager" is only rewritten with exactly that capitalisation.
    EXPECT_EQ(RecognisePermissionKeyword(L"/permissionsmanagerrun"), None);
    // The whole command line must be the keyword; blanks are not stripped.
    EXPECT_EQ(RecognisePermissionKeyword(L" PermissionManagerRun"), None);
    EXPECT_EQ(RecognisePermissionKeyword(L"PermissionManagerRun now"), None);
    EXPECT_EQ(RecognisePermissionKeyword(L""), None);
}

}  // namespace
