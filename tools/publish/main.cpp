// RenewixPublish.exe: prepares an update document for the server, signs it, and makes and
// checks the keys that sign it.
#include <windows.h>

#include <string>
#include <vector>

#include "foundation/trusted_keys.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "publish/publisher.h"

namespace {

constexpr std::size_t kMaxPreviousReleases = 8;

const wchar_t kUsage[] =
    L"usage:\r\n"
    L"  RenewixPublish <document.xml> <release folder> <base secure code> <output.xml>\r\n"
    L"                 [--versions] [--utf16] [--key <private key file>] [--expires <30d | 12h | 2030-01-31T12:00:00Z>]\r\n"
    L"      fills each File's Size, CRC and SHA256 (and with --versions its ByVersion) from the release\r\n"
    L"      folder, writes the document's SecureCode for that base code, and with --key signs it;\r\n"
    L"      --utf16 writes it as UTF-16LE with a byte order mark, as a document on an FTP server must be\r\n"
    L"                 [--previous <earlier release folder> ...]\r\n"
    L"      --previous (up to 8 times): a changed file gets a patch from the first earlier release that\r\n"
    L"      holds it, written beside the file as <name>.patch, when smaller than 60% of the file\r\n"
    L"  RenewixPublish keygen <private key file>\r\n"
    L"      makes a signing key pair: writes the private key and prints the public key for RenewixConfig\r\n"
    L"  RenewixPublish verify <document.xml> --public-key <key> [--public-key <key> ...]\r\n"
    L"      checks a published document as a client carrying those keys would\r\n";

void WriteText(DWORD which, const std::wstring& text) {
    const std::string bytes = WideToUtf8(text);
    DWORD written = 0;
    HANDLE out = GetStdHandle(which);
    if (out && out != INVALID_HANDLE_VALUE) WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring FullPath(const wchar_t* path) {
    wchar_t full[MAX_PATH] = {};
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : std::wstring(path);
}

int Usage() {
    WriteText(STD_ERROR_HANDLE, kUsage);
    return 2;
}

int Fail(const std::wstring& message) {
    WriteText(STD_ERROR_HANDLE, L"RenewixPublish: " + message + L"\r\n");
    return 1;
}

int KeyGen(int argc, wchar_t** argv) {
    if (argc != 3) return Usage();
    const std::wstring path = FullPath(argv[2]);
    Ed25519PublicKey key{};
    std::wstring error;
    if (!GenerateKeyFile(path, key, error)) return Fail(error + L"; no key was made");
    WriteText(STD_OUTPUT_HANDLE,
              L"private key written: " + path + L"\r\n"
              L"  keep it offline and backed up: whoever has it can publish updates to your clients\r\n"
              L"public key: " + Base64Text(key) + L"\r\n"
              L"key id: " + HexText(KeyIdOf(key)) + L"\r\n"
              L"for RenewixConfig:\r\n[Security]\r\nTrustedKeys=" + Base64Text(key) + L"\r\n");
    return 0;
}

int Verify(int argc, wchar_t** argv) {
    if (argc < 5) return Usage();
    std::vector<Ed25519PublicKey> keys;
    for (int i = 3; i < argc; i += 2) {
        if (std::wstring(argv[i]) != L"--public-key" || i + 1 >= argc) return Usage();
        Ed25519PublicKey key{};
        std::wstring why;
        if (!ParsePublicKey(argv[i + 1], key, why)) return Fail(L"the public key '" + std::wstring(argv[i + 1]) + L"' " + why);
        keys.push_back(key);
    }
    renewix::ScopedComInit com;
    std::wstring report, error;
    if (!VerifyPublished(FullPath(argv[2]), keys, report, error)) return Fail(error);
    WriteText(STD_OUTPUT_HANDLE, report);
    return 0;
}

int PublishDocument(int argc, wchar_t** argv) {
    if (argc < 5) return Usage();
    PublishRequest request{FullPath(argv[1]), FullPath(argv[2]), argv[3], FullPath(argv[4])};
    for (int i = 5; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == L"--versions") {
            request.versions = true;
        } else if (option == L"--utf16") {
            request.utf16 = true;
        } else if (option == L"--key" && hasValue) {
            request.keyFile = FullPath(argv[++i]);
        } else if (option == L"--previous" && hasValue) {
            if (request.previous.size() == kMaxPreviousReleases) return Fail(L"at most 8 previous releases");
            request.previous.push_back(FullPath(argv[++i]));
        } else if (option == L"--expires" && hasValue) {
            request.expires = argv[++i];
        } else {
            return Usage();
        }
    }
    renewix::ScopedComInit com;
    std::wstring report, error, warnings;
    if (!Publish(request, report, error, warnings)) return Fail(error + L"; no document was written");
    for (std::size_t start = 0; start < warnings.size();) {
        const std::size_t end = warnings.find(L"\r\n", start);
        WriteText(STD_ERROR_HANDLE, L"RenewixPublish: warning: " + warnings.substr(start, end - start) + L"\r\n");
        start = end == std::wstring::npos ? warnings.size() : end + 2;
    }
    WriteText(STD_OUTPUT_HANDLE, report + L"written: " + request.output + L"\r\n");
    return 0;
}

int Run(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wstring(argv[1]) == L"keygen") return KeyGen(argc, argv);
    if (argc >= 2 && std::wstring(argv[1]) == L"verify") return Verify(argc, argv);
    return PublishDocument(argc, argv);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return Run(argc, argv);
    } catch (...) {
        WriteText(STD_ERROR_HANDLE, L"RenewixPublish: unexpected failure; nothing was written\r\n");
        return 1;
    }
}
