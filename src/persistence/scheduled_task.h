// The periodic background check, as a task of the Windows Task Scheduler (version 1 interfaces).
#pragma once

#include <windows.h>
#include <mstask.h>

#include <functional>
#include <optional>
#include <string>

#include "foundation/win_resource.h"

class Log;

// Connects to the Task Scheduler: the machine's own (ConnectTaskScheduler) unless a caller hands
// in another, as the tests do to make a step fail.
using SchedulerConnection = std::function<HRESULT(renewix::ComPtr<ITaskScheduler>& scheduler)>;
HRESULT ConnectTaskScheduler(renewix::ComPtr<ITaskScheduler>& scheduler);

// The step of writing or deleting a task that failed, and the scheduler's answer to it.
struct ScheduleFailure {
    std::wstring step;  // "saving the task"
    HRESULT result = E_FAIL;
    // A replaced task that could not be written back after the failure (S_OK: it was, or
    // there was none).
    HRESULT restore = S_OK;
    // "saving the task failed (0x80070005)"
    std::wstring Describe() const;
};

class CScheduledTask {
public:
    CScheduledTask();
    virtual ~CScheduledTask() = default;

    void SetProgram(const std::wstring& program) { program_ = program; }
    void SetParameters(const std::wstring& parameters) { parameters_ = parameters; }
    void SetStartingDirectory(const std::wstring& directory) { startingDirectory_ = directory; }
    void SetAccountName(const std::wstring& account) { accountName_ = account; }
    void SetComment(const std::wstring& comment) { comment_ = comment; }
    // Copies the time with its seconds and milliseconds cleared.
    void SetStartDateTime(const SYSTEMTIME& start);
    void SetFrequency(int frequency) { frequency_ = frequency; }

    // Writes the task, replacing one of that name. The schedule that is set stays in place
    // unless the new one is saved: nothing when it was, else the step that failed.
    [[nodiscard]] std::optional<ScheduleFailure> SaveTask(const std::wstring& name,
                                                          const SchedulerConnection& connect = ConnectTaskScheduler);
    // Deletes the task; a task that is not there counts as deleted.
    [[nodiscard]] static std::optional<ScheduleFailure> DeleteTask(
        const std::wstring& name, const SchedulerConnection& connect = ConnectTaskScheduler);

    // The trigger this task's settings make (pure: the tests read it directly).
    TASK_TRIGGER Trigger() const;

private:
    void Reset();
    // Fills a new item with this task's settings; `disabled` keeps it from ever running.
    std::optional<ScheduleFailure> Fill(ITask* task, bool disabled) const;

    SYSTEMTIME start_{};
    SYSTEMTIME end_{};
    int frequency_ = 0;
    std::wstring program_;
    std::wstring parameters_;
    std::wstring startingDirectory_;
    std::wstring accountName_;
    std::wstring password_;
    std::wstring comment_;
    bool nt_;
};

// What a saved task says about the schedule.
struct ScheduleInfo {
    int frequency = 0;           // 1 once, 2 daily, 3 weekly, 4 monthly (0 for anything else)
    std::wstring program;
    std::wstring parameters;
    std::wstring startingDirectory;
    std::wstring comment;
    DWORD flags = 0;
    TASK_TRIGGER trigger{};
    std::optional<SYSTEMTIME> nextRun;  // from the trigger, after `now`
};

// Reads a task back through the same interfaces; nothing when no task of that name exists.
std::optional<ScheduleInfo> ReadScheduledTask(const std::wstring& name, const SYSTEMTIME& now);

// The frequency a trigger stands for (2 daily, 3 weekly, 4 monthly by date, 1 once, 0 other).
int FrequencyOfTrigger(const TASK_TRIGGER& trigger);
// The first time after `now` at which the trigger fires, from its own fields (Wine's scheduler
// does not compute it); nothing when it never fires again.
std::optional<SYSTEMTIME> NextRunTime(const TASK_TRIGGER& trigger, const SYSTEMTIME& now);

// The task of one main application: name and comment as the schedule page writes them.
std::wstring ScheduleTaskName(const std::wstring& mainApplicationName);
std::wstring ScheduleComment(const std::wstring& mainApplicationName);

// The schedule page's choice applied: 0 daily, 1 weekly, 2 monthly, 3 never, anything else
// saved as monthly. An empty message means success; otherwise the text to show the user.
struct ScheduleOutcome {
    bool applied = true;
    std::wstring message;
};
// What the schedule page shows for a task that is set: the choice of its frequency (0 daily,
// 1 weekly, 2 monthly; -1 for any other) and the line that says when it runs next.
int ScheduleChoiceOf(int frequency);
std::wstring NextRunNote(const std::optional<SYSTEMTIME>& nextRun);

// Every refusal and failure is written to `log` too.
ScheduleOutcome ApplySchedule(int selection, const std::wstring& mainApplicationName,
                              const std::wstring& backgroundKeyword, Log& log,
                              const SchedulerConnection& connect = ConnectTaskScheduler);
