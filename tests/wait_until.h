// Waiting on a condition, for the unit tests and the test tool alike.
#pragma once

#include <windows.h>

// Polls a condition for at most `limitMs`: long enough for a loaded machine, never a fixed sleep.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD limitMs = 60000) {
    for (const ULONGLONG deadline = GetTickCount64() + limitMs; GetTickCount64() < deadline; Sleep(20)) {
        if (condition()) return true;
    }
    return condition();
}
