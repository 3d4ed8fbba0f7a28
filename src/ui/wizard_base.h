// The frame of every wizard: a modal Wizard 97 property sheet whose window is subclassed so
// that the frame sees its messages, with page changes that other threads may ask for safely.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "foundation/win_resource.h"

// Sheet controls the frame and the pages use.
inline constexpr int kBackButton = 0x3023;
inline constexpr int kNextButton = 0x3024;
inline constexpr int kFinishButton = 0x3025;
inline constexpr int kBottomDivider = 0x3026;  // above the buttons
inline constexpr int kTopDivider = 0x3027;     // below an interior page's header band

// The texts an interior page shows in the header band. The sheet is given empty ones: it would
// draw them at fixed pixel places, wrong on a scaled screen, so the frame draws these itself.
struct HeaderTexts {
    const wchar_t* title = L"";
    const wchar_t* subtitle = L"";
};

// Paints the header band above the top divider white, with `texts` at its left and `bitmap`
// (when there is one) at its right end. Does nothing when the sheet has no divider.
void PaintHeaderBand(HWND sheet, HDC dc, HBITMAP bitmap, const HeaderTexts& texts);
// Paints `watermark` down the left of the area above the bottom divider, as an exterior page
// shows it.
void PaintWatermark(HWND sheet, HDC dc, HBITMAP watermark);

template <typename Layout>
class WizardBase {
public:
    WizardBase(const WizardBase&) = delete;
    WizardBase& operator=(const WizardBase&) = delete;
    virtual ~WizardBase() = default;

    // Shows the sheet modally over `owner` (unless the header already names one) and
    // returns when it closes by any means.
    INT_PTR DoModal(HWND owner);
    HWND SheetWindow() const {
        std::lock_guard<std::mutex> lock(runLock_);
        return sheet_;
    }

protected:
    WizardBase() {
        header_.dwSize = sizeof(header_);
        header_.hInstance = GetModuleHandleW(nullptr);
        header_.pfnCallback = SheetCallback;
    }

    // The sheet's messages. The default lets the sheet handle them and paints the header band.
    virtual LRESULT HandleMessage(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK WindowProcedure(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                            DWORD_PTR self);
    virtual void AfterDestroy(HWND) {}
    virtual bool PageHasHeader(HWND) { return true; }
    virtual HeaderTexts HeaderTextsOf(HWND) { return {}; }
    // The sheet window exists and is about to show its first page.
    virtual void OnSheetInitialized(HWND) {}

    // Adds a page made from `record`; false (and nothing added) when it could not be made.
    bool AddPage(const PROPSHEETPAGEW& record) {
        renewix::UniquePropertyPage page(CreatePropertySheetPageW(&record));
        if (!page) return false;
        std::lock_guard<std::mutex> lock(runLock_);
        pages_.push_back(std::move(page));
        return true;
    }

    // These may be called from any thread: before the sheet exists they change what it
    // will start with, while it shows they are carried out by the sheet's own thread, and
    // after it has closed they do nothing.
    void GoToPage(int index);
    void RemovePage(int index);
    void Close();

    PROPSHEETHEADERW header_{};
    renewix::UniqueBitmap headerBitmap_;
    // The exterior pages' picture, for the sheet and for the frame, which paints it over the
    // sheet's own (see PaintSheetParts).
    renewix::UniqueBitmap watermark_;

private:
    // The header band of an interior page, or the watermark of an exterior one.
    void PaintSheetParts(HWND sheet, HDC dc);

    enum class Phase { NotStarted, Starting, Showing, Ended };
    static int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lParam);
    // Waits while the run is starting; returns the sheet once it shows, null otherwise. With
    // the lock held and the run not started, calls `beforeStart` instead.
    template <typename F>
    HWND SheetOrBeforeStart(F beforeStart);

    std::vector<renewix::UniquePropertyPage> pages_;
    mutable std::mutex runLock_;
    std::condition_variable phaseChanged_;
    Phase phase_ = Phase::NotStarted;
    HWND sheet_ = nullptr;
    bool closeBeforeStart_ = false;
    inline static thread_local WizardBase* starting_ = nullptr;
};

template <typename Layout>
INT_PTR WizardBase<Layout>::DoModal(HWND owner) {
    PROPSHEETHEADERW header;
    std::vector<HPROPSHEETPAGE> handles;
    {
        std::lock_guard<std::mutex> lock(runLock_);
        if (closeBeforeStart_ || phase_ != Phase::NotStarted) {
            phase_ = Phase::Ended;
            phaseChanged_.notify_all();
            return 0;
        }
        phase_ = Phase::Starting;
        header_.dwFlags &= ~PSH_MODELESS;
        if (!header_.hwndParent) header_.hwndParent = owner;
        for (auto& page : pages_) handles.push_back(page.release());
        pages_.clear();
        header = header_;
    }
    header.nPages = static_cast<UINT>(handles.size());
    header.phpage = handles.data();
    if (header.nStartPage >= header.nPages) header.nStartPage = 0;

    WizardBase* previous = starting_;
    starting_ = this;
    const INT_PTR result = handles.empty() ? -1 : PropertySheetW(&header);
    starting_ = previous;

    bool shown = false;
    {
        std::lock_guard<std::mutex> lock(runLock_);
        shown = sheet_ != nullptr;
        phase_ = Phase::Ended;
        sheet_ = nullptr;
    }
    phaseChanged_.notify_all();
    // A sheet that never came up did not take its pages over.
    if (!shown) {
        for (HPROPSHEETPAGE page : handles) DestroyPropertySheetPage(page);
    }
    // The sheet's loop puts back a WM_QUIT that ended it; it must not end the next dialog
    // of this thread too, nor may a second one posted before it ended.
    MSG quit;
    while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    return result;
}

template <typename Layout>
int CALLBACK WizardBase<Layout>::SheetCallback(HWND sheet, UINT message, LPARAM) {
    WizardBase* self = starting_;
    if (message != PSCB_INITIALIZED || !self) return 0;
    SetWindowSubclass(sheet, WindowProcedure, 1, reinterpret_cast<DWORD_PTR>(self));
    {
        std::lock_guard<std::mutex> lock(self->runLock_);
        self->sheet_ = sheet;
        self->phase_ = Phase::Showing;
    }
    self->phaseChanged_.notify_all();
    try {
        self->OnSheetInitialized(sheet);
    } catch (...) {
        // The sheet still works without its extras.
    }
    return 0;
}

template <typename Layout>
LRESULT CALLBACK WizardBase<Layout>::WindowProcedure(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam,
                                                     UINT_PTR id, DWORD_PTR self) {
    auto* wizard = reinterpret_cast<WizardBase*>(self);
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(sheet, WindowProcedure, id);
        wizard->AfterDestroy(sheet);
        return DefSubclassProc(sheet, message, wParam, lParam);
    }
    try {
        return wizard->HandleMessage(sheet, message, wParam, lParam);
    } catch (...) {
        return DefSubclassProc(sheet, message, wParam, lParam);
    }
}

template <typename Layout>
LRESULT WizardBase<Layout>::HandleMessage(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_PAINT) {
        const LRESULT result = DefSubclassProc(sheet, message, wParam, lParam);
        if (message == WM_ERASEBKGND || message == WM_PRINTCLIENT) {
            PaintSheetParts(sheet, reinterpret_cast<HDC>(wParam));
        }
        return result;
    }
    // The sheet draws the header's texts and the watermark at fixed pixel places, wrong on a
    // scaled screen: the frame paints over them, within what the sheet was asked to paint.
    renewix::UniqueResource<renewix::GdiObjectTraits<HRGN>> invalid(CreateRectRgn(0, 0, 0, 0));
    const bool clipped = invalid && GetUpdateRgn(sheet, invalid.get(), FALSE) != ERROR;
    const LRESULT result = DefSubclassProc(sheet, message, wParam, lParam);
    if (wParam) {
        PaintSheetParts(sheet, reinterpret_cast<HDC>(wParam));
    } else if (HDC dc = GetDC(sheet)) {
        renewix::ScopeExit release([&] { ReleaseDC(sheet, dc); });
        if (clipped) SelectClipRgn(dc, invalid.get());
        PaintSheetParts(sheet, dc);
    }
    return result;
}

template <typename Layout>
void WizardBase<Layout>::PaintSheetParts(HWND sheet, HDC dc) {
    HWND page = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    if (!page || !dc) return;
    if (PageHasHeader(page)) {
        PaintHeaderBand(sheet, dc, headerBitmap_.get(), HeaderTextsOf(page));
    } else if (watermark_) {
        PaintWatermark(sheet, dc, watermark_.get());
    }
}

template <typename Layout>
template <typename F>
HWND WizardBase<Layout>::SheetOrBeforeStart(F beforeStart) {
    std::unique_lock<std::mutex> lock(runLock_);
    if (phase_ == Phase::NotStarted) {
        beforeStart();
        return nullptr;
    }
    phaseChanged_.wait(lock, [this] { return phase_ != Phase::Starting; });
    return phase_ == Phase::Showing ? sheet_ : nullptr;
}

template <typename Layout>
void WizardBase<Layout>::GoToPage(int index) {
    HWND sheet = SheetOrBeforeStart([&] { header_.nStartPage = static_cast<UINT>(index); });
    if (sheet) SendMessageW(sheet, PSM_SETCURSEL, static_cast<WPARAM>(index), 0);
}

template <typename Layout>
void WizardBase<Layout>::RemovePage(int index) {
    HWND sheet = SheetOrBeforeStart([&] {
        if (index < 0 || static_cast<std::size_t>(index) >= pages_.size()) return;
        pages_.erase(pages_.begin() + index);
        if (header_.nStartPage > static_cast<UINT>(index)) --header_.nStartPage;
    });
    if (sheet) SendMessageW(sheet, PSM_REMOVEPAGE, static_cast<WPARAM>(index), 0);
}

template <typename Layout>
void WizardBase<Layout>::Close() {
    HWND sheet = SheetOrBeforeStart([&] { closeBeforeStart_ = true; });
    if (sheet) PostMessageW(sheet, WM_QUIT, 0, 0);
}
