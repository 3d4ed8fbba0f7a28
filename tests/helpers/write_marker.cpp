// Test helper started by the execute list: after an optional delay, writes its
// arguments to a marker file, so a test can tell that (and when) it ran.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    if (argc > 3) Sleep(static_cast<DWORD>(std::atoi(argv[3])));
    FILE* marker = std::fopen(argv[1], "wb");
    if (!marker) return 2;
    std::fputs(argc > 2 ? argv[2] : "ran", marker);
    std::fclose(marker);
    return 0;
}
