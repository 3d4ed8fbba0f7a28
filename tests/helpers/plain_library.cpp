// Test helper library with no registration entry point.
#include <windows.h>

extern "C" __declspec(dllexport) int PlainLibraryAnswer() { return 42; }
