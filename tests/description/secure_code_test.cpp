#include "description/secure_code.h"

#include <gtest/gtest.h>

#include "description/description_support.h"

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
    return ZlibCrc(bytes);
}

class SecureCodeTest : public DocumentTest {
protected:
    SecureCodeTest() : DocumentTest(L"secure-code") {}

    bool Check(const std::wstring& xml, const std::wstring& base, std::string* log) {
        Load(xml);
        bool result = false;
        *log = LogOf([&] { result = CheckDocumentSecureCode(document_, base, false, nullptr, TestLog()); });
        return result;
    }

    static std::wstring Hex(std::uint32_t value, const wchar_t* format = L"%08X") { return FormatText(format, value); }
};

TEST_F(SecureCodeTest, HexadecimalCodesReadAsTheCLibraryDoes) {
    // Lower case, "0x" and text after the digits: see the documents below.
    EXPECT_EQ(ParseHexCode(L"  0xCBF43926"), 0xCBF43926u);
    EXPECT_EQ(ParseHexCode(L"zz"), 0u);
    EXPECT_EQ(ParseHexCode(L"1FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseHexCode(L"-1"), 0xFFFFFFFFu);
}

// Each document against a base code: whether it is accepted, and what its log says of the code.
TEST_F(SecureCodeTest, ChecksDocumentsAgainstTheBaseCode) {
    const std::string matched = "derived correctly", notFound = "expected but not found",
                      noBranch = "does not specify the SecureCode branch";
    // A refusal names the code it read and the CRC it derived, so that a vendor can see which is wrong.
    const auto mismatch = [](const std::wstring& code, std::uint32_t derived) {
        return "\tSecurity code:\t" + WideToUtf8(code) + "\r\n\tDerived code:\t" +
               std::to_string(static_cast<int>(derived));
    };
    const auto coded = [](const std::wstring& covered, const std::wstring& code) {
        return L"<Renewix>" + covered + L"<SecureCode>" + code + L"</SecureCode></Renewix>";
    };
    const std::wstring version = L"<UpdateVersion>1.2</UpdateVersion>";
    const std::uint32_t crc = IndependentCrc(version);
    // Blanks, tabs and line ends do not count, nor does anything after the code.
    const std::wstring body = L"<UpdateVersion>2.0</UpdateVersion><FileList><File Name=\"a.exe\" Size=\"5\"/></FileList>";
    const std::wstring bodyCode = Hex(0x1234 + IndependentCrc(body));
    const auto indented = [&](const wchar_t* after) {
        return L"<?xml version=\"1.0\"?>\r\n<Renewix>\r\n\t<UpdateVersion>2.0</UpdateVersion>\r\n  <FileList>\n    "
               L"<File Name=\"a.exe\" Size=\"5\"/>\n  </FileList>\r\n\t<SecureCode>" +
               bodyCode + L"</SecureCode>\r\n\t<Welcome>" + after + L"</Welcome>\r\n</Renewix>\r\n";
    };
    // The covered text runs to the second element, so it holds the whole first one; with the
    // first code fixed at 0, the base code must make up the difference.
    const std::wstring firstCode = L"<UpdateVersion>1</UpdateVersion><SecureCode>00000000</SecureCode>";
    const std::uint32_t twoCodes = IndependentCrc(firstCode);
    const std::wstring twoCodesXml = L"<Renewix>" + firstCode + L"<SecureCode>5</SecureCode></Renewix>";
    const struct {
        const char* what;
        std::wstring xml;
        std::wstring base;
        bool accepted;
        std::string log;
    } rows[] = {
        {"no code, a zero base: nothing to say", L"<Renewix/>", L"0", true, ""},
        {"no code, no base: nothing to say", L"<Renewix>" + version + L"</Renewix>", L"", true, ""},
        {"no code, a base", L"<Renewix>" + version + L"</Renewix>", L"1F", false, noBranch},
        {"lower case", coded(version, Hex(crc, L"%08x")), L"", true, matched},
        {"with 0x", coded(version, Hex(crc, L"0x%X")), L"", true, matched},
        {"with text after", coded(version, Hex(crc, L"%X trailing")), L"", true, matched},
        {"base + CRC, modulo 2^32", coded(version, Hex(crc + 0xF0000000u)), L"F0000000", true, matched},
        {"indented", indented(L"free to change"), L"1234", true, matched},
        {"changed after the code", indented(L"changed freely"), L"1234", true, matched},
        {"tampered", coded(L"<UpdateVersion>2.1</UpdateVersion>", Hex(crc)), L"", false,
         mismatch(Hex(crc), IndependentCrc(L"<UpdateVersion>2.1</UpdateVersion>"))},
        {"the wrong base", coded(version, Hex(crc)), L"1", false, mismatch(Hex(crc), crc)},
        {"a code element with an attribute",
         L"<Renewix><UpdateVersion>1</UpdateVersion><SecureCode kind=\"crc\">0</SecureCode></Renewix>", L"", false,
         notFound},
        {"an empty code element", L"<Renewix><SecureCode/></Renewix>", L"5", false, notFound},
        {"two codes, the first read", twoCodesXml, Hex(0u - twoCodes), true, matched},
        {"two codes, not the last read", twoCodesXml, Hex(5u - twoCodes), false,
         mismatch(L"00000000", twoCodes)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string log;
        EXPECT_EQ(Check(row.xml, row.base, &log), row.accepted);
        if (row.log.empty()) {
            EXPECT_EQ(log, "\tEnd of recording\r\n");
        } else {
            EXPECT_NE(log.find(row.log), std::string::npos) << log;
        }
    }
}

// What follows the last code is not covered: it goes, on record, before any list is read.
TEST_F(SecureCodeTest, ElementsAfterTheLastCodeAreDropped) {
    const std::string ignored = "\tIgnored, not covered by the security code (after SecureCode):\t";
    const struct {
        std::wstring inside;
        int dropped;
        std::string log;
        const char* kept;
    } rows[] = {
        {L"<UpdateVersion>1</UpdateVersion><SecureCode>1</SecureCode><ShellExec><Execute File=\"x\"/></ShellExec>"
         L"<!-- note --><UpdateType>Silent</UpdateType>",
         2, ignored + "ShellExec, UpdateType\r\n", "UpdateVersion SecureCode"},
        // A second code element in another form does not move the boundary: the covered text still
        // ends at the last "<SecureCode>", so what was appended before the other form goes too.
        {L"<UpdateVersion>1</UpdateVersion><SecureCode>1</SecureCode><ShellExec/><SecureCode x=\"1\"/><RegList/>"
         L"<SecureCode/>",
         4, ignored + "ShellExec, SecureCode, RegList, SecureCode\r\n", "UpdateVersion SecureCode"},
        // A child that spells the opening tag inside itself holds the boundary: only its start is
        // covered, so it goes as well.
        {L"<SecureCode>1</SecureCode><ShellExec><Execute File=\"x\"/><SecureCode>2</SecureCode></ShellExec>", 1,
         ignored + "ShellExec\r\n", "SecureCode"},
        // Nothing after the code, or no code at all: nothing goes and nothing is logged.
        {L"<UpdateType>Silent</UpdateType><SecureCode>1</SecureCode>", 0, "", "UpdateType SecureCode"},
        {L"<UpdateType>Silent</UpdateType>", 0, "", "UpdateType"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(WideToUtf8(row.inside));
        const XmlNode root = Load(L"<Renewix>" + row.inside + L"</Renewix>");
        int dropped = -1;
        const std::string log = LogOf([&] { dropped = DropUncoveredElements(document_, TestLog()); });
        EXPECT_EQ(dropped, row.dropped);
        EXPECT_EQ(log, row.log + "\tEnd of recording\r\n");
        std::string kept;
        for (const XmlNode& child : root.SelectChildren(L"*")) {
            kept += (kept.empty() ? "" : " ") + WideToUtf8(child.Name());
        }
        EXPECT_EQ(kept, row.kept);
    }
}

}  // namespace
