#include "config/settings_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

namespace {

std::wstring Parse(const std::wstring& text, ClientConfig::Bytes& record) {
    std::wstring error;
    return ParseSettings(text, record, error) ? L"" : error;
}

Ed25519PublicKey TestKey(std::uint8_t fill) { return PublicKeyFor(SeedOf(fill)); }

TEST(SettingsFile, FormatThenParseGivesTheSameRecord) {
    ClientConfig::Bytes record{};
    ASSERT_EQ(Parse(L"; vendor settings\r\n[Application]\r\n  ApplicationName =  Example Viewer  \r\n"
                    L"CompanyName=\"  padded  \"\r\nCheckNowKeyword=\"quoted\"\r\nDefaultVersion=" +
                        std::wstring(31, L'1') + L"\r\n# comment\r\n[options]\r\ncheckfrequency=7\r\n",
                    record),
              L"");
    // A text may fill all but the last byte of its field (the refusals below hold one byte more).
    EXPECT_EQ(record[config_record::kDefaultVersion + 30], '1');
    ClientConfig config;
    config.LoadFromBytes(record.data(), record.size());
    EXPECT_WSTREQ8(L"Example Viewer", config.ApplicationName());
    EXPECT_WSTREQ8(L"  padded  ", config.CompanyName());
    EXPECT_WSTREQ8(L"quoted", config.CheckNowKeyword());
    EXPECT_EQ(config.CheckFrequency(), 7u);

    // Values that need quotes survive the round trip.
    ClientConfig::Bytes tricky{};
    const char name[] = "\"starts with a quote";
    std::memcpy(tricky.data() + config_record::kApplicationName, name, sizeof(name) - 1);
    const char blanks[] = " a b ";
    std::memcpy(tricky.data() + config_record::kCompanyName, blanks, sizeof(blanks) - 1);
    tricky[config_record::kInstanceNumber + 3] = 0x80;
    for (const ClientConfig::Bytes* original : {&record, &tricky}) {
        ClientConfig::Bytes again{};
        std::wstring text = FormatSettings(*original);
        ASSERT_EQ(Parse(text, again), L"") << WideToUtf8(text);
        EXPECT_TRUE(again == *original) << WideToUtf8(text);
        EXPECT_WSTREQ8(text, FormatSettings(again));
    }
}

// A refused file leaves the record and the extras as they were.
TEST(SettingsFile, BadInputIsRefusedWithTheKeyAndTheRule) {
    const std::wstring key = Base64Text(TestKey(3));
    const struct {
        std::wstring text;
        const char* message;  // how the message begins
    } cases[] = {
        {L"ApplicationName=x\n", "line 1: unknown key 'ApplicationName' in section []"},
        {L"[Options]\nApplicationName=x\n", "line 2: unknown key 'ApplicationName' in section [Options]"},
        {L"[Application]\nDefaultVersion=" + std::wstring(32, L'1') + L"\n",
         "line 2: Application.DefaultVersion is 32 bytes long; it holds at most 31"},
        {L"[Options]\nCheckFrequency=-1\n", "line 2: Options.CheckFrequency must be a whole number"},
        {L"[Options]\nLoggingEnabled=yes\n", "line 2: Options.LoggingEnabled must be a whole number"},
        {L"[Options]\nInstanceNumber=4294967296\n", "line 2: Options.InstanceNumber must be a whole number"},
        {L"[Options]\nConfirmCancel=\n", "line 2: Options.ConfirmCancel must be a whole number"},
        {L"[Options\n", "line 1: a section header must end with ']'"},
        {L"[Options]\nLoggingEnabled\n", "line 2: expected 'Key=value', found 'LoggingEnabled'"},
        {L"[Options]\nLoggingEnabled=1\nloggingenabled=0\n", "line 3: Options.LoggingEnabled is given twice"},
        {L"[Application]\nApplicationName=\u4e2d\u6587\n",
         "line 2: Application.ApplicationName holds characters that the system code page cannot store"},
        {L"[Security]\nTrustedKeys=" + key + L" " + key.substr(1) + L"\n", "line 2: Security.TrustedKeys: key 2 ('"},
        {L"[Security]\nTrustedKeys=" + key + L"\n\nTrustedKeys=\n", "line 4: Security.TrustedKeys is given twice"},
        {L"[Application]\nTrustedKeys=" + key + L"\n", "line 2: unknown key 'TrustedKeys' in section [Application]"},
        {L"[Wizard]\nBanner=x.bmp\n", "line 2: unknown key 'Banner' in section [Wizard]"},
        {L"[Wizard]\nHeaderBitmap=a\nHeaderBitmap=b\n", "line 3: Wizard.HeaderBitmap is given twice"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.message);
        ClientConfig::Bytes record{};
        record[0] = 'k';
        SettingsExtras extras{{TestKey(4)}, false, {L"kept", L"", L""}};
        std::wstring error;
        EXPECT_FALSE(ParseSettings(bad.text, record, error, &extras));
        EXPECT_TRUE(WideToUtf8(error).starts_with(bad.message)) << WideToUtf8(error);
        EXPECT_EQ(record[0], 'k');
        EXPECT_EQ(extras.trustedKeys, (std::vector<Ed25519PublicKey>{TestKey(4)}));
        EXPECT_WSTREQ8(L"kept", extras.pictures.header);
    }
}

// Trusted keys sit in [Security] and the wizard's pictures in [Wizard], beside the record.
TEST(SettingsFile, KeysAndPicturesRoundTripBesideTheRecord) {
    const Ed25519PublicKey a = TestKey(3), b = TestKey(4);
    ClientConfig::Bytes record{};
    SettingsExtras extras;
    std::wstring error;
    ASSERT_TRUE(ParseSettings(L"[Application]\nApplicationName=x\n[security]\ntrustedkeys = " + HexText(a) + L", " +
                                  Base64Text(b) + L"\n[wizard]\nheaderbitmap=logo.bmp\n"
                                  L"WatermarkBitmap=\"art\\side.bmp\"\nIcon=app.ico\n",
                              record, error, &extras))
        << WideToUtf8(error);
    const std::vector<Ed25519PublicKey> keys = extras.trustedKeys;
    EXPECT_EQ(keys, (std::vector<Ed25519PublicKey>{a, b}));
    EXPECT_TRUE(extras.trustedKeysGiven);
    EXPECT_WSTREQ8(L"logo.bmp", extras.pictures.header);
    EXPECT_WSTREQ8(L"art\\side.bmp", extras.pictures.watermark);
    EXPECT_WSTREQ8(L"app.ico", extras.pictures.icon);

    // The pictures' keys are written empty, after the notes on what the client has: written back,
    // they keep the pictures the client carries.
    const WizardPictureFiles notes{L"header note", L"", L"icon note"};
    const std::wstring text = FormatSettings(record, keys, &notes);
    EXPECT_TRUE(text.ends_with(L"\r\n\r\n[Security]\r\nTrustedKeys=" + Base64Text(a) + L", " + Base64Text(b) +
                               L"\r\n\r\n[Wizard]\r\n; header note\r\nHeaderBitmap=\r\nWatermarkBitmap=\r\n"
                               L"; icon note\r\nIcon=\r\n"))
        << WideToUtf8(text);
    ClientConfig::Bytes again{};
    SettingsExtras extrasAgain;
    ASSERT_TRUE(ParseSettings(text, again, error, &extrasAgain));
    EXPECT_TRUE(again == record);
    EXPECT_EQ(extrasAgain.trustedKeys, keys);
    EXPECT_TRUE(extrasAgain.pictures.header.empty() && extrasAgain.pictures.icon.empty());
    ASSERT_TRUE(ParseSettings(L"[Application]\nApplicationName=x\n", again, error, &extrasAgain));
    EXPECT_FALSE(extrasAgain.trustedKeysGiven);
}

TEST(SettingsFile, DecodesUtf8AndUtf16Files) {
    const struct {
        std::string bytes;
        const wchar_t* text;  // null: refused
    } cases[] = {
        {"\xEF\xBB\xBFKey=caf\xC3\xA9", L"Key=caf\u00e9"},
        {"K=\xC3\xA9", L"K=\u00e9"},
        {std::string("\xFF\xFEK\0=\0x\0", 8), L"K=x"},
        {"Key=\xC3(", nullptr},
        {std::string("\xFF\xFEK", 3), nullptr},
    };
    for (const auto& c : cases) {
        std::wstring text, error;
        EXPECT_EQ(DecodeSettingsFile(c.bytes, text, error), c.text != nullptr) << c.bytes;
        if (c.text) EXPECT_WSTREQ8(c.text, text);
        else EXPECT_FALSE(error.empty());
    }
}

TEST(SettingsFile, AnEmptyBackgroundKeywordIsWarnedOf) {
    const struct {
        const wchar_t* text;
        std::size_t warnings;
    } cases[] = {{L"[Application]\nBackgroundKeyword=0\n", 0}, {L"[Application]\nBackgroundKeyword=\n", 1},
                 {L"[Application]\nMainApplication=Viewer.exe\n", 1}};
    for (const auto& c : cases) {
        ClientConfig::Bytes record{};
        ASSERT_EQ(Parse(c.text, record), L"");
        const std::vector<std::wstring> warnings = SettingsWarnings(record);
        ASSERT_EQ(warnings.size(), c.warnings) << WideToUtf8(c.text);
        if (c.warnings) {
            EXPECT_EQ(warnings[0].rfind(L"Application.BackgroundKeyword is empty", 0), 0u);
        }
    }
}

}  // namespace
