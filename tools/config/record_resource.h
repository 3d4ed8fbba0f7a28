// Reading and writing the configuration record in a client executable's resources.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "session/client_config.h"

// Reads the record of an executable; `present` tells whether it had one (else all zero).
bool ReadRecordFromExecutable(const std::wstring& path, ClientConfig::Bytes& record, bool& present,
                              std::wstring& error);

// Writes the record into an executable, replacing any earlier one. The executable is
// changed only when the whole update succeeded and reads back the same.
bool WriteRecordToExecutable(const std::wstring& path, const ClientConfig::Bytes& record, std::wstring& error);

// A bitmap resource to write beside the record (the wizard's pictures).
struct BitmapResource {
    int id;
    std::string bytes;
};
// The record and the bitmaps in one update: all of them or, on any failure, nothing.
bool WriteClientResources(const std::wstring& path, const ClientConfig::Bytes& record,
                          const std::vector<BitmapResource>& bitmaps, std::wstring& error);

// The bytes of a module's bitmap resource `id`; empty when it has none.
std::string BitmapResourceBytes(HMODULE module, int id);
// The same for an executable on disk.
bool ReadBitmapFromExecutable(const std::wstring& path, int id, std::string& bytes, std::wstring& error);
