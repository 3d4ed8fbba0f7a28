// The client's answers to what an update asks of its user. Every box runs on the thread that
// owns the wizard's sheet, owned by the sheet, whichever thread wants it: a worker hands the
// box over and waits, so no worker ever owns a window that shutdown would have to close.
// Credentials are asked only when a wizard is there to own the prompt.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/user_prompts.h"
#include "session/run_context.h"

class WizardPrompts : public IUserPrompts {
public:
    // The closing message is shown with the run's texts and configuration.
    explicit WizardPrompts(const RunContext& run) : run_(run), ownThread_(GetCurrentThreadId()) {}

    bool AskCredentials(CredentialKind kind, std::wstring* user, std::wstring* password) override;
    void ShowError(const std::wstring& text, const std::wstring& caption) override;
    void ShowClosingMessage(const std::wstring& text) override;

    // The full wizard's sheet, published by the sheet's own thread when it shows.
    void PublishSheet(HWND sheet);
    // The sheet is gone: a worker waiting for a box gets no answer instead of waiting for ever.
    void ForgetSheet(HWND sheet);
    // True from the moment a full wizard starts its check until it stops its threads: a box
    // wanted before the sheet is on screen waits for it, and only then.
    void ExpectWizard(bool expected);
    // The sheet's thread runs the box a worker handed over (on WM_RUN_PROMPT).
    void RunPending();

    // How long a box waits for the wizard's sheet before it gives up.
    static constexpr DWORD kWizardWaitMs = 60000;

private:
    // A box handed from a worker to the sheet's thread; shared, so that a worker that gave up
    // never leaves the sheet's thread writing into freed memory.
    struct Pending {
        std::function<void(HWND owner)> box;
        bool started = false;
        bool done = false;
    };
    // Runs `box` with the sheet as its owner on the sheet's thread; false when no wizard is
    // there to run it (then it did not run). A caller on the sheet's thread or on start-up's,
    // or on any thread when no wizard is expected, runs it itself, owned by `fallbackOwner`
    // when no sheet shows.
    bool Run(const std::function<void(HWND owner)>& box, bool needsWizard, HWND fallbackOwner);

    const RunContext& run_;
    // The thread the prompts were made on (start-up's): it shows the wizard, so it never
    // waits for one.
    const DWORD ownThread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    HWND sheet_ = nullptr;
    DWORD sheetThread_ = 0;
    bool expected_ = false;
    std::shared_ptr<Pending> pending_;
};
