#include "foundation/localised_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <vector>

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

// The variables and numbered inserts of a text, sorted: a translation may move them.
std::vector<std::string> Placeholders(const std::string& text) {
    static const std::regex placeholder("%[A-Za-z]+%|%[0-9]");
    std::vector<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), placeholder), end; it != end; ++it) found.push_back(it->str());
    std::sort(found.begin(), found.end());
    return found;
}

constexpr unsigned kFirst = 224, kLast = 259;

// Every table holds every text, with the placeholders of the English text, and each prepared
// text breaks its lines as an edit control needs. (A block missing from a table would show as
// English texts in the test below.)
TEST(LocalisedText, EveryTableHasEveryTextWithItsPlaceholders) {
    TestRun run;
    for (LANGID language : kLanguages) {
        for (unsigned id = kFirst; id <= kLast; ++id) {
            SCOPED_TRACE(::testing::Message() << std::hex << language << std::dec << " " << id);
            const std::string text = Text(language, id);
            EXPECT_FALSE(text.empty());
            EXPECT_EQ(Placeholders(text), Placeholders(Text(0x0409, id)));
            LocaleScope scope(language);
            const std::wstring prepared = run.variables.PrepareText(id);
            for (std::size_t at = prepared.find(L'\n'); at != std::wstring::npos; at = prepared.find(L'\n', at + 1)) {
                EXPECT_TRUE(at > 0 && prepared[at - 1] == L'\r');
            }
            EXPECT_EQ(prepared.find(L"\r\r"), std::wstring::npos);
        }
    }
    for (unsigned id = kFirst; id <= kLast; ++id) {
        EXPECT_FALSE(HasCyrillic(Utf8ToWide(Text(0x0409, id)))) << id;
        // Japanese has no table of its own: the English one answers.
        EXPECT_EQ(Text(0x0411, id), Text(0x0409, id)) << id;
    }
}

TEST(LocalisedText, EveryTableSpeaksItsOwnLanguage) {
    // The link, checking, installing and schedule texts were once English or Dutch in most
    // tables, and the Spanish table once another language's.
    for (LANGID language : kLanguages) {
        EXPECT_EQ(Text(language, 234), "%ApplicationName%") << std::hex << language;  // the title is the name alone
        // Neither an unreachable server nor a busy check is reported as up to date.
        EXPECT_NE(Text(language, 229), Text(language, 232)) << std::hex << language;
        EXPECT_NE(Text(language, 247), Text(language, 232)) << std::hex << language;
        if (language == 0x0409) continue;
        for (unsigned id : {224u, 244u, 245u, 246u, 253u, 254u, 255u, 256u, 257u, 258u, 259u}) {
            EXPECT_NE(Text(language, id), Text(0x0409, id)) << std::hex << language << std::dec << " " << id;
        }
        if (language != 0x0413) {
            EXPECT_NE(Text(language, 244), Text(0x0413, 244)) << std::hex << language;
        }
    }
    EXPECT_EQ(Text(0x0C0A, 226), "Archivo actual:");
}

}  // namespace
