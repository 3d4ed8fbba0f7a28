// Test helper: prints whether WinINet reports a connected state. The HTTP tests refuse to
// run without one, because the client would then probe public web sites.
#include <windows.h>
#include <wininet.h>

#include <cstdio>

int main() {
    DWORD state = 0;
    const BOOL connected = InternetGetConnectedState(&state, 0);
    std::printf("%s\n", connected ? "connected" : "not connected");
    return connected ? 0 : 1;
}
