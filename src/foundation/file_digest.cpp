#include "foundation/file_digest.h"

#include <windows.h>

#include <array>

#include "foundation/file_management.h"
#include "foundation/crc32.h"

namespace {

// Sequential scan, with the read-only, hidden, system and archive attributes.
constexpr DWORD kDigestOpenFlags = 0x08000027;

// The thread's system error, or `fallback` when a failure left none (a piped open or read
// fails in the service, and this thread's last error says nothing of it).
std::uint32_t ErrorOr(std::uint32_t fallback) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

template <typename Opener>
std::uint32_t DigestOpened(Opener open, bool withSha256, FileDigest& digest) {
    std::uint32_t result = 0;
    digest = FileDigest{};
    DigestBuilder builder(withSha256);
    try {
        SetLastError(ERROR_SUCCESS);
        const std::unique_ptr<PermissionManager::IManagedFile> file = open();
        if (!file) return ErrorOr(ERROR_OPEN_FAILED);
        std::array<std::uint8_t, 4096> buffer;
        for (;;) {
            // A read answers 0 both at the end and after a failure: only the error tells them apart.
            SetLastError(ERROR_SUCCESS);
            const DWORD read = file->Read(buffer.data(), static_cast<DWORD>(buffer.size()));
            if (read == 0) {
                result = GetLastError();
                break;
            }
            builder.Update(buffer.data(), read);
        }
    } catch (...) {
        result = ERROR_CRC;
    }
    if (result != 0) {
        // Nothing of a file only partly read may pass for its digest.
        digest = FileDigest{};
        return result;
    }
    digest = builder.Finish();
    return 0;
}

}  // namespace

void DigestBuilder::Update(const void* data, std::size_t size) {
    reg_ = CCrc32Static::Update(reg_, static_cast<const std::uint8_t*>(data), size);
    if (withSha256_) hash_.Update(data, size);
    size_ += size;
}

FileDigest DigestBuilder::Finish() {
    FileDigest digest;
    digest.size = size_;
    digest.crc = ~reg_;
    if (withSha256_) digest.sha256 = hash_.Finish();
    return digest;
}

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
