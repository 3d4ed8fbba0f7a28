#include "description/secure_code.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "foundation/xml_document.h"
#include "foundation/win_resource.h"
#include "test_support.h"

namespace {

// The CRC of text as UTF-16LE bytes without blanks, tabs and line ends, computed apart
// from the client's own code.
std::uint32_t IndependentCrc(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') continue;
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

class SecureCodeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(com_.succeeded()); }

    bool Check(const std::wstring& xml, const std::wstring& base, std::string* log = nullptr) {
        XmlDocument document = XmlDocument::Create();
        EXPECT_TRUE(document.LoadText(xml)) << WideToUtf8(xml);
        bool result;
        {
            CapturedLog captured(folder_ / L"check.log");
            result = CheckDocumentSecureCode(document, base, false, nullptr, TestLog());
            std::string text = captured.Finish();
            if (log) *log = text;
        }
        return result;
    }

    static std::wstring Hex(std::uint32_t value, const wchar_t* format = L"%08X") { return FormatText(format, value); }

    renewix::ScopedComInit com_;
    ScratchFolder folder_{L"secure-code"};
};

TEST_F(SecureCodeTest, HexadecimalCodesReadAsTheCLibraryDoes) {
    EXPECT_EQ(ParseHexCode(L"cbf43926"), 0xCBF43926u);
    EXPECT_EQ(ParseHexCode(L"  0xCBF43926"), 0xCBF43926u);
    EXPECT_EQ(ParseHexCode(L"1A2Bxyz"), 0x1A2Bu);
    EXPECT_EQ(ParseHexCode(L""), 0u);
    EXPECT_EQ(ParseHexCode(L"zz"), 0u);
    EXPECT_EQ(ParseHexCode(L"1FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseHexCode(L"-1"), 0xFFFFFFFFu);
}

TEST_F(SecureCodeTest, DocumentsWithoutACode) {
    std::string log;
    EXPECT_TRUE(Check(L"<Renewix><UpdateVersion>1.2</UpdateVersion></Renewix>", L"", &log));
    EXPECT_EQ(log, "\tEnd of recording\r\n");
    EXPECT_TRUE(Check(L"<Renewix/>", L"0", &log));
    EXPECT_FALSE(Check(L"<Renewix><UpdateVersion>1.2</UpdateVersion></Renewix>", L"1F", &log));
    EXPECT_NE(log.find("\r\nSerious error! The update client was built with a security code, but the update XML file "
                       "does not specify the SecureCode branch. Exiting.\r\n"),
              std::string::npos)
        << log;
}

TEST_F(SecureCodeTest, MatchingCodesPassInEveryHexadecimalSpelling) {
    const std::wstring covered = L"<UpdateVersion>1.2</UpdateVersion>";
    const std::uint32_t crc = IndependentCrc(covered);
    for (const wchar_t* format : {L"%08X", L"%08x", L"0x%X", L"%X trailing"}) {
        std::string log;
        EXPECT_TRUE(Check(L"<Renewix>" + covered + L"<SecureCode>" + Hex(crc, format) + L"</SecureCode></Renewix>",
                          L"", &log))
            << WideToUtf8(format);
        EXPECT_EQ(log, "\tSecurity code checking required\r\n\tSecurity code detected and derived correctly\r\n"
                       "\tEnd of recording\r\n");
    }
    // With a base code the document carries base + CRC, modulo 2^32.
    EXPECT_TRUE(Check(L"<Renewix>" + covered + L"<SecureCode>" + Hex(crc + 0xF0000000u) + L"</SecureCode></Renewix>",
                      L"F0000000"));
}

TEST_F(SecureCodeTest, WhiteSpaceAndElementsAfterTheCodeDoNotCount) {
    const std::wstring body = L"<UpdateVersion>2.0</UpdateVersion><FileList><File Name=\"a.exe\" Size=\"5\"/></FileList>";
    const std::uint32_t code = SecureCodeFor(0x1234, body);
    const std::wstring indented =
        L"<?xml version=\"1.0\"?>\r\n<Renewix>\r\n\t<UpdateVersion>2.0</UpdateVersion>\r\n  <FileList>\n    "
        L"<File Name=\"a.exe\" Size=\"5\"/>\n  </FileList>\r\n\t<SecureCode>" +
        Hex(code) + L"</SecureCode>\r\n\t<Welcome>free to change</Welcome>\r\n</Renewix>\r\n";
    EXPECT_TRUE(Check(indented, L"1234"));
    std::wstring changedAfter = indented;
    changedAfter.replace(changedAfter.find(L"free to change"), 14, L"changed freely");
    EXPECT_TRUE(Check(changedAfter, L"1234"));
}

TEST_F(SecureCodeTest, TamperingFailsWithTheReason) {
    const std::wstring body = L"<UpdateVersion>2.0</UpdateVersion>";
    const std::uint32_t code = SecureCodeFor(0, body);
    std::string log;
    EXPECT_FALSE(Check(L"<Renewix><UpdateVersion>2.1</UpdateVersion><SecureCode>" + Hex(code) +
                           L"</SecureCode></Renewix>",
                       L"", &log));
    const std::uint32_t derived = IndependentCrc(L"<UpdateVersion>2.1</UpdateVersion>");
    EXPECT_EQ(log, "\tSecurity code checking required\r\n"
                   "\r\nThe security code of the update XML file does not match the expected value, possibly due to "
                   "file tampering. Update will terminate.\r\n"
                   "\tBase security code:\t\r\n\tSecurity code:\t" +
                       WideToUtf8(Hex(code)) + "\r\n\tDerived code:\t" + std::to_string(static_cast<int>(derived)) +
                       "\r\n\tEnd of recording\r\n");
    // The wrong base code fails as well.
    EXPECT_FALSE(Check(L"<Renewix>" + body + L"<SecureCode>" + Hex(code) + L"</SecureCode></Renewix>", L"1"));
}

TEST_F(SecureCodeTest, CodeElementThatCannotBeFoundInTheMarkup) {
    std::string log;
    EXPECT_FALSE(Check(L"<Renewix><UpdateVersion>1</UpdateVersion><SecureCode kind=\"crc\">0</SecureCode></Renewix>",
                       L"", &log));
    EXPECT_EQ(log, "\tSecurity code checking required\r\n\tSecurity code expected but not found in XML\r\n"
                   "\tEnd of recording\r\n");
    EXPECT_FALSE(Check(L"<Renewix><SecureCode/></Renewix>", L"5"));
}

TEST_F(SecureCodeTest, TwoCodesTheFirstIsReadTheLastEndsTheCoveredText) {
    // The covered text runs to the second element, so it holds the whole first one; with
    // the first code fixed at 0, the base code must make up the difference.
    const std::wstring xml = L"<Renewix><UpdateVersion>1</UpdateVersion><SecureCode>00000000</SecureCode>"
                             L"<SecureCode>5</SecureCode></Renewix>";
    const std::uint32_t derived = IndependentCrc(L"<UpdateVersion>1</UpdateVersion><SecureCode>00000000</SecureCode>");
    EXPECT_TRUE(Check(xml, Hex(0u - derived)));
    EXPECT_FALSE(Check(xml, Hex(5u - derived)));
}

// What follows the last code is not covered: it goes before any list is read.
TEST_F(SecureCodeTest, ElementsAfterTheLastCodeAreDropped) {
    XmlDocument document = XmlDocument::Create();
    ASSERT_TRUE(document.LoadText(L"<Renewix><UpdateVersion>1</UpdateVersion><SecureCode>1</SecureCode>"
                                  L"<ShellExec><Execute File=\"x\"/></ShellExec><!-- note -->"
                                  L"<UpdateType>Silent</UpdateType></Renewix>"));
    CapturedLog captured(folder_ / L"dropped.log");
    EXPECT_EQ(DropUncoveredElements(document, TestLog()), 2);
    EXPECT_EQ(captured.Finish(), "\tIgnored, not covered by the security code (after SecureCode):\tShellExec, "
                                 "UpdateType\r\n\tEnd of recording\r\n");
    EXPECT_FALSE(document.SelectSingle(L"Renewix/ShellExec"));
    EXPECT_FALSE(document.SelectSingle(L"Renewix/UpdateType"));
    EXPECT_TRUE(document.SelectSingle(L"Renewix/UpdateVersion"));

    // A second code element in another form does not move the boundary: the covered text still
    // ends at the last "<SecureCode>", so what was appended before the other form goes too.
    ASSERT_TRUE(document.LoadText(L"<Renewix><UpdateVersion>1</UpdateVersion><SecureCode>1</SecureCode>"
                                  L"<ShellExec/><SecureCode x=\"1\"/><RegList/><SecureCode/></Renewix>"));
    EXPECT_EQ(DropUncoveredElements(document, TestLog()), 4);
    EXPECT_EQ(document.SelectSingle(L"Renewix").SelectChildren(L"*").size(), 2u);
    // A child that spells the opening tag inside itself holds the boundary: only its start is
    // covered, so it goes as well.
    ASSERT_TRUE(document.LoadText(L"<Renewix><SecureCode>1</SecureCode><ShellExec><Execute File=\"x\"/>"
                                  L"<SecureCode>2</SecureCode></ShellExec></Renewix>"));
    EXPECT_EQ(DropUncoveredElements(document, TestLog()), 1);
    EXPECT_FALSE(document.SelectSingle(L"Renewix/ShellExec"));

    // Nothing after the code, or no code at all: nothing goes and nothing is logged.
    ASSERT_TRUE(document.LoadText(L"<Renewix><UpdateType>Silent</UpdateType><SecureCode>1</SecureCode></Renewix>"));
    EXPECT_EQ(DropUncoveredElements(document, TestLog()), 0);
    ASSERT_TRUE(document.LoadText(L"<Renewix><UpdateType>Silent</UpdateType></Renewix>"));
    EXPECT_EQ(DropUncoveredElements(document, TestLog()), 0);
    EXPECT_TRUE(document.SelectSingle(L"Renewix/UpdateType"));
}

}  // namespace
