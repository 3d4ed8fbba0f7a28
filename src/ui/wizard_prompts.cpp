#include "ui/wizard_prompts.h"

#include "transfer/credentials.h"
#include "ui/page_manager.h"

bool WizardPrompts::AskCredentials(CredentialKind kind, std::wstring* user, std::wstring* password) {
    // A check may get here before its wizard's sheet is up (a slow machine): then the prompt
    // waits for it.
    HWND owner = sheet_.load();
    for (DWORD waited = 0; !owner && expected_.load() && waited < kWizardWaitMs; waited += kWizardCheckMs) {
        Sleep(kWizardCheckMs);
        owner = sheet_.load();
    }
    if (!owner) return false;
    Credentials dialog(kind == CredentialKind::Proxy ? Credentials::Proxy : Credentials::Website);
    if (dialog.DoModal(owner) != IDOK) return false;
    *user = dialog.UserName;
    *password = dialog.Password;
    return true;
}

void WizardPrompts::ShowError(const std::wstring& text, const std::wstring& caption) {
    MessageBoxW(Owner(nullptr), text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

void WizardPrompts::ShowClosingMessage(const std::wstring& text) {
    ShowMessageOnlyWizard(text, Owner(GetActiveWindow()));
}
