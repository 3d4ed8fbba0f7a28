#include "description/variables.h"

#include <gtest/gtest.h>

#include "foundation/system_facts.h"
#include "foundation/run_state.h"
#include "test_support.h"

namespace {

class VariablesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registry_.active());
        renewix::UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        const wchar_t text[] = L"C:\\Data";
        RegSetValueExW(key.get(), L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
        DWORD number = 4000000000u;
        RegSetValueExW(key.get(), L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    }

    static std::wstring Path(const std::wstring& value) {
        return L"HKEY_CURRENT_USER\\" + std::wstring(kKey) + L"\\" + value;
    }

    static constexpr const wchar_t* kKey = L"Software\\RenewixTest\\Variables";
    RegistryOverride registry_;
    ScratchFolder folder_{L"variables"};
    TestRun run_;
};

TEST_F(VariablesTest, PredefinedVariablesWithCase) {
    run_.state.CurrentVersion = L"1.0";
    run_.state.UpdateVersion = L"2.0";
    EXPECT_WSTREQ8(L"from 1.0 to 2.0 (1.0) %currentversion%",
                   run_.variables.ReplaceVariables(L"from %CurrentVersion% to %UpdateVersion% (%CurrentVersion%) %currentversion%"));
    EXPECT_WSTREQ8(L"on " + OperatingSystemName() + L" as " + LoginName(), run_.variables.ReplaceVariables(L"on %Platform% as %Login%"));
    EXPECT_WSTREQ8(HostName() + L"/" + IpAddress(), run_.variables.ReplaceVariables(L"%HostName%/%IpAddress%"));
    // The test executable carries no record: the configured names are empty.
    EXPECT_WSTREQ8(L"[]", run_.variables.ReplaceVariables(L"[%ApplicationName%%CompanyName%%CompanyEmail%]"));
}

TEST_F(VariablesTest, RegistryAndFileTokens) {
    CapturedLog log(folder_ / L"tokens.log");
    EXPECT_WSTREQ8(L"at C:\\Data, C:\\Data", run_.variables.ReplaceVariables(L"at %VARIABLE " + Path(L"Path") + L"|REG_SZ%, %VARIABLE " +
                                                              Path(L"Path") + L"|REG_SZ%"));
    EXPECT_WSTREQ8(L"n=-294967296", run_.variables.ReplaceVariables(L"n=%VARIABLE " + Path(L"Count") + L"|REG_DWORD%"));
    // A lower-case registry type is accepted, but the read answers only for the upper-case name.
    EXPECT_WSTREQ8(L"[]", run_.variables.ReplaceVariables(L"[%VARIABLE " + Path(L"Path") + L"|reg_sz%]"));
    EXPECT_WSTREQ8(L"[]", run_.variables.ReplaceVariables(L"[%VARIABLE " + Path(L"Count") + L"|reg_dword%]"));
    EXPECT_WSTREQ8(L"[0]", run_.variables.ReplaceVariables(L"[%VARIABLE " + Path(L"Missing") + L"|REG_DWORD%]"));
    EXPECT_WSTREQ8(L"[]", run_.variables.ReplaceVariables(L"[%VARIABLE " + Path(L"Count") + L"|REG_SZ%]"));  // wrong type

    ASSERT_TRUE(WriteFileBytes(folder_ / L"empty.txt", ""));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"long.txt", std::string(5000, 'z')));
    EXPECT_WSTREQ8(L"[]", run_.variables.ReplaceVariables(L"[%VARIABLE " + (folder_ / L"empty.txt") + L"|FILE%]"));
    EXPECT_EQ(run_.variables.ReplaceVariables(L"%VARIABLE " + (folder_ / L"long.txt") + L"|file%"), std::wstring(1023, L'z'));
    EXPECT_WSTREQ8(L"[]", run_.variables.ReplaceVariables(L"[%VARIABLE " + (folder_ / L"none.txt") + L"|FILE%]"));
    EXPECT_WSTREQ8(L"[]", run_.variables.ReplaceVariables(L"[%VARIABLE source|XML%]"));
    EXPECT_WSTREQ8(L"[]", run_.variables.ReplaceVariables(L"[%VARIABLE no-bar%]"));
    EXPECT_WSTREQ8(L"open %VARIABLE x|FILE", run_.variables.ReplaceVariables(L"open %VARIABLE x|FILE"));

    const std::string text = log.Finish();
    EXPECT_NE(text.find("\tVariable replacement:\t" + WideToUtf8(Path(L"Path")) + ", C:\\Data\r\n"), std::string::npos);
    EXPECT_NE(text.find("\tErrors opening:\t" + WideToUtf8(folder_ / L"none.txt") + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("\tUnknown variable type:\tsource, XML\r\n\tVariable replacement:\tsource, \r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("no-bar"), std::string::npos);
}

TEST_F(VariablesTest, AtMostTwentySixTokens) {
    std::wstring text;
    for (int i = 0; i < 27; ++i) text += L"%VARIABLE " + Path(L"Path" + std::to_wstring(i)) + L"|REG_SZ%;";
    const std::wstring result = run_.variables.ReplaceVariables(text);
    EXPECT_WSTREQ8(std::wstring(26, L';') + L"%VARIABLE " + Path(L"Path26") + L"|REG_SZ%;", result);
}

TEST_F(VariablesTest, PrepareTextForms) {
    EXPECT_WSTREQ8(L"a\r\nb\r\nc", NormalizeLineBreaks(L"a\nb\r\nc"));
    EXPECT_WSTREQ8(L"\r\n\r\n", NormalizeLineBreaks(L"\n\r\n"));
    EXPECT_WSTREQ8(L"", run_.variables.PrepareText(L"", 0));
    EXPECT_WSTREQ8(L"x\r\ny", run_.variables.PrepareText(L"x\ny", 0));
    // A document text of its own keeps its line breaks; an empty one takes the default.
    EXPECT_WSTREQ8(L"x\ny", run_.variables.PrepareText(L"x\ny", 232));
    EXPECT_WSTREQ8(run_.variables.PrepareText(232), run_.variables.PrepareText(L"", 232));
    EXPECT_NE(run_.variables.PrepareText(232).find(L"latest version"), std::wstring::npos);
    EXPECT_WSTREQ8(L"", run_.variables.PrepareText(999));
}

}  // namespace
