#include "foundation/file_management.h"


#include <cstring>

#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/registry_operations.h"
#include "foundation/zip_extractor.h"

namespace PermissionManager {

namespace {

// The folder that holds a file, without its trailing backslash.
std::wstring ParentDirectory(const std::wstring& path) {
    std::wstring drive, directory;
    SplitDriveAndDirectory(path, &drive, &directory);
    std::wstring parent = drive + directory;
    while (!parent.empty() && parent.back() == L'\\') parent.pop_back();
    return parent;
}

}  // namespace

std::unique_ptr<StandardFile> StandardFile::Open(const std::wstring& path, DWORD access, DWORD disposition,
                                                DWORD flags) {
    if ((access & GENERIC_WRITE) && !EnsureParentDirectory(path)) return nullptr;
    renewix::UniqueFile file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         disposition, flags, nullptr));
    return Adopt(std::move(file));
}

std::unique_ptr<StandardFile> StandardFile::Adopt(renewix::UniqueFile file) {
    if (!file) return nullptr;
    LARGE_INTEGER size{};
    const std::uint64_t bytes = GetFileSizeEx(file.get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    return std::unique_ptr<StandardFile>(new StandardFile(std::move(file), bytes));
}

int StandardFile::Write(const void* data, DWORD count) {
    if (count == 0) return 1;
    if (!file_) return 0;
    DWORD written = 0;
    return WriteFile(file_.get(), data, count, &written, nullptr) && written == count ? 1 : 0;
}

DWORD StandardFile::Read(void* buffer, DWORD count) {
    if (position_ >= size_ || count == 0 || !file_) return 0;
    DWORD read = 0;
    if (!ReadFile(file_.get(), buffer, count, &read, nullptr)) return 0;
    position_ += read;
    return read;
}

bool StandardFile::SeekTo(std::uint64_t position) {
    if (!file_ || position > size_) return false;
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN)) return false;
    position_ = position;
    return true;
}

int StandardFile::Close() {
    if (!file_) return 0;
    file_.reset();
    return 1;
}

void StandardFile::SetTimes(const FILETIME& creation, const FILETIME& lastAccess, const FILETIME& lastWrite) {
    if (file_) SetFileTime(file_.get(), &creation, &lastAccess, &lastWrite);
}

bool StandardFile::GetTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) const {
    return file_ && GetFileTime(file_.get(), creation, lastAccess, lastWrite);
}

std::unique_ptr<IManagedFile> StandardFileManagement::Open(const std::wstring& path, DWORD access,
                                                           DWORD disposition, DWORD flags) {
    return StandardFile::Open(path, access, disposition, flags);
}

int StandardFileManagement::MakeDirectories(const std::wstring& path) { return MakeDirectoryPath(path); }

int MakeDirectoryPath(const std::wstring& input) {
    std::wstring path = input;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    path += L'\\';
    if (path.size() <= 3) return 1;
    std::wstring drive, directory;
    SplitDriveAndDirectory(path + L"x", &drive, &directory);
    std::size_t start = 0;
    if (StartsWith(directory, L"\\\\")) {
        // Skip the server name: \\server\ cannot be created, only the folders below it.
        start = directory.find(L'\\', 2);
        if (start == std::wstring::npos) return 1;
    }
    for (std::size_t at = directory.find(L'\\', start + 1); at != std::wstring::npos;
         at = directory.find(L'\\', at + 1)) {
        std::wstring folder = drive + directory.substr(0, at);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    }
    return 1;
}

int EnsureParentDirectory(const std::wstring& path) {
    std::wstring parent = ParentDirectory(path);
    return IsFolderPath(parent) ? 1 : MakeDirectoryPath(parent);
}

int StandardFileManagement::Move(const std::wstring& from, const std::wstring& to) {
    if (!EnsureParentDirectory(to)) return 0;
    return MoveFileW(from.c_str(), to.c_str()) ? 1 : 0;
}

int StandardFileManagement::Delete(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return 1;
    // A folder goes only when it is empty: nothing in it is ever lost this way.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    return folder && RemoveDirectoryW(path.c_str()) ? 1 : 0;
}

namespace {

// Deletes what it can below `folder` and then the folder, going on past what it cannot (a
// running program's file, say), so that one busy file keeps only itself. Links are removed,
// never followed.
void DeleteTreeOf(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    if (renewix::UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &found)); find) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
                SetFileAttributesW(child.c_str(), found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            }
            const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileW(child.c_str());
            } else if (link) {
                RemoveDirectoryW(child.c_str());
            } else {
                DeleteTreeOf(child);
            }
        } while (FindNextFileW(find.get(), &found));
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

int StandardFileManagement::DeleteTree(const std::wstring& path) {
    std::wstring folder = path;
    while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || folder.size() <= 3) return 1;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A file or a link named as the tree goes alone.
        if (!DeleteFileW(folder.c_str())) RemoveDirectoryW(folder.c_str());
        return 1;
    }
    DeleteTreeOf(folder);
    return 1;
}

DWORD StandardFileManagement::GetAttributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

int StandardFileManagement::UpdateRegistry(const std::wstring& keyPath, const std::wstring& valueName,
                                           const std::wstring& action) {
    return ApplyRegistryAction(keyPath, valueName, action);
}

std::wstring StandardFileManagement::QueryRegistry(const std::wstring& registryPath, const std::wstring& type) {
    return QueryRegistryValue(registryPath, type);
}
namespace {

// Loads the library and calls one of its registration exports; 1 when it was there.
int CallRegistrationExport(const std::wstring& libraryPath, const char* exportName) {
    renewix::UniqueModule library(LoadLibraryW(libraryPath.c_str()));
    if (!library) return 0;
    using RegisterFn = HRESULT(STDAPICALLTYPE*)();
    FARPROC entry = GetProcAddress(library.get(), exportName);
    if (!entry) return 0;
    try {
        reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(entry))();
    } catch (...) {
        return 0;
    }
    return 1;
}

}  // namespace

int StandardFileManagement::RegisterServer(const std::wstring& libraryPath) {
    return CallRegistrationExport(libraryPath, "DllRegisterServer");
}

int StandardFileManagement::UnregisterServer(const std::wstring& libraryPath) {
    return CallRegistrationExport(libraryPath, "DllUnregisterServer");
}

int StandardFileManagement::Unzip(const std::wstring& archivePath, const std::wstring& destination) {
    return UnzipArchive(archivePath, destination, log_);
}

bool ReadAll(IManagedFile& file, std::string& bytes, std::size_t limit) {
    char buffer[4096];
    for (DWORD read; bytes.size() <= limit && (read = file.Read(buffer, sizeof(buffer))) != 0;) bytes.append(buffer, read);
    return bytes.size() <= limit;
}

}  // namespace PermissionManager
