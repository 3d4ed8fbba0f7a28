// Test helper: keeps one Wine session alive for a whole test run. Wine starts its
// services with the first process of a session and they inherit that process's output;
// started here with output going nowhere, they never hold a test runner's pipe open.
#include <windows.h>

int main() {
    Sleep(INFINITE);
    return 0;
}
