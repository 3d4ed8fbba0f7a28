// The client's answers to what an update asks of its user. While the full wizard is on screen
// every box is owned by its sheet, so that none hides behind it; credentials are asked only
// when a wizard is there to own the prompt.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "foundation/user_prompts.h"

class WizardPrompts : public IUserPrompts {
public:
    bool AskCredentials(CredentialKind kind, std::wstring* user, std::wstring* password) override;
    void ShowError(const std::wstring& text, const std::wstring& caption) override;
    void ShowClosingMessage(const std::wstring& text) override;

    // The full wizard's sheet, published by the sheet's thread while it shows; read by the
    // check and download threads.
    void PublishSheet(HWND sheet) { sheet_.store(sheet); }
    // A prompt must never be owned by a wizard that is gone.
    void ForgetSheet(HWND sheet) { sheet_.compare_exchange_strong(sheet, nullptr); }
    HWND Sheet() const { return sheet_.load(); }
    // True from the moment a full wizard starts its check until it stops its threads: a prompt
    // wanted before the sheet is on screen waits for it, and only then.
    void ExpectWizard(bool expected) { expected_.store(expected); }

    // How long a prompt waits for the wizard's sheet before it gives up.
    static constexpr DWORD kWizardWaitMs = 60000;
    static constexpr DWORD kWizardCheckMs = 50;

private:
    // The given window, else the wizard on screen.
    HWND Owner(HWND preferred) const { return preferred ? preferred : sheet_.load(); }

    std::atomic<HWND> sheet_{nullptr};
    std::atomic<bool> expected_{false};
};
