// RenewixConfig.exe: writes the configuration record into a client executable and reads it back.
#include <windows.h>

#include <string>

#include "config/record_resource.h"
#include "config/settings_file.h"
#include "foundation/file_bytes.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"

namespace {

const wchar_t kUsage[] =
    L"usage:\r\n"
    L"  RenewixConfig write <client.exe> <settings.ini>   store the settings (and trusted keys) in the client\r\n"
    L"  RenewixConfig read <client.exe> [<settings.ini>]  print (or save) the client's settings\r\n"
    L"  RenewixConfig template [<settings.ini>]           print (or save) settings with every key empty\r\n";

void WriteBytes(DWORD which, const std::string& bytes) {
    HANDLE out = GetStdHandle(which);
    DWORD written = 0;
    if (out && out != INVALID_HANDLE_VALUE) WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int Fail(const std::wstring& message) {
    WriteBytes(STD_ERROR_HANDLE, WideToUtf8(L"RenewixConfig: " + message + L"\r\n"));
    return 1;
}

bool ReadSettingsFile(const std::wstring& path, std::string& bytes, std::wstring& error) {
    if (ReadWholeFile(path, bytes, 1 << 20)) return true;
    error = L"cannot read the settings file '" + path + L"' (or it is larger than 1 MiB)";
    return false;
}

// Prints settings text as UTF-8, or saves it to a file.
int Emit(const std::wstring& text, int argc, wchar_t** argv, int fileArgument) {
    std::string bytes = WideToUtf8(text);
    if (argc <= fileArgument) {
        WriteBytes(STD_OUTPUT_HANDLE, bytes);
        return 0;
    }
    const std::wstring path = argv[fileArgument];
    renewix::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        return Fail(L"cannot write '" + path + L"'");
    }
    return 0;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 2) return Fail(std::wstring(L"no command given\r\n") + kUsage), 2;
    const std::wstring command = argv[1];
    std::wstring error;
    if (EqualsNoCase(command, L"template")) {
        return Emit(FormatSettings(ClientConfig::Bytes{}), argc, argv, 2);
    }
    if (EqualsNoCase(command, L"read") && argc >= 3 && argc <= 4) {
        ClientConfig::Bytes record{};
        bool present = false;
        TrustedKeys keys;
        if (!ReadRecordFromExecutable(argv[2], record, present, error, &keys)) return Fail(error);
        if (!present) WriteBytes(STD_ERROR_HANDLE, "RenewixConfig: the executable holds no settings yet; every key is empty\r\n");
        if (keys.IsDamaged()) {
            WriteBytes(STD_ERROR_HANDLE, "RenewixConfig: the executable's trusted keys are damaged; it refuses every "
                                         "update description until they are written again\r\n");
        }
        return Emit(FormatSettings(record, keys.Keys()), argc, argv, 3);
    }
    if (EqualsNoCase(command, L"write") && argc == 4) {
        std::string bytes;
        std::wstring text;
        ClientConfig::Bytes record{};
        std::vector<Ed25519PublicKey> keys;
        bool keysGiven = false;
        if (!ReadSettingsFile(argv[3], bytes, error) || !DecodeSettingsFile(bytes, text, error) ||
            !ParseSettings(text, record, error, &keys, &keysGiven)) {
            return Fail(std::wstring(argv[3]) + L": " + error + L"; the executable was not changed");
        }
        // Signature checking is never turned off by a settings file that merely says nothing of it.
        ClientConfig::Bytes current{};
        bool present = false;
        TrustedKeys currentKeys;
        std::wstring unread;
        if (!keysGiven && ReadRecordFromExecutable(argv[2], current, present, unread, &currentKeys) &&
            (currentKeys.Configured() || currentKeys.IsDamaged())) {
            return Fail(std::wstring(argv[3]) + L" has no [Security] TrustedKeys= line, but the executable carries "
                        L"trusted keys: writing would drop them and the client would check no signatures. Give "
                        L"TrustedKeys= (empty to drop them on purpose); the executable was not changed");
        }
        // Always written, with no keys too: a client written without them checks no signatures.
        const std::vector<SideResource> sides = {{kTrustedKeysResourceId, TrustedKeys(keys).Encode()}};
        if (!WriteRecordToExecutable(argv[2], record, error, sides)) {
            return Fail(error + L"; the executable was not changed");
        }
        return 0;
    }
    Fail(L"unknown command or wrong number of arguments\r\n" + std::wstring(kUsage));
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return Run(argc, argv);
    } catch (...) {
        return Fail(L"unexpected failure; nothing was changed");
    }
}
