#include "ui/page_manager.h"

#include <algorithm>
#include <utility>

#include "description/variables.h"
#include "foundation/cancellation.h"
#include "foundation/log.h"
#include "install/program_runner.h"
#include "persistence/status_file.h"
#include "foundation/client_config.h"
#include "foundation/run_state.h"
#include "session/session.h"
#include "foundation/dialog_helpers.h"
#include "foundation/localised_text.h"
#include "ui/picture_scale.h"
#include "ui/wizard_prompts.h"

namespace {

// The part of the sheet above a divider; empty when the sheet has no such divider.
RECT AreaAbove(HWND sheet, int dividerId) {
    HWND divider = GetDlgItem(sheet, dividerId);
    if (!divider) return {};
    RECT line, client;
    GetWindowRect(divider, &line);
    MapWindowPoints(nullptr, sheet, reinterpret_cast<POINT*>(&line), 2);
    GetClientRect(sheet, &client);
    return {0, 0, client.right, line.top - 1};
}

SIZE BitmapSize(HBITMAP bitmap) {
    BITMAP picture{};
    if (!bitmap || !GetObjectW(bitmap, sizeof(picture), &picture)) return {0, 0};
    return {picture.bmWidth, picture.bmHeight};
}

void Blit(HDC dc, HBITMAP bitmap, int x, int y, int width, int height) {
    renewix::UniqueMemoryDc source(CreateCompatibleDC(dc));
    if (!source) return;
    HGDIOBJ previous = SelectObject(source.get(), bitmap);
    BitBlt(dc, x, y, width, height, source.get(), 0, 0, SRCCOPY);
    SelectObject(source.get(), previous);
}

// The font the header's texts are drawn in at `dpi`, bold for the title: the one Wizard 97
// sheets use.
renewix::UniqueFont HeaderFont(int dpi, bool bold) {
    using ForDpiFunction = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    static const auto forDpi = reinterpret_cast<ForDpiFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SystemParametersInfoForDpi")));
    LOGFONTW font{};
    const BOOL found = forDpi ? forDpi(SPI_GETICONTITLELOGFONT, sizeof(font), &font, 0, static_cast<UINT>(dpi))
                              : SystemParametersInfoW(SPI_GETICONTITLELOGFONT, sizeof(font), &font, 0);
    if (!found) return {};
    if (bold) font.lfWeight = FW_BOLD;
    return renewix::UniqueFont(CreateFontIndirectW(&font));
}

int LineHeight(HDC dc) {
    TEXTMETRICW metrics{};
    return GetTextMetricsW(dc, &metrics) ? static_cast<int>(metrics.tmHeight) : 0;
}

}  // namespace

void PaintHeaderBand(HWND sheet, HDC dc, HBITMAP bitmap, const HeaderTexts& texts) {
    const RECT band = AreaAbove(sheet, kTopDivider);
    if (!dc || band.bottom <= 0) return;
    renewix::UniqueBrush white(CreateSolidBrush(RGB(255, 255, 255)));
    FillRect(dc, &band, white.get());

    if (const SIZE picture = BitmapSize(bitmap); picture.cx > 0) {
        const int y = std::max(0, (static_cast<int>(band.bottom) - static_cast<int>(picture.cy)) / 2);
        Blit(dc, bitmap, static_cast<int>(band.right - picture.cx) - y, y, picture.cx, picture.cy);
    }

    const int dpi = DpiOf(sheet);
    renewix::UniqueFont bold = HeaderFont(dpi, true), regular = HeaderFont(dpi, false);
    if (!bold || !regular) return;
    const COLORREF oldColour = SetTextColor(dc, RGB(0, 0, 0));
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    HGDIOBJ oldFont = SelectObject(dc, bold.get());
    HeaderTextPlaces places = PlaceHeaderTexts(dpi, band, LineHeight(dc));
    DrawTextW(dc, texts.title, -1, &places.title, DT_LEFT | DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX);
    SelectObject(dc, regular.get());
    DrawTextW(dc, texts.subtitle, -1, &places.subtitle, DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, oldFont);
    SetBkMode(dc, oldMode);
    SetTextColor(dc, oldColour);
}

void PaintWatermark(HWND sheet, HDC dc, HBITMAP watermark) {
    // Down to the divider itself, as the sheet's own watermark goes.
    const RECT area = AreaAbove(sheet, kBottomDivider);
    const LONG bottom = area.bottom + 1;
    const SIZE picture = BitmapSize(watermark);
    if (!dc || area.bottom <= 0 || picture.cx <= 0) return;
    const int width = std::min<int>(picture.cx, area.right), height = std::min<int>(picture.cy, bottom);
    Blit(dc, watermark, 0, 0, width, height);
    // A picture shorter than the area goes on in the colour of its top left corner.
    if (height < bottom) {
        renewix::UniqueMemoryDc source(CreateCompatibleDC(dc));
        if (!source) return;
        HGDIOBJ previous = SelectObject(source.get(), watermark);
        renewix::UniqueBrush fill(CreateSolidBrush(GetPixel(source.get(), 0, 0)));
        SelectObject(source.get(), previous);
        const RECT below{0, height, width, bottom};
        FillRect(dc, &below, fill.get());
    }
}

// ---- PageManagerLayout ------------------------------------------------------------------

PageManagerLayout::PageManagerLayout(const RunContext& run) : run_(run) {
    header_.dwFlags = PSH_USECALLBACK | PSH_WIZARD97 | PSH_WATERMARK | PSH_USEHBMWATERMARK;
    header_.dwFlags &= ~PSH_WIZARD;
    // The sheet takes the watermark before it exists: it gets the screen's DPI, the one the
    // sheet opens at. The header picture is chosen for the sheet's own once it shows. The
    // frame paints the watermark itself (Wine's sheet shows only its first 164 pixels), but
    // the sheet needs one to give the exterior pages their look.
    watermark_ = LoadPictureForDpi(header_.hInstance, kWatermarkBitmapId, kWatermarkBitmap2xId, DpiOf(nullptr));
    header_.hbmWatermark = watermark_.get();
    header_.nStartPage = 0;
}

PageManagerLayout::~PageManagerLayout() = default;

void PageManagerLayout::OnSheetInitialized(HWND sheet) {
    SetWindowLongPtrW(sheet, GWL_STYLE, GetWindowLongPtrW(sheet, GWL_STYLE) | WS_MINIMIZEBOX);
    const int dpi = DpiOf(sheet);
    headerBitmap_ = LoadPictureForDpi(header_.hInstance, kHeaderBitmapId, kHeaderBitmap2xId, dpi);
    SetSheetIcons(sheet, dpi);
    SetWindowTextW(sheet, run_.variables.PrepareText(TextApplicationName).c_str());
    LockForCriticalUpdate(sheet);
}

void PageManagerLayout::SetSheetIcons(HWND sheet, int dpi) {
    using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);
    static const auto forDpi = reinterpret_cast<GetSystemMetricsForDpiFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetSystemMetricsForDpi")));
    const auto metric = [&](int index) {
        return forDpi ? forDpi(index, static_cast<UINT>(dpi)) : GetSystemMetrics(index);
    };
    const auto load = [&](int width, int height) {
        return renewix::UniqueIcon(static_cast<HICON>(
            LoadImageW(header_.hInstance, MAKEINTRESOURCEW(kAppIconId), IMAGE_ICON, width, height, LR_DEFAULTCOLOR)));
    };
    bigIcon_ = load(metric(SM_CXICON), metric(SM_CYICON));
    smallIcon_ = load(metric(SM_CXSMICON), metric(SM_CYSMICON));
    if (bigIcon_) SendMessageW(sheet, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
    if (smallIcon_) SendMessageW(sheet, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
}

void PageManagerLayout::LockForCriticalUpdate(HWND sheet) {
    if (criticalLocked_ || !IsCritical()) return;
    criticalLocked_ = true;
    Log& log = run_.log;
    HWND cancel = GetDlgItem(sheet, IDCANCEL);
    if (!cancel) {
        log.WriteEntry(L"Error occured: Unable to find close button to disable");
        return;
    }
    log.WriteEntry(L"Critical update: disabling close buttons");
    EnableMenuItem(GetSystemMenu(sheet, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    EnableWindow(cancel, FALSE);
}

LRESULT PageManagerLayout::HandleMessage(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAGE_CREATED) {
        OnPageCreated(reinterpret_cast<HWND>(wParam));
        return 0;
    }
    if (message == WM_CLOSE_WIZARD) {
        OnCloseRequest();
        return 0;
    }
    if (IsCancelRequest(message, wParam)) {
        if (!CancelConfirmed(sheet, message)) return 0;
        OnCancelled(sheet);
    }
    return WizardBase::HandleMessage(sheet, message, wParam, lParam);
}

bool PageManagerLayout::IsCancelRequest(UINT message, WPARAM wParam) const {
    return (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) || message == WM_CLOSE ||
           (message == PSM_PRESSBUTTON && wParam == PSBTN_CANCEL);
}

bool PageManagerLayout::CancelAllowedNow(HWND sheet, UINT message) const {
    if (message == WM_CLOSE) {
        const UINT state = GetMenuState(GetSystemMenu(sheet, FALSE), SC_CLOSE, MF_BYCOMMAND);
        return state == static_cast<UINT>(-1) || !(state & (MF_GRAYED | MF_DISABLED));
    }
    // Escape asks for IDCANCEL even while the button is disabled; a disabled Cancel means no.
    HWND cancel = GetDlgItem(sheet, IDCANCEL);
    return !cancel || IsWindowEnabled(cancel);
}

bool PageManagerLayout::ConfirmCancel(HWND) { return true; }

bool PageManagerLayout::CancelConfirmed(HWND sheet, UINT message) {
    // A second request while the box is up (the close box, Escape again) is the same request.
    if (confirming_ || !CancelAllowedNow(sheet, message)) return false;
    HWND page = PropSheet_GetCurrentPageHwnd(sheet);
    confirming_ = true;
    const bool yes = ConfirmCancel(sheet);
    confirming_ = false;
    // The sheet went on while the box was up: an installation that began since cannot be
    // cancelled, and a Yes given to another page is not an answer about this one.
    return yes && CancelAllowedNow(sheet, message) && PropSheet_GetCurrentPageHwnd(sheet) == page;
}

void PageManagerLayout::OnCloseRequest() { Close(); }

bool PageManagerLayout::PageHasHeader(HWND page) {
    return !(static_cast<DWORD>(SendMessageW(page, WM_GET_PAGE_FLAGS, 0, 0)) & PSP_HIDEHEADER);
}

void PageManagerLayout::OnPageCreated(HWND page) {
    HWND sheet = GetParent(page);
    if (!centred_) {
        CentreOver(sheet, GetWindow(sheet, GW_OWNER));
        centred_ = true;
    }
    HWND back = GetDlgItem(sheet, kBackButton);
    RECT room{};
    GetWindowRect(back, &room);
    MapWindowPoints(nullptr, sheet, reinterpret_cast<POINT*>(&room), 2);
    // The strip left of Back, the text level with Back's caption.
    room = RECT{10, room.top + 3, room.left - 6, room.bottom + 3};
    if (!link_.Window() && link_.Create(sheet, room)) {
        // In the tab order just before Back, which it stands beside.
        HWND before = GetWindow(back, GW_HWNDPREV);
        SetWindowPos(link_.Window(), before ? before : HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    const std::wstring visit = run_.variables.PrepareText(TextVisitCompany);
    link_.SetText(L"<A>" + visit + L"</A>");
    link_.SetAddress(run_.config.CompanyWebAddress());
    // Only the text is the link: a click beside it, or a focus rectangle, covers no more.
    const SIZE size = link_.FittingSize();
    SetWindowPos(link_.Window(), nullptr, room.left, room.top, std::min<LONG>(size.cx, room.right - room.left), size.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    link_.Show(!visit.empty());
    SetWindowPos(sheet, run_.config.WizardAlwaysOnTop() ? HWND_TOPMOST : HWND_TOP, 0, 0, 0, 0,
                 SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE);
}

// ---- PageManager ------------------------------------------------------------------------

PageManager::PageManager(const RunContext& run, Renewix& session, WizardPrompts& prompts)
    : PageManagerLayout(run),
      session_(session),
      plan_(session.Plan()),
      prompts_(prompts),
      checking_(run),
      message_(run),
      intro_(run),
      terms_(run, plan_),
      download_(run, session, plan_),
      ready_(run, plan_),
      installing_(run, plan_) {
    prompts_.ExpectWizard(true);
    checking_.SetChecking();
    checking_.SetTexts(run_.variables.PrepareText(TextChecking), L"");
    installing_.SetInstalling();
    const RunState& state = run_.state;
    testRun_ = state.Mode == ModeTest;
    if (testRun_) session_.SetLocalDocument(TestDocumentPath(state.MainAppParameters));

    for (IntroPage* page : {&checking_, &intro_}) page->AddFlags(PSP_HIDEHEADER);
    for (FinalPage* page : {&ready_, &installing_}) page->AddFlags(PSP_HIDEHEADER);
    message_.AddFlags(PSP_HIDEHEADER);
    checking_.SetHost(this);
    message_.SetHost(this);
    intro_.SetHost(this);
    terms_.SetHost(this);
    download_.SetHost(this);
    ready_.SetHost(this);
    installing_.SetHost(this);
    const bool added = AddPage(checking_.Record()) && AddPage(message_.Record()) && AddPage(intro_.Record()) &&
                       AddPage(terms_.Record()) && AddPage(download_.Record()) && AddPage(ready_.Record()) &&
                       AddPage(installing_.Record());
    Log& log = run_.log;
    if (!added) log.WriteEntry(L"Unable to create the wizard's pages");
    log.WriteHeading(L"Checking for updates...");

    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!added || !stop_) {
        Close();
        return;
    }
    try {
        checkThread_ = std::thread(&PageManager::CheckThread, this);
    } catch (...) {
        log.WriteEntry(L"Unable to start the update check");
        Close();
    }
}

PageManager::~PageManager() { StopThreads(); }

void PageManager::AfterDestroy(HWND sheet) { prompts_.ForgetSheet(sheet); }

bool PageManager::IsCritical() const { return plan_.options.uiKind == 2; }

HeaderTexts PageManager::HeaderTextsOf(HWND page) {
    if (page && page == terms_.Window()) return {terms_.HeaderTitle().c_str(), terms_.HeaderSubtitle().c_str()};
    if (page && page == download_.Window()) return {download_.HeaderTitle().c_str(), download_.HeaderSubtitle().c_str()};
    return {};
}

LRESULT PageManager::HandleMessage(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_RUN_PROMPT) {
        prompts_.RunPending();
        return 0;
    }
    return PageManagerLayout::HandleMessage(sheet, message, wParam, lParam);
}

void PageManager::StopThreads() {
    prompts_.ExpectWizard(false);
    if (stop_) SetEvent(stop_.get());
    // A box the check waits for ends with the sheet or with the wizard no longer expected.
    if (checkThread_.joinable()) checkThread_.join();
    // The installation is never cut short.
    if (installerThread_.joinable()) installerThread_.join();
    // A download the user left is abandoned without a partial file left in place.
    session_.StopDownload();
    session_.JoinWorker();
}

bool PageManager::WaitUnlessStopped(DWORD ms) { return WaitForSingleObject(stop_.get(), ms) == WAIT_TIMEOUT; }

void PageManager::CheckThread() {
    try {
        renewix::ScopedComInit com;
        const ULONGLONG start = GetTickCount64();
        Renewix& session = session_;
        bool found = false;
        if (testRun_ || session.ReportSources()) {
            found = session.LoadUpdateDocument(run_.status.ApplicationVersion());
        }
        if (!WaitUnlessStopped(RemainingMs(MinimumDisplayMs(PageChecking, testRun_), GetTickCount64() - start))) {
            return;
        }
        OnCheckDone(found);
    } catch (...) {
        run_.log.WriteEntry(L"Unexpected error during the update check");
        Close();
    }
}

void PageManager::OnCheckDone(bool updateFound) {
    Renewix& session = session_;
    CheckFacts facts;
    facts.mode = run_.state.Mode;
    facts.updateFound = updateFound;
    facts.internetAvailable = session.IsInternetAvailable();
    facts.serverReached = session.IsServerReached();
    facts.documentChecked = session.IsChecked();
    facts.hasTerms = !run_.variables.PrepareText(plan_.texts[TextSlotLicense], 0).empty();
    const CheckDecision decision = DecideAfterCheck(facts);

    checkDecided_ = true;
    // The texts are complete before the page that shows them can be created.
    switch (decision.next) {
        case PageMessage:
            message_.SetText(decision.message == CheckMessage::UpdateNotNeeded
                                 ? run_.variables.PrepareText(plan_.texts[TextSlotUpdateNotNeeded], TextUpdateNotNeeded)
                                 : run_.variables.PrepareText(MessageTextId(decision.message)));
            GoToPage(SheetIndex(PageMessage, false));
            break;
        case PageIntro:
            intro_.SetTexts(run_.variables.PrepareText(plan_.texts[TextSlotWelcome], TextWelcome),
                            run_.variables.PrepareText(plan_.texts[TextSlotReason], 0));
            if (decision.removeTerms) {
                termsRemoved_ = true;
                RemovePage(PageTerms);
            }
            GoToPage(SheetIndex(PageIntro, termsRemoved_));
            break;
        default:
            Close();
            break;
    }
}

WizardPage PageManager::PageOf(HWND page) const {
    const std::pair<const HWND, WizardPage> pages[] = {
        {checking_.Window(), PageChecking}, {message_.Window(), PageMessage}, {intro_.Window(), PageIntro},
        {terms_.Window(), PageTerms},       {download_.Window(), PageDownload}, {ready_.Window(), PageReady},
        {installing_.Window(), PageInstalling}};
    for (const auto& [window, which] : pages) {
        if (window && window == page) return which;
    }
    return PageNone;
}

LRESULT PageManager::OnWizardMove(HWND page, bool next) {
    const WizardPage current = PageOf(page);
    const FlowFacts facts{termsRemoved_, terms_.Accepted(), download_.Done()};
    const WizardPage target = next ? PageAfterNext(current, facts) : PageAfterBack(current, facts);
    if (target == PageStay || target == PageNone) return -1;
    const int from = SheetIndex(current, termsRemoved_), to = SheetIndex(target, termsRemoved_);
    if (to < 0) return -1;
    moveGranted_ = true;
    if (to == from + (next ? 1 : -1)) return 0;  // the sheet's own move
    SendMessageW(GetParent(page), PSM_SETCURSEL, static_cast<WPARAM>(to), 0);
    moveGranted_ = false;
    return -1;
}

bool PageManager::MayLeave(HWND page) {
    const bool granted = std::exchange(moveGranted_, false);
    // Only the check leaves the checking page; everywhere else the flow decides, so another
    // program's PSM_SETCURSEL cannot skip the terms or a download.
    return PageOf(page) == PageChecking ? checkDecided_.load() : granted;
}

void PageManager::OnPageCreated(HWND page) {
    PageManagerLayout::OnPageCreated(page);
    HWND sheet = GetParent(page);
    // Only the full wizard owns prompts and boxes of its threads; a one-page wizard shown
    // by one of them must not take that over.
    prompts_.PublishSheet(sheet);
    const WizardPage which = PageOf(page);
    // Only now does a check-now run know whether the update is critical.
    if (which == PageIntro) LockForCriticalUpdate(sheet);
    const PageCreatedActions actions = ActionsWhenCreated(which);
    if (actions.executePoint) {
        RunExecutePoint(plan_.execute.Entries(), actions.executePoint, run_.log);
    }
    if (actions.restoreSheet) ShowWindow(sheet, SW_RESTORE);
    if (actions.setInstallStarted) {
        installStarted_ = true;
        run_.status.SetInstallStarted();
    }
    if (actions.startInstaller && !installerThread_.joinable()) {
        try {
            installerThread_ = std::thread(&PageManager::InstallerThread, this, page);
        } catch (...) {
            run_.log.WriteEntry(L"Unable to start the installation");
            Close();
        }
    }
}

void PageManager::InstallerThread(HWND installingPage) {
    try {
        renewix::ScopedComInit com;
        const ULONGLONG start = GetTickCount64();
        if (!testRun_) completed_ = session_.InstallAndFinish();
        WaitUnlessStopped(RemainingMs(MinimumDisplayMs(PageInstalling, testRun_), GetTickCount64() - start));
    } catch (...) {
        run_.log.WriteEntry(L"Unexpected error during the installation");
    }
    PostMessageW(installingPage, WM_QUIT, 0, 0);
}

void PageManager::OnCloseRequest() {
    // The installation is never cut short; anything before it is.
    if (!installStarted_) run_.cancellation.Cancel();
    Close();
}

void PageManager::OnCancelled(HWND sheet) {
    const WizardPage page = PageOf(PropSheet_GetCurrentPageHwnd(sheet));
    if (page == PageTerms && !terms_.Accepted()) run_.log.WriteEntry(L"The user declined the terms");
    // A blocked check or download returns at once, so the threads joined next end promptly.
    run_.cancellation.Cancel();
}

bool PageManager::ConfirmCancel(HWND sheet) {
    // On the message page nothing is left to cancel: closing it is its Finish.
    if (PageOf(PropSheet_GetCurrentPageHwnd(sheet)) == PageMessage) return true;
    switch (DecideCancel(true, run_.config.ConfirmCancel() != 0)) {
        case CancelOutcome::Ask:
            return MessageBoxW(sheet, run_.variables.PrepareText(TextConfirmCancel).c_str(), run_.variables.PrepareText(TextApplicationName).c_str(),
                               MB_ICONWARNING | MB_YESNO) == IDYES;
        case CancelOutcome::Refuse: return false;
        case CancelOutcome::Proceed: break;
    }
    return true;
}

// ---- One-page wizards -------------------------------------------------------------------

PageMessageOnly::PageMessageOnly(const RunContext& run, const std::wstring& text)
    : PageManagerLayout(run), page_(run) {
    page_.AddFlags(PSP_HIDEHEADER);
    page_.SetText(text);
    AddPage(page_.Record());
}

PageSchedulerOnly::PageSchedulerOnly(const RunContext& run, std::function<void(HWND, int)> onFinish)
    : PageManagerLayout(run), page_(run, std::move(onFinish)) {
    page_.AddFlags(PSP_HIDEHEADER);
    AddPage(page_.Record());
}

void ShowMessageOnlyWizard(const RunContext& run, const std::wstring& text, HWND owner) {
    PageMessageOnly wizard(run, text);
    wizard.DoModal(owner);
}
