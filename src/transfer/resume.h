// What a partial download is, and the decisions on continuing it. Pure: no file or network
// call is made here, so every rule is unit-tested.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Beside each partial download in the download folder: what the bytes belong to. A partial
// is continued only for the same file from the same place, and only from the version of it
// the server named (its validator); the finished file is checked whole in any case.
struct ResumeRecord {
    std::wstring source;      // the file's address on the server
    std::uint64_t size = 0;   // the size the document lists
    std::uint32_t crc = 0;    // the CRC the document lists (0: none)
    std::wstring sha256;      // the SHA-256 the document lists, as hex (empty: none)
    std::wstring validator;   // the server's name for the version that was being fetched

    bool SameFile(const ResumeRecord& other) const {
        return source == other.source && size == other.size && crc == other.crc && sha256 == other.sha256;
    }
};

inline constexpr wchar_t kPartialSuffix[] = L".partial";
inline constexpr wchar_t kResumeRecordSuffix[] = L".resume";

// The record as UTF-8 lines, and back; nothing for text that is not a whole record. A
// validator that holds a line break or is longer than kMaxValidator is not kept.
std::string FormatResumeRecord(const ResumeRecord& record);
std::optional<ResumeRecord> ParseResumeRecord(std::string_view text);
inline constexpr std::size_t kMaxValidator = 256;
// Printable ASCII of at most kMaxValidator characters: it goes back into a request header.
bool IsSafeValidator(std::wstring_view text);
inline constexpr std::size_t kMaxResumeRecordBytes = 4096;

// Where the next transfer of `wanted` starts: the end of the partial file, when the record
// names the same file and a validator, the file is checked at the end (a CRC or a SHA-256) and
// the partial is shorter than it; else 0.
std::uint64_t PlanResume(const std::optional<ResumeRecord>& record, const ResumeRecord& wanted,
                         std::uint64_t partialSize);

// How an HTTP server answered a request for the bytes from `offset` on.
enum class RangeAnswer {
    Continues,  // 206 with the range asked for: the bytes from `offset` on, `*total` the whole size
    Whole,      // 200: the whole file, from byte 0 (the file changed, or no ranges here)
    AskWhole,   // a 206 for another range, or 416: ask again for the whole file
    Refused,    // anything else: an error page, judged as for any request
};
// `contentRange` is the Content-Range header ("bytes 100-199/200"), empty when none.
RangeAnswer JudgeRangeAnswer(unsigned status, std::wstring_view contentRange, std::uint64_t offset,
                             std::uint64_t* total);

// The validator of a file on a share or an FTP server: its size and last write time.
std::wstring SizeAndTimeValidator(std::uint64_t size, const FILETIME& lastWrite);
