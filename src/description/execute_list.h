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

class DownloadExecute : public DownloadBase {
public:
    int Read(const XmlNode& element, const std::wstring& basePath);
    void Clear() { entries_.clear(); }
    // Runs every entry of one point in list order; always 1.
    int RunPoint(int point);

    const std::vector<ExecuteEntry>& Entries() const { return entries_; }

    // How long a missing program is waited for between its two retries, and how long a
    // started program is waited for; tests shorten neither.
    static constexpr unsigned kMissingRetryMs = 1000;
    static constexpr unsigned kWaitForProcessMs = 30000;

private:
    std::vector<ExecuteEntry> entries_;
};
