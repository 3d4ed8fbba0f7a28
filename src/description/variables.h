// Variable replacement in texts and the preparation of every displayed text.
#pragma once

#include <string>

class ClientConfig;
class Log;
class RunState;

// Every "\r\n" and every lone "\n" becomes "\r\n".
std::wstring NormalizeLineBreaks(const std::wstring& text);

// The facts a text's variables are replaced with: the configuration, the run's versions and
// the log that notes registry and file reads. Lives as long as the run.
class TextVariables {
public:
    TextVariables(const ClientConfig& config, const RunState& state, Log& log)
        : config_(config), state_(state), log_(log) {}

    // "%Login%", "%ApplicationName%" and the other predefined variables, then up to 26
    // "%VARIABLE source|type%" tokens read from the registry or from files.
    std::wstring ReplaceVariables(const std::wstring& text) const;
    // The localised text of an id, with line breaks normalised and variables replaced.
    std::wstring PrepareText(unsigned localisedId) const;
    // A text of the document or configuration: an empty text takes the localised default
    // (when the id is not 0); see the definition for which texts get their line breaks
    // normalised.
    std::wstring PrepareText(const std::wstring& text, unsigned localisedId) const;

private:
    std::wstring ReadVariableFile(const std::wstring& source) const;

    const ClientConfig& config_;
    const RunState& state_;
    Log& log_;
};
