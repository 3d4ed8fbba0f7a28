// Test helper: keeps one Wine session alive for a whole test run. Wine starts its
// services with the first process of a session and they inherit that process's output;
// started here with output going nowhere, they never hold a test runner's pipe open. Its
// hidden window does the same for Wine's desktop process, which a program's first window
// would otherwise start, with that program's output, and keep a second after it ended.
#include <windows.h>

int main() {
    CreateWindowExW(0, L"STATIC", L"keep alive", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
