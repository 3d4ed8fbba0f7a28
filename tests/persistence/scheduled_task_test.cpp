#include "persistence/scheduled_task.h"

#include <gtest/gtest.h>

#include <mstask.h>

#include <cstdio>
#include <cstring>

#include "foundation/paths.h"
#include "foundation/system_facts.h"
#include "foundation/win_resource.h"
#include "test_support.h"

namespace {

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0) {
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    // The day of the week, as the system computes it.
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    FileTimeToSystemTime(&file, &time);
    return time;
}

std::string Text(const std::optional<SYSTEMTIME>& time) {
    if (!time) return "never";
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u", time->wYear, time->wMonth, time->wDay, time->wHour,
                  time->wMinute);
    return text;
}

// How many tasks of the scheduler carry this name (as "<name>.job", the form Enum gives), or
// begin with it when `prefix`.
int CountTasks(const std::wstring& name, bool prefix = false) {
    renewix::ComPtr<ITaskScheduler> scheduler;
    if (FAILED(ConnectTaskScheduler(scheduler))) return -1;
    renewix::ComPtr<IEnumWorkItems> items;
    if (FAILED(scheduler->Enum(items.put()))) return -1;
    int count = 0;
    LPWSTR* names = nullptr;
    ULONG fetched = 0;
    while (items->Next(1, &names, &fetched) == S_OK && fetched == 1) {
        std::wstring found = names[0];
        CoTaskMemFree(names[0]);
        CoTaskMemFree(names);
        if (found == name || found == name + L".job" || (prefix && found.rfind(name, 0) == 0)) ++count;
    }
    return count;
}

class ScheduledTaskTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(com_.succeeded()); }
    void TearDown() override {
        for (const std::wstring& name : names_) {
            if (std::optional<ScheduleFailure> failed = CScheduledTask::DeleteTask(name)) {
                ADD_FAILURE() << "the test's task stays behind: " << WideToUtf8(failed->Describe());
            }
        }
    }

    // A main application name of this test's own, ending in ".exe" as real ones do.
    std::wstring Application(const wchar_t* stem, const wchar_t* ending = L".exe") {
        const std::wstring name = std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + ending;
        names_.push_back(ScheduleTaskName(name));
        return name;
    }

    renewix::ScopedComInit com_;
    std::vector<std::wstring> names_;
};

TEST_F(ScheduledTaskTest, EachFrequencyIsWrittenAndReadBack) {
    struct Case {
        int selection;
        TASK_TRIGGER_TYPE type;
    };
    const Case cases[] = {{0, TASK_TIME_TRIGGER_DAILY}, {1, TASK_TIME_TRIGGER_WEEKLY}, {2, TASK_TIME_TRIGGER_MONTHLYDATE}};
    const std::wstring application = Application(L"Viewer");
    for (const Case& c : cases) {
        SYSTEMTIME before{};
        GetSystemTime(&before);
        ASSERT_TRUE(ApplySchedule(c.selection, application, L"0", TestLog()).applied) << c.selection;
        SYSTEMTIME now{};
        GetSystemTime(&now);
        std::optional<ScheduleInfo> info = ReadScheduledTask(ScheduleTaskName(application), now);
        ASSERT_TRUE(info) << c.selection;
        EXPECT_WSTREQ8(ModulePath(), info->program);
        EXPECT_WSTREQ8(L"0", info->parameters);
        EXPECT_WSTREQ8(ApplicationDirectory(), info->startingDirectory);
        EXPECT_WSTREQ8(L"Automatic update checking for " + application + L".", info->comment);
        EXPECT_EQ(info->flags, 0x2001u);  // run only if logged on, interactive (NT family)
        EXPECT_EQ(info->trigger.TriggerType, c.type);
        EXPECT_EQ(info->frequency, c.selection + 2);
        // Started now, in UTC figures (the minute may have turned while saving).
        EXPECT_EQ(info->trigger.wBeginYear, now.wYear);
        EXPECT_TRUE(info->trigger.wStartHour == before.wHour || info->trigger.wStartHour == now.wHour);
        EXPECT_TRUE(info->trigger.wStartMinute == before.wMinute || info->trigger.wStartMinute == now.wMinute);
        if (c.type == TASK_TIME_TRIGGER_DAILY) EXPECT_EQ(info->trigger.Type.Daily.DaysInterval, 1);
        if (c.type == TASK_TIME_TRIGGER_WEEKLY) {
            EXPECT_EQ(info->trigger.Type.Weekly.WeeksInterval, 1);
            EXPECT_EQ(info->trigger.Type.Weekly.rgfDaysOfTheWeek, TASK_SUNDAY);
        }
        if (c.type == TASK_TIME_TRIGGER_MONTHLYDATE) {
            EXPECT_EQ(info->trigger.Type.MonthlyDate.rgfDays, 1u << (info->trigger.wBeginDay - 1));
            EXPECT_EQ(info->trigger.Type.MonthlyDate.rgfMonths, 0xFFF);
        }
        ASSERT_TRUE(info->nextRun);
        // Saving again replaced the task: one of that name, always.
        EXPECT_EQ(CountTasks(ScheduleTaskName(application)), 1);
    }
}

TEST_F(ScheduledTaskTest, NeverDeletesAndNeedsNoTask) {
    const std::wstring application = Application(L"Gone");
    ASSERT_TRUE(ApplySchedule(0, application, L"bg", TestLog()).applied);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    ASSERT_TRUE(ReadScheduledTask(ScheduleTaskName(application), now));
    EXPECT_TRUE(ApplySchedule(3, application, L"bg", TestLog()).applied);
    EXPECT_FALSE(ReadScheduledTask(ScheduleTaskName(application), now));
    EXPECT_EQ(CountTasks(ScheduleTaskName(application)), 0);
    // Never! with nothing to delete, and with no keyword: the schedule asked for (none) is in place.
    const ScheduleOutcome again = ApplySchedule(3, application, L"", TestLog());
    EXPECT_TRUE(again.applied);
    EXPECT_WSTREQ8(L"", again.message);
}

TEST_F(ScheduledTaskTest, AnEmptyApplicationNameAndMissingSettings) {
    names_.push_back(ScheduleTaskName(L""));
    EXPECT_WSTREQ8(L"Automatic Updates Checking for ", ScheduleTaskName(L""));
    ASSERT_TRUE(ApplySchedule(2, L"", L"0", TestLog()).applied);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    EXPECT_TRUE(ReadScheduledTask(L"Automatic Updates Checking for ", now));

    CScheduledTask task;
    task.SetProgram(L"C:\\x.exe");
    const std::optional<ScheduleFailure> failed = task.SaveTask(L"never saved");
    ASSERT_TRUE(failed) << "saved without a start";
    EXPECT_WSTREQ8(L"checking the settings failed (0x80070057)", failed->Describe());
}

// The machine's Task Scheduler, except that the first save of a task under `name` fails.
class SaveFailingScheduler final : public ITaskScheduler {
public:
    SaveFailingScheduler(std::wstring name, HRESULT answer) : name_(std::move(name)), answer_(answer) {
        EXPECT_HR_EQ(S_OK, ConnectTaskScheduler(real_));
    }
    SchedulerConnection Connection() {
        return [this](renewix::ComPtr<ITaskScheduler>& scheduler) {
            AddRef();
            *scheduler.put() = this;
            return S_OK;
        };
    }
    int failedSaves = 0;

    HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_ITaskScheduler ? this : nullptr;
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG WINAPI AddRef() override { return 2; }  // lives as long as the test
    ULONG WINAPI Release() override { return 1; }
    HRESULT WINAPI SetTargetComputer(LPCWSTR a) override { return real_->SetTargetComputer(a); }
    HRESULT WINAPI GetTargetComputer(LPWSTR* a) override { return real_->GetTargetComputer(a); }
    HRESULT WINAPI Enum(IEnumWorkItems** a) override { return real_->Enum(a); }
    HRESULT WINAPI Activate(LPCWSTR a, REFIID b, IUnknown** c) override { return real_->Activate(a, b, c); }
    HRESULT WINAPI Delete(LPCWSTR a) override { return real_->Delete(a); }
    HRESULT WINAPI AddWorkItem(LPCWSTR a, IScheduledWorkItem* b) override { return real_->AddWorkItem(a, b); }
    HRESULT WINAPI IsOfType(LPCWSTR a, REFIID b) override { return real_->IsOfType(a, b); }
    HRESULT WINAPI NewWorkItem(LPCWSTR name, REFCLSID type, REFIID iid, IUnknown** out) override {
        renewix::ComPtr<ITask> task;
        const HRESULT result = real_->NewWorkItem(name, type, iid, reinterpret_cast<IUnknown**>(task.put()));
        *out = SUCCEEDED(result) ? static_cast<ITask*>(new Task(std::move(task), name, *this)) : nullptr;
        return result;
    }

private:
    // Saved by its own name (no path) or to "...\<name>.job".
    bool FailsSave(const std::wstring& item, LPCOLESTR path) {
        const std::wstring file = L"\\" + name_ + L".job";
        const std::wstring target = path ? path : L"";
        const bool hit = path ? target.size() >= file.size() && target.substr(target.size() - file.size()) == file
                              : item == name_;
        if (!hit || failedSaves > 0) return false;
        ++failedSaves;
        return true;
    }

    class Task final : public ITask, public IPersistFile {
    public:
        Task(renewix::ComPtr<ITask> real, std::wstring item, SaveFailingScheduler& owner)
            : real_(std::move(real)), item_(std::move(item)), owner_(owner) {}
        HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
            if (iid == IID_IUnknown || iid == IID_ITask || iid == IID_IScheduledWorkItem) {
                *out = static_cast<ITask*>(this);
            } else if (iid == IID_IPersistFile) {
                *out = static_cast<IPersistFile*>(this);
            } else {
                *out = nullptr;
                return E_NOINTERFACE;
            }
            AddRef();
            return S_OK;
        }
        ULONG WINAPI AddRef() override { return ++references_; }
        ULONG WINAPI Release() override {
            const ULONG left = --references_;
            if (left == 0) delete this;
            return left;
        }
        HRESULT WINAPI Save(LPCOLESTR path, BOOL remember) override {
            if (owner_.FailsSave(item_, path)) return owner_.answer_;
            return File()->Save(path, remember);
        }
        HRESULT WINAPI GetClassID(CLSID* a) override { return File()->GetClassID(a); }
        HRESULT WINAPI IsDirty() override { return File()->IsDirty(); }
        HRESULT WINAPI Load(LPCOLESTR a, DWORD b) override { return File()->Load(a, b); }
        HRESULT WINAPI SaveCompleted(LPCOLESTR a) override { return File()->SaveCompleted(a); }
        HRESULT WINAPI GetCurFile(LPOLESTR* a) override { return File()->GetCurFile(a); }
#define FORWARD(method, parameters, arguments) \
    HRESULT WINAPI method parameters override { return real_->method arguments; }
        FORWARD(CreateTrigger, (WORD* a, ITaskTrigger** b), (a, b))
        FORWARD(DeleteTrigger, (WORD a), (a))
        FORWARD(GetTriggerCount, (WORD* a), (a))
        FORWARD(GetTrigger, (WORD a, ITaskTrigger** b), (a, b))
        FORWARD(GetTriggerString, (WORD a, LPWSTR* b), (a, b))
        FORWARD(GetRunTimes, (const LPSYSTEMTIME a, const LPSYSTEMTIME b, WORD* c, LPSYSTEMTIME* d), (a, b, c, d))
        FORWARD(GetNextRunTime, (SYSTEMTIME* a), (a))
        FORWARD(SetIdleWait, (WORD a, WORD b), (a, b))
        FORWARD(GetIdleWait, (WORD* a, WORD* b), (a, b))
        FORWARD(Run, (), ())
        FORWARD(Terminate, (), ())
        FORWARD(EditWorkItem, (HWND a, DWORD b), (a, b))
        FORWARD(GetMostRecentRunTime, (SYSTEMTIME* a), (a))
        FORWARD(GetStatus, (HRESULT* a), (a))
        FORWARD(GetExitCode, (DWORD* a), (a))
        FORWARD(SetComment, (LPCWSTR a), (a))
        FORWARD(GetComment, (LPWSTR* a), (a))
        FORWARD(SetCreator, (LPCWSTR a), (a))
        FORWARD(GetCreator, (LPWSTR* a), (a))
        FORWARD(SetWorkItemData, (WORD a, BYTE b[]), (a, b))
        FORWARD(GetWorkItemData, (WORD* a, BYTE** b), (a, b))
        FORWARD(SetErrorRetryCount, (WORD a), (a))
        FORWARD(GetErrorRetryCount, (WORD* a), (a))
        FORWARD(SetErrorRetryInterval, (WORD a), (a))
        FORWARD(GetErrorRetryInterval, (WORD* a), (a))
        FORWARD(SetFlags, (DWORD a), (a))
        FORWARD(GetFlags, (DWORD* a), (a))
        FORWARD(SetAccountInformation, (LPCWSTR a, LPCWSTR b), (a, b))
        FORWARD(GetAccountInformation, (LPWSTR* a), (a))
        FORWARD(SetApplicationName, (LPCWSTR a), (a))
        FORWARD(GetApplicationName, (LPWSTR* a), (a))
        FORWARD(SetParameters, (LPCWSTR a), (a))
        FORWARD(GetParameters, (LPWSTR* a), (a))
        FORWARD(SetWorkingDirectory, (LPCWSTR a), (a))
        FORWARD(GetWorkingDirectory, (LPWSTR* a), (a))
        FORWARD(SetPriority, (DWORD a), (a))
        FORWARD(GetPriority, (DWORD* a), (a))
        FORWARD(SetTaskFlags, (DWORD a), (a))
        FORWARD(GetTaskFlags, (DWORD* a), (a))
        FORWARD(SetMaxRunTime, (DWORD a), (a))
        FORWARD(GetMaxRunTime, (DWORD* a), (a))
#undef FORWARD

    private:
        renewix::ComPtr<IPersistFile> File() {
            renewix::ComPtr<IPersistFile> file;
            real_->QueryInterface(IID_IPersistFile, file.put_void());
            return file;
        }
        renewix::ComPtr<ITask> real_;
        std::wstring item_;
        SaveFailingScheduler& owner_;
        ULONG references_ = 1;
    };

    renewix::ComPtr<ITaskScheduler> real_;
    std::wstring name_;
    HRESULT answer_;
};

TEST_F(ScheduledTaskTest, AFailedSaveLeavesTheScheduleThatIsSet) {
    // A dotted name goes through its job file under Wine; a plain one through the scheduler.
    for (const wchar_t* ending : {L".exe", L""}) {
        const std::wstring application = Application(L"Kept", ending);
        const std::wstring name = ScheduleTaskName(application);
        ASSERT_TRUE(ApplySchedule(0, application, L"bg", TestLog()).applied);
        SYSTEMTIME now{};
        GetSystemTime(&now);
        const std::optional<ScheduleInfo> before = ReadScheduledTask(name, now);
        ASSERT_TRUE(before);

        SaveFailingScheduler scheduler(name, E_ACCESSDENIED);
        const ScheduleOutcome outcome = ApplySchedule(2, application, L"other", TestLog(), scheduler.Connection());
        EXPECT_FALSE(outcome.applied);
        EXPECT_WSTREQ8(L"Unable to save the schedule: saving the task failed (0x80070005)", outcome.message);
        EXPECT_EQ(scheduler.failedSaves, 1) << "the save under the task's own name was never tried";

        const std::optional<ScheduleInfo> after = ReadScheduledTask(name, now);
        ASSERT_TRUE(after) << WideToUtf8(name);
        EXPECT_EQ(after->frequency, 2);
        EXPECT_WSTREQ8(L"bg", after->parameters);
        EXPECT_EQ(0, std::memcmp(&before->trigger, &after->trigger, sizeof(TASK_TRIGGER)));
        EXPECT_EQ(after->flags, before->flags);
        EXPECT_EQ(CountTasks(name), 1);
    }
    EXPECT_EQ(CountTasks(L"Renewix task in progress " + std::to_wstring(GetCurrentProcessId()) + L" ", true), 0);
}

TEST_F(ScheduledTaskTest, RefusalsAndUnreachableSchedulerAreShownAndLogged) {
    struct Case {
        int selection;
        const wchar_t* keyword;
        bool reachable;
        const char* message;
    };
    const Case cases[] = {
        {0, L"", true, "The schedule cannot be saved because no background keyword is configured."},
        {2, L"bg", false, "Unable to save the schedule: connecting to the Task Scheduler failed (0x80040154)"},
        {3, L"bg", false, "Unable to delete the schedule: connecting to the Task Scheduler failed (0x80040154)"},
    };
    const std::wstring application = Application(L"Refused");
    ScratchFolder folder(L"schedule-log");
    const SchedulerConnection unreachable = [](renewix::ComPtr<ITaskScheduler>&) { return REGDB_E_CLASSNOTREG; };
    for (const Case& c : cases) {
        CapturedLog log(folder / L"schedule.log");
        const ScheduleOutcome outcome = ApplySchedule(c.selection, application, c.keyword, TestLog(),
                                                      c.reachable ? ConnectTaskScheduler : unreachable);
        EXPECT_FALSE(outcome.applied) << c.message;
        EXPECT_EQ(WideToUtf8(outcome.message), c.message);
        EXPECT_NE(log.Finish().find(std::string("Schedule not applied:\t") + c.message), std::string::npos)
            << c.message;
    }
    EXPECT_EQ(CountTasks(ScheduleTaskName(application)), 0);
}

TEST(ScheduleTrigger, MonthlyOnTheThirtyFirstRunsOnlyInLongMonths) {
    CScheduledTask task;
    task.SetStartDateTime(At(2027, 1, 31, 22, 15));
    task.SetFrequency(4);
    const TASK_TRIGGER trigger = task.Trigger();
    EXPECT_EQ(trigger.TriggerType, TASK_TIME_TRIGGER_MONTHLYDATE);
    EXPECT_EQ(trigger.Type.MonthlyDate.rgfDays, 1u << 30);
    EXPECT_EQ(trigger.Type.MonthlyDate.rgfMonths, 0xFFF);
    EXPECT_EQ(Text(NextRunTime(trigger, At(2027, 1, 31, 23, 0))), "2027-03-31 22:15");
    EXPECT_EQ(Text(NextRunTime(trigger, At(2027, 3, 31, 23, 0))), "2027-05-31 22:15");
    EXPECT_EQ(Text(NextRunTime(trigger, At(2026, 12, 1))), "2027-01-31 22:15");  // before the start
}

TEST(ScheduleTrigger, DailyWeeklyOnceAndEndDates) {
    CScheduledTask task;
    task.SetStartDateTime(At(2026, 12, 7, 10, 30));  // a Monday
    task.SetFrequency(2);
    EXPECT_EQ(Text(NextRunTime(task.Trigger(), At(2026, 12, 20, 9, 0))), "2026-12-20 10:30");
    EXPECT_EQ(Text(NextRunTime(task.Trigger(), At(2026, 12, 20, 11, 0))), "2026-12-21 10:30");
    task.SetFrequency(3);
    const TASK_TRIGGER weekly = task.Trigger();
    EXPECT_EQ(weekly.Type.Weekly.rgfDaysOfTheWeek, TASK_SUNDAY);
    EXPECT_EQ(Text(NextRunTime(weekly, At(2026, 12, 7, 11, 0))), "2026-12-13 10:30");
    task.SetFrequency(1);
    EXPECT_EQ(Text(NextRunTime(task.Trigger(), At(2026, 12, 1))), "2026-12-07 10:30");
    EXPECT_EQ(Text(NextRunTime(task.Trigger(), At(2026, 12, 8))), "never");
    TASK_TRIGGER ending = weekly;
    ending.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
    ending.wEndYear = 2026;
    ending.wEndMonth = 12;
    ending.wEndDay = 12;
    EXPECT_EQ(Text(NextRunTime(ending, At(2026, 12, 8))), "never");
    EXPECT_EQ(FrequencyOfTrigger(weekly), 3);
    // Seconds and milliseconds never reach the trigger.
    SYSTEMTIME precise = At(2026, 12, 7, 10, 30);
    precise.wSecond = 59;
    precise.wMilliseconds = 999;
    task.SetStartDateTime(precise);
    EXPECT_EQ(task.Trigger().wStartMinute, 30);
}

}  // namespace
