#include "foundation/zip_extractor.h"

#include <windows.h>

#include <unzip.h>
// After unzip.h: it needs the declarations unzip.h brings in.
#include <iowin32.h>

#include <type_traits>
#include <set>
#include <vector>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"

namespace {

constexpr unsigned kChunk = 0x5000;
// General-purpose flag bit 11: the entry's name (and comment) are UTF-8.
constexpr unsigned long kUtf8Names = 0x800;
// One name's limit on NTFS, FAT32, exFAT and ReFS alike.
constexpr std::size_t kLongestName = 255;
// An extended-length path's limit, its terminating zero included.
constexpr std::size_t kLongestPath = 32767;

// The absolute form of a path, folded as every Win32 call folds it ("." parts, repeated
// separators, trailing dots and spaces); empty when Windows could not take it.
std::wstring FullPath(const std::wstring& path) {
    return path.empty() || path.size() >= kLongestPath ? std::wstring() : FullPathName(path);
}

// The "\\?\" form of a full path: Windows takes it past MAX_PATH and folds nothing more.
std::wstring ExtendedPath(const std::wstring& full) {
    if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full;
    if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Where the part of an extended path that may need creating starts: after the drive, or
// after the server and share.
std::size_t VolumeEnd(const std::wstring& extended) {
    std::size_t at;
    if (StartsWith(extended, L"\\\\?\\UNC\\")) {
        at = extended.find(L'\\', 8);
        if (at != std::wstring::npos) at = extended.find(L'\\', at + 1);
    } else {
        at = extended.find(L'\\', 4);
    }
    return at == std::wstring::npos ? extended.size() : at + 1;
}

// Creates each missing level of `folder` (an extended path) from its `from`-th character on.
// A level that cannot be created but is there already will do: above a user's own folders,
// Windows may answer "access denied" for a folder that exists.
bool MakeFolders(const std::wstring& folder, std::size_t from) {
    for (std::size_t at = from; at <= folder.size(); ++at) {
        if (at < folder.size() && folder[at] != L'\\') continue;
        if (at == 0 || folder[at - 1] == L'\\') continue;
        const std::wstring level = folder.substr(0, at);
        if (!CreateDirectoryW(level.c_str(), nullptr) && !IsFolderPath(level)) return false;
    }
    return true;
}

// Creates a folder given as a full path, with every level it needs.
bool MakeFullFolder(const std::wstring& full) {
    const std::wstring folder = ExtendedPath(full);
    return !full.empty() && MakeFolders(folder, VolumeEnd(folder));
}

// A name for the log that shows what it was, whatever it was: control characters, and bytes
// that are no text yet, as \xNN.
template <typename Char>
std::wstring Printable(std::basic_string_view<Char> text) {
    std::wstring shown;
    for (Char c : text) {
        const auto code = static_cast<std::make_unsigned_t<Char>>(c);
        const bool rawByte = sizeof(Char) == 1 && code > 0x7F;
        if (code < 0x20 || code == 0x7F || rawByte) {
            shown += FormatText(L"\\x%02X", static_cast<unsigned>(code));
        } else {
            shown += static_cast<wchar_t>(code);
        }
    }
    return shown;
}

// The parts of a name with "\" separators, empty ones included.
std::vector<std::wstring_view> NameParts(std::wstring_view name) {
    std::vector<std::wstring_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = name.find(L'\\', start);
        parts.push_back(name.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start));
        if (end == std::wstring_view::npos) return parts;
        start = end + 1;
    }
}

std::wstring UpperCase(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// A name as Windows will compare it once created: parts folded as FullPath folds them
// (trailing dots and spaces, empty and "." parts dropped), upper-cased.
std::wstring ComparableName(const std::wstring& name) {
    std::wstring folded;
    for (std::wstring_view part : NameParts(name)) {
        while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.remove_suffix(1);
        if (part.empty()) continue;
        if (!folded.empty()) folded += L'\\';
        folded += part;
    }
    return UpperCase(folded);
}

bool IsDeviceName(std::wstring_view part) {
    // "con.txt" and "NUL .log" open the device as well as "CON" does.
    std::wstring base = UpperCase(std::wstring(part.substr(0, part.find(L'.'))));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices) {
        if (base == device) return true;
    }
    return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

// Reads the current entry to its end, handing each piece to `use`; false when the entry is
// damaged or `use` refuses a piece. minizip checks the CRC on close only when the data ran to
// the size the directory gives, so the size is checked too: damaged data that ends early
// would pass otherwise.
template <typename Use>
bool ReadEntry(unzFile archive, unsigned long long size, Use use) {
    if (unzOpenCurrentFile(archive) != UNZ_OK) return false;
    std::vector<char> buffer(kChunk);
    unsigned long long total = 0;
    int read;
    bool used = true;
    while (used && (read = unzReadCurrentFile(archive, buffer.data(), kChunk)) > 0) {
        used = use(buffer.data(), static_cast<DWORD>(read));
        total += static_cast<unsigned>(read);
    }
    // Closed in every case: a damaged entry fails its CRC check here.
    const bool closed = unzCloseCurrentFile(archive) == UNZ_OK;
    return used && closed && read == 0 && total == size;
}

bool ReadsBackWhole(unzFile archive, unsigned long long size) {
    return ReadEntry(archive, size, [](const char*, DWORD) { return true; });
}

// Writes the current entry to `target`; a file left short is removed again.
bool WriteEntry(unzFile archive, const std::wstring& target, const ZipEntry& entry) {
    renewix::UniqueFile file(
        CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const bool complete = ReadEntry(archive, entry.size, [&](const char* data, DWORD count) {
        DWORD written = 0;
        return WriteFile(file.get(), data, count, &written, nullptr) && written == count;
    });
    if (!complete) {
        file.reset();
        DeleteFileW(target.c_str());
        return false;
    }
    FILETIME local, utc;
    if (DosDateTimeToFileTime(HIWORD(entry.dosDate), LOWORD(entry.dosDate), &local) && LocalFileTimeToFileTime(&local, &utc)) {
        SetFileTime(file.get(), &utc, nullptr, &utc);
    }
    return true;
}

}  // namespace

bool DecodeEntryName(std::string_view bytes, bool utf8, std::wstring* name) {
    return DecodeText(bytes, utf8 ? CP_UTF8 : CP_OEMCP, name);
}

bool IsContainedEntryName(const std::wstring& name) {
    if (name.empty()) return true;
    if (name[0] == L'\\' || name.find(L':') != std::wstring::npos) return false;
    for (std::wstring_view part : NameParts(name)) {
        if (part == L"..") return false;
    }
    return true;
}

bool IsCreatableEntryName(const std::wstring& name) {
    for (std::wstring_view part : NameParts(name)) {
        if (part.size() > kLongestName || IsDeviceName(part)) return false;
        for (wchar_t c : part) {
            if (c < 0x20 || std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos) return false;
        }
    }
    return true;
}

ZipExtractor::~ZipExtractor() { Close(); }

void ZipExtractor::LogRefusedName(const wchar_t* why, const std::wstring& shown) {
    log_.WriteTwoValues(why, path_, shown);
}

bool ZipExtractor::Open(const std::wstring& archivePath) {
    Close();
    const std::wstring full = FullPath(archivePath);
    const std::wstring opened = full.empty() ? archivePath : ExtendedPath(full);
    zlib_filefunc64_def functions{};
    fill_win32_filefunc64W(&functions);
    archive_ = unzOpen2_64(opened.c_str(), &functions);
    if (archive_) path_ = archivePath;
    return archive_ != nullptr;
}

void ZipExtractor::Close() {
    if (archive_) unzClose(static_cast<unzFile>(archive_));
    archive_ = nullptr;
    path_.clear();
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
    // Upper-cased, as Windows compares names: a file must not stand where a folder goes.
    std::set<std::wstring> files, folders;
    int status = unzGoToFirstFile(archive);
    for (; status == UNZ_OK; status = unzGoToNextFile(archive)) {
        unz_file_info64 entry{};
        if (unzGetCurrentFileInfo64(archive, &entry, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
        std::string bytes(entry.size_filename, '\0');
        if (!bytes.empty() && unzGetCurrentFileInfo64(archive, &entry, bytes.data(), static_cast<uLong>(bytes.size()),
                                                      nullptr, 0, nullptr, 0) != UNZ_OK) {
            return false;
        }
        ZipEntry read{{}, entry.dosDate, entry.uncompressed_size};
        if (!DecodeEntryName(bytes, (entry.flag & kUtf8Names) != 0, &read.name)) {
            LogRefusedName(L"Unreadable zip entry name", Printable(std::string_view(bytes)));
            return false;
        }
        for (wchar_t& c : read.name) {
            if (c == L'/') c = L'\\';
        }
        if (!IsContainedEntryName(read.name) || !IsCreatableEntryName(read.name)) {
            LogRefusedName(L"Zip entry name refused", Printable(std::wstring_view(read.name)));
            return false;
        }
        if (!read.name.empty() && !read.IsFolder()) {
            const std::wstring key = ComparableName(read.name);
            bool clash = folders.count(key) != 0;
            for (std::size_t at = key.find(L'\\'); at != std::wstring::npos && !clash; at = key.find(L'\\', at + 1)) {
                clash = files.count(key.substr(0, at)) != 0;
                folders.insert(key.substr(0, at));
            }
            if (clash) {
                LogRefusedName(L"Zip entry name refused", Printable(std::wstring_view(read.name)));
                return false;
            }
            files.insert(key);
        }
        if (checkData && !read.name.empty() && !read.IsFolder() && !ReadsBackWhole(archive, read.size)) return false;
        entries->push_back(std::move(read));
    }
    // Only the end of the list is a good end, and only after every entry the header counts:
    // a cut or damaged directory must not pass as a smaller archive.
    return status == UNZ_END_OF_LIST_OF_FILE && entries->size() == info.number_entry;
}

bool ZipExtractor::ExtractAll(const std::wstring& directory) {
    unzFile archive = static_cast<unzFile>(archive_);
    std::wstring base = FullPath(directory);
    if (!archive || !MakeFullFolder(base)) return false;
    if (base.back() != L'\\') base += L'\\';
    const std::wstring root = ExtendedPath(base);

    // First pass: the whole directory and every target path are checked, or nothing at all
    // is written.
    std::vector<ZipEntry> entries;
    if (!ReadDirectory(&entries)) return false;
    std::vector<std::wstring> targets(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ZipEntry& entry = entries[i];
        if (entry.name.empty() || entry.IsFolder()) continue;
        // Windows folds the joined path as it would when the file is created: what it folds
        // to must still be a file below the folder.
        const std::wstring full = FullPath(base + entry.name);
        if (full.size() <= base.size() || full.compare(0, base.size(), base) != 0 || full.back() == L'\\') {
            LogRefusedName(full.empty() ? L"Zip entry path too long" : L"Zip entry name refused",
                           Printable(std::wstring_view(entry.name)));
            return false;
        }
        targets[i] = ExtendedPath(full);
        if (targets[i].size() >= kLongestPath) {
            LogRefusedName(L"Zip entry path too long", Printable(std::wstring_view(entry.name)));
            return false;
        }
    }

    int status = unzGoToFirstFile(archive);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (status != UNZ_OK) return false;
        const std::wstring& target = targets[i];
        if (!target.empty()) {
            if (!MakeFolders(target.substr(0, target.rfind(L'\\')), root.size())) return false;
            if (!WriteEntry(archive, target, entries[i])) return false;
        }
        status = unzGoToNextFile(archive);
    }
    return true;
}

ArchiveListing ListArchiveFiles(const std::wstring& archivePath, std::vector<std::wstring>* files, Log& log) {
    ZipExtractor zip(log);
    std::vector<ZipEntry> entries;
    if (!zip.Open(archivePath)) return ArchiveListing::NotOpened;
    // The names are enough here: the extraction checks every entry's data before it writes.
    if (!zip.ReadDirectory(&entries, false)) return ArchiveListing::Damaged;
    files->clear();
    for (const ZipEntry& entry : entries) {
        if (!entry.name.empty() && !entry.IsFolder()) files->push_back(entry.name);
    }
    return ArchiveListing::Listed;
}

int UnzipArchive(const std::wstring& archivePath, const std::wstring& destination, Log& log) {
    ZipExtractor zip(log);
    if (!zip.Open(archivePath)) return -1;
    // An empty destination is no folder to create; the extraction refuses it.
    if (!destination.empty() && !MakeFullFolder(FullPath(destination))) return 0;
    if (!zip.ExtractAll(destination)) return -2;
    return static_cast<int>(zip.EntryCount());
}
