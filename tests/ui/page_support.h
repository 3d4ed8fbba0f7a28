// Wizard pages made without a sheet and without a user: hidden, under a hidden window of
// their own.
#pragma once

#include <windows.h>
#include <prsht.h>

#include "foundation/win_resource.h"

struct Page {
    renewix::UniqueWindow parent;
    renewix::UniqueWindow page;
};

inline INT_PTR CALLBACK IgnoreAll(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The dialog `templateName` as the dialog manager makes it, run by `procedure`, which gets
// `param` with WM_INITDIALOG.
inline Page MakePage(HINSTANCE instance, LPCWSTR templateName, DLGPROC procedure, LPARAM param) {
    Page made;
    made.parent.reset(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr));
    made.page.reset(CreateDialogParamW(instance, templateName, made.parent.get(), procedure, param));
    return made;
}

// A page's template alone: its controls as laid out, with nothing run.
inline Page MakePage(int dialog) {
    return MakePage(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dialog), IgnoreAll, 0);
}

// The page a sheet makes from `record`: its own procedure, handed the record.
inline Page MakePage(const PROPSHEETPAGEW& record) {
    return MakePage(record.hInstance, record.pszTemplate, record.pfnDlgProc, reinterpret_cast<LPARAM>(&record));
}
