// The wizard's pages: dialog-based property-sheet pages on one template base. Each fills its
// controls with localised texts, sets the sheet's buttons when it becomes current and tells
// the frame that it exists; the download and final pages drive the session.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "foundation/download_sink.h"
#include "foundation/win_resource.h"
#include "session/run_context.h"
#include "ui/wizard_flow.h"
#include "ui/wizard_messages.h"

// A text that one thread writes and another reads whole.
class SharedText {
public:
    void Set(std::wstring text) {
        std::lock_guard<std::mutex> lock(mutex_);
        text_ = std::move(text);
    }
    std::wstring Get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::wstring text_;
};

// The frame's say in where Next and Back lead.
class Renewix;
class TextVariables;
struct UpdatePlan;

class PageHost {
public:
    // The answer to PSN_WIZNEXT or PSN_WIZBACK from `page`: 0 to move on, -1 to stay.
    virtual LRESULT OnWizardMove(HWND page, bool next) = 0;
    // Whether `page` may give up its place now (PSN_KILLACTIVE): only for a move the flow has
    // granted, whoever asks for the change of page.
    virtual bool MayLeave(HWND page) = 0;

protected:
    ~PageHost() = default;
};

template <typename T>
class GeneralPages {
public:
    GeneralPages(const GeneralPages&) = delete;
    GeneralPages& operator=(const GeneralPages&) = delete;
    virtual ~GeneralPages() = default;

    // The record the sheet's page is made from; it points back to this object.
    const PROPSHEETPAGEW& Record() {
        record_.lParam = reinterpret_cast<LPARAM>(this);
        return record_;
    }
    HWND Window() const { return window_; }
    void SetHost(PageHost* host) { host_ = host; }
    void AddFlags(DWORD flags) { record_.dwFlags |= flags; }
    // The texts of the header band, which the frame draws (empty on an exterior page).
    const std::wstring& HeaderTitle() const { return headerTitle_; }
    const std::wstring& HeaderSubtitle() const { return headerSubtitle_; }

protected:
    GeneralPages(int dialogId, const RunContext& run);

    virtual INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK WindowProcedure(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
    virtual void AfterDestroy() {}
    // The answer to PSN_SETACTIVE: 0 accepts the activation.
    virtual LRESULT OnActivate() { return 0; }
    virtual BOOL OnInit() {
        SendPageCreated();
        return TRUE;
    }
    virtual void OnPlaceButtons() {}

    HWND Sheet() const { return GetParent(window_); }
    HWND SheetButton(int id) const { return GetDlgItem(Sheet(), id); }
    void SendPageCreated() { SendMessageW(Sheet(), WM_PAGE_CREATED, reinterpret_cast<WPARAM>(window_), 0); }
    // Posts the button states, then (once the sheet has applied them) OnPlaceButtons.
    void SetButtons(DWORD flags) {
        PostMessageW(Sheet(), PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(flags));
        PostMessageW(window_, WM_PLACE_BUTTONS, 0, 0);
    }
    void SetItemText(int id, const std::wstring& text) { SetDlgItemTextW(window_, id, text.c_str()); }
    INT_PTR Answer(LRESULT result) {
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
        return TRUE;
    }
    // An interior page: the sheet keeps room for a header band, with texts it leaves empty
    // (it would draw them at fixed pixel places); the frame draws these.
    void UseHeader(std::wstring title, std::wstring subtitle) {
        headerTitle_ = std::move(title);
        headerSubtitle_ = std::move(subtitle);
        record_.dwFlags |= PSP_USEHEADERTITLE | PSP_USEHEADERSUBTITLE;
        record_.pszHeaderTitle = L"";
        record_.pszHeaderSubTitle = L"";
    }

    const RunContext& run_;
    PROPSHEETPAGEW record_{};
    HWND window_ = nullptr;
    PageHost* host_ = nullptr;

private:
    std::wstring headerTitle_;
    std::wstring headerSubtitle_;
};

// The title font of the exterior pages: Tahoma, 20 high at 100%, weight 600.
renewix::UniqueFont CreateTitleFont(int dpi);
// The application name every page's caption and title carry, loaded once per process.
const std::wstring& ApplicationTitle(const TextVariables& variables);
// Moves a sheet button to where another one stands, keeping its own size.
void MoveButtonTo(HWND button, HWND target);

// The checking page (with its checking switch) and the welcome page.
class IntroPage : public GeneralPages<IntroPage> {
public:
    explicit IntroPage(const RunContext& run);
    void SetChecking() { checking_ = true; }
    // Written by the check thread before the page can be shown.
    void SetTexts(std::wstring text, std::wstring secondText) {
        text_.Set(std::move(text));
        secondText_.Set(std::move(secondText));
    }

protected:
    LRESULT OnActivate() override;
    BOOL OnInit() override;
    void OnPlaceButtons() override;

private:
    bool checking_ = false;
    renewix::UniqueFont titleFont_;
    SharedText text_;
    SharedText secondText_;
};

// The end-user terms; Next only while the accepting choice is selected.
class License : public GeneralPages<License> {
public:
    License(const RunContext& run, const UpdatePlan& plan);
    bool Accepted() const { return choice_ == 0; }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT OnActivate() override;
    BOOL OnInit() override;
    void OnPlaceButtons() override;

private:
    // A critical update cannot be cancelled, except by a user who declines its terms.
    void EnableCancelForDecline(bool onThisPage);

    const UpdatePlan& plan_;
    int choice_ = 1;  // 0 accept (1030), 1 decline (1031)
};

// Download progress: two bars, the status line, the current file's name and size.
// Shows the download that it starts, as the download's sink: the worker's reports become the
// page's own messages, handled on the sheet's thread.
class DownloadPage : public GeneralPages<DownloadPage>, public IDownloadSink {
public:
    DownloadPage(const RunContext& run, Renewix& session, const UpdatePlan& plan);
    bool Done() const { return done_; }

    void Begin(int files, std::uint64_t totalBytes) override;
    void File(const std::wstring& destination, std::uint64_t size) override;
    void FileWhole(std::uint64_t size) override;
    void Progress(std::uint64_t done, std::uint64_t size) override;
    void Done(int files) override;
    void Failed() override;


protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT OnActivate() override;
    BOOL OnInit() override;
    void OnPlaceButtons() override;
    void AfterDestroy() override { target_ = nullptr; }

private:
    void OnDownloadBegin(int fileCount, std::uint64_t totalBytes);
    void OnDownloadFile(const wchar_t* path, std::uint64_t size);
    void OnDownloadFileWhole(std::uint64_t size);
    void OnTransferProgress(std::uint64_t soFar, std::uint64_t size);
    void OnDownloadDone();
    void ShowBars(const DownloadProgress::BarUpdate& update);

    // In bytes from the worker, units of 2^shift bytes in the messages (see ProgressShift).
    std::uint64_t FromUnits(WPARAM units) const { return ProgressBytes(static_cast<ULONG_PTR>(units), shift_.load()); }
    LPARAM ToUnits(std::uint64_t bytes) const { return static_cast<LPARAM>(ProgressUnits(bytes, shift_.load())); }

    Renewix& session_;
    const UpdatePlan& plan_;
    DownloadProgress progress_;
    bool done_ = false;
    std::atomic<int> shift_{0};
    ProgressThrottle throttle_;  // the worker's
    // The page's window for the worker: set before the download starts, cleared as the page
    // goes, so that a late report is dropped instead of reaching a window that is gone.
    std::atomic<HWND> target_{nullptr};
};

// The ready page (one Finish-captioned button, the restart box) and, with its installing
// switch, the installing page (no button at all).
class FinalPage : public GeneralPages<FinalPage> {
public:
    FinalPage(const RunContext& run, UpdatePlan& plan);
    void SetInstalling() { installing_ = true; }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT OnActivate() override;
    void OnPlaceButtons() override;

private:
    UpdatePlan& plan_;
    bool installing_ = false;
    std::wstring text_;
};

// One message with a single Finish button: the full wizard's message page and the whole of
// the one-page message wizard.
class MessagePage : public GeneralPages<MessagePage> {
public:
    explicit MessagePage(const RunContext& run);
    void SetText(std::wstring text) { text_.Set(std::move(text)); }

protected:
    LRESULT OnActivate() override;
    void OnPlaceButtons() override;

private:
    SharedText text_;
};

// The schedule of automatic checks; Finish hands the page and the choice (0 daily, 1 weekly,
// 2 monthly, 3 never) to whoever writes the schedule.
class SchedulerPage : public GeneralPages<SchedulerPage> {
public:
    SchedulerPage(const RunContext& run, std::function<void(HWND, int)> onFinish);
    int Choice() const { return choice_; }
    // Before the page is shown: the choice it opens on (Never unless a schedule is set) and
    // the line under the choices (when the set schedule runs next).
    void Preselect(int choice, std::wstring note) {
        if (choice >= 0 && choice <= 3) choice_ = choice;
        note_ = std::move(note);
    }

    static constexpr int kChoiceIds[4] = {1027, 1028, 1029, 1031};

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInit() override;
    void OnPlaceButtons() override;

private:
    std::function<void(HWND, int)> onFinish_;
    renewix::UniqueFont titleFont_;
    int choice_ = 3;
    std::wstring note_;
};

template <typename T>
GeneralPages<T>::GeneralPages(int dialogId, const RunContext& run) : run_(run) {
    record_.dwSize = sizeof(record_);
    record_.dwFlags = PSP_USETITLE;
    record_.hInstance = GetModuleHandleW(nullptr);
    record_.pszTemplate = MAKEINTRESOURCEW(dialogId);
    record_.pfnDlgProc = WindowProcedure;
    // Wine gives the sheet each page's title as it shows the page: keep the application name.
    record_.pszTitle = ApplicationTitle(run.variables).c_str();
}

template <typename T>
INT_PTR CALLBACK GeneralPages<T>::WindowProcedure(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* record = reinterpret_cast<PROPSHEETPAGEW*>(lParam);
        SetWindowLongPtrW(page, DWLP_USER, record->lParam);
        reinterpret_cast<GeneralPages*>(record->lParam)->window_ = page;
    }
    auto* self = reinterpret_cast<GeneralPages*>(GetWindowLongPtrW(page, DWLP_USER));
    if (!self) return FALSE;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(page, DWLP_USER, 0);
        self->AfterDestroy();
        self->window_ = nullptr;
        return FALSE;
    }
    try {
        return self->HandleMessage(message, wParam, lParam);
    } catch (...) {
        return FALSE;
    }
}

template <typename T>
INT_PTR GeneralPages<T>::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInit();
        case WM_COMMAND:
            // A read-only box keeps selection, copy and scrolling, but shows no caret: there is
            // nothing to type. The box makes its caret as it takes the focus, before it says so.
            if (HIWORD(wParam) == EN_SETFOCUS && (GetWindowLongW(reinterpret_cast<HWND>(lParam), GWL_STYLE) & ES_READONLY)) {
                DestroyCaret();
            }
            return FALSE;
        case WM_GET_PAGE_FLAGS:
            return Answer(static_cast<LRESULT>(record_.dwFlags));
        case WM_PLACE_BUTTONS:
            OnPlaceButtons();
            // The sheet repaints only its header when the page changes; exterior pages show
            // the sheet's watermark through themselves, so everything is painted again.
            RedrawWindow(Sheet(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
            return TRUE;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->hwndFrom != window_ && header->hwndFrom != Sheet()) return FALSE;
            switch (header->code) {
                case PSN_SETACTIVE: return Answer(OnActivate());
                case PSN_WIZNEXT: return Answer(host_ ? host_->OnWizardMove(window_, true) : 0);
                case PSN_WIZBACK: return Answer(host_ ? host_->OnWizardMove(window_, false) : 0);
                case PSN_KILLACTIVE: return Answer(host_ && !host_->MayLeave(window_) ? TRUE : FALSE);
                default: return Answer(0);
            }
        }
        default:
            return FALSE;
    }
}
