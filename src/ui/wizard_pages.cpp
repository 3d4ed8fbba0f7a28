#include "ui/wizard_pages.h"

#include "description/variables.h"
#include "foundation/client_config.h"
#include "foundation/run_state.h"
#include "description/update_plan.h"
#include "session/session.h"
#include "foundation/localised_text.h"
#include "ui/picture_scale.h"
#include "ui/wizard_base.h"

namespace {

// Controls of the pages.
constexpr int kTitle = 1036, kText = 1037, kSecondText = 1038;
constexpr int kTermsInstruction = 1049, kTerms = 1016, kAccept = 1030, kDecline = 1031;
constexpr int kInstruction = 1048, kStatusLabel = 1047, kStatus = 1002, kTotalBar = 1024, kFileBar = 1023,
              kFileLabel = 1046, kFileName = 1006, kFileSize = 1005, kAllFilesLabel = 1053, kThisFileLabel = 1054;
constexpr int kFinalText = 1045, kRestart = 1012, kInstallingBar = 1052;
constexpr int kMessageText = 1044;
constexpr int kScheduleNote = 1051;

void SetTitleFont(HWND page, HFONT font) {
    SendDlgItemMessageW(page, kTitle, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void ShowButton(HWND button, bool visible) {
    if (button) ShowWindow(button, visible ? SW_SHOW : SW_HIDE);
}

}  // namespace

renewix::UniqueFont CreateTitleFont(int dpi) {
    return renewix::UniqueFont(CreateFontW(ScaleForDpi(20, dpi), 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                           DEFAULT_PITCH | FF_SWISS, L"Tahoma"));
}

const std::wstring& ApplicationTitle(const TextVariables& variables) {
    static const std::wstring title = variables.PrepareText(TextApplicationName);
    return title;
}

void MoveButtonTo(HWND button, HWND target) {
    if (!button || !target) return;
    RECT place;
    GetWindowRect(target, &place);
    MapWindowPoints(nullptr, GetParent(target), reinterpret_cast<POINT*>(&place), 2);
    SetWindowPos(button, nullptr, place.left, place.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// ---- IntroPage --------------------------------------------------------------------------

IntroPage::IntroPage(const RunContext& run) : GeneralPages(206, run) {}

BOOL IntroPage::OnInit() {
    titleFont_ = CreateTitleFont(DpiOf(window_));
    SetTitleFont(window_, titleFont_.get());
    SetItemText(kTitle, run_.variables.PrepareText(TextApplicationName));
    SetItemText(kText, text_.Get());
    const std::wstring second = secondText_.Get();
    HWND secondControl = GetDlgItem(window_, kSecondText);
    if (!second.empty()) {
        SetWindowTextW(secondControl, second.c_str());
        ShowWindow(secondControl, SW_SHOW);
    } else {
        ShowWindow(secondControl, SW_HIDE);
        // The text takes the room the second text would have had.
        HWND text = GetDlgItem(window_, kText);
        RECT textRect, page;
        GetWindowRect(text, &textRect);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&textRect), 2);
        GetClientRect(window_, &page);
        SetWindowPos(text, nullptr, 0, 0, textRect.right - textRect.left, page.bottom - textRect.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SendPageCreated();
    return TRUE;
}

LRESULT IntroPage::OnActivate() {
    // Nothing but the check leaves the checking page: no button may move on.
    SetButtons(checking_ ? 0 : PSWIZB_NEXT);
    return 0;
}

void IntroPage::OnPlaceButtons() {
    ShowButton(SheetButton(kBackButton), !checking_);
    ShowButton(SheetButton(kNextButton), !checking_);
}

// ---- License ----------------------------------------------------------------------------

License::License(const RunContext& run, const UpdatePlan& plan) : GeneralPages(202, run), plan_(plan) {
    UseHeader(run.variables.PrepareText(TextLicenseTitle), run.variables.PrepareText(TextLicenseSubtitle));
}

BOOL License::OnInit() {
    SendPageCreated();
    SetItemText(kTerms, run_.variables.PrepareText(plan_.texts[TextSlotLicense], 0));
    SetItemText(kAccept, run_.variables.PrepareText(TextLicenseAccept));
    SetItemText(kDecline, run_.variables.PrepareText(TextLicenseDecline));
    SetItemText(kTermsInstruction, run_.variables.PrepareText(TextLicenseInstruction));
    CheckRadioButton(window_, kAccept, kDecline, kAccept + choice_);
    return TRUE;
}

LRESULT License::OnActivate() {
    choice_ = IsDlgButtonChecked(window_, kAccept) == BST_CHECKED ? 0 : 1;
    SetButtons(choice_ == 0 ? PSWIZB_BACK | PSWIZB_NEXT : PSWIZB_BACK);
    return 0;
}

void License::OnPlaceButtons() {
    ShowButton(SheetButton(kBackButton), true);
    EnableCancelForDecline(true);
}

void License::EnableCancelForDecline(bool onThisPage) {
    if (plan_.options.uiKind != 2) return;
    EnableWindow(SheetButton(IDCANCEL), onThisPage && choice_ != 0);
}

INT_PTR License::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED &&
        (LOWORD(wParam) == kAccept || LOWORD(wParam) == kDecline)) {
        choice_ = LOWORD(wParam) == kAccept ? 0 : 1;
        SetButtons(choice_ == 0 ? PSWIZB_BACK | PSWIZB_NEXT : PSWIZB_BACK);
        return TRUE;
    }
    const INT_PTR handled = GeneralPages::HandleMessage(message, wParam, lParam);
    // Leaving the page locks a critical update again; a refused leave changes nothing.
    if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == PSN_KILLACTIVE &&
        GetWindowLongPtrW(window_, DWLP_MSGRESULT) == FALSE) {
        EnableCancelForDecline(false);
    }
    return handled;
}

// ---- DownloadPage -----------------------------------------------------------------------

DownloadPage::DownloadPage(const RunContext& run, Renewix& session, const UpdatePlan& plan)
    : GeneralPages(129, run), session_(session), plan_(plan) {
    UseHeader(run.variables.PrepareText(TextDownloadTitle), run.variables.PrepareText(TextDownloadSubtitle));
}

BOOL DownloadPage::OnInit() {
    SetItemText(kStatus, run_.variables.PrepareText(TextDownloadingFile));
    SetItemText(kFileLabel, run_.variables.PrepareText(TextCurrentFileLabel));
    SetItemText(kStatusLabel, run_.variables.PrepareText(TextStatusLabel));
    SetItemText(kAllFilesLabel, run_.variables.PrepareText(TextAllFiles));
    SetItemText(kThisFileLabel, run_.variables.PrepareText(TextThisFile));
    progress_.SetByteCountPatterns(LoadLocalisedText(TextByteCount), LoadLocalisedText(TextByteCountKb));
    SetItemText(kInstruction, run_.variables.PrepareText(TextTransferInstruction));
    SendPageCreated();
    PostMessageW(window_, WM_START_DOWNLOAD, 0, 0);
    return TRUE;
}

LRESULT DownloadPage::OnActivate() {
    SetButtons(0);
    return 0;
}

void DownloadPage::OnPlaceButtons() { ShowButton(SheetButton(kBackButton), true); }

INT_PTR DownloadPage::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_START_DOWNLOAD:
            target_ = window_;
            session_.StartDownload(this);
            return TRUE;
        case WM_DOWNLOAD_BEGIN:
            OnDownloadBegin(static_cast<int>(wParam), FromUnits(static_cast<WPARAM>(lParam)));
            return TRUE;
        case WM_DOWNLOAD_FILE:
            OnDownloadFile(reinterpret_cast<const wchar_t*>(wParam), FromUnits(static_cast<WPARAM>(lParam)));
            return TRUE;
        case WM_DOWNLOAD_FILE_WHOLE:
            OnDownloadFileWhole(FromUnits(static_cast<WPARAM>(lParam)));
            return TRUE;
        case WM_TRANSFER_PROGRESS:
            OnTransferProgress(FromUnits(wParam), FromUnits(static_cast<WPARAM>(lParam)));
            return TRUE;
        case WM_DOWNLOAD_DONE:
            OnDownloadDone();
            return TRUE;
        default:
            return GeneralPages::HandleMessage(message, wParam, lParam);
    }
}

void DownloadPage::Begin(int files, std::uint64_t totalBytes) {
    // Every file and every count is at most the total, so its shift fits them all.
    shift_ = ProgressShift(totalBytes);
    if (HWND target = target_.load()) SendMessageW(target, WM_DOWNLOAD_BEGIN, static_cast<WPARAM>(files), ToUnits(totalBytes));
}

void DownloadPage::File(const std::wstring& destination, std::uint64_t size) {
    throttle_.StartFile();
    // Sent: the page reads the name before the worker moves on.
    if (HWND target = target_.load()) SendMessageW(target, WM_DOWNLOAD_FILE, reinterpret_cast<WPARAM>(destination.c_str()), ToUnits(size));
}

void DownloadPage::FileWhole(std::uint64_t size) {
    throttle_.StartFile();
    if (HWND target = target_.load()) SendMessageW(target, WM_DOWNLOAD_FILE_WHOLE, 0, ToUnits(size));
}

void DownloadPage::Progress(std::uint64_t done, std::uint64_t size) {
    if (!throttle_.ShouldSend(done, size, GetTickCount64())) return;
    // Sent like the file's start, so that a report never reaches the page after the next file
    // has started; the throttle keeps the waits few.
    if (HWND target = target_.load()) SendMessageW(target, WM_TRANSFER_PROGRESS, static_cast<WPARAM>(ToUnits(done)), ToUnits(size));
}

void DownloadPage::Done(int files) {
    if (HWND target = target_.load()) PostMessageW(target, WM_DOWNLOAD_DONE, 1, files);
}

void DownloadPage::Failed() {
    if (HWND target = target_.load()) PostMessageW(target, WM_QUIT, 0, 0);
}

void DownloadPage::OnDownloadBegin(int fileCount, std::uint64_t totalBytes) {
    if (progress_.Begin(fileCount, totalBytes)) {
        ShowWindow(GetDlgItem(window_, kFileBar), SW_HIDE);
        ShowWindow(GetDlgItem(window_, kThisFileLabel), SW_HIDE);
    }
}

void DownloadPage::OnDownloadFile(const wchar_t* path, std::uint64_t size) {
    const DownloadProgress::FileStart start = progress_.StartFile(path, size, run_.variables.PrepareText(TextDownloadingFile));
    if (!start.shown) return;
    SetItemText(kStatus, start.status);
    SetItemText(kFileName, start.name);
    ShowBars(start.bars);
    // No pause for the name to be read: it held the window and the download half a second a file.
    RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void DownloadPage::OnDownloadFileWhole(std::uint64_t size) {
    ShowBars(progress_.StartWhole(size));
}

void DownloadPage::OnTransferProgress(std::uint64_t soFar, std::uint64_t size) {
    ShowBars(progress_.Progress(soFar, size));
}

void DownloadPage::ShowBars(const DownloadProgress::BarUpdate& update) {
    HWND fileBar = GetDlgItem(window_, kFileBar), totalBar = GetDlgItem(window_, kTotalBar);
    if (update.setFileRange) {
        SendMessageW(fileBar, PBM_SETPOS, 0, 0);
        SendMessageW(fileBar, PBM_SETRANGE32, 0, update.fileRange);
    }
    SendMessageW(fileBar, PBM_SETPOS, static_cast<WPARAM>(update.filePosition), 0);
    if (update.setTotalRange) SendMessageW(totalBar, PBM_SETRANGE32, 0, update.totalRange);
    SendMessageW(totalBar, PBM_SETPOS, static_cast<WPARAM>(update.totalPosition), 0);
    if (!update.byteCount.empty()) SetItemText(kFileSize, update.byteCount);
}

void DownloadPage::OnDownloadDone() {
    done_ = true;
    const DownloadDoneButtons buttons = AfterDownloadDone(session_.IsTest(), plan_.options.uiKind == 2);
    EnableWindow(SheetButton(IDCANCEL), buttons.cancelEnabled);
    SetButtons(PSWIZB_NEXT);
    if (buttons.pressNext) PostMessageW(Sheet(), PSM_PRESSBUTTON, PSBTN_NEXT, 0);
}

// ---- FinalPage --------------------------------------------------------------------------

FinalPage::FinalPage(const RunContext& run, UpdatePlan& plan) : GeneralPages(207, run), plan_(plan) {}

LRESULT FinalPage::OnActivate() {
    SetItemText(kRestart, run_.variables.PrepareText(TextRestartAutomatically));
    HWND restart = GetDlgItem(window_, kRestart);
    if (OfferRestartBox(plan_.options.restartKind, installing_, run_.config.MainApplicationName())) {
        CheckDlgButton(window_, kRestart, BST_CHECKED);
        plan_.options.restartKind = 0;
        ShowWindow(restart, SW_SHOW);
    } else {
        ShowWindow(restart, SW_HIDE);
    }
    SetButtons(PSWIZB_NEXT);
    // The installing page only says what happens, with a bar that moves while it does.
    text_ = installing_ ? run_.variables.PrepareText(TextInstalling)
                        : run_.variables.PrepareText(plan_.texts[TextSlotInstallComplete], TextInstallComplete);
    HWND bar = GetDlgItem(window_, kInstallingBar);
    ShowWindow(bar, installing_ ? SW_SHOW : SW_HIDE);
    SendMessageW(bar, PBM_SETMARQUEE, installing_ ? TRUE : FALSE, 30);
    // Nothing may end the wizard from here on but the installation.
    HWND sheet = Sheet();
    GetSystemMenu(sheet, TRUE);
    EnableMenuItem(GetSystemMenu(sheet, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    SetItemText(kFinalText, text_);
    return 0;
}

void FinalPage::OnPlaceButtons() {
    HWND next = SheetButton(kNextButton), cancel = SheetButton(IDCANCEL);
    // The one button says what it does.
    if (next) SetWindowTextW(next, run_.variables.PrepareText(TextInstall).c_str());
    ShowButton(SheetButton(kBackButton), false);
    if (cancel) {
        EnableWindow(cancel, FALSE);
        ShowWindow(cancel, SW_HIDE);
        MoveButtonTo(next, cancel);
    }
    if (installing_ && next) SetWindowPos(next, nullptr, -100, -100, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR FinalPage::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == kRestart && HIWORD(wParam) == BN_CLICKED) {
        plan_.options.restartKind = IsDlgButtonChecked(window_, kRestart) == BST_CHECKED ? 0 : 2;
        return TRUE;
    }
    return GeneralPages::HandleMessage(message, wParam, lParam);
}

// ---- MessagePage ------------------------------------------------------------------------

MessagePage::MessagePage(const RunContext& run) : GeneralPages(208, run) {}

LRESULT MessagePage::OnActivate() {
    const ClientConfig& config = run_.config;
    SetItemText(kMessageText,
                MessageOrFallback(text_.Get(), SupportAddress(config.CompanyEmail(), config.CompanyWebAddress())));
    SetButtons(PSWIZB_FINISH);
    return 0;
}

void MessagePage::OnPlaceButtons() {
    HWND cancel = SheetButton(IDCANCEL);
    ShowButton(SheetButton(kBackButton), false);
    if (cancel) {
        EnableWindow(cancel, FALSE);
        ShowWindow(cancel, SW_HIDE);
        MoveButtonTo(SheetButton(kFinishButton), cancel);
    }
}

// ---- SchedulerPage ----------------------------------------------------------------------

SchedulerPage::SchedulerPage(const RunContext& run, std::function<void(HWND, int)> onFinish)
    : GeneralPages(230, run), onFinish_(std::move(onFinish)) {}

BOOL SchedulerPage::OnInit() {
    titleFont_ = CreateTitleFont(DpiOf(window_));
    SetTitleFont(window_, titleFont_.get());
    SetItemText(kTitle, run_.variables.PrepareText(TextApplicationName));
    SetItemText(kText, run_.variables.PrepareText(TextScheduleInstruction));
    for (int choice = 0; choice < 4; ++choice) {
        SetItemText(kChoiceIds[choice], run_.variables.PrepareText(TextScheduleDaily + choice));
    }
    SendPageCreated();
    SetButtons(PSWIZB_FINISH);
    CheckRadioButton(window_, kChoiceIds[0], kChoiceIds[3], kChoiceIds[choice_]);
    SetItemText(kScheduleNote, note_);
    return TRUE;
}

// A page of its own: there is nothing to go back to.
void SchedulerPage::OnPlaceButtons() { ShowButton(SheetButton(kBackButton), false); }

INT_PTR SchedulerPage::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == PSN_WIZFINISH) {
        for (int choice = 0; choice < 4; ++choice) {
            if (IsDlgButtonChecked(window_, kChoiceIds[choice]) == BST_CHECKED) choice_ = choice;
        }
        if (onFinish_) onFinish_(window_, choice_);
        // The wizard closes whether the schedule could be saved or not.
        return Answer(0);
    }
    return GeneralPages::HandleMessage(message, wParam, lParam);
}
