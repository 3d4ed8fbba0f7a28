// The vendor's settings file (INI, UTF-8) and its translation to and from the record.
#pragma once

#include <string>
#include <vector>

#include "foundation/client_config.h"

// The wizard's pictures and the application icon, as the paths written in the file (empty:
// the client keeps the pictures it has).
struct WizardPictureFiles {
    std::wstring header;
    std::wstring watermark;
    std::wstring icon;
};

// What the settings file says beyond the record.
struct SettingsExtras {
    std::vector<Ed25519PublicKey> trustedKeys;  // [Security] TrustedKeys
    bool trustedKeysGiven = false;               // the line is there (perhaps empty)
    WizardPictureFiles pictures;                 // [Wizard]
};

// Fills `record` (and `extras`, when given) from settings text; on failure returns false with
// a message naming the line, the key and the rule, and leaves both as they were. Keys left out
// stay zero or empty.
bool ParseSettings(const std::wstring& text, ClientConfig::Bytes& record, std::wstring& error,
                   SettingsExtras* extras = nullptr);

// The settings text for a record: every key, in record order, so that parsing it again gives
// the same bytes; then [Security] with the keys; then [Wizard] with its keys empty, each after
// a comment line when `pictureNotes` gives one (what the client carries now).
std::wstring FormatSettings(const ClientConfig::Bytes& record, const std::vector<Ed25519PublicKey>& keys = {},
                            const WizardPictureFiles* pictureNotes = nullptr);

// What a record that is written anyway will not do as its vendor probably means: one message
// each, naming the key.
std::vector<std::wstring> SettingsWarnings(const ClientConfig::Bytes& record);

// Decodes a settings file's bytes: UTF-8 with or without its mark, or UTF-16 with its mark.
bool DecodeSettingsFile(const std::string& bytes, std::wstring& text, std::wstring& error);
