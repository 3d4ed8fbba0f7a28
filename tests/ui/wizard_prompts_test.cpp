#include "ui/wizard_prompts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "test_support.h"
#include "ui/wizard_messages.h"

namespace {

using namespace std::chrono_literals;

// Stops at the first dialog box, handing it back through `param`.
BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
    wchar_t name[16] = {};
    if (GetClassNameW(window, name, 16) && std::wstring(name) == L"#32770") {
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    return TRUE;
}

// A window standing in for the wizard's sheet, on the test's thread.
class PromptsTest : public ::testing::Test {
protected:
    void SetUp() override {
        sheet_ = CreateWindowW(L"STATIC", L"Stand-in sheet", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                               nullptr, nullptr);
        ASSERT_TRUE(sheet_);
    }
    void TearDown() override {
        if (sheet_) DestroyWindow(sheet_);
    }

    TestRun run_;
    WizardPrompts prompts_{run_.run};
    HWND sheet_ = nullptr;
};

// A worker's box runs on the sheet's thread, owned by the sheet, and the worker waits for it.
TEST_F(PromptsTest, AWorkersBoxRunsOnTheSheetsThread) {
    prompts_.ExpectWizard(true);
    prompts_.PublishSheet(sheet_);
    std::future<void> worker = std::async(std::launch::async, [this] { prompts_.ShowError(L"text", L"caption"); });

    const DWORD self = GetCurrentThreadId();
    // Closes the box once it shows on this thread; the answer is its owner (none when it never
    // showed here).
    std::future<HWND> closer = std::async(std::launch::async, [self]() -> HWND {
        HWND box = nullptr;
        if (!WaitUntil([&] { return !EnumThreadWindows(self, FindDialog, reinterpret_cast<LPARAM>(&box)) && box; })) {
            return nullptr;
        }
        const HWND owner = GetWindow(box, GW_OWNER);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return owner;
    });
    bool handed = false;
    WaitUntil([&] {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.hwnd == sheet_ && message.message == WM_RUN_PROMPT) {
                handed = true;
                prompts_.RunPending();
            } else {
                DispatchMessageW(&message);
            }
        }
        return worker.wait_for(0ms) == std::future_status::ready;
    });
    EXPECT_TRUE(handed);
    EXPECT_EQ(closer.get(), sheet_);
    ASSERT_EQ(worker.wait_for(5s), std::future_status::ready);
}

// A worker waiting for a box, or for a sheet that is not up yet, is let go when the wizard
// ends: it never keeps the wizard's threads from being joined.
TEST_F(PromptsTest, AWaitingWorkerIsLetGoWhenTheWizardEnds) {
    for (const bool sheetShown : {true, false}) {
        SCOPED_TRACE(sheetShown ? "box handed to a sheet that goes" : "sheet never shown");
        prompts_.ExpectWizard(true);
        if (sheetShown) prompts_.PublishSheet(sheet_);
        std::wstring user, password;
        std::future<bool> worker = std::async(std::launch::async, [&] {
            return prompts_.AskCredentials(IUserPrompts::CredentialKind::Website, &user, &password);
        });
        // Nothing here runs the box: the worker can only be let go.
        EXPECT_EQ(worker.wait_for(200ms), std::future_status::timeout);
        if (sheetShown) prompts_.ForgetSheet(sheet_);
        prompts_.ExpectWizard(false);
        ASSERT_EQ(worker.wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(worker.get());
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
}

// A run without a wizard (a silent one) never asks for credentials: no box shows and the answer
// is no, so the downloader stops instead of waiting for a user.
TEST_F(PromptsTest, ARunWithoutAWizardAsksNoCredentials) {
    std::promise<DWORD> started;
    std::future<DWORD> workerThread = started.get_future();
    std::wstring user, password;
    std::future<bool> worker = std::async(std::launch::async, [&] {
        started.set_value(GetCurrentThreadId());
        return prompts_.AskCredentials(IUserPrompts::CredentialKind::Proxy, &user, &password);
    });
    const DWORD thread = workerThread.get();
    HWND box = nullptr;
    // The answer, or a box (closed here, so that the worker ends), well before a wait for a
    // wizard would give up.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return worker.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready ||
                   (!EnumThreadWindows(thread, FindDialog, reinterpret_cast<LPARAM>(&box)) && box);
        },
        WizardPrompts::kWizardWaitMs / 4));
    if (box) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_EQ(box, nullptr);
    EXPECT_FALSE(worker.get());
}

}  // namespace
