#include "foundation/file_digest.h"

#include <windows.h>

#include <array>

#include "foundation/file_management.h"
#include "foundation/crc32.h"

std::uint32_t ComputeFileDigest(const std::wstring& path, bool withSha256, FileDigest& digest) {
    std::uint32_t reg = 0xFFFFFFFF;
    std::uint32_t result = 0;
    digest = FileDigest{};
    Sha256 hash;
    try {
        auto file = PermissionManager::CreateFileManager();
        // Sequential scan, with the read-only, hidden, system and archive attributes.
        if (!file->Open(path, GENERIC_READ, OPEN_EXISTING, 0x08000027)) return GetLastError();
        std::array<std::uint8_t, 4096> buffer;
        for (DWORD read; (read = file->Read(buffer.data(), static_cast<DWORD>(buffer.size()))) != 0;) {
            reg = CCrc32Static::Update(reg, buffer.data(), read);
            if (withSha256) hash.Update(buffer.data(), read);
            digest.size += read;
        }
    } catch (...) {
        result = ERROR_CRC;
    }
    digest.crc = ~reg;
    if (withSha256 && result == 0) digest.sha256 = hash.Finish();
    return result;
}

DigestMismatch CompareDigest(const ExpectedFile& expected, const FileDigest& found) {
    if (found.size != expected.size) return DigestMismatch::Size;
    if (expected.crc != 0 && found.crc != expected.crc) return DigestMismatch::Crc;
    if (expected.sha256 && found.sha256 != expected.sha256) return DigestMismatch::Sha256;
    return DigestMismatch::None;
}
