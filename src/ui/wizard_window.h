// The shown wizard's sheet window, which owns the credentials prompt. Published by the
// main thread, read by the check and download threads, so it is atomic; null while no
// wizard is on screen.
#pragma once

#include <windows.h>

#include <atomic>

inline std::atomic<HWND> WizardWindow{nullptr};
