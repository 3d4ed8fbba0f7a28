// Extracts a zip archive into a folder, through minizip's unzip layer.
#pragma once

#include <string>

class ZipExtractor {
public:
    ZipExtractor() = default;
    ~ZipExtractor();
    ZipExtractor(const ZipExtractor&) = delete;
    ZipExtractor& operator=(const ZipExtractor&) = delete;

    bool Open(const std::wstring& archivePath);
    // Number of entries (folders included) of the open archive.
    long EntryCount() const;
    // Extracts every entry under `directory`. Entries whose names would land outside it
    // (absolute, with a drive, or climbing with "..") fail the whole extraction before
    // anything is written.
    bool ExtractAll(const std::wstring& directory);
    void Close();

private:
    void* archive_ = nullptr;  // unzFile
};

// Whether an entry name (with "\" separators) stays inside the folder it is extracted to.
bool IsContainedEntryName(const std::string& name);

// The standard file manager's Unzip: entry count, -1 (not opened), -2 (extraction failed)
// or 0 (destination folder not created).
int UnzipArchive(const std::wstring& archivePath, const std::wstring& destination);
