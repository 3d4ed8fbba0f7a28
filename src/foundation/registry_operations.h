// Registry changes of the update document and registry reads of variable tokens.
#pragma once

#include <windows.h>

#include <string>

// The root key a key path starts with, and the rest of the path below it; paths naming
// no root key lie under HKEY_CURRENT_USER.
HKEY ResolveRootKey(const std::wstring& keyPath, std::wstring* subKey);

// A REG_DWORD value written as decimal text: 0 to 4294967295, or a negative number down to
// -2147483648 as its two's complement; false for anything else.
bool ReadDwordText(const std::wstring& text, DWORD* value);

// "Create", "Remove", "Delete" or "Add REG_SZ text" / "Add REG_DWORD number"; 1 or 0. An
// "Add" of another type, or of a number that is not one, fails and changes nothing.
int ApplyRegistryAction(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& action);

// A value at "key path\value name" as text: REG_SZ (or REG_EXPAND_SZ, unexpanded) or REG_DWORD.
std::wstring QueryRegistryValue(const std::wstring& registryPath, const std::wstring& type);
