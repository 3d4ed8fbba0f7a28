#include "ui/wizard_flow.h"

#include <algorithm>
#include <climits>
#include <cwctype>
#include <utility>

#include "foundation/text.h"
#include "foundation/localised_text.h"
#include "ui/picture_scale.h"

CheckDecision DecideAfterCheck(const CheckFacts& facts) {
    CheckDecision decision;
    if (facts.mode == ModeDefault && !facts.updateFound) return decision;  // closes by itself
    if (facts.mode != ModeTest) {
        if (!facts.internetAvailable || !facts.serverReached) {
            decision.next = PageMessage;
            decision.message = facts.internetAvailable ? CheckMessage::ServerUnreachable : CheckMessage::NoInternet;
            return decision;
        }
    }
    if (facts.mode == ModeTest || facts.updateFound) {
        decision.next = PageIntro;
        decision.removeTerms = !facts.hasTerms;
        return decision;
    }
    decision.next = PageMessage;
    decision.message = facts.documentChecked ? CheckMessage::UpdateNotNeeded : CheckMessage::ServerUnreachable;
    return decision;
}

unsigned MessageTextId(CheckMessage message) {
    switch (message) {
        case CheckMessage::NoInternet: return TextNoInternet;
        case CheckMessage::ServerUnreachable: return TextServerUnreachable;
        case CheckMessage::UpdateNotNeeded: return TextUpdateNotNeeded;
        case CheckMessage::None: break;
    }
    return 0;
}

WizardPage PageAfterNext(WizardPage current, const FlowFacts& facts) {
    switch (current) {
        case PageIntro: return facts.termsRemoved ? PageDownload : PageTerms;
        case PageTerms: return facts.termsAccepted ? PageDownload : PageStay;
        // Pressing Next before every file has arrived would install a partial download.
        case PageDownload: return facts.downloadDone ? PageReady : PageStay;
        case PageReady: return PageInstalling;
        // The check leaves the checking page, the installer the installing page, and the
        // message page has only Finish.
        default: return PageStay;
    }
}

WizardPage PageAfterBack(WizardPage current, const FlowFacts&) {
    return current == PageTerms ? PageIntro : PageStay;
}

int SheetIndex(WizardPage page, bool termsRemoved) {
    if (page < 0 || page >= kWizardPageCount) return -1;
    if (!termsRemoved || page < PageTerms) return page;
    return page == PageTerms ? -1 : page - 1;
}

WizardPage PageAtSheetIndex(int index, bool termsRemoved) {
    const int count = termsRemoved ? kWizardPageCount - 1 : kWizardPageCount;
    if (index < 0 || index >= count) return PageNone;
    if (termsRemoved && index >= PageTerms) ++index;
    return static_cast<WizardPage>(index);
}

PageCreatedActions ActionsWhenCreated(WizardPage page) {
    PageCreatedActions actions;
    switch (page) {
        case PageIntro: actions.executePoint = 1; break;
        case PageDownload: actions.executePoint = 2; break;
        case PageReady:
            actions.executePoint = 3;
            actions.restoreSheet = true;
            break;
        case PageInstalling:
            actions.setInstallStarted = true;
            actions.restoreSheet = true;
            actions.startInstaller = true;
            break;
        default: break;
    }
    return actions;
}

DWORD MinimumDisplayMs(WizardPage page, bool testRun) {
    if (page == PageChecking) return 3000;
    if (page == PageInstalling) return testRun ? 2000 : 3000;
    return 0;
}

DWORD RemainingMs(DWORD minimumMs, std::uint64_t elapsedMs) {
    return elapsedMs >= minimumMs ? 0 : static_cast<DWORD>(minimumMs - elapsedMs);
}

bool OfferRestartBox(int restartKind, bool installing, const std::wstring& mainApplicationName) {
    return restartKind == 1 && !installing && !mainApplicationName.empty();
}

std::wstring DownloadStatusLine(const std::wstring& text, int filesStarted, int fileCount) {
    if (fileCount == 1) return text;
    return FormatText(L"%ls %d / %d", text.c_str(), filesStarted, fileCount);
}

std::wstring DownloadFileName(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return L" " + (slash == std::wstring::npos ? path : path.substr(slash + 1));
}

std::wstring DownloadByteCount(std::uint64_t soFar, std::uint64_t size, const std::wstring& megabytes,
                               const std::wstring& kilobytes) {
    const bool small = size < 1024 * 1024 && !kilobytes.empty();
    const double unit = small ? 1024.0 : 1024.0 * 1024.0;
    const auto amount = [unit](std::uint64_t bytes) { return FormatText(L"%.1f", static_cast<double>(bytes) / unit); };
    std::wstring text = L" " + (small ? kilobytes : megabytes);
    ReplaceAll(text, L"%1", amount(soFar));
    ReplaceAll(text, L"%2", amount(size));
    return text;
}

std::wstring MessageOrFallback(const std::wstring& text, const std::wstring& supportAddress) {
    if (!text.empty()) return text;
    return L"Error occured.\r\nMessage is missing.\r\nPlease contact developer for immediate response: " +
           supportAddress;
}

std::wstring SupportAddress(const std::wstring& companyEmail, const std::wstring& companyWebAddress) {
    if (!companyEmail.empty()) return companyEmail;
    if (!companyWebAddress.empty()) return companyWebAddress;
    return L"the vendor of this program";
}

CancelOutcome DecideCancel(bool allowedNow, bool confirmSwitch) {
    if (!allowedNow) return CancelOutcome::Refuse;
    return confirmSwitch ? CancelOutcome::Ask : CancelOutcome::Proceed;
}

DownloadDoneButtons AfterDownloadDone(bool testRun, bool critical) {
    DownloadDoneButtons buttons;
    // A test run downloads nothing, so its user decides; a real download goes on by itself
    // and can no longer be cancelled. A critical update is never cancellable, tested or not.
    buttons.cancelEnabled = testRun && !critical;
    buttons.pressNext = !testRun;
    return buttons;
}

bool DownloadProgress::Begin(int fileCount, std::uint64_t totalBytes) {
    fileCount_ = fileCount;
    totalBytes_ = totalBytes;
    return fileCount == 1;
}

DownloadProgress::FileStart DownloadProgress::StartFile(const wchar_t* path, std::uint64_t size,
                                                        const std::wstring& downloadingText) {
    FileStart start;
    if (!path || size == 0) return start;
    ++filesStarted_;
    start.shown = true;
    start.status = DownloadStatusLine(downloadingText, filesStarted_, fileCount_);
    start.name = DownloadFileName(path);
    start.bars = NextTransfer(size);
    return start;
}

DownloadProgress::BarUpdate DownloadProgress::StartWhole(std::uint64_t size) {
    if (filesStarted_ == 0 || size == 0) return {};
    totalBytes_ += size;
    totalRangeSet_ = false;
    return NextTransfer(size);
}

DownloadProgress::BarUpdate DownloadProgress::NextTransfer(std::uint64_t size) {
    completedBytes_ += currentSize_;
    currentSize_ = size;
    BarUpdate bars;
    bars.setFileRange = true;
    bars.fileRange = Scaled(size, size);
    bars.filePosition = 0;
    bars.byteCount = DownloadByteCount(0, size, byteCountPattern_, smallByteCountPattern_);
    SetTotalRangeOnce(bars);
    bars.totalPosition = Scaled(completedBytes_, totalBytes_);
    return bars;
}

DownloadProgress::BarUpdate DownloadProgress::Progress(std::uint64_t soFar, std::uint64_t size) {
    BarUpdate update;
    if (soFar > size) soFar = size;
    update.filePosition = Scaled(soFar, size);
    update.byteCount = DownloadByteCount(soFar, size, byteCountPattern_, smallByteCountPattern_);
    SetTotalRangeOnce(update);
    update.totalPosition = Scaled(completedBytes_ + soFar, totalBytes_);
    return update;
}

void DownloadProgress::SetTotalRangeOnce(BarUpdate& update) {
    if (totalRangeSet_) return;
    totalRangeSet_ = true;
    update.setTotalRange = true;
    update.totalRange = Scaled(totalBytes_, totalBytes_);
}

bool ProgressThrottle::ShouldSend(std::uint64_t soFar, std::uint64_t size, std::uint64_t nowMs) {
    const bool send = !sentAny_ || soFar >= size || soFar < lastBytes_ ||
                      (nowMs - lastMs_ >= kIntervalMs && soFar - lastBytes_ >= size / 1000);
    if (send) {
        sentAny_ = true;
        lastBytes_ = soFar;
        lastMs_ = nowMs;
    }
    return send;
}

int DownloadProgress::Scaled(std::uint64_t value, std::uint64_t range) {
    unsigned shift = 0;
    while ((range >> shift) > static_cast<std::uint64_t>(INT_MAX)) ++shift;
    if (value > range) value = range;
    return static_cast<int>(value >> shift);
}

COLORREF ParseAnchorColor(const std::wstring& text, COLORREF fallback) {
    int parts[3] = {};
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        while (at < text.size() && text[at] == L' ') ++at;
        std::size_t digits = 0;
        int value = 0;
        while (at < text.size() && std::iswdigit(text[at]) && digits < 4) {
            value = value * 10 + (text[at] - L'0');
            ++at;
            ++digits;
        }
        if (digits == 0 || value > 255) return fallback;
        parts[i] = value;
        while (at < text.size() && text[at] == L' ') ++at;
        if (i < 2) {
            if (at >= text.size() || text[at] != L',') return fallback;
            ++at;
        }
    }
    if (at != text.size()) return fallback;
    return RGB(parts[0], parts[1], parts[2]);
}

namespace {

std::size_t FindNoCase(const std::wstring& text, const std::wstring& what, std::size_t from) {
    for (std::size_t at = from; at + what.size() <= text.size(); ++at) {
        if (EqualsNoCase(std::wstring_view(text).substr(at, what.size()), what)) return at;
    }
    return std::wstring::npos;
}

}  // namespace

LinkText SplitLinkText(const std::wstring& text) {
    const std::size_t open = FindNoCase(text, L"<A>", 0);
    const std::size_t close = open == std::wstring::npos ? std::wstring::npos : FindNoCase(text, L"</A>", open + 3);
    if (close == std::wstring::npos) return {L"", text, L""};
    return {text.substr(0, open), text.substr(open + 3, close - open - 3), text.substr(close + 4)};
}

std::wstring TestDocumentPath(const std::wstring& commandLine) {
    std::wstring path = commandLine.size() > 9 ? commandLine.substr(9) : std::wstring();
    const std::size_t start = path.find_first_not_of(L" \"");
    path = start == std::wstring::npos ? std::wstring() : path.substr(start);
    while (!path.empty() && path.back() == L'"') path.pop_back();
    return path;
}

HeaderTextPlaces PlaceHeaderTexts(int dpi, const RECT& band, int titleHeight) {
    const LONG right = band.right - ScaleForDpi(69, dpi);
    const LONG titleTop = ScaleForDpi(10, dpi);
    const LONG subtitleTop = std::max<LONG>(ScaleForDpi(25, dpi), titleTop + titleHeight + ScaleForDpi(2, dpi));
    return {RECT{ScaleForDpi(20, dpi), titleTop, right, subtitleTop},
            RECT{ScaleForDpi(40, dpi), subtitleTop, right, band.bottom}};
}
