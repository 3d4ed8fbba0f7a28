#include "install/program_runner.h"

#include <windows.h>
#include <shellapi.h>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"

int RunExecutePoint(const std::vector<ExecuteEntry>& entries, int point, Log& log) {
    for (const ExecuteEntry& entry : entries) {
        if (entry.point != point) continue;
        std::wstring program, parameters;
        SplitCommand(entry.command, &program, &parameters);
        program = ExpandPathMacros(program);
        log.WriteEntry(FormatText(L"Execute file: %ls %ls", program.c_str(), parameters.c_str()));

        bool present = GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES;
        for (int retry = 0; !present && retry < 2; ++retry) {
            log.WriteValue(L"Delay: Exe missing", program);
            Sleep(kMissingProgramRetryMs);
            present = GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES;
        }
        if (!present) {
            log.WriteValue(L"Error: Exe missing", program);
            continue;
        }

        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpFile = program.c_str();
        info.lpParameters = parameters.c_str();
        info.nShow = SW_SHOW;
        ShellExecuteExW(&info);
        renewix::UniqueHandle process(info.hProcess);
        if (entry.wait) {
            log.WriteEntry(L"Waiting for process to finish");
            if (process) WaitForSingleObject(process.get(), kWaitForProgramMs);
        }
    }
    return 1;
}
