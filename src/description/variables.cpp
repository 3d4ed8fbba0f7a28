#include "description/variables.h"

#include <windows.h>

#include "foundation/log.h"
#include "foundation/system_facts.h"
#include "foundation/text.h"
#include "foundation/file_management.h"
#include "foundation/client_config.h"
#include "foundation/run_state.h"
#include "foundation/localised_text.h"

std::wstring TextVariables::ReadVariableFile(const std::wstring& source) const {
    // Read as the user, never through the service: a variable must not reveal what only the
    // service may read.
    const std::unique_ptr<PermissionManager::StandardFile> file =
        PermissionManager::StandardFile::Open(source, GENERIC_READ, OPEN_EXISTING, 0);
    if (!file) {
        log_.WriteValue(L"Errors opening", source);
        return {};
    }
    char buffer[1023];
    DWORD read = file->Read(buffer, sizeof(buffer));
    return read > 0 ? AnsiToWide(std::string_view(buffer, read)) : std::wstring();
}

std::wstring NormalizeLineBreaks(const std::wstring& text) {
    std::wstring result = text;
    ReplaceAll(result, L"\r\n", L"\n");
    ReplaceAll(result, L"\n", L"\r\n");
    return result;
}

std::wstring TextVariables::ReplaceVariables(const std::wstring& input) const {
    std::wstring text = input;
    const ClientConfig& config = config_;
    const RunState& state = state_;
    // Each fact is looked up only when its variable is there: the host lookup is not free.
    struct Variable {
        const wchar_t* name;
        std::wstring (*value)(const ClientConfig&, const RunState&);
    };
    static const Variable kVariables[] = {
        {L"%Login%", [](const ClientConfig&, const RunState&) { return LoginName(); }},
        {L"%Platform%", [](const ClientConfig&, const RunState&) { return OperatingSystemName(); }},
        {L"%IpAddress%", [](const ClientConfig&, const RunState&) { return IpAddress(); }},
        {L"%HostName%", [](const ClientConfig&, const RunState&) { return HostName(); }},
        {L"%ApplicationName%", [](const ClientConfig& c, const RunState&) { return c.ApplicationName(); }},
        {L"%CompanyName%", [](const ClientConfig& c, const RunState&) { return c.CompanyName(); }},
        {L"%CompanyEmail%", [](const ClientConfig& c, const RunState&) { return c.CompanyEmail(); }},
        {L"%CurrentVersion%", [](const ClientConfig&, const RunState& s) { return s.CurrentVersion; }},
        {L"%UpdateVersion%", [](const ClientConfig&, const RunState& s) { return s.UpdateVersion; }},
    };
    for (const Variable& variable : kVariables) {
        if (text.find(variable.name) != std::wstring::npos) ReplaceAll(text, variable.name, variable.value(config, state));
    }

    const std::wstring opening = L"%VARIABLE ";
    PermissionManager::StandardFileManagement files(log_);
    for (int round = 0; round < 26; ++round) {
        const std::size_t start = text.find(opening);
        if (start == std::wstring::npos) break;
        const std::size_t end = text.find(L'%', start + 1);
        if (end == std::wstring::npos) break;
        const std::wstring token = text.substr(start, end - start + 1);
        std::wstring body = token.substr(opening.size());
        while (!body.empty() && body.back() == L'%') body.pop_back();

        std::wstring value;
        const std::size_t bar = body.find(L'|');
        if (bar != std::wstring::npos) {
            const std::wstring source = body.substr(0, bar);
            const std::wstring type = body.substr(bar + 1);
            if (EqualsNoCase(type, L"REG_SZ") || EqualsNoCase(type, L"REG_DWORD")) {
                value = files.QueryRegistry(source, type);
            } else if (EqualsNoCase(type, L"FILE")) {
                value = ReadVariableFile(source);
            } else {
                log_.WriteTwoValues(L"Unknown variable type", source, type);
            }
            log_.WriteTwoValues(L"Variable replacement", source, value);
        }
        ReplaceAll(text, token, value);
    }
    return text;
}

std::wstring TextVariables::PrepareText(unsigned localisedId) const {
    return ReplaceVariables(NormalizeLineBreaks(LoadLocalisedText(localisedId)));
}

std::wstring TextVariables::PrepareText(const std::wstring& text, unsigned localisedId) const {
    if (localisedId == 0) return text.empty() ? text : ReplaceVariables(NormalizeLineBreaks(text));
    if (text.empty()) return PrepareText(localisedId);
    return ReplaceVariables(text);
}
