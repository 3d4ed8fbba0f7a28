// Test helper library: a COM server whose registration records which process registered
// it, in a file beside the library named after it with ".host" appended.
#include <windows.h>

#include <cstdio>

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&DllRegisterServer), &self)) {
        return E_FAIL;
    }
    wchar_t path[MAX_PATH + 8] = {};
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return E_FAIL;
    lstrcatW(path, L".host");
    FILE* record = _wfopen(path, L"wb");
    if (!record) return E_FAIL;
    std::fprintf(record, "%lu %ls", GetCurrentProcessId(), GetCommandLineW());
    std::fclose(record);
    return S_OK;
}
