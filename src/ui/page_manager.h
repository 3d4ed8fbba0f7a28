// The wizards: the full update wizard (`PageManager`), which checks, shows the vendor's texts,
// downloads and installs on threads of its own, and the one-page message and schedule
// wizards. All share `PageManagerLayout`: Wizard 97 look, watermark and header pictures, the
// company link, the sheet's caption and the close rules.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "foundation/win_resource.h"
#include "ui/hyperlink.h"
#include "ui/wizard_base.h"
#include "ui/wizard_flow.h"
#include "ui/wizard_pages.h"

inline constexpr int kHeaderBitmapId = 205;
inline constexpr int kWatermarkBitmapId = 208;
// The same pictures at twice the size, for screens above 100%.
inline constexpr int kHeaderBitmap2xId = 215;
inline constexpr int kWatermarkBitmap2xId = 218;
// The application icon: the lowest icon id, the one Explorer shows.
inline constexpr int kAppIconId = 1;


class PageManagerLayout : public WizardBase<PageManagerLayout> {
public:
    explicit PageManagerLayout(const RunContext& run);
    ~PageManagerLayout() override;

protected:
    LRESULT HandleMessage(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool PageHasHeader(HWND page) override;
    void OnSheetInitialized(HWND sheet) override;
    virtual void OnPageCreated(HWND page);
    virtual void OnCloseRequest();
    // Whether a request to cancel may end the sheet; false swallows it. The full wizard asks
    // the user first when the vendor wants that.
    virtual bool ConfirmCancel(HWND sheet);
    // A request to cancel was granted: the sheet ends next.
    virtual void OnCancelled(HWND) {}
    // A critical update cannot be cancelled: Cancel disabled, Close greyed. Applied when the
    // sheet comes up and again once the check has read the document.
    void LockForCriticalUpdate(HWND sheet);
    // Whether the update shown is critical; only the full wizard shows one.
    virtual bool IsCritical() const { return false; }

    const RunContext& run_;

private:
    // A cancel request: the Cancel button (or Escape), the close box, or PSM_PRESSBUTTON.
    bool IsCancelRequest(UINT message, WPARAM wParam) const;
    bool CancelAllowedNow(HWND sheet, UINT message) const;
    // Allowed now, confirmed, and still allowed on the same page once the user has answered.
    bool CancelConfirmed(HWND sheet, UINT message);
    // The application icon at the title bar's and Alt-Tab's sizes for `dpi`.
    void SetSheetIcons(HWND sheet, int dpi);

    CHyperLink link_;
    bool centred_ = false;
    bool criticalLocked_ = false;
    bool confirming_ = false;
    // The title bar's and Alt-Tab's icons; they must outlive the sheet.
    renewix::UniqueIcon bigIcon_;
    renewix::UniqueIcon smallIcon_;
};

class WizardPrompts;

class PageManager : public PageManagerLayout, private PageHost {
public:
    // Builds the full wizard and starts the check. The wizard owns `prompts`' boxes while it
    // shows.
    PageManager(const RunContext& run, Renewix& session, WizardPrompts& prompts);
    // Stops the check and waits for every thread the wizard started.
    ~PageManager() override;

    // Whether the update was installed; the wizard's threads have ended once the sheet has.
    bool Completed() const { return completed_; }

    // The check thread's decision, applied to the pages; public so that the check's outcome
    // is one named step.
    void OnCheckDone(bool updateFound);

protected:
    void OnPageCreated(HWND page) override;
    void OnCloseRequest() override;
    bool ConfirmCancel(HWND sheet) override;
    void OnCancelled(HWND sheet) override;
    void AfterDestroy(HWND sheet) override;
    LRESULT HandleMessage(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsCritical() const override;
    HeaderTexts HeaderTextsOf(HWND page) override;

private:
    LRESULT OnWizardMove(HWND page, bool next) override;
    bool MayLeave(HWND page) override;
    WizardPage PageOf(HWND page) const;
    void CheckThread();
    void InstallerThread(HWND installingPage);
    // Waits up to `ms`; false when the wizard is ending.
    bool WaitUnlessStopped(DWORD ms);
    void StopThreads();

    Renewix& session_;
    // The session's plan: empty until the check has filled it.
    UpdatePlan& plan_;
    WizardPrompts& prompts_;
    IntroPage checking_;
    MessagePage message_;
    IntroPage intro_;
    License terms_;
    DownloadPage download_;
    FinalPage ready_;
    FinalPage installing_;
    std::atomic<bool> termsRemoved_{false};
    std::atomic<bool> completed_{false};
    // The check has chosen the page after the checking page.
    std::atomic<bool> checkDecided_{false};
    // OnWizardMove granted a move that the sheet is making now.
    bool moveGranted_ = false;
    bool installStarted_ = false;
    bool testRun_ = false;
    renewix::UniqueHandle stop_;
    std::thread checkThread_;
    std::thread installerThread_;
};

class PageMessageOnly : public PageManagerLayout {
public:
    PageMessageOnly(const RunContext& run, const std::wstring& text);

private:
    MessagePage page_;
};

class PageSchedulerOnly : public PageManagerLayout {
public:
    // `onFinish` receives the page and the chosen frequency when the user presses Finish.
    PageSchedulerOnly(const RunContext& run, std::function<void(HWND, int)> onFinish);
    void Preselect(int choice, std::wstring note) { page_.Preselect(choice, std::move(note)); }

private:
    SchedulerPage page_;
};

// Shows one message in the one-page wizard, modally over `owner`.
void ShowMessageOnlyWizard(const RunContext& run, const std::wstring& text, HWND owner);
