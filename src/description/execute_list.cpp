#include "description/execute_list.h"

#include <windows.h>
#include <shellapi.h>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"

void SplitCommand(const std::wstring& command, std::wstring* program, std::wstring* parameters) {
    const std::size_t first = command.find(L'\'');
    const std::size_t second = first == std::wstring::npos ? first : command.find(L'\'', first + 1);
    if (second == std::wstring::npos) {
        *program = command;
        parameters->clear();
        return;
    }
    *parameters = command.substr(first + 1, second - first - 1);
    *program = first > 0 ? command.substr(0, first - 1) : std::wstring();
}

int DownloadExecute::Read(const XmlNode& element, const std::wstring& basePath) {
    std::vector<XmlNode> executes = element.SelectChildren(L"Execute");
    if (!ShouldRead(executes, basePath)) return 1;
    for (const XmlNode& execute : executes) {
        if (!PassesOsTest(execute, *log_)) continue;
        ExecuteEntry entry;
        for (const auto& [name, value] : execute.Attributes()) {
            if (name == L"Point") entry.point = DecimalValue(value);
            else if (name == L"File") entry.command = value;
            else if (name == L"WaitForProcess") entry.wait = IsTrueText(value);
        }
        entries_.push_back(std::move(entry));
    }
    return 1;
}

int DownloadExecute::RunPoint(int point) {
    for (const ExecuteEntry& entry : entries_) {
        if (entry.point != point) continue;
        std::wstring program, parameters;
        SplitCommand(entry.command, &program, &parameters);
        program = ExpandPathMacros(program);
        log_->WriteEntry(FormatText(L"Execute file: %ls %ls", program.c_str(), parameters.c_str()));

        bool present = GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES;
        for (int retry = 0; !present && retry < 2; ++retry) {
            log_->WriteValue(L"Delay: Exe missing", program);
            Sleep(kMissingRetryMs);
            present = GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES;
        }
        if (!present) {
            log_->WriteValue(L"Error: Exe missing", program);
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
            log_->WriteEntry(L"Waiting for process to finish");
            if (process) WaitForSingleObject(process.get(), kWaitForProcessMs);
        }
    }
    return 1;
}
