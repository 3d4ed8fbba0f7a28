#include "persistence/scheduled_task.h"

#include <gtest/gtest.h>

#include <mstask.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

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

std::wstring TasksFolder() {
    wchar_t windows[MAX_PATH] = {};
    return std::wstring(windows, GetWindowsDirectoryW(windows, MAX_PATH)) + L"\\Tasks";
}

// How many tasks of the scheduler (job files in its folder) have names that begin with `prefix`.
int CountTasksStartingWith(const std::wstring& prefix) {
    int count = 0;
    ForEachChild(TasksFolder(), [&](const std::wstring& file, bool) { count += file.starts_with(prefix) ? 1 : 0; });
    return count;
}

std::wstring JobFile(const std::wstring& name) { return TasksFolder() + L"\\" + name + L".job"; }

// A task as the scheduler holds it, read from its job file through the scheduler's interfaces
// rather than the product's reader, so that a fault made alike in writing and reading still
// shows (and Wine refuses to activate a dotted name).
struct StoredTask {
    std::wstring program, parameters, directory, comment;
    DWORD flags = 0;
    WORD triggers = 0;
    TASK_TRIGGER trigger{};
};

std::optional<StoredTask> Stored(const std::wstring& name) {
    const std::wstring job = JobFile(name);
    if (!Exists(job)) return std::nullopt;
    renewix::ComPtr<ITaskScheduler> scheduler;
    renewix::ComPtr<ITask> task;
    renewix::ComPtr<IPersistFile> file;
    IUnknown** made = reinterpret_cast<IUnknown**>(task.put());
    if (FAILED(ConnectTaskScheduler(scheduler)) ||
        FAILED(scheduler->NewWorkItem(L"test reader", CLSID_CTask, IID_ITask, made)) ||
        FAILED(task->QueryInterface(IID_IPersistFile, file.put_void())) || FAILED(file->Load(job.c_str(), STGM_READ))) {
        ADD_FAILURE() << "the job file of " << WideToUtf8(name) << " does not load";
        return std::nullopt;
    }
    const auto text = [&task](decltype(&ITask::GetApplicationName) get) {
        LPWSTR text = nullptr;
        const HRESULT result = (task.get()->*get)(&text);
        renewix::UniqueCoTaskMem owned(text);
        return SUCCEEDED(result) && text ? std::wstring(text) : std::wstring();
    };
    StoredTask stored{text(&ITask::GetApplicationName), text(&ITask::GetParameters), text(&ITask::GetWorkingDirectory),
                      text(&ITask::GetComment)};
    EXPECT_EQ(S_OK, task->GetFlags(&stored.flags));
    EXPECT_EQ(S_OK, task->GetTriggerCount(&stored.triggers));
    renewix::ComPtr<ITaskTrigger> trigger;
    stored.trigger.cbTriggerSize = sizeof(stored.trigger);
    if (stored.triggers > 0 && SUCCEEDED(task->GetTrigger(0, trigger.put()))) {
        EXPECT_EQ(S_OK, trigger->GetTrigger(&stored.trigger));
    }
    return stored;
}

// Minutes since 1601, to compare a trigger's start with the clock.
ULONGLONG Minutes(const SYSTEMTIME& time) {
    FILETIME file{};
    SystemTimeToFileTime(&time, &file);
    return ((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 600000000ull;
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

// Each choice of the schedule page in turn on one application, then the empty application
// name: what reaches the scheduler, and the choice the page opens on next time.
TEST_F(ScheduledTaskTest, EachChoiceIsWrittenAndThePageOpensOnIt) {
    struct Case {
        const char* what;
        bool emptyName;
        int selection;
        const wchar_t* keyword;
        std::optional<TASK_TRIGGER_TYPE> type;  // none: no task is left
        int choice;                             // the page's choice when it opens again (-1: Never)
    };
    const Case cases[] = {
        {"daily", false, 0, L"0", TASK_TIME_TRIGGER_DAILY, 0},
        {"weekly", false, 1, L"bg", TASK_TIME_TRIGGER_WEEKLY, 1},
        {"monthly", false, 2, L"0", TASK_TIME_TRIGGER_MONTHLYDATE, 2},
        {"never deletes", false, 3, L"0", std::nullopt, -1},
        {"never with nothing to delete and no keyword", false, 3, L"", std::nullopt, -1},
        {"an empty application name", true, 2, L"0", TASK_TIME_TRIGGER_MONTHLYDATE, 2},
    };
    const std::wstring own = Application(L"Viewer");
    names_.push_back(L"Automatic Updates Checking for ");
    wchar_t self[MAX_PATH] = {};
    const std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring application = c.emptyName ? L"" : own;
        const std::wstring name = L"Automatic Updates Checking for " + application;
        SYSTEMTIME before{};
        GetSystemTime(&before);
        const ScheduleOutcome outcome = ApplySchedule(c.selection, application, c.keyword, TestLog());
        SYSTEMTIME now{};
        GetSystemTime(&now);
        EXPECT_TRUE(outcome.applied);
        EXPECT_WSTREQ8(L"", outcome.message);
        const std::optional<ScheduleInfo> set = ReadScheduledTask(name, now);
        const std::optional<StoredTask> stored = Stored(name);
        ASSERT_EQ(stored.has_value(), c.type.has_value());
        ASSERT_EQ(set.has_value(), c.type.has_value());
        if (!stored) continue;
        EXPECT_EQ(ScheduleChoiceOf(set->frequency), c.choice);
        EXPECT_TRUE(set->nextRun);

        EXPECT_WSTREQ8(program, stored->program);
        EXPECT_WSTREQ8(c.keyword, stored->parameters);
        EXPECT_WSTREQ8(program.substr(0, program.rfind(L'\\') + 1), stored->directory);
        EXPECT_WSTREQ8(L"Automatic update checking for " + application + L".", stored->comment);
        EXPECT_EQ(stored->flags, static_cast<DWORD>(TASK_FLAG_RUN_ONLY_IF_LOGGED_ON | TASK_FLAG_INTERACTIVE));
        ASSERT_EQ(stored->triggers, 1);
        const TASK_TRIGGER& trigger = stored->trigger;
        EXPECT_EQ(trigger.TriggerType, *c.type);
        // Started when it was saved, in UTC figures, and never ending.
        const ULONGLONG start = Minutes(
            At(trigger.wBeginYear, trigger.wBeginMonth, trigger.wBeginDay, trigger.wStartHour, trigger.wStartMinute));
        EXPECT_LE(Minutes(before), start);
        EXPECT_LE(start, Minutes(now));
        EXPECT_EQ(trigger.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE, 0u);
        switch (trigger.TriggerType) {
            case TASK_TIME_TRIGGER_DAILY:
                EXPECT_EQ(trigger.Type.Daily.DaysInterval, 1);
                break;
            case TASK_TIME_TRIGGER_WEEKLY:
                EXPECT_EQ(trigger.Type.Weekly.WeeksInterval, 1);
                EXPECT_EQ(trigger.Type.Weekly.rgfDaysOfTheWeek, TASK_SUNDAY);
                break;
            default:
                EXPECT_EQ(trigger.Type.MonthlyDate.rgfDays, 1u << (trigger.wBeginDay - 1));
                EXPECT_EQ(trigger.Type.MonthlyDate.rgfMonths, 0xFFFu);
                break;
        }
    }
}

TEST_F(ScheduledTaskTest, ASaveWithoutAStartIsRefused) {
    CScheduledTask task;
    task.SetProgram(L"C:\\x.exe");
    const std::optional<ScheduleFailure> failed = task.SaveTask(L"never saved");
    ASSERT_TRUE(failed) << "saved without a start";
    EXPECT_WSTREQ8(L"checking the settings failed (0x80070057)", failed->Describe());
}

// The machine's Task Scheduler, except that once the task's job file has gone (the old task
// deleted), the next item is made under the task's own name in a folder that does not exist,
// so that its save fails in the scheduler itself, or, asked for under another name (a dotted
// task is saved through its path), is refused.
class FailingAfterDelete final : public ITaskScheduler {
public:
    explicit FailingAfterDelete(std::wstring name) : name_(std::move(name)) {
        EXPECT_EQ(S_OK, ConnectTaskScheduler(real_));
    }
    SchedulerConnection Connection() {
        return [this](renewix::ComPtr<ITaskScheduler>& scheduler) {
            *scheduler.put() = this;
            return S_OK;
        };
    }
    int hits = 0;

    HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_ITaskScheduler ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
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
    HRESULT WINAPI NewWorkItem(LPCWSTR item, REFCLSID type, REFIID iid, IUnknown** out) override {
        if (hits > 0 || Exists(JobFile(name_))) return real_->NewWorkItem(item, type, iid, out);
        ++hits;
        if (item != name_) return E_ACCESSDENIED;
        return real_->NewWorkItem((L"no such folder\\" + name_).c_str(), type, iid, out);
    }

private:
    renewix::ComPtr<ITaskScheduler> real_;
    std::wstring name_;
};

TEST_F(ScheduledTaskTest, AFailedSaveLeavesTheScheduleThatIsSet) {
    struct Case {
        const wchar_t* ending;  // a dotted name goes through its job file under Wine
        const char* failure;
    };
    const Case cases[] = {
        {L"", "saving the task failed (0x80070003)"},
        {L".exe", "creating the task failed (0x80070005)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failure);
        const std::wstring application = Application(L"Kept", c.ending);
        const std::wstring name = ScheduleTaskName(application);
        ASSERT_TRUE(ApplySchedule(0, application, L"bg", TestLog()).applied);
        const std::optional<StoredTask> before = Stored(name);
        ASSERT_TRUE(before);

        FailingAfterDelete scheduler(name);
        const ScheduleOutcome outcome = ApplySchedule(2, application, L"other", TestLog(), scheduler.Connection());
        EXPECT_FALSE(outcome.applied);
        EXPECT_EQ(WideToUtf8(outcome.message), std::string("Unable to save the schedule: ") + c.failure);
        EXPECT_EQ(scheduler.hits, 1) << "the old task was never deleted";

        const std::optional<StoredTask> after = Stored(name);
        ASSERT_TRUE(after) << WideToUtf8(name);
        EXPECT_WSTREQ8(L"bg", after->parameters);
        EXPECT_EQ(0, std::memcmp(&before->trigger, &after->trigger, sizeof(TASK_TRIGGER)));
        EXPECT_EQ(after->flags, before->flags);
    }
    EXPECT_EQ(CountTasksStartingWith(L"Renewix task in progress " + std::to_wstring(GetCurrentProcessId()) + L" "), 0);
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
    EXPECT_FALSE(Stored(ScheduleTaskName(application)));
}

// When a trigger fires next after a given time. The fields a choice writes are checked as the
// scheduler holds them above; here they need only fire on the right days.
TEST(ScheduleTrigger, NextRunFromTheStartFrequencyAndEndDate) {
    const SYSTEMTIME monday = At(2026, 12, 7, 10, 30), long31st = At(2027, 1, 31, 22, 15);
    // Frequencies: 1 once, 2 daily, 3 weekly (on Sundays), 4 monthly; an end day is in the
    // start's month.
    const struct { SYSTEMTIME start; int frequency; SYSTEMTIME now; const char* next; WORD endDay = 0; } rows[] = {
        // Monthly on the 31st runs only in long months.
        {long31st, 4, At(2027, 1, 31, 23, 0), "2027-03-31 22:15"},
        {long31st, 4, At(2027, 3, 31, 23, 0), "2027-05-31 22:15"},
        {long31st, 4, At(2026, 12, 1), "2027-01-31 22:15"},  // before the start
        {monday, 2, At(2026, 12, 20, 9, 0), "2026-12-20 10:30"},
        {monday, 2, At(2026, 12, 20, 11, 0), "2026-12-21 10:30"},
        {monday, 3, At(2026, 12, 7, 11, 0), "2026-12-13 10:30"},
        {monday, 3, At(2026, 12, 8), "never", 12},
        {monday, 1, At(2026, 12, 1), "2026-12-07 10:30"},
        {monday, 1, At(2026, 12, 8), "never"},
    };
    for (const auto& row : rows) {
        CScheduledTask task;
        task.SetStartDateTime(row.start);
        task.SetFrequency(row.frequency);
        TASK_TRIGGER trigger = task.Trigger();
        if (row.endDay) {
            trigger.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
            trigger.wEndYear = row.start.wYear;
            trigger.wEndMonth = row.start.wMonth;
            trigger.wEndDay = row.endDay;
        }
        EXPECT_EQ(Text(NextRunTime(trigger, row.now)), row.next)
            << "frequency " << row.frequency << " at " << Text(row.now);
    }
}

}  // namespace
