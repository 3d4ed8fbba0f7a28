#include "foundation/file_management.h"

#include <gtest/gtest.h>

#include <utility>

#include "foundation/log.h"
#include "service/piped_file_management.h"
#include "test_support.h"

namespace {

using PermissionManager::IManagedFile;
using PermissionManager::StandardFile;
using PermissionManager::StandardFileManagement;

class FileManagement : public ::testing::Test {
protected:
    ScratchFolder folder_{L"fm"};
    StandardFileManagement files_{TestLog()};
};

TEST_F(FileManagement, WritingCreatesMissingFoldersAndReadsBack) {
    const std::wstring path = folder_ / L"upper\\lower\\file.bin";
    std::unique_ptr<IManagedFile> file = files_.Open(path, GENERIC_WRITE, CREATE_ALWAYS, 0);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(IsFolderPath(folder_ / L"upper\\lower"));
    EXPECT_EQ(file->Write("hello world", 11), 1);
    EXPECT_EQ(file->Close(), 1);
    EXPECT_EQ(file->Close(), 0);
    // A closed file writes and reads nothing, but nothing to write is no failure.
    EXPECT_EQ(file->Write("", 0), 1);
    EXPECT_EQ(file->Write("x", 1), 0);
    char buffer[8] = {};
    EXPECT_EQ(file->Read(buffer, 1), 0u);

    file = files_.Open(path, GENERIC_READ, OPEN_EXISTING, 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Read(buffer, 8), 8u);
    EXPECT_EQ(std::string(buffer, 8), "hello wo");
    EXPECT_EQ(file->Read(buffer, 8), 3u);
    EXPECT_EQ(file->Read(buffer, 8), 0u);

    // The digest reports why an open failed.
    EXPECT_EQ(files_.Open(L"C:\\no\\such\\folder\\file.txt", GENERIC_READ, OPEN_EXISTING, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileManagement, ReadStopsAtTheSizeSeenAtOpen) {
    const std::wstring path = folder_ / L"grows.txt";
    ASSERT_TRUE(WriteFileBytes(path, "1234"));
    const auto reader = StandardFile::Open(path, GENERIC_READ, OPEN_EXISTING, 0);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->OpenSize(), 4u);
    // Another writer appends while the file is open; shared access allows it.
    {
        const auto writer = StandardFile::Open(path, FILE_APPEND_DATA, OPEN_EXISTING, 0);
        ASSERT_NE(writer, nullptr);
        ASSERT_EQ(writer->Write("5678", 4), 1);
    }
    char buffer[16] = {};
    EXPECT_EQ(reader->Read(buffer, 16), 8u);  // one read may see more ...
    EXPECT_EQ(reader->Read(buffer, 16), 0u);  // ... but none follows past the opening size
}

// Each file has its own owner: two are open at once, and one goes with its owner.
TEST_F(FileManagement, FilesOpenTogetherAndCloseWithTheirOwner) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"a.txt", "a"));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"b.txt", "bb"));
    auto a = files_.Open(folder_ / L"a.txt", GENERIC_READ, OPEN_EXISTING, 0);
    const auto b = files_.Open(folder_ / L"b.txt", GENERIC_READ, OPEN_EXISTING, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    char buffer[4];
    EXPECT_EQ(a->Read(buffer, 4), 1u);
    EXPECT_EQ(b->Read(buffer, 4), 2u);
    EXPECT_EQ(files_.Delete(folder_ / L"a.txt"), 0);  // held open
    a.reset();
    EXPECT_EQ(files_.Delete(folder_ / L"a.txt"), 1);
}

TEST_F(FileManagement, MoveNeverOverwritesAndCreatesTheTargetFolder) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"new.dll", "new"));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"old.dll", "old"));
    EXPECT_EQ(files_.Move(folder_ / L"new.dll", folder_ / L"old.dll"), 0);
    EXPECT_EQ(ReadFileBytes(folder_ / L"old.dll"), "old");
    EXPECT_EQ(files_.Move(folder_ / L"new.dll", folder_ / L"deep\\er\\moved.dll"), 1);
    EXPECT_EQ(ReadFileBytes(folder_ / L"deep\\er\\moved.dll"), "new");
    EXPECT_FALSE(Exists(folder_ / L"new.dll"));
    EXPECT_EQ(files_.Move(folder_ / L"missing.dll", folder_ / L"x.dll"), 0);
}

TEST_F(FileManagement, DirectoriesAttributesAndTrees) {
    EXPECT_EQ(files_.MakeDirectories(folder_ / L"a\\b\\c\\"), 1);
    EXPECT_TRUE(IsFolderPath(folder_ / L"a\\b\\c"));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"a\\b\\c\\f.txt", "f"));
    // A folder that is there, or a drive or a server alone (nothing below it to create), will
    // do; a file in the way will not.
    const std::pair<std::wstring, int> made[] = {
        {folder_ / L"a\\b\\c", 1}, {L"C:", 1}, {L"\\\\server\\", 1}, {folder_ / L"a\\b\\c\\f.txt\\sub", 0}};
    for (const auto& [path, result] : made) EXPECT_EQ(files_.MakeDirectories(path), result) << WideToUtf8(path);
    EXPECT_NE(files_.GetAttributes(folder_ / L"a") & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(files_.GetAttributes(folder_ / L"a\\b\\c\\f.txt") & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(files_.GetAttributes(folder_ / L"nothing"), INVALID_FILE_ATTRIBUTES);

    EXPECT_EQ(files_.DeleteTree(folder_ / L"a"), 1);
    EXPECT_FALSE(Exists(folder_ / L"a"));
    EXPECT_EQ(files_.DeleteTree(folder_ / L"never-was"), 1);
    EXPECT_EQ(files_.Delete(folder_ / L"never-was.txt"), 0);
}

TEST_F(FileManagement, SetTimesChangesTheOpenFile) {
    const std::wstring path = folder_ / L"t.txt";
    const auto file = StandardFile::Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0);
    ASSERT_NE(file, nullptr);
    SYSTEMTIME when{2001, 2, 0, 3, 4, 5, 6, 0};
    FILETIME time;
    SystemTimeToFileTime(&when, &time);
    file->SetTimes(time, time, time);
    FILETIME creation{}, access{}, write{};
    ASSERT_TRUE(file->GetTimes(&creation, &access, &write));
    EXPECT_EQ(CompareFileTime(&write, &time), 0);
    file->Close();
    file->SetTimes(time, time, time);  // closed: nothing happens
    EXPECT_FALSE(file->GetTimes(&creation, &access, &write));
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &time), 0);
}

TEST(FileManagerFactory, StandardManagerWhileNoServiceAnswers) {
    EXPECT_FALSE(PermissionManager::IsServiceActive(0));
    auto manager = PermissionManager::CreateServiceOrStandardFileManager(0, TestLog());
    EXPECT_NE(dynamic_cast<StandardFileManagement*>(manager.get()), nullptr);
}

}  // namespace
