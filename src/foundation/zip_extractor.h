// Extracts a zip archive into a folder, through minizip's unzip layer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class Log;

// One entry of an archive's directory, its name with "\" separators.
struct ZipEntry {
    std::wstring name;
    unsigned long dosDate = 0;
    unsigned long long size = 0;  // uncompressed
    bool IsFolder() const { return !name.empty() && name.back() == L'\\'; }
};

class ZipExtractor {
public:
    // `log` hears which name made an archive refused.
    explicit ZipExtractor(Log& log) : log_(log) {}
    ~ZipExtractor();
    ZipExtractor(const ZipExtractor&) = delete;
    ZipExtractor& operator=(const ZipExtractor&) = delete;

    bool Open(const std::wstring& archivePath);
    // Number of entries (folders included) of the open archive.
    long EntryCount() const;
    // Reads and checks the whole directory: every entry listed in the header is reached, every
    // name reads as text (UTF-8 when the entry says so, else the OEM code page), names a file
    // Windows can create and stays inside the folder it is extracted to, and no file stands
    // where another entry needs a folder; with `checkData`, every file entry also decompresses
    // with a good CRC. False for a damaged archive, with a log line for a refused name.
    bool ReadDirectory(std::vector<ZipEntry>* entries, bool checkData = true);
    // Extracts every entry under `directory`, after ReadDirectory: a damaged archive, or one
    // whose names would land outside the folder or make a path longer than Windows takes,
    // fails before anything is written.
    bool ExtractAll(const std::wstring& directory);
    void Close();

private:
    void LogRefusedName(const wchar_t* why, const std::wstring& shown);

    Log& log_;
    void* archive_ = nullptr;  // unzFile
    std::wstring path_;        // for the log
};

// An entry name's bytes as text: UTF-8 when the entry's general-purpose flag has bit 11,
// else the OEM code page. False (and no name) when the bytes are not valid in it.
bool DecodeEntryName(std::string_view bytes, bool utf8, std::wstring* name);

// Whether an entry name (with "\" separators) stays inside the folder it is extracted to.
bool IsContainedEntryName(const std::wstring& name);

// Whether every part of an entry name (with "\" separators) is a name Windows gives a file
// or folder: no control or wildcard characters, no device name, not longer than a volume takes.
bool IsCreatableEntryName(const std::wstring& name);

// The files (not folders) an archive would write, relative to the folder it is extracted to.
enum class ArchiveListing { Listed, NotOpened, Damaged };
ArchiveListing ListArchiveFiles(const std::wstring& archivePath, std::vector<std::wstring>* files, Log& log);

// The standard file manager's Unzip: entry count, -1 (not opened), -2 (extraction failed)
// or 0 (destination folder not created).
int UnzipArchive(const std::wstring& archivePath, const std::wstring& destination, Log& log);
