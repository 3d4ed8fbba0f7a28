#include "description/execute_list.h"

#include "foundation/log.h"
#include "foundation/text.h"

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
