// The vendor's settings file (INI, UTF-8) and its translation to and from the record.
#pragma once

#include <string>
#include <vector>

#include "session/client_config.h"

// Fills `record` (and `keys`, when given, from [Security] TrustedKeys) from settings text; on
// failure returns false with a message naming the line, the key and the rule, and leaves both
// as they were. Keys left out stay zero (no trusted keys).
bool ParseSettings(const std::wstring& text, ClientConfig::Bytes& record, std::wstring& error,
                   std::vector<Ed25519PublicKey>* keys = nullptr, bool* keysGiven = nullptr);

// The settings text for a record and its trusted keys: every key, in record order, then
// [Security], so that parsing it again gives the same bytes and keys.
std::wstring FormatSettings(const ClientConfig::Bytes& record, const std::vector<Ed25519PublicKey>& keys = {});

// Decodes a settings file's bytes: UTF-8 with or without its mark, or UTF-16 with its mark.
bool DecodeSettingsFile(const std::string& bytes, std::wstring& text, std::wstring& error);
