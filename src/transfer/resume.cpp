#include "transfer/resume.h"

#include "foundation/text.h"

namespace {

constexpr std::string_view kHeader = "Renewix partial download 1";

bool ReadCount(std::wstring_view text, std::uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t result = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - L'0');
        if (result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

}  // namespace

bool IsSafeValidator(std::wstring_view text) {
    if (text.size() > kMaxValidator) return false;
    for (const wchar_t c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

namespace {

}  // namespace

std::string FormatResumeRecord(const ResumeRecord& record) {
    const std::wstring validator = IsSafeValidator(record.validator) ? record.validator : L"";
    std::string text(kHeader);
    text += "\nSource=" + WideToUtf8(record.source);
    text += "\nSize=" + std::to_string(record.size);
    text += "\nCRC=" + std::to_string(record.crc);
    text += "\nSHA256=" + WideToUtf8(record.sha256);
    text += "\nValidator=" + WideToUtf8(validator);
    text += "\n";
    return text;
}

std::optional<ResumeRecord> ParseResumeRecord(std::string_view bytes) {
    if (bytes.size() > kMaxResumeRecordBytes) return std::nullopt;
    bool valid = false;
    const std::wstring text = Utf8ToWide(bytes, &valid);
    if (!valid) return std::nullopt;
    // Every line in its place, each ended: a record cut short by a crash is no record.
    const wchar_t* const keys[] = {L"Source=", L"Size=", L"CRC=", L"SHA256=", L"Validator="};
    std::wstring_view rest = text;
    const auto line = [&rest](std::wstring_view* out) {
        const std::size_t end = rest.find(L'\n');
        if (end == std::wstring_view::npos) return false;
        *out = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        return true;
    };
    std::wstring_view header;
    if (!line(&header) || WideToUtf8(header) != kHeader) return std::nullopt;
    std::wstring_view values[5];
    for (int i = 0; i < 5; ++i) {
        std::wstring_view current;
        if (!line(&current) || !StartsWith(current, keys[i])) return std::nullopt;
        values[i] = current.substr(wcslen(keys[i]));
    }
    if (!rest.empty()) return std::nullopt;
    ResumeRecord record;
    std::uint64_t crc = 0;
    if (!ReadCount(values[1], &record.size) || !ReadCount(values[2], &crc) || crc > UINT32_MAX) return std::nullopt;
    if (!IsSafeValidator(values[4])) return std::nullopt;
    record.source = values[0];
    record.crc = static_cast<std::uint32_t>(crc);
    record.sha256 = values[3];
    record.validator = values[4];
    return record;
}

std::uint64_t PlanResume(const std::optional<ResumeRecord>& record, const ResumeRecord& wanted,
                         std::uint64_t partialSize) {
    if (!record || !record->SameFile(wanted) || record->validator.empty()) return 0;
    if (wanted.crc == 0 && wanted.sha256.empty()) return 0;
    // A partial as long as the file or longer is not one this client wrote for it.
    if (partialSize >= wanted.size) return 0;
    return partialSize;
}

RangeAnswer JudgeRangeAnswer(unsigned status, std::wstring_view contentRange, std::uint64_t offset,
                             std::uint64_t* total) {
    if (status == 200) return RangeAnswer::Whole;
    if (status == 416) return RangeAnswer::AskWhole;
    if (status != 206) return RangeAnswer::Refused;
    // "bytes first-last/size": exactly the rest of the file from the offset asked for.
    constexpr std::wstring_view unit = L"bytes ";
    if (contentRange.substr(0, unit.size()) != unit) return RangeAnswer::AskWhole;
    const std::wstring_view range = contentRange.substr(unit.size());
    const std::size_t dash = range.find(L'-');
    const std::size_t slash = range.find(L'/');
    if (dash == std::wstring_view::npos || slash == std::wstring_view::npos || slash < dash) {
        return RangeAnswer::AskWhole;
    }
    std::uint64_t first = 0, last = 0, size = 0;
    if (!ReadCount(range.substr(0, dash), &first) || !ReadCount(range.substr(dash + 1, slash - dash - 1), &last) ||
        !ReadCount(range.substr(slash + 1), &size)) {
        return RangeAnswer::AskWhole;
    }
    if (first != offset || size == 0 || last != size - 1 || first > last) return RangeAnswer::AskWhole;
    *total = size;
    return RangeAnswer::Continues;
}

std::wstring SizeAndTimeValidator(std::uint64_t size, const FILETIME& lastWrite) {
    return FormatText(L"%ls bytes, written %08lX%08lX", std::to_wstring(size).c_str(), lastWrite.dwHighDateTime,
                      lastWrite.dwLowDateTime);
}
