#include "config/record_resource.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "foundation/win_resource.h"

namespace {

std::wstring SystemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) text.pop_back();
    return FormatText(L"error %lu%ls%ls", code, text.empty() ? L"" : L": ", text.c_str());
}

renewix::UniqueModule LoadAsData(const std::wstring& path) {
    return renewix::UniqueModule(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

// The executable opened for its resources, or the reason in `error`.
renewix::UniqueModule OpenExecutable(const std::wstring& path, std::wstring& error) {
    renewix::UniqueModule module = LoadAsData(path);
    if (!module) error = L"cannot open '" + path + L"' as an executable (" + SystemMessage(GetLastError()) + L")";
    return module;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
    return TRUE;
}

// A resource type or name: a number or a string.
struct ResourceName {
    WORD id = 0;
    std::wstring text;
    explicit ResourceName(LPCWSTR name) {
        if (IS_INTRESOURCE(name)) {
            id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
        } else {
            text = name;
        }
    }
    LPCWSTR get() const { return text.empty() ? MAKEINTRESOURCEW(id) : text.c_str(); }
    bool Is(LPCWSTR other) const { return IS_INTRESOURCE(other) && text.empty() && id == reinterpret_cast<ULONG_PTR>(other); }
};

// One resource of an executable, with its bytes.
struct StoredResource {
    ResourceName type;
    ResourceName name;
    WORD language;
    std::string bytes;
};

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    reinterpret_cast<std::vector<ResourceName>*>(param)->emplace_back(name);
    return TRUE;
}

BOOL CALLBACK CollectType(HMODULE, LPWSTR type, LONG_PTR param) {
    reinterpret_cast<std::vector<ResourceName>*>(param)->emplace_back(type);
    return TRUE;
}

// Every resource of `module` in every language.
std::vector<StoredResource> AllResources(HMODULE module) {
    std::vector<StoredResource> all;
    std::vector<ResourceName> types;
    EnumResourceTypesW(module, CollectType, reinterpret_cast<LONG_PTR>(&types));
    for (const ResourceName& type : types) {
        std::vector<ResourceName> names;
        EnumResourceNamesW(module, type.get(), CollectName, reinterpret_cast<LONG_PTR>(&names));
        for (const ResourceName& name : names) {
            std::vector<WORD> languages;
            EnumResourceLanguagesW(module, type.get(), name.get(), CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
            for (WORD language : languages) {
                HRSRC found = FindResourceExW(module, type.get(), name.get(), language);
                HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
                const void* data = loaded ? LockResource(loaded) : nullptr;
                if (!data) continue;
                all.push_back({type, name, language,
                               std::string(static_cast<const char*>(data), SizeofResource(module, found))});
            }
        }
    }
    return all;
}

BOOL CALLBACK CollectIntegerName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<int>*>(param)->push_back(static_cast<int>(reinterpret_cast<ULONG_PTR>(name)));
    return TRUE;
}

std::string ResourceBytes(HMODULE module, LPCWSTR type, int id) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return {};
    return std::string(static_cast<const char*>(data), SizeofResource(module, found));
}


// A resource's bytes; none when the module has no such resource.
std::vector<std::uint8_t> ReadSideResource(const std::wstring& path, int id) {
    renewix::UniqueModule module = LoadAsData(path);
    HRSRC info = module ? FindResourceW(module.get(), MAKEINTRESOURCEW(id), RT_RCDATA) : nullptr;
    HGLOBAL loaded = info ? LoadResource(module.get(), info) : nullptr;
    const auto* data = static_cast<const std::uint8_t*>(loaded ? LockResource(loaded) : nullptr);
    return data ? std::vector<std::uint8_t>(data, data + SizeofResource(module.get(), info)) : std::vector<std::uint8_t>();
}

}  // namespace

bool ReadRecordFromExecutable(const std::wstring& path, ClientConfig::Bytes& record, bool& present,
                              std::wstring& error, TrustedKeys* keys) {
    renewix::UniqueModule module = OpenExecutable(path, error);
    if (!module) return false;
    ClientConfig config;
    present = config.LoadFromModule(module.get());
    record = config.bytes();
    if (keys) *keys = config.Keys();
    return true;
}

std::string BitmapResourceBytes(HMODULE module, int id) { return ResourceBytes(module, RT_BITMAP, id); }

std::vector<std::string> IconGroupImages(HMODULE module, int id) {
    const std::string group = ResourceBytes(module, RT_GROUP_ICON, id);
    std::vector<int> ids;
    if (!IconGroupIds(group, ids)) return {};
    std::vector<std::string> images;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        images.push_back(group.substr(6 + i * 14, 12) + ResourceBytes(module, RT_ICON, ids[i]));
    }
    return images;
}

bool ReadIconFromExecutable(const std::wstring& path, int id, std::vector<std::string>& images, std::wstring& error) {
    renewix::UniqueModule module = OpenExecutable(path, error);
    if (!module) return false;
    images = IconGroupImages(module.get(), id);
    return true;
}

bool ReadBitmapFromExecutable(const std::wstring& path, int id, std::string& bytes, std::wstring& error) {
    renewix::UniqueModule module = OpenExecutable(path, error);
    if (!module) return false;
    bytes = BitmapResourceBytes(module.get(), id);
    return true;
}

bool WriteRecordToExecutable(const std::wstring& path, const ClientConfig::Bytes& record, std::wstring& error,
                             const std::vector<SideResource>& sides) {
    return WriteClientResources(path, record, sides, {}, error);
}

bool WriteClientResources(const std::wstring& path, const ClientConfig::Bytes& record,
                          const std::vector<SideResource>& sides, const std::vector<BitmapResource>& bitmaps,
                          std::wstring& error, const std::vector<IconImage>* icon) {
    // Every resource written here; an empty one is removed.
    struct Written {
        LPCWSTR type;
        int id;
        const void* data;
        std::size_t size;
    };
    std::vector<Written> resources = {{RT_RCDATA, config_record::kResourceId, record.data(), record.size()}};
    for (const SideResource& side : sides) resources.push_back({RT_RCDATA, side.id, side.bytes.data(), side.bytes.size()});
    for (const BitmapResource& bitmap : bitmaps) {
        resources.push_back({RT_BITMAP, bitmap.id, bitmap.bytes.data(), bitmap.bytes.size()});
    }
    std::string iconGroup;
    std::vector<int> iconIds;
    std::vector<StoredResource> kept;
    {
        renewix::UniqueModule module = OpenExecutable(path, error);
        if (!module) return false;
        if (icon) {
            // Every image the old group named goes, so that no size of the old icon remains; the
            // new images take the lowest ids no other icon uses.
            std::vector<int> oldIds, used;
            IconGroupIds(ResourceBytes(module.get(), RT_GROUP_ICON, kIconGroupId), oldIds);
            EnumResourceNamesW(module.get(), RT_ICON, CollectIntegerName, reinterpret_cast<LONG_PTR>(&used));
            std::erase_if(used, [&](int id) { return std::find(oldIds.begin(), oldIds.end(), id) != oldIds.end(); });
            for (int id = 1; iconIds.size() < icon->size() && id <= 0xFFFF; ++id) {
                if (std::find(used.begin(), used.end(), id) == used.end()) iconIds.push_back(id);
            }
            iconGroup = IconGroupResource(*icon, iconIds);
            for (int id : oldIds) resources.push_back({RT_ICON, id, nullptr, 0});
            for (std::size_t i = 0; i < iconIds.size(); ++i) {
                const std::string& bytes = (*icon)[i].bytes;
                resources.push_back({RT_ICON, iconIds[i], bytes.data(), bytes.size()});
            }
            resources.push_back({RT_GROUP_ICON, kIconGroupId, iconGroup.data(), iconGroup.size()});
        }
        // The executable is written afresh with every other resource as it was: Wine's
        // UpdateResource cannot remove a resource the file already has, and only one copy of
        // each written one (in any language) may remain.
        kept = AllResources(module.get());
        std::erase_if(kept, [&](const StoredResource& old) {
            return std::any_of(resources.begin(), resources.end(), [&](const Written& resource) {
                return old.type.Is(resource.type) && old.name.Is(MAKEINTRESOURCEW(resource.id));
            });
        });
    }

    // Work on a copy beside the original so a failure leaves the executable untouched.
    const std::wstring work = path + L".renewix-config.tmp";
    if (!CopyFileW(path.c_str(), work.c_str(), FALSE)) {
        error = L"cannot copy '" + path + L"' to a work file (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    renewix::ScopeExit removeWork([&] { DeleteFileW(work.c_str()); });

    renewix::UniqueResourceUpdate update(BeginUpdateResourceW(work.c_str(), TRUE));
    if (!update) {
        error = L"cannot update the resources of '" + path + L"' (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    for (const StoredResource& old : kept) {
        if (!UpdateResourceW(update.get(), old.type.get(), old.name.get(), old.language, const_cast<char*>(old.bytes.data()),
                             static_cast<DWORD>(old.bytes.size()))) {
            error = L"cannot keep the executable's other resources (" + SystemMessage(GetLastError()) + L")";
            return false;
        }
    }
    for (const Written& resource : resources) {
        if (resource.size == 0) continue;
        if (!UpdateResourceW(update.get(), resource.type, MAKEINTRESOURCEW(resource.id),
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), const_cast<void*>(resource.data),
                             static_cast<DWORD>(resource.size))) {
            error = std::wstring(resource.type == RT_BITMAP ? L"cannot store bitmap "
                                 : resource.type == RT_ICON || resource.type == RT_GROUP_ICON ? L"cannot store icon "
                                                                                             : L"cannot store resource ") +
                    std::to_wstring(resource.id) + L" (" + SystemMessage(GetLastError()) + L")";
            return false;
        }
    }
    if (!EndUpdateResourceW(update.release(), FALSE)) {
        error = L"cannot write the resources of '" + path + L"' (" + SystemMessage(GetLastError()) + L")";
        return false;
    }

    ClientConfig::Bytes check{};
    bool present = false;
    if (!ReadRecordFromExecutable(work, check, present, error)) return false;
    if (!present || check != record) {
        error = L"the record read back from the updated executable differs from the one written";
        return false;
    }
    for (const SideResource& side : sides) {
        if (ReadSideResource(work, side.id) != side.bytes) {
            error = L"resource " + std::to_wstring(side.id) + L" read back from the updated executable differs from the "
                    L"one written";
            return false;
        }
    }
    for (const BitmapResource& bitmap : bitmaps) {
        std::string written;
        if (!ReadBitmapFromExecutable(work, bitmap.id, written, error)) return false;
        if (written != bitmap.bytes) {
            error = L"bitmap " + std::to_wstring(bitmap.id) + L" read back from the updated executable differs from "
                    L"the one written";
            return false;
        }
    }
    if (icon) {
        std::vector<std::string> written;
        if (!ReadIconFromExecutable(work, kIconGroupId, written, error)) return false;
        bool same = written.size() == icon->size();
        for (std::size_t i = 0; same && i < written.size(); ++i) same = written[i] == (*icon)[i].entry + (*icon)[i].bytes;
        if (!same) {
            error = L"the icon read back from the updated executable differs from the one written";
            return false;
        }
    }
    if (!MoveFileExW(work.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = L"cannot replace '" + path + L"' (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    removeWork.release();
    return true;
}
