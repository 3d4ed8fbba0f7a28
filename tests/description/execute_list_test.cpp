#include "description/execute_list.h"

#include <gtest/gtest.h>

#include "description/description_support.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "install/program_runner.h"

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

class ExecuteListTest : public DocumentTest {
protected:
    ExecuteListTest() : DocumentTest(L"execute") {}
    void SetUp() override {
        DocumentTest::SetUp();
        ASSERT_TRUE(Exists(helper_));
    }

    DownloadExecute Read(const std::wstring& shellExec) {
        const XmlNode element = Load(L"<Renewix><ShellExec>" + shellExec + L"</ShellExec></Renewix>", L"Renewix/ShellExec");
        DownloadExecute list(TestLog());
        EXPECT_EQ(list.Read(element, L""), 1);
        return list;
    }

    std::wstring Marker(const wchar_t* name) const { return folder_ / name; }
    // The File of an entry that runs the test tool's write-marker with these arguments.
    std::wstring Writes(const std::wstring& arguments) const { return helper_ + L" 'write-marker " + arguments + L"'"; }

    const std::wstring helper_ = ApplicationDirectory() + L"test_tool.exe";
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

// A program that is missing is looked for three times, each on record, then skipped.
TEST_F(ExecuteListTest, RunsAPointInOrderWaitingWhenAskedAndSkippingWhatIsMissing) {
    const std::wstring first = Marker(L"first.txt"), second = Marker(L"second.txt"), other = Marker(L"other.txt");
    const std::wstring missing = folder_ / L"later.exe";
    DownloadExecute list =
        Read(L"<Execute Point=\"4\" WaitForProcess=\"True\" File=\"" + Writes(first + L" waited 300") +
             L"\"/><Execute Point=\"3\" File=\"" + Writes(other) + L"\"/><Execute Point=\"4\" File=\"" + missing +
             L"\"/><Execute Point=\"4\" WaitForProcess=\"true\" File=\"" + Writes(second + L" quoted") + L"\"/>");
    const std::string text = LogOf([&] { EXPECT_EQ(RunExecutePoint(list.Entries(), 4, TestLog()), 1); });
    // Both waited for: their markers exist as soon as the point has run.
    EXPECT_EQ(ReadFileBytes(first), "waited");
    EXPECT_EQ(ReadFileBytes(second), "quoted");
    EXPECT_FALSE(Exists(other));
    // The command is on record with its parameters.
    EXPECT_NE(text.find(WideToUtf8(helper_) + " write-marker " + WideToUtf8(first) + " waited 300"), std::string::npos)
        << text;
    std::size_t looks = 0;
    for (std::size_t at = text.find("Exe missing"); at != std::string::npos; at = text.find("Exe missing", at + 1)) {
        ++looks;
    }
    EXPECT_EQ(looks, 3u) << text;
}

TEST_F(ExecuteListTest, WithoutTheWaitFlagTheProgramRunsOnItsOwn) {
    const std::wstring marker = Marker(L"later.txt"), gate = Marker(L"gate.txt");
    DownloadExecute list = Read(L"<Execute Point=\"1\" File=\"" + Writes(marker + L" late gated " + gate) + L"\"/>");
    const std::string log = LogOf([&] { RunExecutePoint(list.Entries(), 1, TestLog()); });
    // The point returned while the program still waited for its gate ...
    EXPECT_FALSE(Exists(marker));
    // ... and the program finishes by itself once it is open.
    WriteFileBytes(gate, "go");
    EXPECT_TRUE(WaitUntil([&] { return Exists(marker); }));
    EXPECT_EQ(ReadFileBytes(marker), "late");
    EXPECT_EQ(log.find("Waiting for process to finish"), std::string::npos);
}

}  // namespace
