#include "persistence/scheduled_task.h"

#include <gtest/gtest.h>

#include <mstask.h>

#include <cstdio>

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

// How many tasks of the scheduler carry this name (as "<name>.job", the form Enum gives).
int CountTasks(const std::wstring& name) {
    renewix::ComPtr<ITaskScheduler> scheduler;
    if (FAILED(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                                scheduler.put_void()))) {
        return -1;
    }
    renewix::ComPtr<IEnumWorkItems> items;
    if (FAILED(scheduler->Enum(items.put()))) return -1;
    int count = 0;
    LPWSTR* names = nullptr;
    ULONG fetched = 0;
    while (items->Next(1, &names, &fetched) == S_OK && fetched == 1) {
        std::wstring found = names[0];
        CoTaskMemFree(names[0]);
        CoTaskMemFree(names);
        if (found == name || found == name + L".job") ++count;
    }
    return count;
}

class ScheduledTaskTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(com_.succeeded()); }
    void TearDown() override {
        for (const std::wstring& name : names_) {
            try {
                CScheduledTask::DeleteTask(name);
            } catch (const ScheduleError& error) {
                ADD_FAILURE() << "the test's task stays behind: " << std::string(error.text.begin(), error.text.end());
            }
        }
    }

    // A main application name of this test's own, ending in ".exe" as real ones do.
    std::wstring Application(const wchar_t* stem) {
        const std::wstring name = std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L".exe";
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
        ASSERT_TRUE(ApplySchedule(c.selection, application, L"0").applied) << c.selection;
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
    ASSERT_TRUE(ApplySchedule(0, application, L"bg").applied);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    ASSERT_TRUE(ReadScheduledTask(ScheduleTaskName(application), now));
    EXPECT_TRUE(ApplySchedule(3, application, L"bg").applied);
    EXPECT_FALSE(ReadScheduledTask(ScheduleTaskName(application), now));
    EXPECT_EQ(CountTasks(ScheduleTaskName(application)), 0);
    // Never! with nothing to delete: the schedule asked for (none) is in place.
    const ScheduleOutcome again = ApplySchedule(3, application, L"bg");
    EXPECT_TRUE(again.applied);
    EXPECT_WSTREQ8(L"", again.message);
    EXPECT_HR_EQ(E_FAIL, CScheduledTask::DeleteTask(L""));
}

TEST_F(ScheduledTaskTest, AnEmptyApplicationNameAndMissingSettings) {
    names_.push_back(ScheduleTaskName(L""));
    EXPECT_WSTREQ8(L"Automatic Updates Checking for ", ScheduleTaskName(L""));
    ASSERT_TRUE(ApplySchedule(2, L"", L"0").applied);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    EXPECT_TRUE(ReadScheduledTask(L"Automatic Updates Checking for ", now));

    CScheduledTask task;
    task.SetProgram(L"C:\\x.exe");
    try {
        task.SaveTask(L"never saved", false);
        ADD_FAILURE() << "saved without a start";
    } catch (const ScheduleError& error) {
        EXPECT_TRUE(error.wide);
        EXPECT_WSTREQ8(L"Missing parameters", error.text);
    }
}

TEST_F(ScheduledTaskTest, AnExistingTaskWithFailIfExists) {
    const std::wstring application = Application(L"Twice");
    ASSERT_TRUE(ApplySchedule(0, application, L"0").applied);
    CScheduledTask task;
    task.SetProgram(L"C:\\x.exe");
    task.SetStartDateTime(At(2026, 5, 4, 3, 2));
    try {
        task.SaveTask(ScheduleTaskName(application), true);
        ADD_FAILURE() << "replaced an existing task";
    } catch (const ScheduleError& error) {
        EXPECT_FALSE(error.wide);
        EXPECT_WSTREQ8(L"CScheduledTask::SaveTask() - A task with the given name already exists; failing.\n",
                       error.text);
    }
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
