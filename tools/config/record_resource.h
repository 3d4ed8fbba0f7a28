// Reading and writing the configuration record in a client executable's resources.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/wizard_pictures.h"
#include "foundation/client_config.h"

// Reads the record of an executable; `present` tells whether it had one (else all zero).
// `keys` (when given) receives the trusted keys of their own resource.
bool ReadRecordFromExecutable(const std::wstring& path, ClientConfig::Bytes& record, bool& present,
                              std::wstring& error, TrustedKeys* keys = nullptr);

// An RT_RCDATA resource written in the same update as the record; no bytes: it is removed.
struct SideResource {
    int id;
    std::vector<std::uint8_t> bytes;
};

// A bitmap resource to write beside the record (the wizard's pictures); no bytes: it is removed.
struct BitmapResource {
    int id;
    std::string bytes;
};

// The record, the side resources, the bitmaps and (when given) the icon's images in one update:
// all of them or, on any failure, nothing. The icon's images replace every image the client's
// icon group named. The executable is changed only when the whole update succeeded and reads
// back the same.
bool WriteClientResources(const std::wstring& path, const ClientConfig::Bytes& record,
                          const std::vector<SideResource>& sides, const std::vector<BitmapResource>& bitmaps,
                          std::wstring& error, const std::vector<IconImage>* icon = nullptr);
// The record (and the side resources) alone.
bool WriteRecordToExecutable(const std::wstring& path, const ClientConfig::Bytes& record, std::wstring& error,
                             const std::vector<SideResource>& sides = {});

// The bytes of a module's bitmap resource `id`; empty when it has none.
std::string BitmapResourceBytes(HMODULE module, int id);
// The images of a module's icon group `id`, each as its group entry (without the image's id)
// followed by the image's bytes; empty when it has none.
std::vector<std::string> IconGroupImages(HMODULE module, int id);
// The same for an executable on disk.
bool ReadIconFromExecutable(const std::wstring& path, int id, std::vector<std::string>& images, std::wstring& error);
// The same for an executable on disk.
bool ReadBitmapFromExecutable(const std::wstring& path, int id, std::string& bytes, std::wstring& error);
