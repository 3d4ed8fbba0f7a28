// The run's state: its mode, the versions compared and what the main application gets.
#pragma once

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

class ClientConfig;
class Log;

class RunState {
public:
    // Back to the state of a run that has read nothing yet.
    void Reset();

    // The mode the configured keywords give the command line, noted in the log.
    void ParseCommandLine(const std::wstring& commandLine, int showCommand, const ClientConfig& config, Log& log);

    // The versions the check compared, for the texts that name them.
    std::wstring CurrentVersion;
    std::wstring UpdateVersion;
    RunMode Mode = ModeDefault;
    std::wstring MainAppParameters;
    int ShowCommand = 0;
};
