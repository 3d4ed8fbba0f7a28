// The Task Scheduler's GUIDs are defined here, once: <initguid.h> must come before the first
// <mstask.h>, so before this file's own header.
#include <windows.h>
#include <initguid.h>
#include <mstask.h>

#include "persistence/scheduled_task.h"

#include <atomic>

#include "foundation/localised_text.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/system_facts.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"

namespace {

using renewix::ComPtr;

constexpr ULONGLONG kTicksPerMinute = 600000000ull;
constexpr ULONGLONG kTicksPerDay = 24 * 60 * kTicksPerMinute;

bool IsNtFamily() { return (GetVersion() & 0x80000000u) == 0; }

std::optional<ScheduleFailure> Failed(const wchar_t* step, HRESULT result) { return ScheduleFailure{step, result}; }

// Wine's version 1 scheduler refuses names with a dot ("... for Viewer.exe") that Windows
// takes. Such a task is then kept as the .job file of its real name in the scheduler's own
// folder, where the scheduler finds and lists it, and it is read and deleted there.
bool NameRefused(HRESULT result) { return result == E_INVALIDARG; }

std::wstring JobPath(const std::wstring& name) {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, length < MAX_PATH ? length : 0) + L"\\Tasks\\" + name + L".job";
}

// A name without a dot for an item that is saved under its real name at the end.
std::wstring WorkingName() {
    static std::atomic<unsigned> counter{0};
    return L"Renewix task in progress " + std::to_wstring(GetCurrentProcessId()) + L" " + std::to_wstring(++counter);
}

bool IsMissing(HRESULT result) {
    return result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

// Wine's scheduler service reads a job file it saw change without letting it be deleted
// meanwhile; the read is short, so a deletion refused for sharing is tried again for a while.
// A task that is not there counts as deleted.
HRESULT DeleteNamed(ITaskScheduler* scheduler, const std::wstring& name, bool byFile) {
    constexpr ULONGLONG kPatienceMs = 3000;
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    for (;;) {
        HRESULT result = S_OK;
        if (byFile) {
            result = DeleteFileW(JobPath(name).c_str()) ? S_OK : HRESULT_FROM_WIN32(GetLastError());
        } else {
            result = scheduler->Delete(name.c_str());
        }
        if (IsMissing(result)) return S_OK;
        if (result != HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) || GetTickCount64() >= deadline) return result;
        Sleep(50);
    }
}

HRESULT Connect(const SchedulerConnection& connect, ComPtr<ITaskScheduler>& scheduler) {
    const HRESULT result = connect(scheduler);
    if (FAILED(result)) return result;
    return scheduler ? S_OK : E_POINTER;
}

// Saves `task` under `name`: through its file when the scheduler refuses the name.
HRESULT SaveAs(ITask* task, const std::wstring& name, bool byFile) {
    ComPtr<IPersistFile> file;
    HRESULT result = task->QueryInterface(IID_IPersistFile, file.put_void());
    if (SUCCEEDED(result)) result = byFile ? file->Save(JobPath(name).c_str(), TRUE) : file->Save(nullptr, TRUE);
    return result;
}

// The task of that name, loaded; null when there is none. `byFile` says whether the name has
// to go through its file.
ComPtr<ITask> OpenTask(ITaskScheduler* scheduler, const std::wstring& name, bool* byFile) {
    ComPtr<ITask> task;
    const HRESULT found = scheduler->Activate(name.c_str(), IID_ITask, reinterpret_cast<IUnknown**>(task.put()));
    *byFile = NameRefused(found);
    if (SUCCEEDED(found)) return task;
    task.reset();
    if (!*byFile || GetFileAttributesW(JobPath(name).c_str()) == INVALID_FILE_ATTRIBUTES) return task;
    ComPtr<IPersistFile> file;
    if (FAILED(scheduler->NewWorkItem(WorkingName().c_str(), CLSID_CTask, IID_ITask,
                                      reinterpret_cast<IUnknown**>(task.put()))) ||
        FAILED(task->QueryInterface(IID_IPersistFile, file.put_void())) ||
        FAILED(file->Load(JobPath(name).c_str(), STGM_READ))) {
        task.reset();
    }
    return task;
}

std::wstring TakeText(LPWSTR text) {
    renewix::UniqueCoTaskMem owned(text);
    return text ? std::wstring(text) : std::wstring();
}

ULONGLONG Ticks(const SYSTEMTIME& time) {
    FILETIME file{};
    if (!SystemTimeToFileTime(&time, &file)) return 0;
    return (static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

SYSTEMTIME FromTicks(ULONGLONG ticks) {
    FILETIME file{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME time{};
    FileTimeToSystemTime(&file, &time);
    return time;
}

SYSTEMTIME DateAt(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    return time;
}

}  // namespace

CScheduledTask::CScheduledTask() : nt_(IsNtFamily()) { Reset(); }

void CScheduledTask::Reset() {
    start_ = SYSTEMTIME{};
    end_ = SYSTEMTIME{};
    frequency_ = 0;
    program_.clear();
    parameters_.clear();
    startingDirectory_.clear();
    comment_.clear();
}

void CScheduledTask::SetStartDateTime(const SYSTEMTIME& start) {
    start_ = start;
    start_.wSecond = 0;
    start_.wMilliseconds = 0;
}

TASK_TRIGGER CScheduledTask::Trigger() const {
    TASK_TRIGGER trigger{};
    trigger.cbTriggerSize = sizeof(trigger);
    trigger.wBeginYear = start_.wYear;
    trigger.wBeginMonth = start_.wMonth;
    trigger.wBeginDay = start_.wDay;
    trigger.wStartHour = start_.wHour;
    trigger.wStartMinute = start_.wMinute;
    if (end_.wYear != 0) {
        trigger.wEndYear = end_.wYear;
        trigger.wEndMonth = end_.wMonth;
        trigger.wEndDay = end_.wDay;
        trigger.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
    }
    switch (frequency_) {
        case 1:
            trigger.TriggerType = TASK_TIME_TRIGGER_ONCE;
            break;
        case 2:
            trigger.TriggerType = TASK_TIME_TRIGGER_DAILY;
            trigger.Type.Daily.DaysInterval = 1;
            break;
        case 3:
            trigger.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
            trigger.Type.Weekly.WeeksInterval = 1;
            trigger.Type.Weekly.rgfDaysOfTheWeek = TASK_SUNDAY;
            break;
        default:
            trigger.TriggerType = TASK_TIME_TRIGGER_MONTHLYDATE;
            trigger.Type.MonthlyDate.rgfDays = start_.wDay >= 1 && start_.wDay <= 31 ? 1u << (start_.wDay - 1) : 0;
            trigger.Type.MonthlyDate.rgfMonths = 0xFFF;
            break;
    }
    return trigger;
}

std::optional<ScheduleFailure> CScheduledTask::Fill(ITask* task, bool disabled) const {
    HRESULT result = task->SetApplicationName(program_.c_str());
    if (FAILED(result)) return Failed(L"setting the program", result);
    if (!parameters_.empty() && FAILED(result = task->SetParameters(parameters_.c_str()))) {
        return Failed(L"setting the parameters", result);
    }
    if (!startingDirectory_.empty() && FAILED(result = task->SetWorkingDirectory(startingDirectory_.c_str()))) {
        return Failed(L"setting the starting directory", result);
    }
    if (nt_ && FAILED(result = task->SetAccountInformation(accountName_.c_str(), password_.c_str()))) {
        return Failed(L"setting the account", result);
    }
    if (!comment_.empty() && FAILED(result = task->SetComment(comment_.c_str()))) {
        return Failed(L"setting the comment", result);
    }
    const DWORD flags =
        TASK_FLAG_RUN_ONLY_IF_LOGGED_ON | (nt_ ? TASK_FLAG_INTERACTIVE : 0) | (disabled ? TASK_FLAG_DISABLED : 0);
    if (FAILED(result = task->SetFlags(flags))) return Failed(L"setting the flags", result);
    WORD index = 0;
    ComPtr<ITaskTrigger> trigger;
    if (FAILED(result = task->CreateTrigger(&index, trigger.put()))) return Failed(L"creating the trigger", result);
    TASK_TRIGGER settings = Trigger();
    if (FAILED(result = trigger->SetTrigger(&settings))) return Failed(L"setting the trigger", result);
    return std::nullopt;
}

std::optional<ScheduleFailure> CScheduledTask::SaveTask(const std::wstring& name, const SchedulerConnection& connect) {
    if (start_.wYear == 0 || name.empty() || program_.empty()) return Failed(L"checking the settings", E_INVALIDARG);
    ComPtr<ITaskScheduler> scheduler;
    if (const HRESULT result = Connect(connect, scheduler); FAILED(result)) {
        return Failed(L"connecting to the Task Scheduler", result);
    }
    // A new item called `item`, filled and saved as `saved`. Asked for as ITask: Wine hands out
    // no other interface from NewWorkItem.
    const auto write = [&](const std::wstring& item, const std::wstring& saved, bool byFile,
                           bool disabled) -> std::optional<ScheduleFailure> {
        ComPtr<ITask> task;
        HRESULT result =
            scheduler->NewWorkItem(item.c_str(), CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown**>(task.put()));
        if (FAILED(result)) return Failed(L"creating the task", result);
        if (std::optional<ScheduleFailure> failed = Fill(task.get(), disabled)) return failed;
        if (FAILED(result = SaveAs(task.get(), saved, byFile))) return Failed(L"saving the task", result);
        return std::nullopt;
    };

    // The whole task is saved once under a working name, disabled, before the schedule that is
    // set is touched: most failures end there. The working copy goes whatever happens.
    const std::wstring working = WorkingName();
    std::optional<ScheduleFailure> failed = write(working, working, false, true);
    renewix::ScopeExit dropWorking([&] { (void)DeleteNamed(scheduler.get(), working, false); });
    if (failed) return failed;

    // Version 1 has no rename: the old task is kept in memory, deleted, and written back if the
    // new one cannot be saved under its name.
    bool byFile = false;
    ComPtr<ITask> old = OpenTask(scheduler.get(), name, &byFile);
    if (old) {
        if (const HRESULT result = DeleteNamed(scheduler.get(), name, byFile); FAILED(result)) {
            return Failed(L"deleting the old task", result);
        }
    }
    failed = byFile ? write(WorkingName(), name, true, false) : write(name, name, false, false);
    if (failed && old) failed->restore = SaveAs(old.get(), name, byFile);
    return failed;
}

std::optional<ScheduleFailure> CScheduledTask::DeleteTask(const std::wstring& name,
                                                          const SchedulerConnection& connect) {
    if (name.empty()) return Failed(L"deleting the task", E_INVALIDARG);
    ComPtr<ITaskScheduler> scheduler;
    if (const HRESULT result = Connect(connect, scheduler); FAILED(result)) {
        return Failed(L"connecting to the Task Scheduler", result);
    }
    HRESULT result = DeleteNamed(scheduler.get(), name, false);
    if (NameRefused(result)) result = DeleteNamed(scheduler.get(), name, true);
    if (FAILED(result)) return Failed(L"deleting the task", result);
    return std::nullopt;
}

HRESULT ConnectTaskScheduler(ComPtr<ITaskScheduler>& scheduler) {
    return CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                            scheduler.put_void());
}

std::wstring ScheduleFailure::Describe() const {
    std::wstring text = step + FormatText(L" failed (0x%08lX)", static_cast<unsigned long>(result));
    if (FAILED(restore)) {
        text += FormatText(L"; the schedule that was set could not be written back (0x%08lX)",
                           static_cast<unsigned long>(restore));
    }
    return text;
}

int FrequencyOfTrigger(const TASK_TRIGGER& trigger) {
    switch (trigger.TriggerType) {
        case TASK_TIME_TRIGGER_ONCE: return 1;
        case TASK_TIME_TRIGGER_DAILY: return 2;
        case TASK_TIME_TRIGGER_WEEKLY: return 3;
        case TASK_TIME_TRIGGER_MONTHLYDATE: return 4;
        default: return 0;
    }
}

std::optional<SYSTEMTIME> NextRunTime(const TASK_TRIGGER& trigger, const SYSTEMTIME& now) {
    const SYSTEMTIME first =
        DateAt(trigger.wBeginYear, trigger.wBeginMonth, trigger.wBeginDay, trigger.wStartHour, trigger.wStartMinute);
    const ULONGLONG begin = Ticks(first);
    const ULONGLONG after = Ticks(now);
    if (begin == 0 || after == 0) return std::nullopt;
    ULONGLONG last = ~0ull;
    if (trigger.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) {
        last = Ticks(DateAt(trigger.wEndYear, trigger.wEndMonth, trigger.wEndDay, 23, 59));
    }
    const auto found = [&](ULONGLONG at) -> std::optional<SYSTEMTIME> {
        if (at > last) return std::nullopt;
        return FromTicks(at);
    };
    if (trigger.TriggerType == TASK_TIME_TRIGGER_ONCE) return begin > after ? found(begin) : std::nullopt;
    if (trigger.TriggerType == TASK_TIME_TRIGGER_DAILY) {
        const ULONGLONG step = kTicksPerDay * (trigger.Type.Daily.DaysInterval ? trigger.Type.Daily.DaysInterval : 1);
        if (begin > after) return found(begin);
        return found(begin + ((after - begin) / step + 1) * step);
    }
    // Weekly and monthly: day by day from the first possible day, for long enough that every
    // pattern (a 29th of February, a week interval) comes round.
    const ULONGLONG startDay = begin > after ? begin : begin + (after - begin) / kTicksPerDay * kTicksPerDay;
    for (int day = 0; day < 4 * 366 + 7 * 52; ++day) {
        const ULONGLONG at = startDay + day * kTicksPerDay;
        if (at <= after || at < begin) continue;
        const SYSTEMTIME date = FromTicks(at);
        bool fires = false;
        if (trigger.TriggerType == TASK_TIME_TRIGGER_WEEKLY) {
            const ULONGLONG weeks = (at - begin) / (7 * kTicksPerDay);
            const WORD interval = trigger.Type.Weekly.WeeksInterval ? trigger.Type.Weekly.WeeksInterval : 1;
            fires = weeks % interval == 0 && (trigger.Type.Weekly.rgfDaysOfTheWeek & (1u << date.wDayOfWeek)) != 0;
        } else if (trigger.TriggerType == TASK_TIME_TRIGGER_MONTHLYDATE) {
            fires = (trigger.Type.MonthlyDate.rgfMonths & (1u << (date.wMonth - 1))) != 0 &&
                    (trigger.Type.MonthlyDate.rgfDays & (1u << (date.wDay - 1))) != 0;
        } else {
            return std::nullopt;
        }
        if (fires) return found(at);
    }
    return std::nullopt;
}

std::optional<ScheduleInfo> ReadScheduledTask(const std::wstring& name, const SYSTEMTIME& now) {
    ComPtr<ITaskScheduler> scheduler;
    if (name.empty() || FAILED(Connect(ConnectTaskScheduler, scheduler))) return std::nullopt;
    bool byFile = false;
    ComPtr<ITask> task = OpenTask(scheduler.get(), name, &byFile);
    if (!task) return std::nullopt;
    ScheduleInfo info;
    LPWSTR text = nullptr;
    if (SUCCEEDED(task->GetApplicationName(&text))) info.program = TakeText(text);
    if (SUCCEEDED(task->GetParameters(&text))) info.parameters = TakeText(text);
    if (SUCCEEDED(task->GetWorkingDirectory(&text))) info.startingDirectory = TakeText(text);
    if (SUCCEEDED(task->GetComment(&text))) info.comment = TakeText(text);
    task->GetFlags(&info.flags);
    WORD count = 0;
    ComPtr<ITaskTrigger> trigger;
    if (SUCCEEDED(task->GetTriggerCount(&count)) && count > 0 && SUCCEEDED(task->GetTrigger(0, trigger.put()))) {
        info.trigger.cbTriggerSize = sizeof(info.trigger);
        if (SUCCEEDED(trigger->GetTrigger(&info.trigger))) {
            info.frequency = FrequencyOfTrigger(info.trigger);
            info.nextRun = NextRunTime(info.trigger, now);
        }
    }
    return info;
}

int ScheduleChoiceOf(int frequency) { return frequency >= 2 && frequency <= 4 ? frequency - 2 : -1; }

std::wstring NextRunNote(const std::optional<SYSTEMTIME>& nextRun) {
    if (!nextRun) return LoadLocalisedText(TextScheduleEnded);
    wchar_t date[80] = {}, time[80] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &*nextRun, nullptr, date, 80);
    GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &*nextRun, nullptr, time, 80);
    std::wstring note = LoadLocalisedText(TextNextCheck);
    const std::wstring when = std::wstring(date) + L" " + time;
    if (note.find(L"%1") == std::wstring::npos) return note + when;
    ReplaceAll(note, L"%1", when);
    return note;
}

std::wstring ScheduleTaskName(const std::wstring& mainApplicationName) {
    return L"Automatic Updates Checking for " + mainApplicationName;
}

std::wstring ScheduleComment(const std::wstring& mainApplicationName) {
    return L"Automatic update checking for " + mainApplicationName + L".";
}

namespace {

ScheduleOutcome NotApplied(Log& log, const std::wstring& message) {
    log.WriteValue(L"Schedule not applied", message);
    return {false, message};
}

}  // namespace

ScheduleOutcome ApplySchedule(int selection, const std::wstring& mainApplicationName,
                              const std::wstring& backgroundKeyword, Log& log, const SchedulerConnection& connect) {
    const std::wstring name = ScheduleTaskName(mainApplicationName);
    try {
        if (selection == 3) {
            if (std::optional<ScheduleFailure> failed = CScheduledTask::DeleteTask(name, connect)) {
                return NotApplied(log, L"Unable to delete the schedule: " + failed->Describe());
            }
            return {};
        }
        // Without its keyword the task would start the program as a plain launch.
        if (backgroundKeyword.empty()) {
            return NotApplied(log, L"The schedule cannot be saved because no background keyword is configured.");
        }
        CScheduledTask task;
        SYSTEMTIME now{};
        GetSystemTime(&now);
        task.SetComment(ScheduleComment(mainApplicationName));
        task.SetProgram(ModulePath());
        task.SetStartDateTime(now);
        task.SetAccountName(LoginName());
        task.SetStartingDirectory(ApplicationDirectory());
        task.SetParameters(backgroundKeyword);
        if (selection >= 0 && selection <= 2) task.SetFrequency(selection + 2);
        if (std::optional<ScheduleFailure> failed = task.SaveTask(name, connect)) {
            return NotApplied(log, L"Unable to save the schedule: " + failed->Describe());
        }
    } catch (...) {
        return NotApplied(log, L"An unknown error was encountered");
    }
    return {};
}
