#include "publish/publisher.h"

#include <gtest/gtest.h>

#include "description/secure_code.h"
#include "description/xml_document.h"
#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "test_support.h"
#include "transfer/crc32.h"
#include "transfer/ftp_downloader.h"

namespace {

class PublisherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(com_.succeeded());
        CreateDirectoryW((folder_ / L"release").c_str(), nullptr);
        CreateDirectoryW((folder_ / L"release\\bin").c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(folder_ / L"release\\bin\\app.exe", "123456789"));
        ASSERT_TRUE(WriteFileBytes(folder_ / L"release\\readme.txt", std::string(5000, 'r')));
        ASSERT_TRUE(CopyFileW((ApplicationDirectory() + L"Renewix.exe").c_str(),
                              (folder_ / L"release\\Renewix.exe").c_str(), FALSE));
    }

    PublishRequest Request(const std::wstring& document, const std::wstring& base = L"1F2E3D4C") {
        WriteFileBytes(folder_ / L"update.xml", WideToUtf8(document));
        return PublishRequest{folder_ / L"update.xml", folder_ / L"release", base, folder_ / L"out.xml", false};
    }

    XmlDocument LoadOutput() {
        XmlDocument document = XmlDocument::Create();
        EXPECT_TRUE(document.LoadFile(folder_ / L"out.xml"));
        return document;
    }

    bool ClientAccepts(const XmlDocument& document, const std::wstring& base) {
        CapturedLog log(folder_ / L"client.log");
        return CheckDocumentSecureCode(document, base, false, nullptr);
    }

    renewix::ScopedComInit com_;
    ScratchFolder folder_{L"publisher"};
};

const wchar_t kDocument[] =
    L"<?xml version=\"1.0\"?>\n<Renewix>\n  <UpdateVersion>2.0</UpdateVersion>\n  <FileList>\n"
    L"    <Directory Name=\"&lt;ApplicationDir&gt;\">\n      <File Name=\"app.exe\" Src=\"bin/\" Size=\"1\"/>\n"
    L"      <Directory Name=\"docs\"><File Name=\"readme.txt\"/></Directory>\n"
    L"      <File Name=\"Renewix.exe\"/>\n    </Directory>\n  </FileList>\n"
    L"  <SecureCode>stale</SecureCode>\n  <Welcome>Hello &amp; welcome</Welcome>\n</Renewix>\n";

TEST_F(PublisherTest, FillsSizesCrcsAndACodeTheClientAccepts) {
    PublishRequest request = Request(kDocument);
    request.versions = true;
    std::wstring report, error, warnings;
    ASSERT_TRUE(Publish(request, report, error, warnings)) << WideToUtf8(error);
    EXPECT_EQ(warnings, L"");

    XmlDocument document = LoadOutput();
    std::vector<XmlNode> files = document.SelectSingle(L"Renewix/FileList/Directory").SelectChildren(L"File");
    ASSERT_EQ(files.size(), 2u);
    auto attributes = files[0].Attributes();
    EXPECT_EQ(WideToUtf8(attributes[2].first + L"=" + attributes[2].second), "Size=9");
    EXPECT_EQ(WideToUtf8(attributes[3].first + L"=" + attributes[3].second), "CRC=CBF43926");
    std::uint32_t crc = 0;
    CCrc32Static::ComputeFileCrc(folder_ / L"release\\Renewix.exe", crc);
    bool sawVersion = false;
    for (const auto& [name, value] : files[1].Attributes()) {
        if (name == L"CRC") EXPECT_EQ(value, FormatText(L"%08X", crc));
        if (name == L"ByVersion") sawVersion = value == FileVersionString(ApplicationDirectory() + L"Renewix.exe");
    }
    EXPECT_TRUE(sawVersion);
    EXPECT_EQ(WideToUtf8(document.SelectSingle(L"Renewix/FileList/Directory/Directory/File").Attributes()[1].second),
              "5000");
    // One code, placed last, so that it covers everything.
    EXPECT_EQ(document.SelectSingle(L"Renewix").SelectChildren(L"SecureCode").size(), 1u);
    EXPECT_TRUE(ClientAccepts(document, L"1F2E3D4C"));
    EXPECT_FALSE(ClientAccepts(document, L"1F2E3D4D"));
    EXPECT_NE(report.find(L"bin\\app.exe: 9 bytes, CRC CBF43926"), std::wstring::npos) << WideToUtf8(report);
}

TEST_F(PublisherTest, ChangingOneByteOfThePublishedFileBreaksTheCode) {
    std::wstring report, error, warnings;
    ASSERT_TRUE(Publish(Request(kDocument, L"0x0"), report, error, warnings)) << WideToUtf8(error);
    std::string bytes = ReadFileBytes(folder_ / L"out.xml");
    ASSERT_TRUE(ClientAccepts(LoadOutput(), L"0"));
    const std::size_t at = bytes.find("2.0");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = '3';
    ASSERT_TRUE(WriteFileBytes(folder_ / L"out.xml", bytes));
    EXPECT_FALSE(ClientAccepts(LoadOutput(), L"0"));
}

TEST_F(PublisherTest, RefusesWithoutWritingAnything) {
    struct Case {
        std::wstring document;
        std::wstring base;
        const char* message;
    };
    const Case cases[] = {
        {L"<Renewix><FileList><File Name=\"gone.dll\" Src=\"bin/\"/></FileList></Renewix>", L"1",
         "gone.dll' does not exist"},
        {L"<Update><FileList/></Update>", L"1", "has no Renewix root element"},
        {L"<Renewix><FileList>", L"1", "is not a well-formed XML document"},
        {L"<Renewix/>", L"xyz", "the base secure code 'xyz' is not a hexadecimal number of up to 8 digits"},
        {L"<Renewix/>", L"123456789", "is not a hexadecimal number"},
        {L"<Renewix/>", L"", "is not a hexadecimal number"},
        {L"<Renewix version=\"2\"/>", L"1", "must not carry attributes"},
    };
    // A failed run leaves the vendor's earlier output exactly as it was, and no temporary file.
    ASSERT_TRUE(WriteFileBytes(folder_ / L"out.xml", "the earlier output"));
    for (const Case& c : cases) {
        std::wstring report, error, warnings;
        EXPECT_FALSE(Publish(Request(c.document, c.base), report, error, warnings));
        EXPECT_NE(WideToUtf8(error).find(c.message), std::string::npos) << WideToUtf8(error);
        EXPECT_EQ(ReadFileBytes(folder_ / L"out.xml"), "the earlier output");
        EXPECT_FALSE(Exists(folder_ / L"out.xml.publishing"));
    }
}

TEST_F(PublisherTest, OutputMayNotBeTheInput) {
    PublishRequest request = Request(kDocument);
    const std::string original = ReadFileBytes(request.document);
    for (const std::wstring& output : {request.document, folder_ / L"release\\..\\UPDATE.XML"}) {
        request.output = output;
        std::wstring report, error, warnings;
        EXPECT_FALSE(Publish(request, report, error, warnings));
        EXPECT_NE(error.find(L"is the input document"), std::wstring::npos) << WideToUtf8(error);
        EXPECT_EQ(ReadFileBytes(request.document), original);
    }
    EXPECT_FALSE(IsSameFile(folder_ / L"update.xml", folder_ / L"out.xml"));
}

TEST_F(PublisherTest, WarnsOfWhatClientsWillNotDoAsWritten) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"release\\empty.txt", ""));
    std::wstring report, error, warnings;
    ASSERT_TRUE(Publish(Request(L"<Renewix><FileList>"
                                L"<File Name=\"empty.txt\"/>"
                                L"<File Name=\"readme.txt\" ByVersion=\"1.0\"/>"
                                L"<File Name=\"Renewix.exe\" ByVersion=\"0.9\" ByDate=\"52CF6000\"/>"
                                L"</FileList></Renewix>"),
                        report, error, warnings))
        << WideToUtf8(error);
    EXPECT_EQ(WideToUtf8(warnings),
              "empty.txt is empty: clients never fetch a file of size 0, so it will not be installed\r\n"
              "readme.txt keeps ByVersion=\"1.0\" but has no version resource: clients that have the file will "
              "always fetch it again\r\n"
              "Renewix.exe keeps ByDate=\"52CF6000\" as written: this tool does not refresh it, so check that it is "
              "the release file's date\r\n");
    EXPECT_TRUE(Exists(folder_ / L"out.xml"));
}

TEST_F(PublisherTest, Utf16OutputIsWhatTheFtpClientReads) {
    std::wstring document = kDocument;
    ReplaceAll(document, L"Hello &amp; welcome", L"Caf\u00e9 \u20ac");
    PublishRequest request = Request(document);
    request.utf16 = true;
    std::wstring report, error, warnings;
    ASSERT_TRUE(Publish(request, report, error, warnings)) << WideToUtf8(error);

    std::wstring text;
    ASSERT_EQ(DecodeFtpDocument(ReadFileBytes(folder_ / L"out.xml"), text), FtpDocumentFault::None);
    EXPECT_TRUE(StartsWith(text, L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Renewix>")) << WideToUtf8(text);
    EXPECT_EQ(text.find(L"<?xml", 1), std::wstring::npos);
    EXPECT_NE(text.find(L"Caf\u00e9 \u20ac"), std::wstring::npos);
    XmlDocument parsed = XmlDocument::Create();
    ASSERT_TRUE(parsed.LoadText(text));
    EXPECT_TRUE(ClientAccepts(parsed, L"1F2E3D4C"));
    // The same file serves HTTP and share clients, whose parser reads the file itself.
    EXPECT_TRUE(ClientAccepts(LoadOutput(), L"1F2E3D4C"));
}

TEST(PublisherText, DeclarationNamesUtf16) {
    const std::wstring declaration = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n";
    EXPECT_WSTREQ8(declaration + L"<a/>", Utf16DocumentText(L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\t<a/>"));
    EXPECT_WSTREQ8(declaration + L"<a/>", Utf16DocumentText(L"<a/>"));
    EXPECT_WSTREQ8(declaration + L"<?xml-stylesheet href=\"s\"?><a/>", Utf16DocumentText(L"<?xml-stylesheet href=\"s\"?><a/>"));
}

TEST_F(PublisherTest, BaseCodeSpellings) {
    std::uint32_t code = 0;
    EXPECT_TRUE(ParseBaseCode(L"0", code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(ParseBaseCode(L"0xFFFFFFFF", code));
    EXPECT_EQ(code, 0xFFFFFFFFu);
    EXPECT_TRUE(ParseBaseCode(L"abcDEF01", code));
    EXPECT_EQ(code, 0xABCDEF01u);
    EXPECT_FALSE(ParseBaseCode(L"0x", code));
    EXPECT_FALSE(ParseBaseCode(L" 1", code));
    EXPECT_FALSE(ParseBaseCode(L"-1", code));
}

}  // namespace
