// The demo's COM server: registering it records its registration in the user's registry.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\RenewixDemo\\ViewerPlugin", 0, nullptr, 0, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return E_FAIL;
    }
    const wchar_t state[] = L"registered";
    RegSetValueExW(key, L"State", 0, REG_SZ, reinterpret_cast<const BYTE*>(state), sizeof(state));
    RegCloseKey(key);
    return S_OK;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\RenewixDemo\\ViewerPlugin");
    return S_OK;
}
