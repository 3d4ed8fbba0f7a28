#include "ui/hyperlink.h"

#include <commctrl.h>
#include <shellapi.h>

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
    window_ = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_VISIBLE, rect.left, rect.top, rect.right - rect.left,
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
        case WM_GETDLGCODE:
            return DLGC_STATIC;
        default:
            return DefWindowProcW(window_, message, wParam, lParam);
    }
}

void CHyperLink::Paint(HDC dc) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(GetParent(window_), WM_GETFONT, 0, 0));
    if (!underlined_ && font) {
        LOGFONTW description{};
        if (GetObjectW(font, sizeof(description), &description)) {
            description.lfUnderline = TRUE;
            underlined_.reset(CreateFontIndirectW(&description));
        }
    }
    const LinkText parts = SplitLinkText(WindowText(window_));
    SetBkMode(dc, TRANSPARENT);
    RECT area;
    GetClientRect(window_, &area);
    HGDIOBJ previous = SelectObject(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT));
    const auto draw = [&](const std::wstring& text, COLORREF colour) {
        if (text.empty()) return;
        SetTextColor(dc, colour);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
        RECT measured = area;
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &measured,
                  DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT);
        area.left = measured.right;
    };
    draw(parts.before, GetSysColor(COLOR_BTNTEXT));
    if (underlined_) SelectObject(dc, underlined_.get());
    draw(parts.link, AnchorColor(visited_));
    SelectObject(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT));
    draw(parts.after, GetSysColor(COLOR_BTNTEXT));
    SelectObject(dc, previous);
}

void CHyperLink::Open() {
    if (address_.empty()) return;
    ShellExecuteW(GetParent(window_), L"open", address_.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    visited_ = true;
    InvalidateRect(window_, nullptr, TRUE);
}
