// Entry point of Renewix.exe.
#include <windows.h>

#include <exception>

#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand) {
    try {
        return RunClient(instance, commandLine ? commandLine : L"", showCommand);
    } catch (...) {
        // Nothing may escape into the system's start-up code; the log already says how far we got.
        return 0;
    }
}
