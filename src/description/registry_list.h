// The document's registry list as flat actions (install/ applies them).
#pragma once

#include <string>
#include <vector>

#include "description/document_rules.h"

struct RegistryEntry {
    std::wstring keyPath;
    std::wstring action;
    std::wstring valueName;
};

// The document's registry list, read into entries (nothing is downloaded).
class DownloadRegistry : public DownloadBase {
public:
    explicit DownloadRegistry(Log& log) : DownloadBase(log) {}
    // Reads a RegList (or Key) element; always 1 with the DOM used here.
    int Read(const XmlNode& element, const std::wstring& basePath);
    void Clear() { entries_.clear(); }

    const std::vector<RegistryEntry>& Entries() const { return entries_; }

private:
    std::vector<RegistryEntry> entries_;
};

// Entries under the user's own hive are applied in-process, never by the service.
bool IsUserRegistryPath(const std::wstring& keyPath);
