// Test helper: holds the client's single-instance mutex for the given number of
// milliseconds, as a running client would, and prints "held" once it has it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const DWORD milliseconds = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 5000;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Renewix-7B41D2A9-3C5E-4f18-9A0D-52E6C81F4B37");
    if (!mutex) return 1;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(milliseconds);
    CloseHandle(mutex);
    return 0;
}
