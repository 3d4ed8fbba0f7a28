// Reading and writing the configuration record in a client executable's resources.
#pragma once

#include <string>

#include "session/client_config.h"

// Reads the record of an executable; `present` tells whether it had one (else all zero).
bool ReadRecordFromExecutable(const std::wstring& path, ClientConfig::Bytes& record, bool& present,
                              std::wstring& error);

// Writes the record into an executable, replacing any earlier one. The executable is
// changed only when the whole update succeeded and reads back the same.
bool WriteRecordToExecutable(const std::wstring& path, const ClientConfig::Bytes& record, std::wstring& error);
