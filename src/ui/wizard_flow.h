// The wizard's decisions, kept apart from the property sheet so that they can be driven and
// tested without a window: which page follows which, what happens when a page first appears,
// when the sheet may be cancelled, and what the pages show.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "foundation/run_state.h"

// The pages of the full wizard, by their index in the sheet before any page is removed.
enum WizardPage : int {
    PageNone = -1,  // the wizard closes (as a target), or no page of this wizard (as a source)
    PageChecking = 0,
    PageMessage = 1,
    PageIntro = 2,
    PageTerms = 3,
    PageDownload = 4,
    PageReady = 5,
    PageInstalling = 6,
};
inline constexpr int kWizardPageCount = 7;

// What the check found out.
struct CheckFacts {
    RunMode mode = ModeDefault;
    bool updateFound = false;
    bool internetAvailable = false;
    bool serverReached = false;
    bool documentChecked = false;  // a document was obtained and read
    bool hasTerms = false;         // the document's "License" text is not empty
};

// Which text the message page shows after the check.
enum class CheckMessage { None, NoInternet, ServerUnreachable, UpdateNotNeeded };

struct CheckDecision {
    WizardPage next = PageNone;  // PageNone: the wizard closes without showing anything more
    CheckMessage message = CheckMessage::None;
    bool removeTerms = false;
};

// The page that follows the checking page.
CheckDecision DecideAfterCheck(const CheckFacts& facts);

// The localised text id of a check message (0 for none).
unsigned MessageTextId(CheckMessage message);

// What the flow needs to know to choose the next page.
struct FlowFacts {
    bool termsRemoved = false;
    bool termsAccepted = false;
    bool downloadDone = false;
};

// Sentinel for "stay on this page": the move is not allowed now.
inline constexpr WizardPage PageStay = static_cast<WizardPage>(-2);

// The page Next leads to from `current`: a page, PageNone (the wizard ends) or PageStay.
WizardPage PageAfterNext(WizardPage current, const FlowFacts& facts);
// The page Back leads to from `current`, or PageStay.
WizardPage PageAfterBack(WizardPage current, const FlowFacts& facts);

// The sheet index of a page once the terms page may have been removed; -1 when it has none.
int SheetIndex(WizardPage page, bool termsRemoved);
// The page at a sheet index; PageNone when there is none.
WizardPage PageAtSheetIndex(int index, bool termsRemoved);

// What the frame does the first time a page is created.
struct PageCreatedActions {
    int executePoint = 0;  // 0: none
    bool restoreSheet = false;
    bool setInstallStarted = false;
    bool startInstaller = false;
};
PageCreatedActions ActionsWhenCreated(WizardPage page);

// How long a page stays at least, whatever the work takes.
DWORD MinimumDisplayMs(WizardPage page, bool testRun);
// What is left of a minimum after `elapsedMs`.
DWORD RemainingMs(DWORD minimumMs, std::uint64_t elapsedMs);

// The ready page offers the restart box only when the document lets the user choose, on the
// ready page itself, and when there is a program to restart.
bool OfferRestartBox(int restartKind, bool installing, const std::wstring& mainApplicationName);

// The download page's status line while a file starts: the text alone for a single file,
// else "text n / count".
std::wstring DownloadStatusLine(const std::wstring& text, int filesStarted, int fileCount);
// The file-name and size fields of the download page.
std::wstring DownloadFileName(const std::wstring& path);
// How much of a file has arrived, with one decimal: in MB in `megabytes` ("%1 of %2 MB"), or,
// for a file under a megabyte, in KB in `kilobytes` when there is one (else "0.0 of 0.0 MB").
std::wstring DownloadByteCount(std::uint64_t soFar, std::uint64_t size, const std::wstring& megabytes,
                               const std::wstring& kilobytes = {});

// The message page's text; the fallback when it is empty names where to get help.
std::wstring MessageOrFallback(const std::wstring& text, const std::wstring& supportAddress);
// The address that fallback names: the vendor's e-mail, else its web address.
std::wstring SupportAddress(const std::wstring& companyEmail, const std::wstring& companyWebAddress);

// What a request to cancel (the Cancel button, Escape, the close box) leads to.
enum class CancelOutcome { Refuse, Ask, Proceed };
CancelOutcome DecideCancel(bool allowedNow, bool confirmSwitch);

// The download page once every file has arrived.
struct DownloadDoneButtons {
    bool cancelEnabled = false;
    bool pressNext = false;
};
DownloadDoneButtons AfterDownloadDone(bool testRun, bool critical);

// The two bars of the download page. Positions are scaled so that byte counts above what a
// progress bar holds (2 GiB) still move the bars.
class DownloadProgress {
public:
    struct BarUpdate {
        bool setFileRange = false;
        int fileRange = 0;
        int filePosition = 0;
        bool setTotalRange = false;
        int totalRange = 0;
        int totalPosition = 0;
        std::wstring byteCount;  // empty: unchanged
    };
    struct FileStart {
        bool shown = false;  // false: the page changes nothing for this file
        std::wstring status;
        std::wstring name;
        BarUpdate bars;  // the file bar and the byte count back at 0 over the new file's size
    };

    // `fileCount` and `totalBytes` are those of the files to fetch. True when the current-file
    // bar is hidden (a single file: the total bar says it all).
    bool Begin(int fileCount, std::uint64_t totalBytes);
    void SetByteCountPatterns(std::wstring megabytes, std::wstring kilobytes) {
        byteCountPattern_ = std::move(megabytes);
        smallByteCountPattern_ = std::move(kilobytes);
    }
    // A file starts: the one before it is complete, however far its reports got.
    FileStart StartFile(const wchar_t* path, std::uint64_t size, const std::wstring& downloadingText);
    // The current file's patch failed and the file comes whole: the same file again, and the
    // total grows by it (the patch's bytes were fetched too).
    BarUpdate StartWhole(std::uint64_t size);
    BarUpdate Progress(std::uint64_t soFar, std::uint64_t size);

    int FilesStarted() const { return filesStarted_; }
    static int Scaled(std::uint64_t value, std::uint64_t range);

private:
    // The transfer before is complete: the bars start over for `size` bytes.
    BarUpdate NextTransfer(std::uint64_t size);
    void SetTotalRangeOnce(BarUpdate& update);

    int fileCount_ = 0;
    std::uint64_t totalBytes_ = 0;
    int filesStarted_ = 0;
    std::uint64_t completedBytes_ = 0;  // of the files before the current one
    std::uint64_t currentSize_ = 0;
    bool totalRangeSet_ = false;
    std::wstring byteCountPattern_ = L"%1 of %2 MB";
    std::wstring smallByteCountPattern_ = L"%1 of %2 KB";
};

// Which transfer reports the worker passes on to the download page: the first and last of
// each file, and between them one once 50 ms and a thousandth of the file have gone by, so
// that a large fast file does not flood the page's queue.
class ProgressThrottle {
public:
    static constexpr std::uint64_t kIntervalMs = 50;

    void StartFile() { sentAny_ = false; }
    bool ShouldSend(std::uint64_t soFar, std::uint64_t size, std::uint64_t nowMs);

private:
    bool sentAny_ = false;
    std::uint64_t lastBytes_ = 0;
    std::uint64_t lastMs_ = 0;
};

// "Anchor Color" and "Anchor Color Visited" are "red,green,blue"; anything else keeps the
// fallback colour.
COLORREF ParseAnchorColor(const std::wstring& text, COLORREF fallback);

// The part of a link text between "<A>" and "</A>" (the whole text without the tags when
// there are none), and the parts before and after it.
struct LinkText {
    std::wstring before;
    std::wstring link;
    std::wstring after;
};
LinkText SplitLinkText(const std::wstring& text);

// The local document of a test run: the command line from character 9 on, without leading
// blanks and double quotes and without trailing double quotes.
std::wstring TestDocumentPath(const std::wstring& commandLine);

// Where the header band's title and subtitle go at `dpi`: the Wizard 97 places of 100% (title
// at 20, 10, subtitle at 40, 25, both ending 69 short of the band's right end) scaled, and the
// subtitle never above the title's last line, whatever the font.
struct HeaderTextPlaces {
    RECT title;
    RECT subtitle;
};
HeaderTextPlaces PlaceHeaderTexts(int dpi, const RECT& band, int titleHeight);
