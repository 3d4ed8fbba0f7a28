// Variable replacement in texts and the preparation of every displayed text.
#pragma once

#include <string>

// "%Login%", "%ApplicationName%" and the other predefined variables, then up to 26
// "%VARIABLE source|type%" tokens read from the registry or from files.
std::wstring ReplaceVariables(const std::wstring& text);

// Every "\r\n" and every lone "\n" becomes "\r\n".
std::wstring NormalizeLineBreaks(const std::wstring& text);

// The localised text of an id, with line breaks normalised and variables replaced.
std::wstring PrepareText(unsigned localisedId);
// A text of the document or configuration: an empty text takes the localised default
// (when the id is not 0); see the definition for which texts get their line breaks normalised.
std::wstring PrepareText(const std::wstring& text, unsigned localisedId);
