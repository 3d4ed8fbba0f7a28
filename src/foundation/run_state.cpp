#include "foundation/run_state.h"

#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/client_config.h"

bool IsTestModeCommandLine(const std::wstring& commandLine) { return StartsWith(commandLine, L"testMode"); }

CommandLineChoice ClassifyCommandLine(const std::wstring& commandLine, const std::wstring& checkNowKeyword,
                                      const std::wstring& backgroundKeyword) {
    CommandLineChoice choice{ModeDefault, commandLine};
    if (IsTestModeCommandLine(commandLine)) {
        choice.mode = ModeTest;
        return choice;
    }
    std::size_t start = commandLine.find_first_not_of(L" -/\\");
    std::wstring trimmed = start == std::wstring::npos ? std::wstring() : commandLine.substr(start);
    std::size_t blank = trimmed.find(L' ');
    std::wstring keyword = trimmed.substr(0, blank);
    std::wstring rest = blank == std::wstring::npos ? std::wstring() : trimmed.substr(blank + 1);

    struct Candidate {
        const std::wstring& keyword;
        RunMode mode;
    };
    const std::wstring scheduler = L"Scheduler";
    for (const Candidate& candidate : {Candidate{checkNowKeyword, ModeCheckNow},
                                       Candidate{backgroundKeyword, ModeCheckBackground},
                                       Candidate{scheduler, ModeScheduler}}) {
        if (!candidate.keyword.empty() && EqualsNoCase(keyword, candidate.keyword)) {
            choice.mode = candidate.mode;
            choice.mainAppParameters = rest;
            return choice;
        }
    }
    return choice;
}

void RunState::Reset() {
    CurrentVersion.clear();
    UpdateVersion.clear();
    Mode = ModeDefault;
    MainAppParameters.clear();
    ShowCommand = 0;
}

void RunState::ParseCommandLine(const std::wstring& commandLine, int showCommand, const ClientConfig& config,
                                Log& log) {
    MainAppParameters = commandLine;
    ShowCommand = showCommand;
    log.WriteValue(L"Command line", commandLine);

    CommandLineChoice choice = ClassifyCommandLine(commandLine, config.CheckNowKeyword(), config.BackgroundKeyword());
    Mode = choice.mode;
    MainAppParameters = choice.mainAppParameters;
    switch (Mode) {
        case ModeTest: log.WriteEntry(L"Test mode detected"); break;
        case ModeCheckNow: log.WriteEntry(L"CheckNow mode detected"); break;
        case ModeCheckBackground: log.WriteEntry(L"CheckBackground mode detected"); break;
        case ModeScheduler: log.WriteEntry(L"Scheduler mode detected"); break;
        case ModeDefault: break;
    }
}
