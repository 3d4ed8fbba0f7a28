// Programs the document asks to run at fixed points of an update.
#pragma once

#include <string>
#include <vector>

#include "description/document_rules.h"

struct ExecuteEntry {
    std::wstring command;  // program, optionally a blank and 'parameters' in single quotes
    int point = -1;
    int wait = 0;
};

// Program and parameters of a command: the parameters stand between the first two single
// quotes, and the character before the first quote (the separating blank) is dropped.
void SplitCommand(const std::wstring& command, std::wstring* program, std::wstring* parameters);

// The document's list of programs to run, read into entries (nothing is downloaded).
class DownloadExecute : public DownloadBase {
public:
    explicit DownloadExecute(Log& log) : DownloadBase(log) {}
    int Read(const XmlNode& element, const std::wstring& basePath);
    void Clear() { entries_.clear(); }

    const std::vector<ExecuteEntry>& Entries() const { return entries_; }

private:
    std::vector<ExecuteEntry> entries_;
};
