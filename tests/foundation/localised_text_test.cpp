#include "foundation/localised_text.h"

#include <gtest/gtest.h>

#include "description/variables.h"
#include "test_support.h"

namespace {

const LANGID kLanguages[] = {0x0406, 0x0407, 0x0409, 0x040C, 0x040E, 0x0410, 0x0412, 0x0413,
                             0x0415, 0x0419, 0x041E, 0x041F, 0x042A, 0x0804, 0x0C0A};

// Loads a text as a user of one locale would see it.
class LocaleScope {
public:
    explicit LocaleScope(LANGID language) : saved_(GetThreadLocale()) {
        SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
    }
    ~LocaleScope() { SetThreadLocale(saved_); }

private:
    LCID saved_;
};

std::string Text(LANGID language, unsigned id) {
    LocaleScope scope(language);
    return WideToUtf8(LoadLocalisedText(id));
}

bool HasCyrillic(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c >= 0x0400 && c <= 0x04FF) return true;
    }
    return false;
}

TEST(LocalisedText, EveryLanguageHasBothBlocksOfItsOwn) {
    HMODULE module = GetModuleHandleW(nullptr);
    for (LANGID language : kLanguages) {
        for (int block : {15, 16}) {
            EXPECT_NE(FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), language), nullptr)
                << std::hex << language << " block " << std::dec << block;
        }
        for (unsigned id = 224; id <= 252; ++id) EXPECT_FALSE(Text(language, id).empty()) << std::hex << language << std::dec << " " << id;
    }
}

TEST(LocalisedText, EnglishIsEnglishAndTheFallback) {
    for (unsigned id = 224; id <= 252; ++id) {
        LocaleScope scope(0x0409);
        EXPECT_FALSE(HasCyrillic(LoadLocalisedText(id))) << id;
    }
    EXPECT_EQ(Text(0x0409, 224), "Files are getting transferred. Please wait...");
    EXPECT_EQ(Text(0x0409, 244), "Visit %CompanyName% on-line");
    EXPECT_EQ(Text(0x0409, 246), "Please wait...\r\nUpdating application files...");
    EXPECT_EQ(Text(0x0409, 248), "Install");
    // Japanese has no table of its own: the English one answers.
    EXPECT_EQ(Text(0x0411, 225), "Status:");
    EXPECT_EQ(Text(0x0411, 242), "YES, I accept the terms and conditions of this license agreement!");
    EXPECT_TRUE(HasCyrillic(Utf8ToWide(Text(0x0419, 224))));
}

TEST(LocalisedText, NeitherAnUnreachableServerNorABusyCheckIsReportedAsUpToDate) {
    EXPECT_EQ(Text(0x0409, 229), "The update server cannot be reached.\r\nPlease try again later.");
    EXPECT_EQ(Text(0x0409, 247), "An update check is already running");
    for (LANGID language : kLanguages) {
        EXPECT_NE(Text(language, 229), Text(language, 232)) << std::hex << language;
        EXPECT_NE(Text(language, 247), Text(language, 232)) << std::hex << language;
    }
}

TEST(LocalisedText, EveryTableSpeaksItsOwnLanguageAndTheSpanishTable) {
    // The link, checking, installing and schedule texts were once English or Dutch in most
    // tables.
    for (LANGID language : kLanguages) {
        if (language == 0x0409) continue;
        for (unsigned id : {224u, 244u, 245u, 246u, 253u, 254u, 255u, 256u, 257u, 258u, 259u}) {
            EXPECT_NE(Text(language, id), Text(0x0409, id)) << std::hex << language << std::dec << " " << id;
        }
        if (language != 0x0413) {
            EXPECT_NE(Text(language, 244), Text(0x0413, 244)) << std::hex << language;
        }
    }
    EXPECT_EQ(Text(0x040C, 230).find('\r'), std::string::npos);
    EXPECT_EQ(Text(0x0413, 228).find('\r'), std::string::npos);
    EXPECT_NE(Text(0x0413, 234).find("%ApplicationName%"), std::string::npos);
    EXPECT_EQ(Text(0x0C0A, 226), "Archivo actual:");
    EXPECT_EQ(Text(0x0C0A, 244), "Visite %CompanyName% on-line");
    EXPECT_EQ(Text(0x0C0A, 246), "Por favor, espere...\r\nActualizando los archivos de la aplicaci\xC3\xB3n...");
    for (LANGID language : kLanguages) EXPECT_EQ(Text(language, 234), "%ApplicationName%");
}

TEST(LocalisedText, PreparedTextsHaveProperLineBreaks) {
    LocaleScope scope(0x0413);
    TestRun run;
    std::wstring text = run.variables.PrepareText(228);
    EXPECT_NE(text.find(L"\r\n"), std::wstring::npos);
    for (std::size_t at = text.find(L'\n'); at != std::wstring::npos; at = text.find(L'\n', at + 1)) {
        EXPECT_EQ(text[at - 1], L'\r');
    }
}

}  // namespace
