// Test helper reading the Task Scheduler's tasks on its own, through the version 1 interfaces,
// as any other tool would (a name Wine's scheduler refuses is read from its job file):
//   task_reader show NAME    one line of JSON: whether the task exists and what it holds
//   task_reader count NAME   how many tasks the scheduler lists under NAME
//   task_reader delete NAME  removes the task, if any (test clean-up)
#include <windows.h>
#include <initguid.h>
#include <mstask.h>

#include <cstdio>
#include <string>

#include "foundation/text.h"
#include "foundation/win_resource.h"

namespace {

using renewix::ComPtr;

std::wstring JobFile(const std::wstring& name) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\Tasks\\" + name + L".job";
}

ComPtr<ITask> Open(ITaskScheduler* scheduler, const std::wstring& name) {
    ComPtr<ITask> task;
    const HRESULT found = scheduler->Activate(name.c_str(), IID_ITask, reinterpret_cast<IUnknown**>(task.put()));
    if (SUCCEEDED(found)) return task;
    task.reset();
    if (found != E_INVALIDARG || GetFileAttributesW(JobFile(name).c_str()) == INVALID_FILE_ATTRIBUTES) return task;
    ComPtr<IPersistFile> file;
    if (FAILED(scheduler->NewWorkItem(L"task reader", CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown**>(task.put()))) ||
        FAILED(task->QueryInterface(IID_IPersistFile, file.put_void())) ||
        FAILED(file->Load(JobFile(name).c_str(), STGM_READ))) {
        task.reset();
    }
    return task;
}

std::string Json(const std::wstring& text) {
    std::string out = "\"";
    for (char c : WideToUtf8(text)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Text(HRESULT result, LPWSTR text) {
    renewix::UniqueCoTaskMem owned(text);
    return Json(SUCCEEDED(result) && text ? text : L"");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const std::wstring command = argv[1], name = argv[2];
    renewix::ScopedComInit com;
    ComPtr<ITaskScheduler> scheduler;
    if (FAILED(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                                scheduler.put_void()))) {
        return 3;
    }
    if (command == L"delete") {
        if (scheduler->Delete(name.c_str()) == E_INVALIDARG) DeleteFileW(JobFile(name).c_str());
        return 0;
    }
    if (command == L"count") {
        ComPtr<IEnumWorkItems> items;
        if (FAILED(scheduler->Enum(items.put()))) return 3;
        int count = 0;
        LPWSTR* names = nullptr;
        ULONG fetched = 0;
        while (items->Next(1, &names, &fetched) == S_OK && fetched == 1) {
            const std::wstring found = names[0];
            CoTaskMemFree(names[0]);
            CoTaskMemFree(names);
            if (found == name || found == name + L".job") ++count;
        }
        std::printf("%d\n", count);
        return 0;
    }
    ComPtr<ITask> task = Open(scheduler.get(), name);
    if (!task) {
        std::printf("{\"exists\":false}\n");
        return 0;
    }
    LPWSTR text = nullptr;
    std::string out = "{\"exists\":true";
    HRESULT result = task->GetApplicationName(&text);
    out += ",\"program\":" + Text(result, text);
    result = task->GetParameters(&text);
    out += ",\"parameters\":" + Text(result, text);
    result = task->GetWorkingDirectory(&text);
    out += ",\"directory\":" + Text(result, text);
    result = task->GetComment(&text);
    out += ",\"comment\":" + Text(result, text);
    DWORD flags = 0;
    task->GetFlags(&flags);
    out += ",\"flags\":" + std::to_string(flags);
    WORD count = 0;
    ComPtr<ITaskTrigger> trigger;
    TASK_TRIGGER data{};
    data.cbTriggerSize = sizeof(data);
    if (SUCCEEDED(task->GetTriggerCount(&count)) && count > 0 && SUCCEEDED(task->GetTrigger(0, trigger.put())) &&
        SUCCEEDED(trigger->GetTrigger(&data))) {
        out += ",\"triggers\":" + std::to_string(count) + ",\"type\":" + std::to_string(data.TriggerType) +
               ",\"year\":" + std::to_string(data.wBeginYear) + ",\"month\":" + std::to_string(data.wBeginMonth) +
               ",\"day\":" + std::to_string(data.wBeginDay) + ",\"hour\":" + std::to_string(data.wStartHour) +
               ",\"minute\":" + std::to_string(data.wStartMinute);
        if (data.TriggerType == TASK_TIME_TRIGGER_DAILY) {
            out += ",\"interval\":" + std::to_string(data.Type.Daily.DaysInterval);
        } else if (data.TriggerType == TASK_TIME_TRIGGER_WEEKLY) {
            out += ",\"interval\":" + std::to_string(data.Type.Weekly.WeeksInterval) +
                   ",\"weekdays\":" + std::to_string(data.Type.Weekly.rgfDaysOfTheWeek);
        } else if (data.TriggerType == TASK_TIME_TRIGGER_MONTHLYDATE) {
            out += ",\"days\":" + std::to_string(data.Type.MonthlyDate.rgfDays) +
                   ",\"months\":" + std::to_string(data.Type.MonthlyDate.rgfMonths);
        }
    }
    std::printf("%s}\n", out.c_str());
    return 0;
}
