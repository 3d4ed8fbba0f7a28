#include "foundation/file_digest.h"

#include <windows.h>

#include <array>

#include "foundation/file_management.h"
#include "foundation/crc32.h"

namespace {

// Sequential scan, with the read-only, hidden, system and archive attributes.
constexpr DWORD kDigestOpenFlags = 0x08000027;

template <typename Opener>
std::uint32_t DigestOpened(Opener open, bool withSha256, FileDigest& digest) {
    std::uint32_t reg = 0xFFFFFFFF;
    std::uint32_t result = 0;
    digest = FileDigest{};
    Sha256 hash;
    try {
        const std::unique_ptr<PermissionManager::IManagedFile> file = open();
        if (!file) return GetLastError();
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

}  // namespace

std::uint32_t ComputeFileDigest(PermissionManager::IClientFileManager& files, const std::wstring& path,
                                bool withSha256, FileDigest& digest) {
    return DigestOpened([&] { return files.Open(path, GENERIC_READ, OPEN_EXISTING, kDigestOpenFlags); }, withSha256,
                        digest);
}

std::uint32_t ComputeFileDigest(const std::wstring& path, bool withSha256, FileDigest& digest) {
    return DigestOpened(
        [&]() -> std::unique_ptr<PermissionManager::IManagedFile> {
            return PermissionManager::StandardFile::Open(path, GENERIC_READ, OPEN_EXISTING, kDigestOpenFlags);
        },
        withSha256, digest);
}

DigestMismatch CompareDigest(const ExpectedFile& expected, const FileDigest& found) {
    if (found.size != expected.size) return DigestMismatch::Size;
    if (expected.crc != 0 && found.crc != expected.crc) return DigestMismatch::Crc;
    if (expected.sha256 && found.sha256 != expected.sha256) return DigestMismatch::Sha256;
    return DigestMismatch::None;
}
