// CRC-32 (IEEE 802.3, as in zip and PNG) of files and of document text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CCrc32Static {
public:
    virtual ~CCrc32Static() = default;

    // 0 on success, else the system error of the open (23 for a failure while reading).
    // `crc` always receives a value: the file's CRC, or 0 when it could not be opened.
    static std::uint32_t ComputeFileCrc(const std::wstring& path, std::uint32_t& crc);
    // The same, also counting the bytes read (the file's size when it succeeds).
    static std::uint32_t ComputeFileCrc(const std::wstring& path, std::uint32_t& crc, std::uint64_t& size);
    // CRC of the text's UTF-16LE bytes with blanks, tabs, CR and LF left out; returns 0.
    static std::uint32_t ComputeTextCrc(const wchar_t* text, std::uint32_t& crc);

    // One run of bytes through the register (which starts at 0xFFFFFFFF, and is inverted at the end).
    static std::uint32_t Update(std::uint32_t reg, const void* data, std::size_t count);
};
