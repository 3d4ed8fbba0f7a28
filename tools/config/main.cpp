// RenewixConfig.exe: writes the configuration record into a client executable and reads it back.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "config/record_resource.h"
#include "config/settings_file.h"
#include "config/wizard_pictures.h"
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

// `what` names the file in messages: "the settings file", "the header bitmap".
bool ReadNamedFile(const std::wstring& path, const std::wstring& what, std::string& bytes, std::wstring& error) {
    if (ReadWholeFile(path, bytes, 1 << 20)) return true;
    error = L"cannot read " + what + L" '" + path + L"' (or it is larger than 1 MiB)";
    return false;
}

// A picture named in the settings file, relative to the file's own folder unless absolute.
std::wstring PicturePath(const std::wstring& settingsPath, const std::wstring& named) {
    const bool absolute = named.size() > 1 && (named[1] == L':' || (named[0] == L'\\' && named[1] == L'\\'));
    if (absolute) return named;
    const std::size_t slash = settingsPath.find_last_of(L"\\/");
    return slash == std::wstring::npos ? named : settingsPath.substr(0, slash + 1) + named;
}

// The bitmap resources for the pictures the settings name, and the icon's images (when it
// names one); false with a message otherwise.
bool LoadPictures(const std::wstring& settingsPath, const WizardPictureFiles& files,
                  std::vector<BitmapResource>& bitmaps, std::vector<IconImage>& icon, std::wstring& error) {
    const std::pair<const std::wstring*, WizardPicture> pictures[] = {{&files.header, WizardPicture::Header},
                                                                      {&files.watermark, WizardPicture::Watermark}};
    for (const auto& [named, picture] : pictures) {
        if (named->empty()) continue;
        const PictureRules& rules = RulesFor(picture);
        const std::wstring path = PicturePath(settingsPath, *named);
        std::string file;
        BitmapResource bitmap{rules.resourceId, {}};
        if (!ReadNamedFile(path, std::wstring(L"the ") + rules.name, file, error)) return false;
        if (!BitmapResourceFromFile(file, picture, bitmap.bytes, error)) {
            error += L" ('" + path + L"')";
            return false;
        }
        bitmaps.push_back(std::move(bitmap));
        // The client's own double-size picture would show beside the vendor's on larger
        // screens: it goes, and the vendor's is scaled there.
        bitmaps.push_back({rules.doubleSizeId, {}});
    }
    if (files.icon.empty()) return true;
    const std::wstring path = PicturePath(settingsPath, files.icon);
    std::string file;
    if (!ReadNamedFile(path, L"the icon", file, error)) return false;
    if (!IconImagesFromFile(file, icon, error)) {
        error += L" ('" + path + L"')";
        return false;
    }
    return true;
}

// What `read` says about the icon: the client's own, the vendor's (with its sizes), or none.
std::wstring DescribeIcon(const std::wstring& client) {
    std::vector<std::string> carried;
    std::wstring ignored;
    ReadIconFromExecutable(client, kIconGroupId, carried, ignored);
    if (carried.empty()) return L"the client carries no icon";
    if (carried == IconGroupImages(GetModuleHandleW(nullptr), kIconGroupId)) return L"the client carries the default icon";
    std::wstring sizes;
    for (const std::string& image : carried) {
        const int width = static_cast<unsigned char>(image[0]) ? static_cast<unsigned char>(image[0]) : 256;
        sizes += (sizes.empty() ? L"" : L", ") + std::to_wstring(width);
    }
    return L"the client carries the vendor's icon (" + sizes + L" pixels)";
}

// What `read` says about each picture: the client's own, the vendor's, or none.
WizardPictureFiles DescribePictures(const std::wstring& client) {
    WizardPictureFiles notes;
    for (WizardPicture picture : {WizardPicture::Header, WizardPicture::Watermark}) {
        const PictureRules& rules = RulesFor(picture);
        std::string carried;
        std::wstring ignored;
        ReadBitmapFromExecutable(client, rules.resourceId, carried, ignored);
        std::wstring note;
        int width = 0, height = 0;
        if (carried.empty()) {
            note = std::wstring(L"the client carries no ") + rules.name;
        } else if (carried == BitmapResourceBytes(GetModuleHandleW(nullptr), rules.resourceId)) {
            note = std::wstring(L"the client carries the default ") + rules.name;
        } else {
            BitmapResourceSize(carried, width, height);
            note = FormatText(L"the client carries the vendor's %ls (%d x %d pixels)", rules.name, width, height);
        }
        (picture == WizardPicture::Header ? notes.header : notes.watermark) = note;
    }
    notes.icon = DescribeIcon(client);
    return notes;
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
        const WizardPictureFiles notes{
            FormatText(L"a BMP file for the header band, at most %d x %d pixels; empty: the client keeps its picture",
                       RulesFor(WizardPicture::Header).maxWidth, RulesFor(WizardPicture::Header).maxHeight),
            FormatText(L"a BMP file for the watermark, at most %d x %d pixels; empty: the client keeps its picture",
                       RulesFor(WizardPicture::Watermark).maxWidth, RulesFor(WizardPicture::Watermark).maxHeight),
            L"an ICO file for the title bar and Explorer, images of 16 to 256 pixels; empty: the client keeps its icon"};
        return Emit(FormatSettings(ClientConfig::Bytes{}, {}, &notes), argc, argv, 2);
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
        const WizardPictureFiles notes = DescribePictures(argv[2]);
        return Emit(FormatSettings(record, keys.Keys(), &notes), argc, argv, 3);
    }
    if (EqualsNoCase(command, L"write") && argc == 4) {
        std::string bytes;
        std::wstring text;
        ClientConfig::Bytes record{};
        SettingsExtras extras;
        std::vector<BitmapResource> bitmaps;
        std::vector<IconImage> icon;
        if (!ReadNamedFile(argv[3], L"the settings file", bytes, error) || !DecodeSettingsFile(bytes, text, error) ||
            !ParseSettings(text, record, error, &extras) ||
            !LoadPictures(argv[3], extras.pictures, bitmaps, icon, error)) {
            return Fail(std::wstring(argv[3]) + L": " + error + L"; the executable was not changed");
        }
        // Signature checking is never turned off by a settings file that merely says nothing of it.
        ClientConfig::Bytes current{};
        bool present = false;
        TrustedKeys currentKeys;
        std::wstring unread;
        if (!extras.trustedKeysGiven && ReadRecordFromExecutable(argv[2], current, present, unread, &currentKeys) &&
            (currentKeys.Configured() || currentKeys.IsDamaged())) {
            return Fail(std::wstring(argv[3]) + L" has no [Security] TrustedKeys= line, but the executable carries "
                        L"trusted keys: writing would drop them and the client would check no signatures. Give "
                        L"TrustedKeys= (empty to drop them on purpose); the executable was not changed");
        }
        // Always written, with no keys too: a client written without them checks no signatures.
        const std::vector<SideResource> sides = {{kTrustedKeysResourceId, TrustedKeys(extras.trustedKeys).Encode()}};
        if (!WriteClientResources(argv[2], record, sides, bitmaps, error, icon.empty() ? nullptr : &icon)) {
            return Fail(error + L"; the executable was not changed");
        }
        for (const std::wstring& warning : SettingsWarnings(record)) {
            WriteBytes(STD_ERROR_HANDLE, WideToUtf8(L"RenewixConfig: warning: " + warning + L"\r\n"));
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
