#include "transfer/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "test_support.h"

namespace {

std::uint32_t ZlibCrc(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

TEST(FileCrc, KnownValuesAndFailures) {
    ScratchFolder folder(L"crc-files");
    std::uint32_t crc = 1;
    ASSERT_TRUE(WriteFileBytes(folder / L"check.txt", "123456789"));
    EXPECT_EQ(CCrc32Static::ComputeFileCrc(folder / L"check.txt", crc), 0u);
    EXPECT_EQ(crc, 0xCBF43926u);

    ASSERT_TRUE(WriteFileBytes(folder / L"empty.txt", ""));
    crc = 1;
    EXPECT_EQ(CCrc32Static::ComputeFileCrc(folder / L"empty.txt", crc), 0u);
    EXPECT_EQ(crc, 0u);

    crc = 1;
    EXPECT_EQ(CCrc32Static::ComputeFileCrc(folder / L"missing.txt", crc), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(crc, 0u);
    EXPECT_EQ(CCrc32Static::ComputeFileCrc(folder / L"no\\such\\dir.txt", crc), static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
}

TEST(FileCrc, AgreesWithZlibAcrossChunkBoundaries) {
    ScratchFolder folder(L"crc-large");
    std::mt19937 random(7);
    for (std::size_t size : {1u, 4095u, 4096u, 4097u, 3 * 4096u + 17, 1u << 20}) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        ASSERT_TRUE(WriteFileBytes(folder / L"data.bin", bytes));
        std::uint32_t crc = 0;
        EXPECT_EQ(CCrc32Static::ComputeFileCrc(folder / L"data.bin", crc), 0u);
        EXPECT_EQ(crc, ZlibCrc(bytes)) << size;
    }
}

TEST(TextCrc, LeavesOutBlanksAndLineEnds) {
    std::uint32_t crc = 0;
    EXPECT_EQ(CCrc32Static::ComputeTextCrc(L"abc", crc), 0u);
    EXPECT_EQ(crc, 0xAD957AB0u);
    CCrc32Static::ComputeTextCrc(L" a\r\nb\tc ", crc);
    EXPECT_EQ(crc, 0xAD957AB0u);
    CCrc32Static::ComputeTextCrc(L"", crc);
    EXPECT_EQ(crc, 0u);
    // Other white space (a no-break space) counts.
    CCrc32Static::ComputeTextCrc(L"a\u00a0bc", crc);
    EXPECT_NE(crc, 0xAD957AB0u);
    // Beyond the basic plane: both surrogates, each low byte first.
    CCrc32Static::ComputeTextCrc(L"\u00e9\U0001F600", crc);
    EXPECT_EQ(crc, ZlibCrc(std::string("\xE9\x00\x3D\xD8\x00\xDE", 6)));
}

}  // namespace
