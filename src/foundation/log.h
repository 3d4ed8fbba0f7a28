// The run's plain-text log (UTF-16, CR LF, one write call per line).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace PermissionManager {
class IClientFileManager;
class IManagedFile;
}

class Log {
public:
    Log();
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Starts and opens the log file at once, through `files`.
    void Start(PermissionManager::IClientFileManager& files, const std::wstring& path, int disabled);
    // Starts the log but keeps its lines in memory until Open: a client that may find
    // another instance running must not truncate the log that instance is writing. `files`
    // opens the file, and must last until Open.
    void StartHeld(PermissionManager::IClientFileManager& files, const std::wstring& path, int disabled);
    // Creates the file (replacing an earlier run's log) and writes the lines held so far.
    void Open();
    // Ends the log with "End of recording"; lines still held are dropped, unwritten.
    void Stop();
    bool IsOpen() const;

    void WriteHeading(const std::wstring& text);
    void WriteEntry(const std::wstring& text);
    void WriteValue(const std::wstring& title, const std::wstring& value);
    void WriteTwoValues(const std::wstring& title, const std::wstring& first, const std::wstring& second);
    // Numbers are signed decimals; 64 bits wide, so that sizes above 2 GiB read right.
    void WriteNumber(const std::wstring& title, long long number);
    void WriteValueNumber(const std::wstring& title, const std::wstring& value, long long number);
    void WriteBlank();
    void WriteRaw(const void* data, unsigned long count);
    void WriteSessionHeader(const std::wstring& clientVersion, const std::wstring& osName);

    // The header's date and time forms: 12/05/26 and 21:53:07.
    static std::wstring FormatDate(int year, int month, int day);
    static std::wstring FormatTime(int hour, int minute, int second);

private:
    void WriteLine(const std::wstring& line);
    void WriteLocked(const std::wstring& line);
    void WriteBytesLocked(const void* data, unsigned long count);
    // The first heading of a log has no blank line before it.
    std::wstring HeadingLine(const std::wstring& text);

    // Serialises writes so that lines from different threads never interleave and the
    // file object is never used by two threads at once.
    mutable std::mutex mutex_;
    PermissionManager::IClientFileManager* files_ = nullptr;
    std::unique_ptr<PermissionManager::IManagedFile> file_;
    bool open_ = false;
    bool held_ = false;
    std::atomic<bool> headingWritten_{false};
    std::string heldBytes_;
    std::size_t openingBytes_ = 0;  // the held "Logging started" line
    int disabled_ = 0;
    std::wstring path_;
};
