// The modal dialog that asks for a website's or a proxy's user name and password.
#pragma once

#include <windows.h>

#include <string>

inline constexpr int IDD_CREDENTIALS = 231;
inline constexpr int IDB_CREDENTIALS_BANNER = 233;
inline constexpr int IDC_CREDENTIALS_PROMPT = 1052;
inline constexpr int IDC_CREDENTIALS_USER = 1053;
inline constexpr int IDC_CREDENTIALS_PASSWORD = 1054;

class Credentials {
public:
    enum Kind { Website = 0, Proxy = 1 };
    explicit Credentials(int kind) : kind_(kind) {}

    // 1 (OK), 2 (Cancel or the close box) or -1 when the dialog could not be made.
    INT_PTR DoModal(HWND owner);

    std::wstring UserName;
    std::wstring Password;
    std::wstring PromptText;

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog(HWND dialog);
    void OnOk(HWND dialog);

    int kind_;
};
