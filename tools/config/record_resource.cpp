#include "config/record_resource.h"

#include <windows.h>

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

}  // namespace

bool ReadRecordFromExecutable(const std::wstring& path, ClientConfig::Bytes& record, bool& present,
                              std::wstring& error) {
    renewix::UniqueModule module = LoadAsData(path);
    if (!module) {
        error = L"cannot open '" + path + L"' as an executable (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    ClientConfig config;
    present = config.LoadFromModule(module.get());
    record = config.bytes();
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

bool WriteRecordToExecutable(const std::wstring& path, const ClientConfig::Bytes& record, std::wstring& error) {
    return WriteClientResources(path, record, {}, error);
}

bool WriteClientResources(const std::wstring& path, const ClientConfig::Bytes& record,
                          const std::vector<BitmapResource>& bitmaps, std::wstring& error) {
    std::vector<WORD> languages;
    std::vector<std::vector<WORD>> bitmapLanguages(bitmaps.size());
    {
        renewix::UniqueModule module = LoadAsData(path);
        if (!module) {
            error = L"cannot open '" + path + L"' as an executable (" + SystemMessage(GetLastError()) + L")";
            return false;
        }
        EnumResourceLanguagesW(module.get(), RT_RCDATA, MAKEINTRESOURCEW(config_record::kResourceId),
                               CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
        for (std::size_t i = 0; i < bitmaps.size(); ++i) {
            EnumResourceLanguagesW(module.get(), RT_BITMAP, MAKEINTRESOURCEW(bitmaps[i].id), CollectLanguage,
                                   reinterpret_cast<LONG_PTR>(&bitmapLanguages[i]));
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
    for (WORD language : languages) {
        UpdateResourceW(update.get(), RT_RCDATA, MAKEINTRESOURCEW(config_record::kResourceId), language, nullptr, 0);
    }
    if (!UpdateResourceW(update.get(), RT_RCDATA, MAKEINTRESOURCEW(config_record::kResourceId),
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), const_cast<std::uint8_t*>(record.data()),
                         static_cast<DWORD>(record.size()))) {
        error = L"cannot store the record (" + SystemMessage(GetLastError()) + L")";
        return false;
    }
    // One copy of each picture, whatever languages the earlier ones had.
    for (std::size_t i = 0; i < bitmaps.size(); ++i) {
        for (WORD language : bitmapLanguages[i]) {
            UpdateResourceW(update.get(), RT_BITMAP, MAKEINTRESOURCEW(bitmaps[i].id), language, nullptr, 0);
        }
        if (!UpdateResourceW(update.get(), RT_BITMAP, MAKEINTRESOURCEW(bitmaps[i].id),
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), const_cast<char*>(bitmaps[i].bytes.data()),
                             static_cast<DWORD>(bitmaps[i].bytes.size()))) {
            error = L"cannot store bitmap " + std::to_wstring(bitmaps[i].id) + L" (" +
                    SystemMessage(GetLastError()) + L")";
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
