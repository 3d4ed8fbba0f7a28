// Whole small files as bytes: settings, keys, documents a tool reads or writes in one go.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// The file's bytes; false when it cannot be opened or read, or is larger than `limit`.
bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::size_t limit);
// Writes the bytes with the given creation disposition (CREATE_ALWAYS, CREATE_NEW); the
// caller's last error says why it failed.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes, DWORD disposition);
