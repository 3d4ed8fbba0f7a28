// Reading rules shared by the document's three lists.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/xml_document.h"

class Log;

// "True" in any case; every other text is false.
bool IsTrueText(const std::wstring& text);
// Leading decimal digits (with an optional sign); none gives 0.
int DecimalValue(const std::wstring& text);
// Unsigned hexadecimal without prefix, read up to the first other character.
std::uint32_t HexValue(const std::wstring& text);

// A file size from the document: leading decimal digits as a 64-bit count (no digits: 0).
// False for a negative size or one beyond a signed 64-bit count, which no file can have.
bool ReadFileSize(const std::wstring& text, std::uint64_t* size);

// False (with the log entry) when the element's OS mask leaves out the running system.
bool PassesOsTest(const XmlNode& element, Log& log);
bool OsMaskMatches(int mask, int systemCode);

// Base of the three list readers (named Download* although two of them download nothing);
// the hook may refuse a node list before it is read.
class DownloadBase {
public:
    explicit DownloadBase(Log& log) : log_(&log) {}
    virtual ~DownloadBase() = default;
    virtual bool ShouldRead(const std::vector<XmlNode>& nodes, const std::wstring& basePath);

protected:
    Log* log_;
};
