#pragma once
// The daily database backup: Backup/VantorWeb-MM-DD.mdb, named after the day that has just ended.

#include "logging/app_event.hpp"
#include "platform/async/worker_pool.hpp"

#include <filesystem>
#include <string>

namespace vantor {

// Copies the database with SQLite's online backup on the worker pool, so the copy is consistent
// while the service keeps writing. The copy is written under a temporary name and renamed into
// place before the older backups are removed: a failed copy never leaves the service without a
// backup. Failures are logged (level 1). A completed backup ends with a 1000 ms pause.
asio::awaitable<void> BackupDatabase(Clock& clock, WorkerPool& pool, AppEventLog& events,
                                     std::filesystem::path programDir);

// The backup's file name for a job running at `now`: the month and day of one hour earlier.
std::string BackupFileName(SystemTime now);

// Copies `source` into `target` (replaced) page by page; returns an error text or "".
std::string CopyDatabase(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace vantor
