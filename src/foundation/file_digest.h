// One read of a file for every check that an update document asks of it: size, CRC-32 and,
// when the document gives one, SHA-256.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/crypto.h"

namespace PermissionManager {
class IClientFileManager;
}

struct FileDigest {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::optional<Sha256Digest> sha256;  // computed only when asked for
};

// A digest made of a file's bytes as they pass, for a file read or written once anyway.
class DigestBuilder {
public:
    explicit DigestBuilder(bool withSha256) : withSha256_(withSha256) {}
    void Update(const void* data, std::size_t size);
    FileDigest Finish();

private:
    bool withSha256_;
    std::uint32_t reg_ = 0xFFFFFFFF;
    std::uint64_t size_ = 0;
    Sha256 hash_;
};

// 0 on success. A failed open answers its system error, or ERROR_OPEN_FAILED when it left
// none (an open the service refused); a failed read answers its system error, and anything
// thrown while reading ERROR_CRC. (A read that fails without an error looks like the file's
// end: the size the document gives then tells.) After a failure `digest` is empty (size 0,
// no SHA-256) and means nothing: callers check the answer first. Reads through `files` in
// 4096-byte pieces.
std::uint32_t ComputeFileDigest(PermissionManager::IClientFileManager& files, const std::wstring& path,
                                bool withSha256, FileDigest& digest);
// The same, read in this process (for the tools, which have no service to ask).
std::uint32_t ComputeFileDigest(const std::wstring& path, bool withSha256, FileDigest& digest);

// What the document says of a file. A CRC of 0 is not checked; a missing hash is not checked.
struct ExpectedFile {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::optional<Sha256Digest> sha256;
};

enum class DigestMismatch { None, Size, Crc, Sha256 };
// The first check that fails, in the order size, CRC, SHA-256.
DigestMismatch CompareDigest(const ExpectedFile& expected, const FileDigest& found);
