#include "install/file_installation.h"

#include <windows.h>

#include "description/file_list.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "install/file_management.h"

namespace {

std::wstring FileNameOf(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring TemporaryDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH, buffer);
    return std::wstring(buffer, length <= MAX_PATH ? length : 0);
}

}  // namespace

int ExtractArchive(const std::wstring& archivePath, const std::wstring& directory) {
    Log& log = Log::Instance();
    const int count = PermissionManager::CreateFileManager()->Unzip(archivePath, directory);
    if (count == -1) {
        log.WriteValue(L"Unable to open zip file", archivePath);
        return 0;
    }
    // No entry extracted, or no folder to extract into, is a failed archive, not success.
    if (count <= 0) {
        log.WriteValue(L"Unable to extract zip files", archivePath);
        return 0;
    }
    log.WriteEntry(FormatText(L"Unzipped %d file%ls", count, count == 1 ? L"" : L"(s)"));
    return 1;
}

int RegisterComponent(const std::wstring& path) {
    Log& log = Log::Instance();
    if (PermissionManager::CreateFileManager()->RegisterServer(path)) {
        log.WriteValue(L"A file was successfully registered", path);
        return 1;
    }
    log.WriteValue(L"Unable to register", path);
    return 0;
}

int InstallFiles(DownloadFile& list) {
    Log& log = Log::Instance();
    log.WriteEntry(L"Moving files to directories");
    auto files = PermissionManager::CreateFileManager();
    const std::wstring self = ModulePath();

    for (FileEntry& entry : list.Entries()) {
        if (!entry.selected) continue;
        const std::wstring& destination = entry.destination;
        const std::wstring downloaded = list.DownloadFolder() + L"\\" + entry.downloadName;
        const std::wstring backup = downloaded + L".bak";
        bool existed = files->GetAttributes(destination) != INVALID_FILE_ATTRIBUTES;
        files->Delete(backup);
        // Where the file that was in place went, so a failed placement can put it back.
        std::wstring setAside;

        if (EqualsNoCase(destination, self)) {
            // A running executable cannot be replaced, but it can be moved out of the way.
            entry.ignoreErrors = 1;
            const std::wstring parked = TemporaryDirectory() + FileNameOf(destination);
            files->Delete(parked);
            if (files->Move(destination, parked)) {
                log.WriteValue(L"Detected a self update!", destination);
                existed = false;
                setAside = parked;
            } else {
                log.WriteValue(L"Unable to update myself", destination);
            }
        }

        if (existed) {
            if (files->Move(destination, backup)) {
                setAside = backup;
            } else {
                log.WriteBlank();
                log.WriteValueNumber(L"Error moving file", destination,
                                     static_cast<int>(files->GetAttributes(destination)));
                log.WriteValue(L"Backup location", backup);
                log.WriteBlank();
            }
        }
        // A file that could not be replaced goes back where it was: a failed update never
        // leaves the program without the file it had.
        const auto putBack = [&] {
            if (!setAside.empty() && files->GetAttributes(destination) == INVALID_FILE_ATTRIBUTES) {
                files->Move(setAside, destination);
            }
        };

        if (!entry.unzip) {
            if (!files->Move(downloaded, destination)) {
                log.WriteBlank();
                log.WriteValue(L"Error moving file", downloaded);
                log.WriteValue(L"File destination", destination);
                log.WriteBlank();
                putBack();
                if (!entry.ignoreErrors) return 0;
            }
            if (entry.registerServer && !RegisterComponent(destination)) return 0;
        } else {
            std::wstring drive, directory;
            SplitDriveAndDirectory(destination, &drive, &directory);
            if (!ExtractArchive(downloaded, drive + directory)) {
                putBack();
                return 0;
            }
            files->Delete(destination);
        }
    }
    files->DeleteTree(list.DownloadFolder());
    return 1;
}
