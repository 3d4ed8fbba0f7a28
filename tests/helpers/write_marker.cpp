// Test helper started by the execute list: after an optional delay, writes its
// arguments to a marker file, so a test can tell that (and when) it ran. With a gate path
// it then waits (up to two minutes) until that file exists, holding its caller up.
//   write_marker MARKER [TEXT [DELAY_MS [GATE]]]
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
    if (argc > 4) {
        for (int waited = 0; waited < 120000 && GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES; waited += 50) {
            Sleep(50);
        }
    }
    return 0;
}
