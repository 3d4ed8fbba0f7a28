#include "transfer/credentials.h"

#include "foundation/dialog_helpers.h"

namespace {

std::wstring ItemText(HWND dialog, int id, bool* ok) {
    HWND item = GetDlgItem(dialog, id);
    if (!item) {
        *ok = false;
        return {};
    }
    return WindowText(item);
}

}  // namespace

INT_PTR Credentials::DoModal(HWND owner) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CREDENTIALS), owner, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Credentials::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return reinterpret_cast<Credentials*>(lParam)->OnInitDialog(dialog);
    }
    auto* self = reinterpret_cast<Credentials*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (message == WM_COMMAND && self) {
        if (LOWORD(wParam) == IDOK) {
            self->OnOk(dialog);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
    }
    return FALSE;
}

BOOL Credentials::OnInitDialog(HWND dialog) {
    const bool proxy = kind_ == Proxy;
    SetWindowTextW(dialog, proxy ? L"Proxy username/password" : L"Website username/password");
    PromptText = proxy ? L"Enter your proxy logon credentials:" : L"Enter your website logon credentials:";
    CentreOver(dialog, GetWindow(dialog, GW_OWNER));
    if (SetDlgItemTextW(dialog, IDC_CREDENTIALS_USER, UserName.c_str()) &&
        SetDlgItemTextW(dialog, IDC_CREDENTIALS_PASSWORD, Password.c_str())) {
        SetDlgItemTextW(dialog, IDC_CREDENTIALS_PROMPT, PromptText.c_str());
    }
    SetFocus(GetDlgItem(dialog, IDC_CREDENTIALS_USER));
    return FALSE;  // the focus is set here
}

void Credentials::OnOk(HWND dialog) {
    bool ok = true;
    std::wstring user = ItemText(dialog, IDC_CREDENTIALS_USER, &ok);
    if (!ok) return;
    UserName = user;
    std::wstring password = ItemText(dialog, IDC_CREDENTIALS_PASSWORD, &ok);
    if (!ok) return;
    Password = password;
    std::wstring prompt = ItemText(dialog, IDC_CREDENTIALS_PROMPT, &ok);
    if (ok) PromptText = prompt;
}
