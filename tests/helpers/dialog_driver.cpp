// Test helper acting as the user at the credentials dialog: finds it by its title, reports
// its prompt, whether the password is masked and where the caret is, types a user name and
// a password, and presses OK, Cancel or Enter.
//   dialog_driver "<title>" <user> <password> ok|cancel|enter
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    HWND dialog = nullptr;
    for (int i = 0; i < 200 && !(dialog = FindWindowA("#32770", argv[1])); ++i) Sleep(50);
    if (!dialog) {
        std::printf("no dialog\n");
        return 1;
    }
    char prompt[256] = {};
    GetDlgItemTextA(dialog, 1052, prompt, sizeof(prompt));
    char user[256] = {};
    GetDlgItemTextA(dialog, 1053, user, sizeof(user));
    const LONG style = GetWindowLongA(GetDlgItem(dialog, 1054), GWL_STYLE);
    // Focus settles asynchronously under Xvfb (no window manager): wait for it, up to 5 s.
    const HWND userEdit = GetDlgItem(dialog, 1053);
    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    GUITHREADINFO gui{sizeof(gui)};
    for (int i = 0; i < 100; ++i) {
        if (GetGUIThreadInfo(thread, &gui) && gui.hwndFocus == userEdit) break;
        Sleep(50);
    }
    std::printf("prompt=[%s] empty=%d masked=%d focus-on-user=%d\n", prompt, user[0] == '\0',
                (style & ES_PASSWORD) != 0, gui.hwndFocus == userEdit);
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
    return 0;
}
