// Test helper standing in for a vendor's program: one top-level window. With "ignore" it
// refuses WM_CLOSE (as a program asking to save would); otherwise it ends with exit code 7.
// With "record FILE" it first writes its command line to FILE.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {
bool g_ignoreClose = false;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        if (g_ignoreClose) return 0;
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(7);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "ignore") == 0) g_ignoreClose = true;
        if (std::strcmp(argv[i], "record") == 0 && i + 1 < argc) {
            if (FILE* out = std::fopen(argv[i + 1], "wb")) {
                std::fputs(GetCommandLineA(), out);
                std::fclose(out);
            }
        }
    }
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"RenewixTestWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"RenewixTestWindow", L"Test application", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, windowClass.hInstance, nullptr);
    if (!window) return 3;
    ShowWindow(window, SW_SHOW);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
