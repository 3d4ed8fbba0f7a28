// Text conversion and formatting shared by every subsystem.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// ANSI bytes (system code page) to UTF-16; never reads past maxBytes, stops at the first zero.
std::wstring AnsiToWide(const char* text, std::size_t maxBytes);
std::wstring AnsiToWide(std::string_view text);
// UTF-16 to the system code page. `lossless` (when given) is cleared when a character
// has no exact ANSI form.
std::string WideToAnsi(std::wstring_view text, bool* lossless = nullptr);
std::wstring Utf8ToWide(std::string_view text, bool* valid = nullptr);
// Bytes in a code page as text; false (and no text) when any byte sequence is not valid in it.
bool DecodeText(std::string_view bytes, unsigned codePage, std::wstring* text);
std::string WideToUtf8(std::wstring_view text);
// UTF-16 text as little-endian bytes, without a byte order mark.
std::string WideToUtf16LeBytes(std::wstring_view text);

// printf-style formatting into a wide string; use %ls for wide string arguments.
std::wstring FormatText(const wchar_t* format, ...);

bool EqualsNoCase(std::wstring_view a, std::wstring_view b);
// Replaces every occurrence, left to right, never rescanning what was put in.
void ReplaceAll(std::wstring& text, std::wstring_view from, std::wstring_view to);
bool StartsWith(std::wstring_view text, std::wstring_view prefix);
