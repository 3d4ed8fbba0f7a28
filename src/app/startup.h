// The client's start-up sequence, from the entry point to the end of the run.
#pragma once

#include <windows.h>

#include <string>

int RunClient(HINSTANCE instance, const std::wstring& commandLine, int showCommand);

// The single-instance mutex shared by every client in the logon session.
extern const wchar_t kSingleInstanceMutexName[];

// Text shown when the configured main application is the client itself.
std::wstring SameNameMessage(const std::wstring& mainApplicationPath);
