#include "ui/hyperlink.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>

#include "foundation/dialog_helpers.h"
#include "ui/wizard_flow.h"

namespace {

const wchar_t kClassName[] = L"RenewixHyperLink";

bool RegisterLinkClass(WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32649));  // IDC_HAND
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = kClassName;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

std::wstring ReadSetting(const wchar_t* name) {
    renewix::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Settings", 0, KEY_READ,
                      key.put()) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t value[64] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return value;
}

}  // namespace

CHyperLink::CHyperLink() = default;

CHyperLink::~CHyperLink() {
    // The window and its tooltip go with the sheet that owns them; only the pointer back
    // to this object must not outlive it.
    if (window_) SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
}

COLORREF CHyperLink::AnchorColor(bool visited) {
    return visited ? ParseAnchorColor(ReadSetting(L"Anchor Color Visited"), RGB(128, 0, 128))
                   : ParseAnchorColor(ReadSetting(L"Anchor Color"), RGB(0, 0, 255));
}

bool CHyperLink::Create(HWND parent, const RECT& rect) {
    if (window_) return true;
    if (!RegisterLinkClass(WindowProcedure)) return false;
    window_ = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, rect.left, rect.top, rect.right - rect.left,
                              rect.bottom - rect.top, parent, nullptr, GetModuleHandleW(nullptr), this);
    if (!window_) return false;
    tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, parent, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (tooltip_) {
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = parent;
        tool.uId = reinterpret_cast<UINT_PTR>(window_);
        tool.lpszText = const_cast<wchar_t*>(address_.c_str());
        SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    return true;
}

void CHyperLink::SetText(const std::wstring& taggedText) {
    if (!window_) return;
    SetWindowTextW(window_, taggedText.c_str());
    InvalidateRect(window_, nullptr, TRUE);
}

void CHyperLink::SetAddress(const std::wstring& address) {
    address_ = address;
    if (!tooltip_ || !window_) return;
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = GetParent(window_);
    tool.uId = reinterpret_cast<UINT_PTR>(window_);
    tool.lpszText = const_cast<wchar_t*>(address_.c_str());
    SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void CHyperLink::Show(bool visible) {
    if (window_) ShowWindow(window_, visible ? SW_SHOW : SW_HIDE);
}

LRESULT CALLBACK CHyperLink::WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        // Messages arrive before CreateWindowEx returns the handle.
        static_cast<CHyperLink*>(create->lpCreateParams)->window_ = window;
    }
    auto* self = reinterpret_cast<CHyperLink*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NCDESTROY && self) {
        self->window_ = nullptr;
        self->tooltip_ = nullptr;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self = nullptr;
    }
    if (self) {
        try {
            return self->HandleMessage(message, wParam, lParam);
        } catch (...) {
            // A failed paint or click must not take the wizard down.
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CHyperLink::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window_, &paint);
            if (dc) Paint(dc);
            EndPaint(window_, &paint);
            return 0;
        }
        case WM_LBUTTONUP:
            Open();
            return 0;
        case WM_KEYDOWN:
            // A held key opens the address once.
            if ((wParam == VK_RETURN || wParam == VK_SPACE) && !(lParam & (1 << 30))) {
                Open();
                return 0;
            }
            break;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            InvalidateRect(window_, nullptr, TRUE);
            return 0;
        case WM_GETDLGCODE: {
            // Enter opens the link instead of pressing the sheet's default button.
            const auto* key = reinterpret_cast<const MSG*>(lParam);
            if (key && key->message == WM_KEYDOWN && key->wParam == VK_RETURN) return DLGC_WANTMESSAGE;
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

HFONT CHyperLink::Font() {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(GetParent(window_), WM_GETFONT, 0, 0));
    if (!underlined_ && font) {
        LOGFONTW description{};
        if (GetObjectW(font, sizeof(description), &description)) {
            description.lfUnderline = TRUE;
            underlined_.reset(CreateFontIndirectW(&description));
        }
    }
    return font ? font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

RECT CHyperLink::DrawParts(HDC dc, RECT area, bool draw) {
    HFONT font = Font();
    const LinkText parts = SplitLinkText(WindowText(window_));
    const UINT format = DT_LEFT | DT_SINGLELINE | DT_NOPREFIX;
    RECT used{area.left, area.top, area.left, area.top};
    HGDIOBJ previous = SelectObject(dc, font);
    const auto part = [&](const std::wstring& text, HFONT partFont, COLORREF colour) {
        if (text.empty()) return;
        SelectObject(dc, partFont);
        RECT measured = area;
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &measured, format | DT_CALCRECT);
        if (draw) {
            SetTextColor(dc, colour);
            DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, format);
        }
        area.left = measured.right;
        used.right = measured.right;
        used.bottom = std::max(used.bottom, measured.bottom);
    };
    part(parts.before, font, GetSysColor(COLOR_BTNTEXT));
    part(parts.link, underlined_ ? underlined_.get() : font, AnchorColor(visited_));
    part(parts.after, font, GetSysColor(COLOR_BTNTEXT));
    SelectObject(dc, previous);
    return used;
}

SIZE CHyperLink::FittingSize() {
    SIZE size{};
    if (!window_) return size;
    HDC dc = GetDC(window_);
    if (!dc) return size;
    const RECT used = DrawParts(dc, RECT{0, 0, 0x7FFF, 0x7FFF}, false);
    ReleaseDC(window_, dc);
    size.cx = used.right - used.left + 2 * kFocusMargin;
    size.cy = used.bottom - used.top + 2 * kFocusMargin;
    return size;
}

void CHyperLink::Paint(HDC dc) {
    SetBkMode(dc, TRANSPARENT);
    RECT client;
    GetClientRect(window_, &client);
    RECT area = client;
    InflateRect(&area, -kFocusMargin, -kFocusMargin);
    RECT used = DrawParts(dc, area, true);
    if (GetFocus() == window_) {
        InflateRect(&used, kFocusMargin, kFocusMargin);
        IntersectRect(&used, &used, &client);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        DrawFocusRect(dc, &used);
    }
}

void CHyperLink::Open() {
    if (address_.empty()) return;
    ShellExecuteW(GetParent(window_), L"open", address_.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    visited_ = true;
    InvalidateRect(window_, nullptr, TRUE);
}
