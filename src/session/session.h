// The process-wide update session: one update from the loaded document to the end.
#pragma once

#include <windows.h>

#include <string>

#include "description/execute_list.h"
#include "description/file_list.h"
#include "description/registry_list.h"

class XmlDocument;

// The window that receives the download messages; null on the silent path.
extern HWND ProgressWindow;

class Renewix {
public:
    static Renewix& Instance();

    Renewix();
    virtual ~Renewix() = default;
    Renewix(const Renewix&) = delete;
    Renewix& operator=(const Renewix&) = delete;

    // Whether the document's secure code agrees with the configured base code.
    bool CheckSecureCode(const XmlDocument& document);
    void SetLocalDocument(const std::wstring& path);

    bool IsTest() const { return test_ != 0; }
    const std::wstring& DownloadFolder() const { return downloadFolder_; }
    DownloadFile& Files() { return files_; }
    DownloadRegistry& Registry() { return registry_; }
    DownloadExecute& Execute() { return execute_; }

private:
    std::wstring downloadFolder_;
    int downloaded_ = 0;
    int checked_ = 0;
    int test_ = 0;
    std::wstring localDocumentPath_;
    int internetAvailable_ = 0;
    int serverReached_ = 0;
    DownloadFile files_;
    DownloadRegistry registry_;
    DownloadExecute execute_;
};

// ApplicationDirectory followed by "RenewixFiles", without a trailing backslash.
std::wstring DefaultDownloadFolder();
