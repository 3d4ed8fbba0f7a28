// Puts downloaded files in place: backups, self-update, archives and registration.
#pragma once

#include <string>

class DownloadFile;

// Installs every selected entry in list order; 1 when all were installed, 0 when the
// installation stopped (the download folder then keeps the files and the backups).
int InstallFiles(DownloadFile& list);

// Unzips with the log lines; 1 or 0.
int ExtractArchive(const std::wstring& archivePath, const std::wstring& directory);
// Registers a COM server with the log lines; 1 or 0.
int RegisterComponent(const std::wstring& path);
