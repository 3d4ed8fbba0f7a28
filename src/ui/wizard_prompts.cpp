#include "ui/wizard_prompts.h"

#include <chrono>

#include "transfer/credentials.h"
#include "ui/page_manager.h"
#include "ui/wizard_messages.h"

void WizardPrompts::PublishSheet(HWND sheet) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sheet_ = sheet;
        sheetThread_ = GetCurrentThreadId();
    }
    changed_.notify_all();
}

void WizardPrompts::ForgetSheet(HWND sheet) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sheet_ != sheet) return;
        sheet_ = nullptr;
        sheetThread_ = 0;
    }
    changed_.notify_all();
}

void WizardPrompts::ExpectWizard(bool expected) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        expected_ = expected;
    }
    changed_.notify_all();
}

void WizardPrompts::RunPending() {
    std::shared_ptr<Pending> pending;
    HWND owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pending_ || pending_->started) return;
        pending = pending_;
        pending->started = true;
        owner = sheet_;
    }
    pending->box(owner);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending->done = true;
    }
    changed_.notify_all();
}

bool WizardPrompts::Run(const std::function<void(HWND owner)>& box, bool needsWizard, HWND fallbackOwner) {
    std::unique_lock<std::mutex> lock(mutex_);
    const DWORD self = GetCurrentThreadId();
    if (sheet_ && sheetThread_ == self) {
        HWND owner = sheet_;
        lock.unlock();
        box(owner);
        return true;
    }
    if ((!sheet_ && !expected_) || self == ownThread_) {
        // No wizard, or the thread that would show it: nobody else could run the box.
        lock.unlock();
        if (needsWizard) return false;
        box(fallbackOwner);
        return true;
    }
    // A worker: wait for the sheet (a slow machine may not show it yet) and for any box
    // another worker handed over first.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWizardWaitMs);
    if (!changed_.wait_until(lock, deadline, [this] { return (sheet_ && !pending_) || (!sheet_ && !expected_); }) ||
        !sheet_) {
        return false;
    }
    auto pending = std::make_shared<Pending>();
    pending->box = box;
    pending_ = pending;
    HWND sheet = sheet_;
    if (!PostMessageW(sheet, WM_RUN_PROMPT, 0, 0)) {
        pending_.reset();
        return false;
    }
    // The box may take as long as the user does; only the sheet's end stops the wait.
    changed_.wait(lock, [&] { return pending->done || sheet_ != sheet; });
    if (pending_ == pending) pending_.reset();
    changed_.notify_all();
    return pending->done;
}

bool WizardPrompts::AskCredentials(CredentialKind kind, std::wstring* user, std::wstring* password) {
    bool given = false;
    std::wstring name, secret;
    const bool ran = Run(
        [&](HWND owner) {
            Credentials dialog(kind == CredentialKind::Proxy ? Credentials::Proxy : Credentials::Website);
            if (dialog.DoModal(owner) != IDOK) return;
            name = dialog.UserName;
            secret = dialog.Password;
            given = true;
        },
        true, nullptr);
    if (!ran || !given) return false;
    *user = name;
    *password = secret;
    return true;
}

void WizardPrompts::ShowError(const std::wstring& text, const std::wstring& caption) {
    Run([&](HWND owner) { MessageBoxW(owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR); }, false,
        nullptr);
}

void WizardPrompts::ShowClosingMessage(const std::wstring& text) {
    Run([&](HWND owner) { ShowMessageOnlyWizard(run_, text, owner); }, false, GetActiveWindow());
}
