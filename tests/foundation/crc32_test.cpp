#include "foundation/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <utility>

#include "description/description_support.h"
#include "fake_file_management.h"
#include "foundation/file_digest.h"

namespace {

// Failures as the service's manager has them: an open refused without a system error of this
// thread's, and a connection lost in the middle of a file.
class ServiceLikeFiles : public FakeFileManagement {
public:
    std::unique_ptr<PermissionManager::IManagedFile> Open(const std::wstring& path, DWORD access, DWORD disposition,
                                                          DWORD flags) override {
        if (path == L"lost") return std::make_unique<LostAfterOneRead>();
        std::unique_ptr<PermissionManager::IManagedFile> file = FakeFileManagement::Open(path, access, disposition, flags);
        if (!file && path == L"refused") SetLastError(ERROR_SUCCESS);
        return file;
    }

private:
    class LostAfterOneRead : public PermissionManager::IManagedFile {
    public:
        int Write(const void*, DWORD) override { return 0; }
        DWORD Read(void* buffer, DWORD count) override {
            if (std::exchange(first_, false)) {
                std::fill_n(static_cast<char*>(buffer), count, 'x');
                return count;
            }
            SetLastError(ERROR_NETNAME_DELETED);
            return 0;
        }
        void SetTimes(const FILETIME&, const FILETIME&, const FILETIME&) override {}
        int Close() override { return 1; }

    private:
        bool first_ = true;
    };
};

TEST(FileDigest, EveryFailedOpenOrReadIsAnError) {
    ServiceLikeFiles files;
    files.PutFile(L"check.txt", "123456789");
    const struct {
        const wchar_t* path;
        std::uint32_t error;
        std::uint64_t size;
    } rows[] = {
        {L"check.txt", 0, 9},
        {L"refused", ERROR_OPEN_FAILED, 0},
        {L"lost", ERROR_NETNAME_DELETED, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(WideToUtf8(row.path));
        FileDigest digest;
        digest.size = 77;
        EXPECT_EQ(ComputeFileDigest(files, row.path, true, digest), row.error);
        EXPECT_EQ(digest.size, row.size);
        EXPECT_EQ(digest.sha256.has_value(), row.error == 0);
    }
}

// An empty file, and files across the chunks they are read in; one that cannot be opened has
// no CRC.
TEST(FileCrc, AgreesWithZlibAcrossChunkBoundaries) {
    ScratchFolder folder(L"crc-files");
    std::mt19937 random(7);
    for (std::size_t size : {0u, 1u, 4095u, 4096u, 4097u, 3 * 4096u + 17, 1u << 20}) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        ASSERT_TRUE(WriteFileBytes(folder / L"data.bin", bytes));
        std::uint32_t crc = 1;
        EXPECT_EQ(CCrc32Static::ComputeFileCrc(folder / L"data.bin", crc), 0u);
        EXPECT_EQ(crc, ZlibCrc(bytes)) << size;
    }
    std::uint32_t crc = 1;
    EXPECT_EQ(CCrc32Static::ComputeFileCrc(folder / L"no\\such\\dir.txt", crc),
              static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(crc, 0u);
}

// The word-wise steps against zlib at every alignment, and every length over several rounds.
TEST(FileCrc, RegisterStepsAgreeWithZlibAtAnyOffsetAndLength) {
    std::mt19937 random(11);
    std::string bytes(200, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    for (std::size_t offset = 0; offset < 4; ++offset) {
        for (std::size_t length = 0; length + offset <= 120; ++length) {
            const std::uint32_t ours = ~CCrc32Static::Update(0xFFFFFFFF, bytes.data() + offset, length);
            ASSERT_EQ(ours, ZlibCrc(bytes.substr(offset, length))) << offset << " " << length;
        }
    }
}

// Each character as its UTF-16LE bytes, without blanks, tabs and line ends.
TEST(TextCrc, LeavesOutBlanksAndLineEnds) {
    const std::pair<const wchar_t*, std::string> rows[] = {
        {L" a\r\nb\tc ", std::string("a\0b\0c\0", 6)},
        {L"", ""},
        {L"a\u00a0bc", std::string("a\0\xA0\0b\0c\0", 8)},  // other white space (a no-break space) counts
        {L"\u00e9\U0001F600", std::string("\xE9\x00\x3D\xD8\x00\xDE", 6)},  // beyond the basic plane: both surrogates
    };
    for (const auto& [text, bytes] : rows) {
        std::uint32_t crc = 1;
        CCrc32Static::ComputeTextCrc(text, crc);
        EXPECT_EQ(crc, ZlibCrc(bytes)) << WideToUtf8(text);
    }
}

}  // namespace
