// What the client remembers between runs: executions since the last check, the installed
// version and a declined version. Read at start-up, written once at process exit.
#pragma once

#include <windows.h>

#include <string>

class ClientConfig;
class Log;
class RunState;

namespace PermissionManager {
class IClientFileManager;
}

class StatusFile {
public:
    // A status file at `path` with the configured frequency and remember-declined switch; a
    // test run (as `state` says when the file is read or written) leaves the file alone.
    StatusFile(std::wstring path, int checkFrequency, int rememberDeclined, const RunState& state, Log& log);
    // The configured file beside the client, with the configured switches.
    StatusFile(const ClientConfig& config, const RunState& state, Log& log);
    ~StatusFile();
    StatusFile(const StatusFile&) = delete;
    StatusFile& operator=(const StatusFile&) = delete;

    // True when this run shall check for updates. Reads through `files`: the file, else the
    // replacement a run that ended inside Save left beside it. A file that cannot be parsed is
    // no check; the version that can still be read from it is kept.
    bool Load(PermissionManager::IClientFileManager& files);
    // Counts this run and writes the file through `files` (not in test mode, and not when this
    // run could not open it): the text goes to "<path>.new" first, which then takes the file's
    // place. When the new text cannot be written whole, the file stays as it was. True when
    // the file now holds what this run knows (always in test mode), so that what only the
    // file records, the installed version, may be let go elsewhere.
    bool Save(PermissionManager::IClientFileManager& files);
    // The same write without counting a run, for a version that must be on disk before the
    // run goes on.
    bool Write(PermissionManager::IClientFileManager& files);

    // An empty text never replaces the recorded version: a document without a version must
    // not make the client forget what is installed.
    void SetApplicationVersion(const std::wstring& version) {
        if (!version.empty()) applicationVersion_ = version;
    }
    void SetOfferedVersion(const std::wstring& version) { offeredVersion_ = version; }
    std::wstring ApplicationVersion() const { return applicationVersion_; }
    void SetServerReached() { serverReached_ = 1; }
    void SetInstallStarted() { installStarted_ = 1; }

    const std::wstring& Path() const { return path_; }
    int NumExecutions() const { return numExecutions_; }

    // The file's text for the values it holds now (ANSI, CR LF, TAB-indented elements).
    std::string Text() const;

private:
    // Takes the values of a status file's text; false when it does not parse.
    bool ReadText(const std::string& bytes);
    // Whether the count has reached the frequency; when it has, the count starts again.
    bool IsDue();

    const RunState& state_;
    Log& log_;
    std::wstring path_;
    std::wstring applicationVersion_;
    std::wstring offeredVersion_;
    int numExecutions_ = 0;
    int checkFrequency_;
    int rememberDeclined_;
    int serverReached_ = 0;
    int installStarted_ = 0;
    // Set when the file exists but stayed locked: it is kept as it is rather than rewritten
    // from values this run never read.
    bool keepAsItIs_ = false;
};

// Opens with a few retries over about a second: a virus scanner or a backup program may
// hold a file for a moment. The opener answers whether the open succeeded.
template <typename Opener>
bool OpenWithRetries(Opener open, int attempts = 10, unsigned long pauseMs = 100) {
    for (int attempt = 1;; ++attempt) {
        if (open()) return true;
        if (attempt >= attempts) return false;
        Sleep(pauseMs);
    }
}

// "<", ">" and "&" written as entities, so any version text reads back as written.
std::wstring EscapeXmlText(const std::wstring& text);
