// Where the client lives, directory macros, path tidying and version texts.
#pragma once

#include <string>
#include <string_view>

std::wstring ModulePath();
// Drive and directory of ModulePath, ending in a backslash.
std::wstring ApplicationDirectory();
// Drive of ModulePath with its colon, e.g. "C:".
std::wstring ApplicationDrive();

std::wstring ExpandDirectoryMacro(const std::wstring& macro);
std::wstring ExpandPathMacros(const std::wstring& text);
std::wstring NormalizePath(const std::wstring& path);
// What follows the last backslash (the whole path when there is none).
std::wstring FileNamePart(const std::wstring& path);
// The absolute form of a path, as the system resolves it in this process; empty on failure.
std::wstring FullPathName(const std::wstring& path);
// Whether a folder stands at `path` (a file there, or nothing, is no).
bool IsFolderPath(const std::wstring& path);

// Splits a path into drive ("C:", empty for other paths) and directory (ending in "\"),
// the way the C runtime's path splitter does for a path with a file name.
void SplitDriveAndDirectory(const std::wstring& path, std::wstring* drive, std::wstring* directory);

// The file version of an executable, "2.5" or "2.5.0.1"; empty without a version resource.
std::wstring FileVersionString(const std::wstring& path);
// Text form of a file version's two halves, as FileVersionString returns it.
std::wstring FormatFileVersion(unsigned long ms, unsigned long ls);

// 1, 0, -1 by dotted version order; -21 when the first text is malformed, -22 the second.
int CompareVersions(std::wstring_view first, std::wstring_view second);
