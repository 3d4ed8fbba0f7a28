// Test helper acting as the user at the credentials dialog: finds it by its title, reports
// its prompt, whether the password is masked and where the caret is, types a user name and
// a password, and presses OK, Cancel or Enter.
//   dialog_driver "<title>" <user> <password> ok|cancel|enter
// Under Xvfb there is no window manager: showing, enabling and focusing settle a little after
// the window exists, so every step waits for its condition (with a time limit) instead of
// reading the state at once.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kLimitMs = 60000;

template <typename Condition>
bool WaitFor(Condition condition, DWORD limitMs = kLimitMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > limitMs) return false;
        Sleep(20);
    }
    return true;
}

HWND FocusOf(HWND dialog) {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof(gui);
    return GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui) ? gui.hwndFocus : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    HWND dialog = nullptr;
    const bool ready = WaitFor([&] {
        dialog = FindWindowA("#32770", argv[1]);
        return dialog && IsWindowVisible(dialog) && IsWindowEnabled(GetDlgItem(dialog, IDOK)) &&
               IsWindowEnabled(GetDlgItem(dialog, 1053));
    });
    if (!ready) {
        std::printf("no dialog\n");
        return 1;
    }
    HWND user = GetDlgItem(dialog, 1053);
    // The dialog places the caret in the user name; a few seconds is plenty for that to show.
    const bool focused = WaitFor([&] { return FocusOf(dialog) == user; }, 10000);
    char prompt[256] = {};
    GetDlgItemTextA(dialog, 1052, prompt, sizeof(prompt));
    char typed[256] = {};
    GetDlgItemTextA(dialog, 1053, typed, sizeof(typed));
    const LONG style = GetWindowLongA(GetDlgItem(dialog, 1054), GWL_STYLE);
    std::printf("prompt=[%s] empty=%d masked=%d focus-on-user=%d\n", prompt, typed[0] == '\0',
                (style & ES_PASSWORD) != 0, focused ? 1 : 0);
    std::fflush(stdout);
    SendDlgItemMessageA(dialog, 1053, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
    SendDlgItemMessageA(dialog, 1054, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]));
    if (std::strcmp(argv[4], "enter") == 0) {
        // Enter in an edit: the dialog manager turns it into the default button's command.
        PostMessageA(GetDlgItem(dialog, 1054), WM_KEYDOWN, VK_RETURN, 0);
        PostMessageA(GetDlgItem(dialog, 1054), WM_KEYUP, VK_RETURN, 0);
    } else {
        const int id = std::strcmp(argv[4], "ok") == 0 ? IDOK : IDCANCEL;
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    }
    // The press is taken when the dialog goes away.
    return WaitFor([&] { return !IsWindow(dialog); }) ? 0 : 3;
}
