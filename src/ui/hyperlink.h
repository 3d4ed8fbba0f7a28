// A static text that is a link: the part between "<A>" and "</A>" is drawn in the browser's
// anchor colour, the hand cursor shows over it, a tooltip shows the address, and a click
// opens the address and turns the link into the visited colour.
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
    HWND Window() const { return window_; }
    bool Visited() const { return visited_; }

    // The colours under "Software\Microsoft\Internet Explorer\Settings": blue and purple
    // when the values are missing or malformed.
    static COLORREF AnchorColor(bool visited);

private:
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc);
    void Open();

    HWND window_ = nullptr;
    HWND tooltip_ = nullptr;
    std::wstring address_;
    bool visited_ = false;
    renewix::UniqueFont underlined_;
};
