#include "description/variables.h"

#include <gtest/gtest.h>

#include "foundation/registry_operations.h"
#include "foundation/system_facts.h"
#include "foundation/run_state.h"
#include "test_support.h"

namespace {

class VariablesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registry_.active());
        ASSERT_EQ(ApplyRegistryAction(kKey, L"Path", L"Add REG_SZ C:\\Data"), 1);
        ASSERT_EQ(ApplyRegistryAction(kKey, L"Count", L"Add REG_DWORD 4000000000"), 1);
    }

    static std::wstring Path(const std::wstring& value) { return std::wstring(kKey) + L"\\" + value; }

    std::wstring Replace(const std::wstring& text) { return run_.variables.ReplaceVariables(text); }
    static std::wstring Token(const std::wstring& source, const wchar_t* type) {
        return L"%VARIABLE " + source + L"|" + type + L"%";
    }

    static constexpr const wchar_t* kKey = L"HKEY_CURRENT_USER\\Software\\RenewixTest\\Variables";
    RegistryOverride registry_;
    ScratchFolder folder_{L"variables"};
    TestRun run_;
};

TEST_F(VariablesTest, PredefinedVariablesWithCase) {
    run_.state.CurrentVersion = L"1.0";
    run_.state.UpdateVersion = L"2.0";
    EXPECT_WSTREQ8(L"from 1.0 to 2.0 (1.0) %currentversion%",
                   Replace(L"from %CurrentVersion% to %UpdateVersion% (%CurrentVersion%) %currentversion%"));
    EXPECT_WSTREQ8(L"on " + OperatingSystemName() + L" as " + LoginName(), Replace(L"on %Platform% as %Login%"));
    EXPECT_WSTREQ8(HostName() + L"/" + IpAddress(), Replace(L"%HostName%/%IpAddress%"));
    // The test executable carries no record: the configured names are empty.
    EXPECT_WSTREQ8(L"[]", Replace(L"[%ApplicationName%%CompanyName%%CompanyEmail%]"));
}

TEST_F(VariablesTest, RegistryAndFileTokens) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"empty.txt", ""));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"long.txt", std::string(5000, 'z')));
    ASSERT_EQ(ApplyRegistryAction(kKey, L"Full", L"Add REG_SZ " + std::wstring(511, L'f')), 1);
    ASSERT_EQ(ApplyRegistryAction(kKey, L"Over", L"Add REG_SZ " + std::wstring(512, L'o')), 1);
    const std::wstring path = Token(Path(L"Path"), L"REG_SZ"), none = folder_ / L"none.txt";
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"at " + path + L", " + path, L"at C:\\Data, C:\\Data"},
        {L"n=" + Token(Path(L"Count"), L"REG_DWORD"), L"n=-294967296"},
        // Text values of up to 511 characters, as many as promised.
        {Token(Path(L"Full"), L"REG_SZ"), std::wstring(511, L'f')},
        {L"[" + Token(Path(L"Over"), L"REG_SZ") + L"]", L"[]"},
        // A lower-case registry type is accepted, but the read answers only for the upper-case name.
        {L"[" + Token(Path(L"Path"), L"reg_sz") + L"]", L"[]"},
        {L"[" + Token(Path(L"Missing"), L"REG_DWORD") + L"]", L"[0]"},
        {L"[" + Token(Path(L"Count"), L"REG_SZ") + L"]", L"[]"},  // the wrong type
        {L"[" + Token(folder_ / L"empty.txt", L"FILE") + L"]", L"[]"},
        {Token(folder_ / L"long.txt", L"file"), std::wstring(1023, L'z')},
        {L"[" + Token(none, L"FILE") + L"]", L"[]"},
        {L"[" + Token(L"source", L"XML") + L"]", L"[]"},
        {L"[%VARIABLE no-bar%]", L"[]"},
        {L"open %VARIABLE x|FILE", L"open %VARIABLE x|FILE"},
    };
    CapturedLog log(folder_ / L"tokens.log");
    for (const auto& [text, expected] : cases) EXPECT_WSTREQ8(expected, Replace(text)) << WideToUtf8(text);
    const std::string text = log.Finish();
    EXPECT_NE(text.find(WideToUtf8(Path(L"Path")) + ", C:\\Data"), std::string::npos) << text;
    EXPECT_NE(text.find(WideToUtf8(none)), std::string::npos) << text;
    EXPECT_NE(text.find("source, XML"), std::string::npos) << text;
    EXPECT_EQ(text.find("no-bar"), std::string::npos) << text;
}

TEST_F(VariablesTest, AtMostTwentySixTokens) {
    std::wstring text;
    for (int i = 0; i < 27; ++i) text += Token(Path(L"Path" + std::to_wstring(i)), L"REG_SZ") + L";";
    EXPECT_WSTREQ8(std::wstring(26, L';') + Token(Path(L"Path26"), L"REG_SZ") + L";", Replace(text));
}

TEST_F(VariablesTest, PrepareTextForms) {
    EXPECT_WSTREQ8(L"a\r\nb\r\nc", NormalizeLineBreaks(L"a\nb\r\nc"));
    EXPECT_WSTREQ8(L"\r\n\r\n", NormalizeLineBreaks(L"\n\r\n"));
    EXPECT_WSTREQ8(L"", run_.variables.PrepareText(L"", 0));
    EXPECT_WSTREQ8(L"x\r\ny", run_.variables.PrepareText(L"x\ny", 0));
    // A document text of its own keeps its line breaks; an empty one takes the default.
    EXPECT_WSTREQ8(L"x\ny", run_.variables.PrepareText(L"x\ny", 232));
    const std::wstring fallback = run_.variables.PrepareText(L"", 232);
    EXPECT_NE(fallback.find(L"latest version"), std::wstring::npos);
    EXPECT_EQ(fallback.find(L"%ApplicationName%"), std::wstring::npos) << WideToUtf8(fallback);  // replaced
    EXPECT_WSTREQ8(L"", run_.variables.PrepareText(999));
}

}  // namespace
