#include "foundation/zip_extractor.h"

#include <windows.h>

#include <unzip.h>

#include <vector>

#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "foundation/file_management.h"

namespace {

constexpr unsigned kChunk = 0x5000;

std::string ToAnsiPath(const std::wstring& path) {
    std::string ansi = WideToAnsi(path);
    if (ansi.size() > 1024) ansi.resize(1024);
    return ansi;
}

bool MakeFolders(const std::string& folder) {
    // The file manager creates each missing level in turn, as for any other target.
    PermissionManager::StandardFileManagement files;
    return files.MakeDirectories(AnsiToWide(folder)) != 0;
}

// Reads the current entry to its end; false when it is damaged (the CRC is checked on close).
bool ReadsBackWhole(unzFile archive) {
    if (unzOpenCurrentFile(archive) != UNZ_OK) return false;
    std::vector<char> buffer(kChunk);
    int read;
    while ((read = unzReadCurrentFile(archive, buffer.data(), kChunk)) > 0) {
    }
    return unzCloseCurrentFile(archive) == UNZ_OK && read == 0;
}

}  // namespace

bool IsContainedEntryName(const std::string& name) {
    if (name.empty()) return true;
    if (name[0] == '\\') return false;
    if (name.find(':') != std::string::npos) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('\\', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

ZipExtractor::~ZipExtractor() { Close(); }

bool ZipExtractor::Open(const std::wstring& archivePath) {
    Close();
    archive_ = unzOpen64(ToAnsiPath(archivePath).c_str());
    return archive_ != nullptr;
}

void ZipExtractor::Close() {
    if (archive_) unzClose(static_cast<unzFile>(archive_));
    archive_ = nullptr;
}

long ZipExtractor::EntryCount() const {
    unz_global_info info{};
    if (!archive_ || unzGetGlobalInfo(static_cast<unzFile>(archive_), &info) != UNZ_OK) return 0;
    return static_cast<long>(info.number_entry);
}

bool ZipExtractor::ReadDirectory(std::vector<ZipEntry>* entries, bool checkData) {
    unzFile archive = static_cast<unzFile>(archive_);
    entries->clear();
    unz_global_info info{};
    if (!archive || unzGetGlobalInfo(archive, &info) != UNZ_OK || info.number_entry == 0) return false;
    int status = unzGoToFirstFile(archive);
    for (; status == UNZ_OK; status = unzGoToNextFile(archive)) {
        char name[260] = {};
        unz_file_info entry{};
        if (unzGetCurrentFileInfo(archive, &entry, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
        ZipEntry read{name, entry.dosDate};
        for (char& c : read.name) {
            if (c == '/') c = '\\';
        }
        if (!IsContainedEntryName(read.name)) return false;
        if (checkData && !read.name.empty() && !read.IsFolder() && !ReadsBackWhole(archive)) return false;
        entries->push_back(std::move(read));
    }
    // Only the end of the list is a good end, and only after every entry the header counts:
    // a cut or damaged directory must not pass as a smaller archive.
    return status == UNZ_END_OF_LIST_OF_FILE && entries->size() == info.number_entry;
}

bool ZipExtractor::ExtractAll(const std::wstring& directory) {
    unzFile archive = static_cast<unzFile>(archive_);
    const std::string root = ToAnsiPath(directory);
    if (!archive || root.empty() || !MakeFolders(root)) return false;

    // First pass: the whole directory is checked, or nothing at all is written.
    std::vector<ZipEntry> entries;
    if (!ReadDirectory(&entries)) return false;

    int status = unzGoToFirstFile(archive);
    for (const ZipEntry& entry : entries) {
        if (status != UNZ_OK) return false;
        if (!entry.name.empty() && !entry.IsFolder()) {
            const std::string target = root + (root.back() == '\\' ? "" : "\\") + entry.name;
            if (!MakeFolders(target.substr(0, target.rfind('\\')))) return false;
            const std::wstring wideTarget = AnsiToWide(target);
            renewix::UniqueFile file(
                CreateFileW(wideTarget.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file || unzOpenCurrentFile(archive) != UNZ_OK) return false;
            std::vector<char> buffer(kChunk);
            bool complete = true;
            for (;;) {
                const int read = unzReadCurrentFile(archive, buffer.data(), kChunk);
                if (read == 0) break;
                DWORD written = 0;
                if (read < 0 || !WriteFile(file.get(), buffer.data(), static_cast<DWORD>(read), &written, nullptr) ||
                    written != static_cast<DWORD>(read)) {
                    complete = false;
                    break;
                }
            }
            // A damaged entry also fails its CRC check here.
            if (unzCloseCurrentFile(archive) != UNZ_OK) complete = false;
            if (!complete) return false;
            FILETIME local, utc;
            if (DosDateTimeToFileTime(HIWORD(entry.dosDate), LOWORD(entry.dosDate), &local) &&
                LocalFileTimeToFileTime(&local, &utc)) {
                SetFileTime(file.get(), &utc, nullptr, &utc);
            }
        }
        status = unzGoToNextFile(archive);
    }
    return true;
}

ArchiveListing ListArchiveFiles(const std::wstring& archivePath, std::vector<std::wstring>* files) {
    ZipExtractor zip;
    std::vector<ZipEntry> entries;
    if (!zip.Open(archivePath)) return ArchiveListing::NotOpened;
    // The names are enough here: the extraction checks every entry's data before it writes.
    if (!zip.ReadDirectory(&entries, false)) return ArchiveListing::Damaged;
    files->clear();
    for (const ZipEntry& entry : entries) {
        if (!entry.name.empty() && !entry.IsFolder()) files->push_back(AnsiToWide(entry.name));
    }
    return ArchiveListing::Listed;
}

int UnzipArchive(const std::wstring& archivePath, const std::wstring& destination) {
    ZipExtractor zip;
    if (!zip.Open(archivePath)) return -1;
    PermissionManager::StandardFileManagement files;
    if (!files.MakeDirectories(destination)) return 0;
    if (!zip.ExtractAll(destination)) return -2;
    return static_cast<int>(zip.EntryCount());
}
