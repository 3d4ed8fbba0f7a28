#include "foundation/zip_extractor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "test_support.h"
#include "zip_support.h"

namespace {

// Every file below `folder` (at any length), by its path relative to it.
std::map<std::wstring, std::string> FilesBelow(const std::wstring& folder, const std::wstring& relative = L"") {
    std::map<std::wstring, std::string> files;
    const std::wstring here = L"\\\\?\\" + folder + (relative.empty() ? L"" : L"\\" + relative);
    ForEachChild(here, [&](const std::wstring& name, bool isFolder) {
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (isFolder) {
            files.merge(FilesBelow(folder, child));
        } else {
            files[child] = ReadFileBytes(here + L"\\" + name);
        }
    });
    return files;
}

// The names of everything directly in `folder`.
std::vector<std::wstring> Children(const std::wstring& folder) {
    std::vector<std::wstring> names;
    ForEachChild(folder, [&](const std::wstring& name, bool) { names.push_back(name); });
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// Names arrive as themselves: in another script, flagged UTF-8, in a folder whose name is not
// ASCII either, from an archive whose path is not ASCII; without the flag, in the OEM code page
// as the classic tools wrote them; and at paths past MAX_PATH (and past the old 1,024-byte cut).
TEST(ZipExtractor, EntriesArriveUnderTheirOwnNames) {
    ScratchFolder scratch(L"zip-names");
    const std::string greekFolder = "\xce\x95\xce\xbb\xce\xbb\xce\xb7\xce\xbd\xce\xb9\xce\xba\xce\xac";  // Ελληνικά
    const std::string japaneseFile = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt";                        // 日本語.txt
    const std::string cyrillicFile = "\xd0\x9a\xd0\xb8\xd1\x80\xd0\xb8\xd0\xbb\xd0\xbb\xd0\xb8\xd1\x86\xd0\xb0.txt";
    std::wstring longFolder = scratch.path();
    for (int i = 0; i < 3; ++i) longFolder += L"\\" + std::wstring(100, L'd') + std::to_wstring(i);
    std::string deep;
    for (int i = 0; i < 9; ++i) deep += std::string(100, 'p') + std::to_string(i) + "/";
    deep += "\xce\xb2\xce\xb1\xce\xb8\xcf\x8d.txt";  // βαθύ.txt
    std::wstring deepName = Utf8ToWide(deep);
    std::replace(deepName.begin(), deepName.end(), L'/', L'\\');
    const struct {
        const char* what;
        std::wstring archive;
        std::wstring destination;
        std::vector<ZipTestEntry> entries;
        std::map<std::wstring, std::string> files;
        bool oem = false;
    } rows[] = {
        {"other scripts", scratch / L"\u0430\u0440\u0445\u0438\u0432.zip",  // архив.zip
         scratch / L"\u0396\u03ce\u03bd\u03b7 \u30d5\u30a9\u30eb\u30c0",  // Ζώνη フォルダ
         {{greekFolder + "/" + japaneseFile, "\xce\xba\xce\xb1\xce\xbb\xce\xb7"},
          {cyrillicFile, std::string(3000, 'k')},
          {greekFolder + "/", ""}},
         {{Utf8ToWide(greekFolder) + L"\\" + Utf8ToWide(japaneseFile), "\xce\xba\xce\xb1\xce\xbb\xce\xb7"},
          {Utf8ToWide(cyrillicFile), std::string(3000, 'k')}}},
        {"the OEM code page", scratch / L"oem.zip", scratch / L"oem", {{"\x84\x94\x81\xe1.txt", "umlauts", false}},
         {{L"\u00e4\u00f6\u00fc\u00df.txt", "umlauts"}}, true},
        {"a long path", scratch / L"long.zip", longFolder, {{deep, "deep down"}}, {{deepName, "deep down"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.oem && GetOEMCP() != 437) continue;  // the names are those of code page 437
        ASSERT_TRUE(MakeZip(row.archive, row.entries));
        EXPECT_EQ(UnzipArchive(row.archive, row.destination, TestLog()), static_cast<int>(row.entries.size()));
        EXPECT_EQ(FilesBelow(row.destination), row.files);
        std::vector<std::wstring> listed;
        ASSERT_EQ(ListArchiveFiles(row.archive, &listed, TestLog()), ArchiveListing::Listed);
        std::sort(listed.begin(), listed.end());
        std::vector<std::wstring> names;
        for (const auto& [name, bytes] : row.files) names.push_back(name);
        EXPECT_EQ(listed, names);
    }
    ScratchFolder::RemoveTree(L"\\\\?\\" + scratch.path());  // its paths run past MAX_PATH
}

// Names that cannot be read, would land outside the folder, or that Windows cannot give a
// file, make the whole archive fail before anything is written, with a line in the log; so does
// a path past what Windows takes at all, which only the extraction can tell. Each archive holds
// a good entry first.
TEST(ZipExtractor, RefusedNamesWriteNothing) {
    struct Case {
        const char* what;
        std::vector<ZipTestEntry> entries;
        const char* logged;
        ArchiveListing listing = ArchiveListing::Damaged;
    };
    std::string tooLong;
    for (int i = 0; i < 140; ++i) tooLong += std::string(250, 'q') + "/";
    const char* const unreadable = "\tUnreadable zip entry name:\t";
    const char* const refused = "\tZip entry name refused:\t";
    const Case cases[] = {
        {"UTF-8 cut short", {{"bad\xe6\x97", "x"}}, unreadable},
        {"an overlong slash", {{"..\xc0\xaf" "escape.txt", "x"}}, unreadable},
        {"a UTF-16 surrogate", {{"\xed\xa0\x80.txt", "x"}}, unreadable},
        {"parent in another script", {{"\xd0\xbf\xd0\xb0\xd0\xbf\xd0\xba\xd0\xb0/../../escape.txt", "evil"}}, refused},
        {"rooted", {{"/rooted.txt", "evil"}}, refused},
        {"alternate stream", {{"fine.txt:hidden", "evil"}}, refused},
        {"control character", {{"a\x01" "b.txt", "x"}}, refused},
        {"wildcard", {{"what?.txt", "x"}}, refused},
        {"star", {{"sub/st*r.txt", "x"}}, refused},
        {"pipe", {{"a|b.txt", "x"}}, refused},
        {"quote", {{"a\"b.txt", "x"}}, refused},
        {"angle brackets", {{"<a>.txt", "x"}}, refused},
        {"console device", {{"CON", "x"}}, refused},
        {"null device with extension", {{"nul.txt", "x"}}, refused},
        {"printer port as a folder", {{"lpt1 /x.txt", "x"}}, refused},
        {"serial port", {{"sub/com9.log", "x"}}, refused},
        {"name longer than a volume takes", {{std::string(256, 'n'), "x"}}, refused},
        {"file where a folder goes", {{"thing", "a file"}, {"thing/inner.txt", "x"}}, refused},
        {"folder where a file goes", {{"Thing/inner.txt", "x"}, {"thing.", "a file"}}, refused},
        {"a path too long", {{tooLong + "end.txt", "x"}}, "\tZip entry path too long:\t", ArchiveListing::Listed},
    };
    ScratchFolder scratch(L"zip-refused");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring archive = scratch / L"bad.zip";
        const std::wstring destination = scratch / L"box\\out";
        std::vector<ZipTestEntry> entries = {{"fine.txt", "ok"}};
        entries.insert(entries.end(), c.entries.begin(), c.entries.end());
        ASSERT_TRUE(MakeZip(archive, entries));
        CapturedLog log(scratch / L"bad.log");
        EXPECT_EQ(UnzipArchive(archive, destination, TestLog()), -2);
        std::vector<std::wstring> listed;
        EXPECT_EQ(ListArchiveFiles(archive, &listed, TestLog()), c.listing);
        const std::string text = log.Finish();
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        EXPECT_TRUE(FilesBelow(destination).empty());
        EXPECT_EQ(Children(scratch.path()), (std::vector<std::wstring>{L"bad.log", L"bad.zip", L"box"}));
        EXPECT_EQ(Children(scratch / L"box"), std::vector<std::wstring>{L"out"});
        ScratchFolder::RemoveTree(scratch / L"box");
    }
    // Only a whole ".." part climbs.
    EXPECT_TRUE(IsContainedEntryName(L"a\\b..c\\..d"));
    EXPECT_FALSE(IsContainedEntryName(L"a\\..\\b"));
}

// Damage that a reading of the archive could take for a smaller or a good one: nothing of the
// archive is written. A directory that ends before the header's count of entries is damaged,
// as is an entry whose data ends before the size the directory gives (minizip checks an entry's
// CRC only when its data runs to that size), or one whose data fails its CRC.
TEST(ZipExtractor, DamagedArchivesWriteNothing) {
    ScratchFolder scratch(L"zip-damaged");
    const auto cutDirectory = [](std::string& bytes) {
        // The end record counts one entry more than the directory holds, on the disk and in all.
        const std::size_t end = bytes.rfind("PK\x05\x06");
        bytes[end + 8] = bytes[end + 10] = 3;
    };
    const auto shortEntry = [](std::string& bytes) {
        // Both headers of the second entry say one byte more than there is (500).
        for (const std::size_t at : {bytes.find("PK\x03\x04", 1) + 22, bytes.rfind("PK\x01\x02") + 24}) {
            EXPECT_EQ(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8, 500);
            bytes[at] += 1;
        }
    };
    const auto flippedData = [](std::string& bytes) {
        const std::size_t at = bytes.find("second.txt") + 12;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
    };
    const struct {
        const char* what;
        std::function<void(std::string&)> damage;
        ArchiveListing listing;  // the names alone; the data is checked as it is extracted
    } rows[] = {
        {"a cut directory", cutDirectory, ArchiveListing::Damaged},
        {"an entry shorter than its size", shortEntry, ArchiveListing::Listed},
        {"an entry whose data fails its CRC", flippedData, ArchiveListing::Listed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::wstring archive = scratch / L"damaged.zip";
        ScratchFolder::RemoveTree(scratch / L"out");
        ASSERT_TRUE(MakeZip(archive, {{"fine.txt", "ok"}, {"second.txt", std::string(500, 's')}}));
        std::string bytes = ReadFileBytes(archive);
        row.damage(bytes);
        ASSERT_TRUE(WriteFileBytes(archive, bytes));
        EXPECT_EQ(UnzipArchive(archive, scratch / L"out", TestLog()), -2);
        EXPECT_TRUE(FilesBelow(scratch / L"out").empty());
        std::vector<std::wstring> listed;
        EXPECT_EQ(ListArchiveFiles(archive, &listed, TestLog()), row.listing);
    }
}
