#include "transfer/resume.h"

#include <gtest/gtest.h>

#include "foundation/text.h"

namespace {

const ResumeRecord kFile{L"http://h/files/a.dll", 1000, 1234, L"ab12", L"\"v1\""};

TEST(ResumeRecordText, KeepsEveryFieldAndRefusesWhatIsNotARecord) {
    const std::optional<ResumeRecord> back = ParseResumeRecord(FormatResumeRecord(kFile));
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->SameFile(kFile));
    EXPECT_EQ(back->validator, kFile.validator);

    const std::string whole = FormatResumeRecord(kFile);
    // The record with one of its parts changed.
    const auto with = [&](const std::string& from, const std::string& to) {
        std::string text = whole;
        return text.replace(text.find(from), from.size(), to);
    };
    const struct {
        const char* what;
        std::string text;
    } refused[] = {
        {"cut short by a crash", whole.substr(0, whole.size() - 1)},
        {"another header", "Partial 2" + whole.substr(whole.find('\n'))},
        {"a size beyond 64 bits", with("Size=1000", "Size=99999999999999999999999")},
        {"a CRC beyond 32 bits", with("CRC=1234", "CRC=4294967296")},
        {"a line out of place", with("Source=", "Sauce=")},
        {"a validator that would end a request header", with("\"v1\"", "\"v1\"\rHost: elsewhere")},
        {"text after the record", whole + "more\n"},
        {"not UTF-8", whole.substr(0, 10) + "\xff" + whole.substr(10)},
        {"empty", ""},
    };
    for (const auto& row : refused) EXPECT_FALSE(ParseResumeRecord(row.text)) << row.what;

    // A validator that could end a line (or a request header) is not kept.
    ResumeRecord hostile = kFile;
    hostile.validator = L"\"v1\"\r\nX: y";
    ASSERT_TRUE(ParseResumeRecord(FormatResumeRecord(hostile)));
    EXPECT_EQ(ParseResumeRecord(FormatResumeRecord(hostile))->validator, L"");
}

TEST(ResumePlan, GoesOnOnlyForTheSameFileWithAValidatorAndARealPartial) {
    const struct {
        const char* what;
        std::optional<ResumeRecord> record;
        std::uint64_t partial;
        std::uint64_t from;
    } rows[] = {
        {"the same file", kFile, 400, 400},
        {"no record", std::nullopt, 400, 0},
        {"another size", ResumeRecord{kFile.source, 999, 1234, L"ab12", L"\"v1\""}, 400, 0},
        {"another CRC", ResumeRecord{kFile.source, 1000, 1, L"ab12", L"\"v1\""}, 400, 0},
        {"another hash", ResumeRecord{kFile.source, 1000, 1234, L"cd34", L"\"v1\""}, 400, 0},
        {"another server", ResumeRecord{L"http://backup/files/a.dll", 1000, 1234, L"ab12", L"\"v1\""}, 400, 0},
        {"no validator", ResumeRecord{kFile.source, 1000, 1234, L"ab12", L""}, 400, 0},
        {"nothing kept", kFile, 0, 0},
        {"as long as the file", kFile, 1000, 0},
        {"longer than the file", kFile, 1001, 0},
    };
    for (const auto& row : rows) EXPECT_EQ(PlanResume(row.record, kFile, row.partial), row.from) << row.what;
    // A file listed without a CRC or a hash: nothing would catch a wrong join.
    const ResumeRecord unchecked{kFile.source, 1000, 0, L"", L"\"v1\""};
    EXPECT_EQ(PlanResume(unchecked, unchecked, 400), 0u);
}

TEST(RangeAnswers, OnlyTheRestOfTheFileAsAskedIsContinued) {
    const struct {
        unsigned status;
        const wchar_t* contentRange;
        RangeAnswer answer;
        std::uint64_t total;
    } rows[] = {
        {206, L"bytes 400-999/1000", RangeAnswer::Continues, 1000},
        {200, L"", RangeAnswer::Whole, 0},
        {200, L"bytes 400-999/1000", RangeAnswer::Whole, 0},
        {206, L"bytes 0-999/1000", RangeAnswer::AskWhole, 0},
        {206, L"bytes 401-999/1000", RangeAnswer::AskWhole, 0},
        {206, L"bytes 400-998/1000", RangeAnswer::AskWhole, 0},
        {206, L"bytes 400-999/*", RangeAnswer::AskWhole, 0},
        {206, L"items 400-999/1000", RangeAnswer::AskWhole, 0},
        {206, L"bytes 400-399/400", RangeAnswer::AskWhole, 0},
        {206, L"bytes -999/1000", RangeAnswer::AskWhole, 0},
        {206, L"", RangeAnswer::AskWhole, 0},
        {416, L"bytes */1000", RangeAnswer::AskWhole, 0},
        {404, L"", RangeAnswer::Refused, 0},
    };
    for (const auto& row : rows) {
        std::uint64_t total = 0;
        EXPECT_EQ(JudgeRangeAnswer(row.status, row.contentRange, 400, &total), row.answer)
            << row.status << " " << WideToUtf8(row.contentRange);
        EXPECT_EQ(total, row.total) << WideToUtf8(row.contentRange);
    }
}

}  // namespace
