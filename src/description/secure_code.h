// The integrity code of the update document: base code plus the CRC of the covered text.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class IUserPrompts;
class Log;
class XmlDocument;

// Hexadecimal text as the C library's wcstoul reads it in base 16.
std::uint32_t ParseHexCode(const std::wstring& text);

// The covered text of a root element's markup: from right after "<Renewix>" to the last
// "<SecureCode>". False when the markup has no "<SecureCode>".
bool CoveredText(const std::wstring& rootMarkup, std::wstring& covered);

// The code that a document with this covered text must carry for a base code.
std::uint32_t SecureCodeFor(std::uint32_t baseCode, const std::wstring& covered);

// Checks a loaded document against the configured base code text, with the log lines of
// each outcome; in test mode a mismatch is also shown in a box (when there are `prompts`).
bool CheckDocumentSecureCode(const XmlDocument& document, const std::wstring& baseCodeText, bool testMode,
                             IUserPrompts* prompts, Log& log);

// Removes the root's elements that follow its last SecureCode element: the code does not cover
// them, so with a base code configured they must not be used. One log entry names them;
// returns how many went.
int DropUncoveredElements(const XmlDocument& document, Log& log);
