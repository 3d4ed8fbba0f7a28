// Extracts a zip archive into a folder, through minizip's unzip layer.
#pragma once

#include <string>
#include <vector>

// One entry of an archive's directory, its name with "\" separators.
struct ZipEntry {
    std::string name;
    unsigned long dosDate = 0;
    bool IsFolder() const { return !name.empty() && name.back() == '\\'; }
};

class ZipExtractor {
public:
    ZipExtractor() = default;
    ~ZipExtractor();
    ZipExtractor(const ZipExtractor&) = delete;
    ZipExtractor& operator=(const ZipExtractor&) = delete;

    bool Open(const std::wstring& archivePath);
    // Number of entries (folders included) of the open archive.
    long EntryCount() const;
    // Reads and checks the whole directory: every entry listed in the header is reached and
    // every name stays inside the folder it is extracted to; with `checkData`, every file entry
    // also decompresses with a good CRC. False for a damaged archive.
    bool ReadDirectory(std::vector<ZipEntry>* entries, bool checkData = true);
    // Extracts every entry under `directory`, after ReadDirectory: a damaged archive, or one
    // whose names would land outside the folder, fails before anything is written.
    bool ExtractAll(const std::wstring& directory);
    void Close();

private:
    void* archive_ = nullptr;  // unzFile
};

// Whether an entry name (with "\" separators) stays inside the folder it is extracted to.
bool IsContainedEntryName(const std::string& name);

// The files (not folders) an archive would write, relative to the folder it is extracted to.
enum class ArchiveListing { Listed, NotOpened, Damaged };
ArchiveListing ListArchiveFiles(const std::wstring& archivePath, std::vector<std::wstring>* files);

// The standard file manager's Unzip: entry count, -1 (not opened), -2 (extraction failed)
// or 0 (destination folder not created).
int UnzipArchive(const std::wstring& archivePath, const std::wstring& destination);
