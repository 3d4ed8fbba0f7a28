// Reading and writing the configuration record in a client executable's resources.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/client_config.h"

// Reads the record of an executable; `present` tells whether it had one (else all zero).
// `keys` (when given) receives the trusted keys of their own resource.
bool ReadRecordFromExecutable(const std::wstring& path, ClientConfig::Bytes& record, bool& present,
                              std::wstring& error, TrustedKeys* keys = nullptr);

// An RT_RCDATA resource written in the same update as the record; no bytes: it is removed.
struct SideResource {
    int id;
    std::vector<std::uint8_t> bytes;
};

// Writes the record (and the side resources) into an executable, replacing earlier ones. The
// executable is changed only when the whole update succeeded and reads back the same.
bool WriteRecordToExecutable(const std::wstring& path, const ClientConfig::Bytes& record, std::wstring& error,
                             const std::vector<SideResource>& sides = {});
