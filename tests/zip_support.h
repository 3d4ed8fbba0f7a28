// Writes zip archives for the tests, through minizip's writing side, and lists downloads for
// the installation tests.
#pragma once

#include <zip.h>
#include <zlib.h>
// After zip.h: it needs the declarations zip.h brings in.
#include <iowin32.h>

#include <string>
#include <vector>

#include "description/file_list.h"
#include "test_support.h"

struct ZipTestEntry {
    std::string name;  // the bytes the archive holds; ending in "/" for a folder
    std::string content;
    bool utf8 = true;  // general-purpose flag bit 11, else the name is in the OEM code page
};

// Writes an archive at a wide path, dated 2021-06-15 12:00:00.
[[nodiscard]] inline bool MakeZip(const std::wstring& path, const std::vector<ZipTestEntry>& entries) {
    zlib_filefunc64_def functions{};
    fill_win32_filefunc64W(&functions);
    zipFile zip = zipOpen2_64(path.c_str(), 0, nullptr, &functions);
    if (!zip) return false;
    bool good = true;
    for (const ZipTestEntry& entry : entries) {
        zip_fileinfo info{};
        info.dosDate = 0x52CF6000;
        good = good && zipOpenNewFileInZip4_64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                               Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY,
                                               nullptr, 0, 0, entry.utf8 ? 0x800 : 0, 0) == ZIP_OK;
        if (good && !entry.content.empty()) {
            good = zipWriteInFileInZip(zip, entry.content.data(), static_cast<unsigned>(entry.content.size())) == ZIP_OK;
        }
        good = good && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && good;
}

// Adds a selected entry to the list as the document would give it: its download is the next
// UpdateFile<n> in the download folder, with the size and CRC of `bytes`.
inline FileEntry& AddEntry(DownloadFile& list, const std::wstring& destination, const std::string& bytes) {
    FileEntry& entry = list.Entries().emplace_back();
    entry.destination = destination;
    entry.downloadName = L"UpdateFile" + std::to_wstring(list.Entries().size());
    entry.size = bytes.size();
    entry.crc = CrcOf(bytes);
    entry.selected = 1;
    return entry;
}
