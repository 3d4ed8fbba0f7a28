// Small window helpers shared by the wizard and the prompts.
#pragma once

#include <windows.h>

#include <string>

// Moves `window` to the centre of `owner`, or of the work area when there is no owner.
void CentreOver(HWND window, HWND owner);

// The text of a window, however long.
std::wstring WindowText(HWND window);
