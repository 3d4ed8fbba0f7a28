// RenewixPublish.exe: prepares an update document for the server.
#include <windows.h>

#include <string>

#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "publish/publisher.h"

namespace {

const wchar_t kUsage[] =
    L"usage: RenewixPublish <document.xml> <release folder> <base secure code> <output.xml> [--versions] [--utf16]\r\n"
    L"  fills each File's Size and CRC (and with --versions its ByVersion) from the release folder,\r\n"
    L"  then writes the document's SecureCode so that a client built with that base code accepts it;\r\n"
    L"  --utf16 writes it as UTF-16LE with a byte order mark, as a document on an FTP server must be\r\n";

void WriteText(DWORD which, const std::wstring& text) {
    const std::string bytes = WideToUtf8(text);
    DWORD written = 0;
    HANDLE out = GetStdHandle(which);
    if (out && out != INVALID_HANDLE_VALUE) WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring FullPath(const wchar_t* path) {
    wchar_t full[MAX_PATH] = {};
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : std::wstring(path);
}

int Run(int argc, wchar_t** argv) {
    if (argc < 5) {
        WriteText(STD_ERROR_HANDLE, kUsage);
        return 2;
    }
    PublishRequest request{FullPath(argv[1]), FullPath(argv[2]), argv[3], FullPath(argv[4])};
    for (int i = 5; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--versions") {
            request.versions = true;
        } else if (option == L"--utf16") {
            request.utf16 = true;
        } else {
            WriteText(STD_ERROR_HANDLE, kUsage);
            return 2;
        }
    }
    renewix::ScopedComInit com;
    std::wstring report, error, warnings;
    if (!Publish(request, report, error, warnings)) {
        WriteText(STD_ERROR_HANDLE, L"RenewixPublish: " + error + L"; no document was written\r\n");
        return 1;
    }
    for (std::size_t start = 0; start < warnings.size();) {
        const std::size_t end = warnings.find(L"\r\n", start);
        WriteText(STD_ERROR_HANDLE, L"RenewixPublish: warning: " + warnings.substr(start, end - start) + L"\r\n");
        start = end == std::wstring::npos ? warnings.size() : end + 2;
    }
    WriteText(STD_OUTPUT_HANDLE, report + L"written: " + request.output + L"\r\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return Run(argc, argv);
    } catch (...) {
        WriteText(STD_ERROR_HANDLE, L"RenewixPublish: unexpected failure; no document was written\r\n");
        return 1;
    }
}
