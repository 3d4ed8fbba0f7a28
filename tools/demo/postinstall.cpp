// The demo's program for after the installation: it notes that it ran beside itself.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (wchar_t* slash = wcsrchr(path, L'\\')) wcscpy(slash + 1, L"postinstall.txt");
    FILE* out = _wfopen(path, L"w");
    if (!out) return 1;
    fwprintf(out, L"post-install step ran with: %ls\n", argc > 1 ? argv[1] : L"(no arguments)");
    fclose(out);
    return 0;
}
