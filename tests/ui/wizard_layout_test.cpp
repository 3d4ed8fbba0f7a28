// Every text the pages put into a control fits it, in every language the string tables hold:
// measured with the font the dialog manager gives the page, in the rectangle the template
// gives the control.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/localised_text.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "test_support.h"
#include "ui/page_support.h"
#include "ui/wizard_flow.h"

namespace {

// The longest status line and byte count the download page shows.
std::wstring AsStatus(const std::wstring& text) { return DownloadStatusLine(text, 88, 88); }
std::wstring AsByteCount(const std::wstring& text) {
    const std::uint64_t size = 999ull * 1024 * 1024;
    return DownloadByteCount(size, size, text);
}

std::wstring AsSmallByteCount(const std::wstring& text) {
    const std::uint64_t size = 1023ull * 1024;
    return DownloadByteCount(size, size, L"", text);
}

// The longest date and time the schedule note shows.
std::wstring AsNextCheck(const std::wstring& text) {
    std::wstring note = text;
    ReplaceAll(note, L"%1", L"2026-12-31 23:59");
    return note;
}

struct Placement {
    int dialog;
    int control;
    unsigned text;
    std::wstring (*shown)(const std::wstring&) = nullptr;  // what the page makes of the text
};

const Placement kPlacements[] = {
    {129, 1048, TextTransferInstruction},
    {129, 1047, TextStatusLabel},
    {129, 1002, TextDownloadingFile, AsStatus},
    {129, 1053, TextAllFiles},
    {129, 1054, TextThisFile},
    {129, 1046, TextCurrentFileLabel},
    {129, 1005, TextByteCount, AsByteCount},
    {129, 1005, TextByteCountKb, AsSmallByteCount},
    {202, 1049, TextLicenseInstruction},
    {202, 1030, TextLicenseAccept},
    {202, 1031, TextLicenseDecline},
    {206, 1037, TextChecking},
    {206, 1037, TextWelcome},
    {207, 1045, TextInstalling},
    {207, 1045, TextInstallComplete},
    {207, 1012, TextRestartAutomatically},
    {208, 1044, TextNoInternet},
    {208, 1044, TextServerUnreachable},
    {208, 1044, TextUpdateNotNeeded},
    {230, 1037, TextScheduleInstruction},
    {230, 1027, TextScheduleDaily},
    {230, 1028, TextScheduleDaily + 1},
    {230, 1029, TextScheduleDaily + 2},
    {230, 1031, TextScheduleDaily + 3},
    {230, 1051, TextNextCheck, AsNextCheck},
    {230, 1051, TextScheduleEnded},
};

// A typical application name for %ApplicationName%.
const wchar_t kApplicationName[] = L"Example Application";

std::wstring WithApplicationName(std::wstring text) {
    ReplaceAll(text, L"%ApplicationName%", kApplicationName);
    return text;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::vector<LANGID>*>(param)->push_back(language);
    return TRUE;
}

// The languages of the table that holds ids 224 to 239.
std::vector<LANGID> TableLanguages() {
    std::vector<LANGID> languages;
    EnumResourceLanguagesW(GetModuleHandleW(nullptr), RT_STRING, MAKEINTRESOURCEW(TextTransferInstruction / 16 + 1),
                           CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

std::wstring TextIn(LANGID language, unsigned id) {
    const LCID saved = GetThreadLocale();
    SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
    std::wstring text = LoadLocalisedText(id);
    SetThreadLocale(saved);
    return text;
}

// The room a text needs in `control`, laid out as the control lays it out, with the page's
// font; empty when it fits. A left-aligned static wraps at words; a check box or radio button
// leaves its glyph and a gap of half a digit on the left and wraps only when multi-line.
std::string Overflow(HWND control, const std::wstring& text) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(GetParent(control), WM_GETFONT, 0, 0));
    renewix::UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    const HGDIOBJ previous = SelectObject(dc.get(), font);
    wchar_t className[16] = {};
    GetClassNameW(control, className, 16);
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    RECT box{};
    GetClientRect(control, &box);
    RECT needed{0, 0, box.right, 0};
    UINT format = DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS;
    if (lstrcmpiW(className, L"Button") == 0) {
        INT digit = 0;
        GetCharWidth32W(dc.get(), L'0', L'0', &digit);
        needed.left = GetSystemMetrics(SM_CXMENUCHECK) + digit / 2;
        format |= (style & BS_MULTILINE) ? DT_WORDBREAK : DT_SINGLELINE;
    } else {
        format |= (style & SS_TYPEMASK) == SS_LEFT ? DT_WORDBREAK : DT_SINGLELINE;
    }
    DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()), &needed, format);
    SelectObject(dc.get(), previous);
    if (needed.right <= box.right && needed.bottom <= box.bottom) return {};
    return "needs " + std::to_string(needed.right) + "x" + std::to_string(needed.bottom) + " px, has " +
           std::to_string(box.right) + "x" + std::to_string(box.bottom);
}

TEST(WizardLayout, EveryTextFitsItsControlInEveryLanguage) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    const std::vector<LANGID> languages = TableLanguages();
    ASSERT_GE(languages.size(), 15u);
    for (const Placement& placement : kPlacements) {
        const Page page = MakePage(placement.dialog);
        ASSERT_TRUE(page.page) << "dialog " << placement.dialog;
        HWND control = GetDlgItem(page.page.get(), placement.control);
        ASSERT_TRUE(control) << "dialog " << placement.dialog << " control " << placement.control;
        for (LANGID language : languages) {
            std::wstring text = WithApplicationName(TextIn(language, placement.text));
            if (placement.shown) text = placement.shown(text);
            EXPECT_EQ(Overflow(control, text), "")
                << "language " << std::hex << language << std::dec << ", dialog " << placement.dialog << " control "
                << placement.control << ", text " << placement.text << ": \"" << WideToUtf8(text) << "\"";
        }
    }
}

}  // namespace
