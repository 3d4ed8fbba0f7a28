// The process-wide run state: mode, UI kind, restart kind and what the main application gets.
#pragma once

#include <atomic>
#include <string>

enum RunMode : int {
    ModeDefault = 0,
    ModeCheckNow = 1,
    ModeCheckBackground = 2,
    ModeTest = 3,
    ModeScheduler = 4,
};

// What a command line asks for, given the configured keywords.
struct CommandLineChoice {
    RunMode mode = ModeDefault;
    std::wstring mainAppParameters;
};

CommandLineChoice ClassifyCommandLine(const std::wstring& commandLine, const std::wstring& checkNowKeyword,
                                      const std::wstring& backgroundKeyword);

// True when the command line starts, at its very first character, with "testMode".
bool IsTestModeCommandLine(const std::wstring& commandLine);

class XmlNode;

class RunState {
public:
    static RunState& Instance();

    // Back to the state of a run that has read nothing yet.
    void Reset();

    void ParseCommandLine(const std::wstring& commandLine, int showCommand);
    // UpdateType and Restart of the update document.
    void ApplyDocumentOptions(const XmlNode& root);
    void ApplyDocumentOptions(const std::wstring& updateType, const std::wstring& restart);

    std::wstring CurrentVersion;
    std::wstring UpdateVersion;
    RunMode Mode = ModeDefault;
    // Read by the wizard's threads while the sheet's thread may change them.
    std::atomic<int> RestartKind{1};
    std::atomic<int> UiKind{1};
    int DoNotTerminate = 0;
    std::wstring MainAppParameters;
    int ShowCommand = 0;
};
