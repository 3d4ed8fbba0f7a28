#include "ui/wizard_flow.h"

#include <gtest/gtest.h>

#include <climits>

#include "test_support.h"
#include "foundation/localised_text.h"
#include "ui/wizard_messages.h"

namespace {

// What the wizard does once the check is over, from what the check found.
TEST(CheckDone, NextPageAndMessageFollowFromTheFacts) {
    constexpr auto None = CheckMessage::None, NoInternet = CheckMessage::NoInternet,
                   Unreachable = CheckMessage::ServerUnreachable, NotNeeded = CheckMessage::UpdateNotNeeded;
    const struct {
        RunMode mode;
        bool found, internet, server, checked, terms;
        WizardPage next;
        CheckMessage message;
        bool removeTerms;
    } rows[] = {
        // The program's own start without an update closes, even before its connection is looked at.
        {ModeDefault, false, false, false, true, true, PageNone, None, false},
        // Connection problems come before the update.
        {ModeDefault, true, false, false, true, true, PageMessage, NoInternet, false},
        {ModeCheckBackground, true, true, false, true, true, PageMessage, Unreachable, false},
        // An update leads to the intro; the terms page stays only when there are terms.
        {ModeCheckNow, true, true, true, true, true, PageIntro, None, false},
        {ModeCheckBackground, true, true, true, true, false, PageIntro, None, true},
        // No update says why; a document that could not be read is the server's fault.
        {ModeCheckNow, false, true, true, true, true, PageMessage, NotNeeded, false},
        {ModeCheckNow, false, true, true, false, true, PageMessage, Unreachable, false},
        // A test run shows the intro without any connection.
        {ModeTest, false, false, false, false, false, PageIntro, None, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "mode " << row.mode << " found " << row.found << " internet "
                                        << row.internet << " server " << row.server << " checked " << row.checked);
        CheckFacts facts;
        facts.mode = row.mode;
        facts.updateFound = row.found;
        facts.internetAvailable = row.internet;
        facts.serverReached = row.server;
        facts.documentChecked = row.checked;
        facts.hasTerms = row.terms;
        const CheckDecision decision = DecideAfterCheck(facts);
        EXPECT_EQ(decision.next, row.next);
        EXPECT_EQ(decision.message, row.message);
        EXPECT_EQ(decision.removeTerms, row.removeTerms);
    }
}

TEST(PageFlow, NextAndBackFollowTheTable) {
    const FlowFacts plain{}, removed{true, false, false}, accepted{false, true, false}, done{false, true, true};
    // The checking, message and installing pages move by themselves or only finish: one row stands for them.
    const struct { WizardPage from; FlowFacts facts; WizardPage next, back; } rows[] = {
        {PageMessage, done, PageStay, PageStay},
        {PageIntro, plain, PageTerms, PageStay},      {PageIntro, removed, PageDownload, PageStay},
        {PageTerms, plain, PageStay, PageIntro},      {PageTerms, accepted, PageDownload, PageIntro},
        {PageDownload, accepted, PageStay, PageStay}, {PageDownload, done, PageReady, PageStay},
        {PageReady, plain, PageInstalling, PageStay}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "page " << row.from << ", removed/accepted/downloaded "
                                        << row.facts.termsRemoved << row.facts.termsAccepted << row.facts.downloadDone);
        EXPECT_EQ(row.next, PageAfterNext(row.from, row.facts));
        EXPECT_EQ(row.back, PageAfterBack(row.from, row.facts));
    }
}

// The sheet holds the pages in their order, without the terms once they are removed.
TEST(PageFlow, SheetIndicesShiftOnceTheTermsAreRemoved) {
    for (const bool removed : {false, true}) {
        int index = 0;
        for (int page = PageChecking; page < kWizardPageCount; ++page) {
            SCOPED_TRACE(testing::Message() << "page " << page << " terms removed " << removed);
            if (removed && page == PageTerms) {
                EXPECT_EQ(-1, SheetIndex(PageTerms, removed));
                continue;
            }
            EXPECT_EQ(index, SheetIndex(static_cast<WizardPage>(page), removed));
            EXPECT_EQ(page, PageAtSheetIndex(index++, removed));
        }
        EXPECT_EQ(PageNone, PageAtSheetIndex(index, removed));
        EXPECT_EQ(PageNone, PageAtSheetIndex(-1, removed));
        EXPECT_EQ(-1, SheetIndex(PageNone, removed));
    }
}

TEST(PageFlow, CreatingAPageRunsItsPointAndStartsItsWork) {
    // installing: the page marks the install started and starts the installer
    const struct { WizardPage page; int executePoint; bool restoreSheet, installing; } rows[] = {
        {PageChecking, 0, false, false}, {PageMessage, 0, false, false}, {PageIntro, 1, false, false},
        {PageTerms, 0, false, false},    {PageDownload, 2, false, false}, {PageReady, 3, true, false},
        {PageInstalling, 0, true, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "page " << row.page);
        const PageCreatedActions actions = ActionsWhenCreated(row.page);
        EXPECT_EQ(row.executePoint, actions.executePoint);
        EXPECT_EQ(row.restoreSheet, actions.restoreSheet);
        EXPECT_EQ(row.installing, actions.setInstallStarted);
        EXPECT_EQ(row.installing, actions.startInstaller);
    }
}

TEST(PageFlow, TheRestOfAMinimumDisplayTime) {
    EXPECT_EQ(1800u, RemainingMs(3000, 1200));
    EXPECT_EQ(0u, RemainingMs(3000, 1ull << 40));
}

TEST(ReadyPage, RestartBoxOnlyWhenTheUserMayChoose) {
    const struct { int kind; bool installing; const wchar_t* application; bool offered; } rows[] = {
        {1, false, L"Viewer.exe", true}, {0, false, L"Viewer.exe", false}, {2, false, L"Viewer.exe", false},
        {1, true, L"Viewer.exe", false}, {1, false, L"", false}};
    for (const auto& row : rows) {
        EXPECT_EQ(row.offered, OfferRestartBox(row.kind, row.installing, row.application))
            << "restart " << row.kind << ", installing " << row.installing << ", " << WideToUtf8(row.application);
    }
}

TEST(DownloadPage, StatusLineAndFileFields) {
    // Several files and a name in a folder are read through StartFile below.
    EXPECT_WSTREQ8(L"Downloading file", DownloadStatusLine(L"Downloading file", 1, 1));
    EXPECT_WSTREQ8(L" plain.txt", DownloadFileName(L"plain.txt"));
    EXPECT_WSTREQ8(L" 1.2 of 3.4 MB", DownloadByteCount(1258291, 3565158, L"%1 of %2 MB"));
    EXPECT_WSTREQ8(L" 0.0 / 4096.0 MB", DownloadByteCount(0, 1ull << 32, L"%1 / %2 MB"));
    EXPECT_WSTREQ8(L" 3.4 MB \u4E2D 1.2", DownloadByteCount(1258291, 3565158, L"%2 MB \u4E2D %1"));
    // Under a megabyte in KB, where the language has the text for it.
    EXPECT_WSTREQ8(L" 0.0 of 1.9 KB", DownloadByteCount(0, 1900, L"%1 of %2 MB", L"%1 of %2 KB"));
    EXPECT_WSTREQ8(L" 0.5 of 1.0 MB", DownloadByteCount(524288, 1048576, L"%1 of %2 MB", L"%1 of %2 KB"));
    EXPECT_WSTREQ8(L" 0.0 of 0.0 MB", DownloadByteCount(0, 1900, L"%1 of %2 MB"));
}

TEST(DownloadPage, SingleFileHidesItsBarAndEmptyFilesChangeNothing) {
    DownloadProgress single;
    EXPECT_TRUE(single.Begin(1, 100));
    DownloadProgress several;
    EXPECT_FALSE(several.Begin(3, 300));
    EXPECT_FALSE(several.StartFile(L"C:\\x\\a", 0, L"Downloading file").shown);
    EXPECT_FALSE(several.StartFile(nullptr, 10, L"Downloading file").shown);
    EXPECT_EQ(0, several.FilesStarted());
    const DownloadProgress::FileStart start = several.StartFile(L"C:\\x\\a.txt", 4096, L"Downloading file");
    EXPECT_TRUE(start.shown);
    EXPECT_WSTREQ8(L"Downloading file 1 / 3", start.status);
    EXPECT_WSTREQ8(L" 0.0 of 4.0 KB", start.bars.byteCount);
    EXPECT_WSTREQ8(L" a.txt", start.name);
}

TEST(DownloadPage, TheFileBarRestartsForEachFileAndTheTotalCountsEachFileOnce) {
    DownloadProgress progress;
    progress.Begin(2, 200);
    DownloadProgress::BarUpdate bars = progress.StartFile(L"a", 100, L"").bars;
    EXPECT_TRUE(bars.setFileRange && bars.setTotalRange);
    EXPECT_EQ(50, progress.Progress(50, 100).totalPosition);
    // The end of a file may be reported more than once.
    EXPECT_EQ(100, progress.Progress(100, 100).totalPosition);
    EXPECT_EQ(100, progress.Progress(100, 100).totalPosition);
    // A file of the same size starts from 0 again.
    bars = progress.StartFile(L"b", 100, L"").bars;
    EXPECT_TRUE(bars.setFileRange && !bars.setTotalRange);
    EXPECT_EQ(0, bars.filePosition);
    EXPECT_EQ(100, bars.totalPosition);
    const DownloadProgress::BarUpdate update = progress.Progress(30, 100);
    EXPECT_EQ(30, update.filePosition);
    EXPECT_EQ(130, update.totalPosition);
}

TEST(DownloadPage, AFileAfterItsFailedPatchIsTheSameFileAndGrowsTheTotal) {
    DownloadProgress progress;
    progress.Begin(2, 110);
    EXPECT_FALSE(progress.StartWhole(100).setFileRange);  // no file yet
    progress.StartFile(L"a", 10, L"");
    const DownloadProgress::BarUpdate whole = progress.StartWhole(100);
    EXPECT_EQ(1, progress.FilesStarted());
    EXPECT_TRUE(whole.setFileRange && whole.setTotalRange);
    EXPECT_EQ(100, whole.fileRange);
    EXPECT_EQ(210, whole.totalRange);
    EXPECT_EQ(10, whole.totalPosition);
    EXPECT_EQ(60, progress.Progress(50, 100).totalPosition);
    EXPECT_EQ(110, progress.StartFile(L"b", 100, L"").bars.totalPosition);
}

TEST(DownloadPage, ProgressReachesThePageAtMostEveryFiftyMsAndThousandthOfTheFile) {
    const std::uint64_t size = 1ull << 30;  // a thousandth: about 1 MiB
    struct Report {
        std::uint64_t soFar, ms;
        bool sent;
    } const reports[] = {
        {0, 1000, true},                          // the first of a file
        {size / 500, 1020, false},                // enough, too soon
        {size / 500, 1060, true},                 // both
        {size / 500 + size / 2000, 1200, false},  // late enough, too little
        {size, 1201, true},                       // the end, always
    };
    ProgressThrottle throttle;
    throttle.StartFile();
    for (const Report& r : reports) EXPECT_EQ(r.sent, throttle.ShouldSend(r.soFar, size, r.ms)) << r.soFar << " " << r.ms;
    // The first report of the next file goes even when it adds nothing to the last one sent.
    throttle.StartFile();
    EXPECT_TRUE(throttle.ShouldSend(size, 2 * size, 1202));
}

TEST(DownloadPage, ByteCountsAboveTwoGibibytesStillMoveTheBars) {
    const std::uint64_t big = 6ull << 30;
    DownloadProgress progress;
    progress.Begin(1, big);
    const DownloadProgress::BarUpdate start = progress.StartFile(L"big", big, L"").bars;
    const DownloadProgress::BarUpdate update = progress.Progress(big / 2, big);
    EXPECT_GT(start.fileRange, 0);
    EXPECT_NEAR(start.fileRange / 2, update.filePosition, 1);
    EXPECT_NEAR(start.totalRange / 2, update.totalPosition, 1);
    EXPECT_EQ(INT_MAX, DownloadProgress::Scaled(INT_MAX, INT_MAX));
    EXPECT_EQ(10, DownloadProgress::Scaled(20, 10));
}

TEST(DownloadPage, OnlyATestRunWaitsForTheUserAfterTheDownload) {
    // Testing a critical document must not offer the Cancel its users will never have.
    const struct { bool testRun, critical, pressNext, cancelEnabled; } rows[] = {
        {false, false, true, false}, {true, false, false, true}, {true, true, false, false}};
    for (const auto& row : rows) {
        const DownloadDoneButtons buttons = AfterDownloadDone(row.testRun, row.critical);
        EXPECT_EQ(row.pressNext, buttons.pressNext) << row.testRun << row.critical;
        EXPECT_EQ(row.cancelEnabled, buttons.cancelEnabled) << row.testRun << row.critical;
    }
}

TEST(MessagePage, EmptyMessageShowsTheFallbackWithAnAddress) {
    EXPECT_WSTREQ8(L"Nothing to do.", MessageOrFallback(L"Nothing to do.", L"help@example.invalid"));
    EXPECT_TRUE(MessageOrFallback(L"", L"help@example.invalid").ends_with(L": help@example.invalid"));
    EXPECT_WSTREQ8(L"help@example.invalid", SupportAddress(L"help@example.invalid", L"http://example.invalid/"));
    EXPECT_WSTREQ8(L"http://example.invalid/", SupportAddress(L"", L"http://example.invalid/"));
    EXPECT_FALSE(SupportAddress(L"", L"").empty());
}

TEST(Cancel, DisabledCancelRefusesAndTheSwitchAsksFirst) {
    const struct { bool allowed, confirm; CancelOutcome outcome; } rows[] = {
        {false, true, CancelOutcome::Refuse}, {false, false, CancelOutcome::Refuse},
        {true, true, CancelOutcome::Ask}, {true, false, CancelOutcome::Proceed}};
    for (const auto& row : rows) EXPECT_EQ(row.outcome, DecideCancel(row.allowed, row.confirm)) << row.allowed << row.confirm;
}

TEST(CompanyLink, AnchorColoursFromTheBrowserSettings) {
    EXPECT_EQ(RGB(0, 0, 255), ParseAnchorColor(L"0,0,255", RGB(1, 2, 3)));
    EXPECT_EQ(RGB(128, 0, 128), ParseAnchorColor(L" 128 , 0 ,128 ", RGB(1, 2, 3)));
    for (const wchar_t* malformed : {L"", L"0,0", L"0,0,256", L"a,b,c", L"1,2,3,4", L"1;2;3", L"-1,0,0", L"99999,0,0"}) {
        EXPECT_EQ(RGB(1, 2, 3), ParseAnchorColor(malformed, RGB(1, 2, 3))) << WideToUtf8(malformed);
    }
}

TEST(CompanyLink, TheLinkIsTheTextBetweenTheTags) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"See <a>our site</a> today", L"See |our site| today"}, {L"no tags <A>unclosed", L"|no tags <A>unclosed|"}};
    for (const auto& [text, parts] : cases) {
        const LinkText split = SplitLinkText(text);
        EXPECT_WSTREQ8(parts, split.before + L"|" + split.link + L"|" + split.after);
    }
}

TEST(TestRun, DocumentPathFromTheCommandLine) {
    EXPECT_WSTREQ8(L"C:\\t\\u.xml", TestDocumentPath(L"testMode C:\\t\\u.xml"));
    EXPECT_WSTREQ8(L"C:\\My Files\\u.xml", TestDocumentPath(L"testMode   \"C:\\My Files\\u.xml\""));
    EXPECT_WSTREQ8(L"", TestDocumentPath(L"testMode"));
    EXPECT_WSTREQ8(L"", TestDocumentPath(L"testMode \"\""));
}

// Downloads above 2 GiB are reported in larger units, the same for every size, so that the
// bars' proportions survive 32-bit message parameters.
TEST(DownloadMessages, SizesFitTheirParametersAndKeepTheirProportions) {
    EXPECT_EQ(ProgressShift(0x7FFFFFFF), 0);
    EXPECT_EQ(ProgressShift(0x80000000ull), 1);
    const std::uint64_t total = 12'000'000'000ull, file = 5'000'000'000ull, done = 1'250'000'000ull;
    const int shift = ProgressShift(total);
    EXPECT_LE(ProgressUnits(total, shift), 0x7FFFFFFFull);
    EXPECT_NEAR(static_cast<double>(ProgressUnits(done, shift)) / static_cast<double>(ProgressUnits(file, shift)), 0.25,
                1e-6);
    // A small file in a large download is still a file, and reads back as about its size.
    EXPECT_EQ(ProgressUnits(3, shift), 1u);
    EXPECT_EQ(ProgressUnits(0, shift), 0u);
    EXPECT_EQ(ProgressBytes(static_cast<ULONG_PTR>(ProgressUnits(file, shift)), shift), file);
}

TEST(HeaderBand, TextsScaleWithTheScreenAndTheSubtitleStaysBelowTheTitle) {
    const struct {
        int dpi;
        int bandBottom, titleHeight;
        RECT title, subtitle;
    } cases[] = {
        {96, 57, 13, {20, 10, 431, 25}, {40, 25, 431, 57}},     // the Wizard 97 places
        {192, 114, 26, {40, 20, 362, 50}, {80, 50, 362, 114}},  // the same at 200%
        {144, 86, 20, {30, 15, 396, 38}, {60, 38, 396, 86}},
        {96, 57, 20, {20, 10, 431, 32}, {40, 32, 431, 57}},     // a large title pushes the subtitle down
    };
    for (const auto& c : cases) {
        const HeaderTextPlaces places = PlaceHeaderTexts(c.dpi, RECT{0, 0, 500, c.bandBottom}, c.titleHeight);
        const RECT* got[] = {&places.title, &places.subtitle};
        const RECT* want[] = {&c.title, &c.subtitle};
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(EqualRect(got[i], want[i])) << c.dpi << " dpi, text " << i << ": " << got[i]->left << ","
                                                    << got[i]->top << "," << got[i]->right << "," << got[i]->bottom;
        }
    }
}

}  // namespace
