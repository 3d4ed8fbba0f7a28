#include "foundation/dialog_helpers.h"

void CentreOver(HWND window, HWND owner) {
    RECT mine, theirs;
    GetWindowRect(window, &mine);
    if (!owner || !GetWindowRect(owner, &theirs)) SystemParametersInfoW(SPI_GETWORKAREA, 0, &theirs, 0);
    const int width = mine.right - mine.left, height = mine.bottom - mine.top;
    SetWindowPos(window, nullptr, theirs.left + (theirs.right - theirs.left - width) / 2,
                 theirs.top + (theirs.bottom - theirs.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}
