// Acts as the user at the wizard of one running client, found by its image path, for the
// end-to-end tests and scripts/screenshots: reports what the sheet and any other dialog of that process show, presses sheet
// buttons, clicks page controls, answers message boxes and prompts, and sends the wizard
// the messages other programs may send.
//   wizard_driver <client.exe path> state
//   wizard_driver <client.exe path> press <sheet button id>     (refused when hidden or disabled)
//   wizard_driver <client.exe path> click <page control id>       (a mouse click on a text box)
//   wizard_driver <client.exe path> escape | tab | close | close-now | close-wizard | cancel-command | force-next | paint
//   wizard_driver <client.exe path> set-page <index>
//   wizard_driver <client.exe path> answer <caption> <button id>
//   wizard_driver <client.exe path> type <caption> <control id> <text>
//   wizard_driver <client.exe path> wait-page <page kind> <milliseconds>
// Every command prints one JSON line; "state" describes the windows, the others say
// {"done":1} or {"done":0,"why":"..."}.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/win_resource.h"
#include "ui/wizard_messages.h"

namespace {

constexpr int kNext = 0x3024;

std::wstring Lower(std::wstring text) {
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::vector<DWORD> ProcessesOf(const std::wstring& image) {
    std::vector<DWORD> ids;
    // Toolhelp answers INVALID_HANDLE_VALUE on failure, as CreateFile does.
    renewix::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) return ids;
    do {
        renewix::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) continue;
        wchar_t path[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process.get(), 0, path, &size) && Lower(path) == Lower(image)) {
            ids.push_back(entry.th32ProcessID);
        }
    } while (Process32NextW(snapshot.get(), &entry));
    return ids;
}

struct Search {
    std::vector<DWORD> processes;
    std::vector<HWND> dialogs;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (std::wstring(className) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    for (DWORD id : search->processes) {
        if (id == process) search->dialogs.push_back(window);
    }
    return TRUE;
}

std::wstring Text(HWND window) {
    wchar_t buffer[4096] = {};
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 2000, &result);
    return buffer;
}

std::string Json(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out + "\"";
}

// The client area in screen coordinates: what a picture of the window shows when no window
// manager draws a frame around it.
std::string ClientRect(HWND window) {
    RECT rect{};
    GetClientRect(window, &rect);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    char text[64];
    std::snprintf(text, sizeof(text), "[%ld,%ld,%ld,%ld]", rect.left, rect.top, rect.right, rect.bottom);
    return text;
}

std::string Rect(HWND window, HWND relativeTo) {
    RECT rect{};
    GetWindowRect(window, &rect);
    if (relativeTo) MapWindowPoints(nullptr, relativeTo, reinterpret_cast<POINT*>(&rect), 2);
    char text[64];
    std::snprintf(text, sizeof(text), "[%ld,%ld,%ld,%ld]", rect.left, rect.top, rect.right, rect.bottom);
    return text;
}

struct ChildList {
    HWND parent;
    std::vector<HWND> children;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
    auto* list = reinterpret_cast<ChildList*>(param);
    if (GetParent(window) == list->parent) list->children.push_back(window);
    return TRUE;
}

std::vector<HWND> DirectChildren(HWND parent) {
    ChildList list{parent, {}};
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&list));
    return list.children;
}

std::string Control(HWND control, HWND relativeTo) {
    wchar_t className[64] = {};
    GetClassNameW(control, className, 64);
    std::string out = "{\"id\":" + std::to_string(GetDlgCtrlID(control)) + ",\"class\":" + Json(className) +
                      ",\"text\":" + Json(Text(control)) + ",\"visible\":" + (IsWindowVisible(control) ? "1" : "0") +
                      ",\"enabled\":" + (IsWindowEnabled(control) ? "1" : "0") + ",\"rect\":" + Rect(control, relativeTo) +
                      // Whether Tab (and so the page's first focus) may land in it.
                      ",\"tabstop\":" + ((GetWindowLongW(control, GWL_STYLE) & WS_TABSTOP) ? "1" : "0");
    const std::wstring kind = Lower(className);
    DWORD_PTR value = 0;
    if (kind == L"button") {
        SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &value);
        out += ",\"checked\":" + std::to_string(value);
    } else if (kind == L"msctls_progress32") {
        DWORD_PTR high = 0;
        SendMessageTimeoutW(control, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &value);
        SendMessageTimeoutW(control, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 2000, &high);
        out += ",\"position\":" + std::to_string(static_cast<long>(value)) +
               ",\"range\":" + std::to_string(static_cast<long>(high));
    }
    return out + "}";
}

// The control of the sheet's thread that has the keyboard focus, and the one showing a caret.
std::string FocusAndCaret(HWND sheet) {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof(thread);
    GetGUIThreadInfo(GetWindowThreadProcessId(sheet, nullptr), &thread);
    wchar_t className[64] = {};
    if (thread.hwndFocus) GetClassNameW(thread.hwndFocus, className, 64);
    return ",\"focus\":{\"id\":" + std::to_string(thread.hwndFocus ? GetDlgCtrlID(thread.hwndFocus) : 0) +
           ",\"class\":" + Json(className) + "},\"caret\":" +
           std::to_string(thread.hwndCaret ? GetDlgCtrlID(thread.hwndCaret) : 0);
}

std::string Controls(HWND parent, HWND relativeTo) {
    std::string out = "[";
    bool first = true;
    for (HWND child : DirectChildren(parent)) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if (std::wstring(className) == L"#32770") continue;  // the pages are described on their own
        out += (first ? "" : ",") + Control(child, relativeTo);
        first = false;
    }
    return out + "]";
}

bool IsSheet(HWND dialog) { return GetDlgItem(dialog, kNext) != nullptr; }

HWND CurrentPage(HWND sheet) {
    DWORD_PTR page = 0;
    SendMessageTimeoutW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, SMTO_ABORTIFHUNG, 2000, &page);
    return reinterpret_cast<HWND>(page);
}

// The current page, its index and the template of every page: which page shows is told by
// these, not by the buttons, which the pages set a moment later.
struct PagePosition {
    HWND page = nullptr;
    LRESULT index = -1;
    bool operator==(const PagePosition& other) const { return page == other.page && index == other.index; }
};

PagePosition Position(HWND sheet) {
    PagePosition position;
    position.page = CurrentPage(sheet);
    DWORD_PTR index = static_cast<DWORD_PTR>(-1);
    if (position.page) {
        SendMessageTimeoutW(sheet, PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(position.page), 0, SMTO_ABORTIFHUNG, 2000,
                            &index);
    }
    position.index = static_cast<LRESULT>(index);
    return position;
}

std::vector<unsigned long> TemplateIds(HWND sheet) {
    std::vector<unsigned long> ids;
    for (int index = 0; index < 32; ++index) {
        DWORD_PTR id = 0;
        if (!SendMessageTimeoutW(sheet, PSM_INDEXTOID, static_cast<WPARAM>(index), 0, SMTO_ABORTIFHUNG, 2000, &id) ||
            id == 0) {
            break;
        }
        ids.push_back(static_cast<unsigned long>(id));
    }
    return ids;
}

std::string Templates(HWND sheet) {
    std::string out = "[";
    for (unsigned long id : TemplateIds(sheet)) out += (out.size() > 1 ? "," : "") + std::to_string(id);
    return out + "]";
}

// Which page a sheet shows, by the current page's template and place (as the tests name them).
std::wstring PageKind(HWND sheet) {
    const PagePosition position = Position(sheet);
    const std::vector<unsigned long> ids = TemplateIds(sheet);
    if (position.index < 0 || position.index >= static_cast<LRESULT>(ids.size())) return L"unknown";
    const auto index = static_cast<size_t>(position.index);
    switch (ids[index]) {
        case 206: return index == 0 ? L"checking" : L"intro";
        case 207: return std::count(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(index), 207ul) == 0
                             ? L"ready"
                             : L"installing";
        case 129: return L"download";
        case 202: return L"terms";
        case 208: return L"message";
        case 230: return L"schedule";
        default: return L"unknown";
    }
}

std::string Sheet(HWND sheet) {
    // The sheet may change pages while it is described: describe it again until the page
    // is the same at the end as at the start.
    std::string described;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const PagePosition before = Position(sheet);
        described = "{\"caption\":" + Json(Text(sheet)) + ",\"rect\":" + Rect(sheet, nullptr) +
                    ",\"client\":" + ClientRect(sheet) + ",\"index\":" + std::to_string(before.index) +
                    ",\"templates\":" + Templates(sheet) + ",\"controls\":" + Controls(sheet, sheet) +
                    ",\"page\":" + (before.page ? Controls(before.page, before.page) : std::string("[]")) +
                    FocusAndCaret(sheet) + "}";
        if (Position(sheet) == before) break;
    }
    return described;
}

std::string State(const Search& search) {
    std::string sheets = "[", dialogs = "[";
    for (HWND dialog : search.dialogs) {
        if (IsSheet(dialog)) {
            if (sheets.size() > 1) sheets += ",";
            sheets += Sheet(dialog);
        } else {
            if (dialogs.size() > 1) dialogs += ",";
            HWND owner = GetWindow(dialog, GW_OWNER);
            const bool ownedBySheet = owner && IsSheet(owner);
            dialogs += "{\"caption\":" + Json(Text(dialog)) + ",\"rect\":" + Rect(dialog, nullptr) +
                       ",\"ownedBySheet\":" + (ownedBySheet ? "1" : "0") + ",\"controls\":" + Controls(dialog, dialog) +
                       "}";
        }
    }
    return "{\"processes\":" + std::to_string(search.processes.size()) + ",\"sheets\":" + sheets +
           "],\"dialogs\":" + dialogs + "]}";
}

HWND FindSheet(const Search& search) {
    for (HWND dialog : search.dialogs) {
        if (IsSheet(dialog)) return dialog;
    }
    return nullptr;
}

HWND FindDialog(const Search& search, const std::wstring& caption) {
    for (HWND dialog : search.dialogs) {
        if (!IsSheet(dialog) && Text(dialog) == caption) return dialog;
    }
    return nullptr;
}

int Done(bool done, const char* why = "") {
    if (done) {
        std::printf("{\"done\":1}\n");
    } else {
        std::printf("{\"done\":0,\"why\":\"%s\"}\n", why);
    }
    return done ? 0 : 1;
}

// Watches, in this process, for a sheet of the client to show the page `kind`: pages that
// show only for a moment are seen although starting a program here takes longer. Says
// {"watching":1} once it looks, then the state as soon as the page shows, or
// {"seen":0,"last":<state>} after `ms`.
int WaitPage(const std::wstring& image, const std::wstring& kind, DWORD ms) {
    std::printf("{\"watching\":1}\n");
    std::fflush(stdout);
    const ULONGLONG deadline = GetTickCount64() + ms;
    Search search;
    for (;;) {
        // The client may not have started yet, or may have ended and been started again.
        search.dialogs.clear();
        search.processes = ProcessesOf(image);
        EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
        for (HWND dialog : search.dialogs) {
            if (!IsSheet(dialog) || PageKind(dialog) != kind) continue;
            const std::string state = State(search);
            // Described while still on that page: otherwise it is looked for again.
            if (PageKind(dialog) == kind) {
                std::printf("%s\n", state.c_str());
                return 0;
            }
        }
        if (GetTickCount64() >= deadline) {
            std::printf("{\"seen\":0,\"last\":%s}\n", State(search).c_str());
            return 1;
        }
        Sleep(20);
    }
}

int Run(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    if (std::wstring(argv[2]) == L"wait-page") {
        if (argc < 5) return 2;
        return WaitPage(argv[1], argv[3], static_cast<DWORD>(_wtoi(argv[4])));
    }
    Search search;
    search.processes = ProcessesOf(argv[1]);
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    const std::wstring command = argv[2];
    if (command == L"state") {
        std::printf("%s\n", State(search).c_str());
        return 0;
    }
    if (command == L"answer" || command == L"type") {
        if (argc < 5) return 2;
        HWND dialog = FindDialog(search, argv[3]);
        if (!dialog) return Done(false, "no such dialog");
        HWND control = GetDlgItem(dialog, _wtoi(argv[4]));
        if (command == L"type") {
            if (!control || argc < 6) return Done(false, "no such control");
            SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[5]));
            return Done(true);
        }
        if (control && (!IsWindowEnabled(control) || !IsWindowVisible(control))) return Done(false, "not available");
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(_wtoi(argv[4]), BN_CLICKED), reinterpret_cast<LPARAM>(control));
        return Done(true);
    }
    HWND sheet = FindSheet(search);
    if (!sheet) return Done(false, "no wizard");
    if (command == L"press" || command == L"click") {
        if (argc < 4) return 2;
        const int id = _wtoi(argv[3]);
        // With two wizards on screen (a message over the installing page), the one where the
        // user can press the button is meant.
        for (HWND candidate : search.dialogs) {
            if (!IsSheet(candidate)) continue;
            HWND control = command == L"press" ? GetDlgItem(candidate, id) : GetDlgItem(CurrentPage(candidate), id);
            // A user can press only a button that is there and enabled.
            if (!control || !IsWindowVisible(control) || !IsWindowEnabled(control)) continue;
            wchar_t className[16] = {};
            GetClassNameW(control, className, 16);
            if (command == L"press") {
                PostMessageW(candidate, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
            } else if (Lower(className) == L"edit") {
                // The mouse, for a box that takes the focus itself.
                PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
                PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
            } else {
                DWORD_PTR ignored = 0;
                SendMessageTimeoutW(control, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
            }
            return Done(true);
        }
        return Done(false, "not available");
    }
    if (command == L"escape") {
        // The dialog manager of the sheet's loop turns Escape into a cancel request.
        HWND target = CurrentPage(sheet) ? CurrentPage(sheet) : sheet;
        PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageW(target, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
        return Done(true);
    }
    if (command == L"tab") {
        // What the dialog manager of the sheet's loop gets when the user presses Tab.
        GUITHREADINFO thread{};
        thread.cbSize = sizeof(thread);
        GetGUIThreadInfo(GetWindowThreadProcessId(sheet, nullptr), &thread);
        HWND target = thread.hwndFocus ? thread.hwndFocus : sheet;
        PostMessageW(target, WM_KEYDOWN, VK_TAB, 0x000F0001);
        PostMessageW(target, WM_KEYUP, VK_TAB, static_cast<LPARAM>(0xC00F0001u));
        return Done(true);
    }
    if (command == L"cancel-command") {
        PostMessageW(sheet, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return Done(true);
    }
    if (command == L"close") {
        PostMessageW(sheet, WM_CLOSE, 0, 0);
        return Done(true);
    }
    if (command == L"close-now") {
        // Sent, not posted: the answer comes once the sheet has dealt with the request, so
        // a box it opened for it would keep this waiting.
        DWORD_PTR ignored = 0;
        return Done(SendMessageTimeoutW(sheet, WM_CLOSE, 0, 0, SMTO_NORMAL, 5000, &ignored) != 0,
                    "the sheet is still dealing with the request");
    }
    if (command == L"force-next") {
        // What another program can do whatever the buttons show.
        PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
        return Done(true);
    }
    if (command == L"set-page") {
        // Another program choosing the page, bypassing the buttons.
        if (argc < 4) return 2;
        PostMessageW(sheet, PSM_SETCURSEL, static_cast<WPARAM>(_wtoi(argv[3])), 0);
        return Done(true);
    }
    if (command == L"paint") {
        // Paints everything now, so that a picture of the screen shows the current state.
        RedrawWindow(sheet, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        return Done(true);
    }
    if (command == L"close-wizard") {
        PostMessageW(sheet, WM_CLOSE_WIZARD, 0, 0);
        return Done(true);
    }
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int result = Run(argc, argv);
    std::fflush(stdout);
    return result;
}
