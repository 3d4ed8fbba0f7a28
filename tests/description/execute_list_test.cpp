#include "description/execute_list.h"

#include <gtest/gtest.h>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "install/program_runner.h"
#include "foundation/win_resource.h"
#include "test_support.h"

namespace {

TEST(ExecuteList, SplitsProgramAndQuotedParameters) {
    const struct {
        const wchar_t *command, *program, *parameters;
    } cases[] = {
        {L"<ApplicationDir>setup.exe '/silent /log'", L"<ApplicationDir>setup.exe", L"/silent /log"},
        {L"C:\\it's\\tool.exe", L"C:\\it's\\tool.exe", L""},
        {L"'/x'", L"", L"/x"},
        {L"run.exe 'a' 'b'", L"run.exe", L"a"},
    };
    for (const auto& c : cases) {
        std::wstring program, parameters;
        SplitCommand(c.command, &program, &parameters);
        EXPECT_WSTREQ8(std::wstring(c.program) + L"|" + c.parameters, program + L"|" + parameters);
    }
}

class ExecuteListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(com_.succeeded());
        helper_ = ApplicationDirectory() + L"test_tool.exe";
        ASSERT_TRUE(Exists(helper_));
    }

    DownloadExecute Read(const std::wstring& shellExec) {
        XmlDocument document = XmlDocument::Create();
        EXPECT_TRUE(document.LoadText(L"<Renewix><ShellExec>" + shellExec + L"</ShellExec></Renewix>"));
        DownloadExecute list(TestLog());
        EXPECT_EQ(list.Read(document.SelectSingle(L"Renewix/ShellExec"), L""), 1);
        return list;
    }

    std::wstring Marker(const wchar_t* name) const { return folder_ / name; }
    // The File of an entry that runs the test tool's write-marker with these arguments.
    std::wstring Writes(const std::wstring& arguments) const { return helper_ + L" 'write-marker " + arguments + L"'"; }

    renewix::ScopedComInit com_;
    ScratchFolder folder_{L"execute"};
    std::wstring helper_;
};

TEST_F(ExecuteListTest, ReadsPointsWaitFlagsAndSystems) {
    DownloadExecute list = Read(L"<Execute File=\"a.exe\" Point=\"4\" WaitForProcess=\"true\"/>"
                                L"<Other/><Execute File=\"b.exe\"/><Execute File=\"c.exe\" Point=\"2\" OS=\"0\"/>"
                                L"<Execute Point=\"1\" WaitForProcess=\"yes\"/>");
    ASSERT_EQ(list.Entries().size(), 3u);
    EXPECT_EQ(list.Entries()[0].point, 4);
    EXPECT_TRUE(list.Entries()[0].wait);
    EXPECT_EQ(list.Entries()[1].point, -1);
    EXPECT_WSTREQ8(L"", list.Entries()[2].command);
    EXPECT_FALSE(list.Entries()[2].wait);
}

TEST_F(ExecuteListTest, RunsAPointInOrderWaitingWhenAsked) {
    const std::wstring first = Marker(L"first.txt"), second = Marker(L"second.txt"), other = Marker(L"other.txt");
    DownloadExecute list =
        Read(L"<Execute Point=\"4\" WaitForProcess=\"True\" File=\"" + Writes(first + L" waited 300") +
             L"\"/><Execute Point=\"3\" File=\"" + Writes(other) +
             L"\"/><Execute Point=\"4\" WaitForProcess=\"true\" File=\"" + Writes(second + L" quoted") + L"\"/>");
    CapturedLog log(folder_ / L"run.log");
    EXPECT_EQ(RunExecutePoint(list.Entries(), 4, TestLog()), 1);
    // Both waited for: their markers exist as soon as the point has run.
    EXPECT_EQ(ReadFileBytes(first), "waited");
    EXPECT_EQ(ReadFileBytes(second), "quoted");
    EXPECT_FALSE(Exists(other));
    // The command is on record with its parameters.
    const std::string text = log.Finish();
    EXPECT_NE(text.find(WideToUtf8(helper_) + " write-marker " + WideToUtf8(first) + " waited 300"), std::string::npos)
        << text;
}

TEST_F(ExecuteListTest, WithoutTheWaitFlagTheProgramRunsOnItsOwn) {
    const std::wstring marker = Marker(L"later.txt");
    DownloadExecute list = Read(L"<Execute Point=\"1\" File=\"" + Writes(marker + L" late 1500") + L"\"/>");
    CapturedLog log(folder_ / L"nowait.log");
    RunExecutePoint(list.Entries(), 1, TestLog());
    // The point returned while the program was still in its delay ...
    EXPECT_FALSE(Exists(marker));
    // ... and the program finishes by itself.
    for (int i = 0; i < 200 && !Exists(marker); ++i) Sleep(50);
    EXPECT_EQ(ReadFileBytes(marker), "late");
    EXPECT_EQ(log.Finish().find("Waiting for process to finish"), std::string::npos);
}

TEST_F(ExecuteListTest, MissingProgramIsRetriedTwiceThenSkipped) {
    const std::wstring missing = folder_ / L"later.exe";
    const std::wstring marker = Marker(L"after.txt");
    DownloadExecute list = Read(L"<Execute Point=\"4\" File=\"" + missing + L"\"/>"
                                L"<Execute Point=\"4\" WaitForProcess=\"True\" File=\"" + Writes(marker) + L"\"/>");
    CapturedLog log(folder_ / L"missing.log");
    RunExecutePoint(list.Entries(), 4, TestLog());
    // Three looks at it, each on record.
    const std::string text = log.Finish();
    std::size_t looks = 0;
    for (std::size_t at = text.find("Exe missing"); at != std::string::npos; at = text.find("Exe missing", at + 1)) {
        ++looks;
    }
    EXPECT_EQ(looks, 3u) << text;
    EXPECT_TRUE(Exists(marker));  // the next entry still runs
}

}  // namespace
