// The vendor's settings file (INI, UTF-8) and its translation to and from the record.
#pragma once

#include <string>

#include "session/client_config.h"

// Fills `record` from settings text; on failure returns false with a message naming the
// line, the key and the rule, and leaves `record` as it was. Keys left out stay zero.
bool ParseSettings(const std::wstring& text, ClientConfig::Bytes& record, std::wstring& error);

// The settings text for a record: every key, in record order, so that parsing it again
// gives the same bytes.
std::wstring FormatSettings(const ClientConfig::Bytes& record);

// Decodes a settings file's bytes: UTF-8 with or without its mark, or UTF-16 with its mark.
bool DecodeSettingsFile(const std::string& bytes, std::wstring& text, std::wstring& error);
