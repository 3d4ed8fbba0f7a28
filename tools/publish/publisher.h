// Fills an update document's file sizes, CRCs and versions from the release files and
// seals it with its secure code, through the same DOM the client reads it with.
#pragma once

#include <cstdint>
#include <string>

struct PublishRequest {
    std::wstring document;       // the vendor's update document
    std::wstring releaseFolder;  // holds every file at Src + Name
    std::wstring baseCode;       // hexadecimal, as configured into the client
    std::wstring output;         // where the sealed document goes
    bool versions = false;       // also fill ByVersion from each file's version resource
    bool utf16 = false;          // write UTF-16LE with a byte order mark, as clients read it over FTP
};

// The document's markup with a declaration that names UTF-16 in place of its own.
std::wstring Utf16DocumentText(const std::wstring& markup);

// Strict hexadecimal: an optional 0x and one to eight digits.
bool ParseBaseCode(const std::wstring& text, std::uint32_t& code);

// True when the output was written; otherwise `error` says why and the output is as it was
// (the document is written to a temporary file that replaces the output only when complete).
// `report` lists what was filled, a line per file; `warnings` what was published but may not
// do what the vendor expects, a line each.
bool Publish(const PublishRequest& request, std::wstring& report, std::wstring& error, std::wstring& warnings);

// Whether two paths name the same file: the same full path, or (when both exist) the same file
// reached another way.
bool IsSameFile(const std::wstring& first, const std::wstring& second);
