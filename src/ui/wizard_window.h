// The shown wizard's sheet window, which owns the credentials prompt. Published by the
// main thread, read by the check and download threads, so it is atomic; null while no
// wizard is on screen.
#pragma once

#include <windows.h>

#include <atomic>

inline std::atomic<HWND> WizardWindow{nullptr};

// True from the moment a full wizard starts its check until it stops its threads: a prompt
// wanted before the sheet is on screen waits for it, and only then.
inline std::atomic<bool> WizardExpected{false};

// The owner for a box shown from any thread: the given window, else the wizard on screen,
// so that the box never hides behind it.
inline HWND BoxOwner(HWND preferred) { return preferred ? preferred : WizardWindow.load(); }
