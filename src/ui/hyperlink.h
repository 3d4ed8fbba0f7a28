// A static text that is a link: the part between "<A>" and "</A>" is drawn in the browser's
// anchor colour, the hand cursor shows over it, a tooltip shows the address, and a click
// opens the address and turns the link into the visited colour. It is a tab stop: Enter or Space
// opens it like a click, and a focus rectangle shows while it has the focus.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/win_resource.h"

class CHyperLink {
public:
    CHyperLink();
    CHyperLink(const CHyperLink&) = delete;
    CHyperLink& operator=(const CHyperLink&) = delete;
    ~CHyperLink();

    // Creates the control as a child of `parent`; false when it could not be made.
    bool Create(HWND parent, const RECT& rect);
    void SetText(const std::wstring& taggedText);
    void SetAddress(const std::wstring& address);
    void Show(bool visible);
    // The size that shows the whole text and the focus rectangle around it, in the parent's font.
    SIZE FittingSize();
    HWND Window() const { return window_; }
    bool Visited() const { return visited_; }

    // The colours under "Software\Microsoft\Internet Explorer\Settings": blue and purple
    // when the values are missing or malformed.
    static COLORREF AnchorColor(bool visited);

private:
    // Room for the focus rectangle on every side of the text.
    static constexpr int kFocusMargin = 1;

    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    HFONT Font();
    // Draws (or only measures) the text's parts from the top left of `area`; the rectangle they take.
    RECT DrawParts(HDC dc, RECT area, bool draw);
    void Paint(HDC dc);
    void Open();

    HWND window_ = nullptr;
    HWND tooltip_ = nullptr;
    std::wstring address_;
    bool visited_ = false;
    renewix::UniqueFont underlined_;
};
