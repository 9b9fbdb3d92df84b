#pragma once
// Housekeeping of the Debug and KeepAlive folders.

#include "logging/app_event.hpp"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vantor {

// Deletes the per-connection trace files: Debug/Ws*.txt, Debug/Test*.txt, KeepAlive/Ws*.txt.
// A folder that does not exist holds nothing to delete. A deletion that fails ends the run with
// a level-1 event; later patterns wait for the next run.
asio::awaitable<void> ClearDebugDir(const std::filesystem::path& programDir, AppEventLog& log);

// Drops event-log lines whose date is 60 or more days before `today`. A stale AppEvent.bak left
// by an interrupted run is merged in front of the current file, so no line is lost.
asio::awaitable<void> ClearDebugDir_AE(const std::filesystem::path& programDir,
                                       std::chrono::year_month_day today, AppEventLog& log);

// The lines of the event log that a run on `today` keeps, in their order. Lines of 10 characters
// or fewer are dropped. A line that does not start with a date belongs to the dated line above it
// and shares its fate; undated lines before the first dated one are kept.
std::vector<std::string> KeepRecentEventLines(const std::vector<std::string>& lines,
                                              std::chrono::year_month_day today);

// Today's local date.
std::chrono::year_month_day LocalDate(SystemTime time);

}  // namespace vantor
