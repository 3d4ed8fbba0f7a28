// Test helper: holds a file open without sharing, as a virus scanner or a running program
// may, prints "held" once it has it, and lets go when its standard input closes or after
// the given number of milliseconds.
//   hold_file PATH [MILLISECONDS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

DWORD WINAPI WaitForEndOfInput(void*) {
    char byte;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read == 1) {
    }
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const DWORD milliseconds = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 30000;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::printf("held\n");
    std::fflush(stdout);
    // Whichever comes first: the caller closing our input, or the time limit.
    HANDLE waiter = CreateThread(nullptr, 0, WaitForEndOfInput, nullptr, 0, nullptr);
    WaitForSingleObject(waiter, milliseconds);
    CloseHandle(file);
    return 0;
}
