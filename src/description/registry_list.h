// The document's registry list as flat actions, applied after the files are installed.
#pragma once

#include <string>
#include <vector>

#include "description/document_rules.h"

struct RegistryEntry {
    std::wstring keyPath;
    std::wstring action;
    std::wstring valueName;
};

class DownloadRegistry : public DownloadBase {
public:
    // Reads a RegList (or Key) element; always 1 with the DOM used here.
    int Read(const XmlNode& element, const std::wstring& basePath);
    void Clear() { entries_.clear(); }
    // 1 when every entry was applied; failures are logged and the rest still applied.
    int Apply();

    const std::vector<RegistryEntry>& Entries() const { return entries_; }

private:
    std::vector<RegistryEntry> entries_;
};

// Entries under the user's own hive are applied in-process, never by the service.
bool IsUserRegistryPath(const std::wstring& keyPath);
