#include "foundation/text.h"

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cwchar>
#include <vector>

std::wstring AnsiToWide(const char* text, std::size_t maxBytes) {
    std::size_t length = 0;
    while (length < maxBytes && text[length] != '\0') ++length;
    return AnsiToWide(std::string_view(text, length));
}

std::wstring AnsiToWide(std::string_view text) {
    if (text.empty()) return {};
    int count = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(count), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), count);
    return result;
}

std::string WideToAnsi(std::wstring_view text, bool* lossless) {
    if (lossless) *lossless = true;
    if (text.empty()) return {};
    BOOL usedDefault = FALSE;
    int count = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, lossless ? &usedDefault : nullptr);
    std::string result(static_cast<std::size_t>(count), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), result.data(),
                        count, nullptr, lossless ? &usedDefault : nullptr);
    if (lossless && usedDefault) *lossless = false;
    return result;
}

bool DecodeText(std::string_view bytes, unsigned codePage, std::wstring* text) {
    text->clear();
    if (bytes.empty()) return true;
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int size = static_cast<int>(bytes.size());
    const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (count <= 0) return false;
    std::wstring result(static_cast<std::size_t>(count), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, result.data(), count) != count) {
        return false;
    }
    *text = std::move(result);
    return true;
}

std::wstring Utf8ToWide(std::string_view text, bool* valid) {
    std::wstring result;
    const bool strict = DecodeText(text, CP_UTF8, &result);
    if (valid) *valid = strict;
    if (strict) return result;
    // Invalid sequences become replacement characters rather than losing the whole text.
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    result.assign(static_cast<std::size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), count);
    return result;
}

std::string WideToUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string result(static_cast<std::size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), count, nullptr,
                        nullptr);
    return result;
}

std::string WideToUtf16LeBytes(std::wstring_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return bytes;
}

std::wstring FormatText(const wchar_t* format, ...) {
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, format);
        int written = _vsnwprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (written >= 0 && static_cast<std::size_t>(written) < buffer.size()) {
            return std::wstring(buffer.data(), static_cast<std::size_t>(written));
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

void ReplaceAll(std::wstring& text, std::wstring_view from, std::wstring_view to) {
    if (from.empty()) return;
    for (std::size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}
