#include "config/record_resource.h"

#include <windows.h>

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

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
    return TRUE;
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
    renewix::UniqueModule module = LoadAsData(path);
    if (!module) {
        error = L"cannot open '" + path + L"' as an executable (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    ClientConfig config;
    present = config.LoadFromModule(module.get());
    record = config.bytes();
    if (keys) *keys = config.Keys();
    return true;
}

std::string BitmapResourceBytes(HMODULE module, int id) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_BITMAP);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return {};
    return std::string(static_cast<const char*>(data), SizeofResource(module, found));
}

bool ReadBitmapFromExecutable(const std::wstring& path, int id, std::string& bytes, std::wstring& error) {
    renewix::UniqueModule module = LoadAsData(path);
    if (!module) {
        error = L"cannot open '" + path + L"' as an executable (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    bytes = BitmapResourceBytes(module.get(), id);
    return true;
}

bool WriteRecordToExecutable(const std::wstring& path, const ClientConfig::Bytes& record, std::wstring& error,
                             const std::vector<SideResource>& sides) {
    return WriteClientResources(path, record, sides, {}, error);
}

bool WriteClientResources(const std::wstring& path, const ClientConfig::Bytes& record,
                          const std::vector<SideResource>& sides, const std::vector<BitmapResource>& bitmaps,
                          std::wstring& error) {
    // Every resource written here, with the languages it exists in now (all are replaced, so
    // that one copy of each remains).
    struct Written {
        LPCWSTR type;
        int id;
        const void* data;
        std::size_t size;
        std::vector<WORD> languages;
    };
    std::vector<Written> resources = {{RT_RCDATA, config_record::kResourceId, record.data(), record.size(), {}}};
    for (const SideResource& side : sides) resources.push_back({RT_RCDATA, side.id, side.bytes.data(), side.bytes.size(), {}});
    for (const BitmapResource& bitmap : bitmaps) {
        resources.push_back({RT_BITMAP, bitmap.id, bitmap.bytes.data(), bitmap.bytes.size(), {}});
    }
    {
        renewix::UniqueModule module = LoadAsData(path);
        if (!module) {
            error = L"cannot open '" + path + L"' as an executable (" + SystemMessage(GetLastError()) + L")";
            return false;
        }
        for (Written& resource : resources) {
            EnumResourceLanguagesW(module.get(), resource.type, MAKEINTRESOURCEW(resource.id), CollectLanguage,
                                   reinterpret_cast<LONG_PTR>(&resource.languages));
        }
    }

    // Work on a copy beside the original so a failure leaves the executable untouched.
    const std::wstring work = path + L".renewix-config.tmp";
    if (!CopyFileW(path.c_str(), work.c_str(), FALSE)) {
        error = L"cannot copy '" + path + L"' to a work file (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    renewix::ScopeExit removeWork([&] { DeleteFileW(work.c_str()); });

    renewix::UniqueResourceUpdate update(BeginUpdateResourceW(work.c_str(), FALSE));
    if (!update) {
        error = L"cannot update the resources of '" + path + L"' (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    for (const Written& resource : resources) {
        for (WORD language : resource.languages) {
            UpdateResourceW(update.get(), resource.type, MAKEINTRESOURCEW(resource.id), language, nullptr, 0);
        }
        if (resource.size == 0) continue;
        if (!UpdateResourceW(update.get(), resource.type, MAKEINTRESOURCEW(resource.id),
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), const_cast<void*>(resource.data),
                             static_cast<DWORD>(resource.size))) {
            error = std::wstring(resource.type == RT_BITMAP ? L"cannot store bitmap " : L"cannot store resource ") +
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
    if (!MoveFileExW(work.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = L"cannot replace '" + path + L"' (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    removeWork.release();
    return true;
}
