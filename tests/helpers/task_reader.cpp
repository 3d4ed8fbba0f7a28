// Test helper removing a task of the Task Scheduler, if there is one (the tests' clean-up):
//   task_reader delete NAME
// A name Wine's scheduler refuses (one with a dot) is kept as its job file, removed directly.
#include <windows.h>
#include <initguid.h>
#include <mstask.h>

#include <string>

#include "foundation/win_resource.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || std::wstring(argv[1]) != L"delete") return 2;
    const std::wstring name = argv[2];
    renewix::ScopedComInit com;
    renewix::ComPtr<ITaskScheduler> scheduler;
    if (FAILED(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                                scheduler.put_void()))) {
        return 3;
    }
    if (scheduler->Delete(name.c_str()) == E_INVALIDARG) {
        wchar_t windows[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        DeleteFileW((std::wstring(windows) + L"\\Tasks\\" + name + L".job").c_str());
    }
    return 0;
}
