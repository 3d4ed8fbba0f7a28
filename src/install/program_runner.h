// Runs the programs the document lists for one point of an update.
#pragma once

#include <vector>

#include "description/execute_list.h"

class Log;

// Runs every entry of `point` in list order, waiting for those that ask it; always 1. A
// program that is not there yet is looked for twice more before it is skipped.
int RunExecutePoint(const std::vector<ExecuteEntry>& entries, int point, Log& log);

// How long a missing program is waited for between its two retries, and how long a started
// program is waited for; tests shorten neither.
inline constexpr unsigned kMissingProgramRetryMs = 1000;
inline constexpr unsigned kWaitForProgramMs = 30000;
