// Test helper: makes a test certificate authority trusted inside the Wine prefix, as a
// vendor with its own authority would on its users' machines.
//   trust_certificate <certificate.der>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    FILE* in = std::fopen(argv[1], "rb");
    if (!in) return 1;
    std::vector<BYTE> der;
    for (int c; (c = std::fgetc(in)) != EOF;) der.push_back(static_cast<BYTE>(c));
    std::fclose(in);
    if (!CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size()))) {
        std::printf("failed: %lu\n", GetLastError());
        return 1;
    }
    std::printf("trusted\n");
    return 0;
}
