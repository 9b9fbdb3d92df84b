#include "logging/backup.hpp"

#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/schema.hpp"
#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"

#include <sqlite3.h>

namespace vantor {
namespace fs = std::filesystem;

std::string BackupFileName(SystemTime now) {
  return "VantorWeb-" + FormatMonthDay(now - std::chrono::hours(1)) + ".mdb";
}

std::string CopyDatabase(const fs::path& source, const fs::path& target) {
  sqlite3* from = nullptr;
  sqlite3* to = nullptr;
  std::string error;
  if (sqlite3_open_v2(source.c_str(), &from, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    error = "Cannot open the database: " + std::string(sqlite3_errmsg(from));
  } else if (sqlite3_open_v2(target.c_str(), &to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr) != SQLITE_OK) {
    error = "Cannot create " + target.string() + ": " + sqlite3_errmsg(to);
  } else {
    sqlite3_busy_timeout(from, 5000);
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup) {
      error = "Backup failed: " + std::string(sqlite3_errmsg(to));
    } else {
      int rc;
      // Small steps let other writers in between; a busy database is retried.
      while ((rc = sqlite3_backup_step(backup, 64)) == SQLITE_OK || rc == SQLITE_BUSY ||
             rc == SQLITE_LOCKED) {
        if (rc != SQLITE_OK) sqlite3_sleep(20);
      }
      sqlite3_backup_finish(backup);
      if (rc != SQLITE_DONE) error = "Backup failed: " + std::string(sqlite3_errstr(rc));
    }
  }
  sqlite3_close(from);
  sqlite3_close(to);
  return error;
}

asio::awaitable<void> BackupDatabase(Clock& clock, WorkerPool& pool, AppEventLog& events,
                                     fs::path programDir) {
  co_await Guarded(events, kCodeModule, "BackupDatabase", [&]() -> asio::awaitable<void> {
    const fs::path folder = programDir / "Backup";
    const fs::path database = programDir / kDatabaseFileName;
    const std::string name = BackupFileName(clock.Now());
    if (!fs::is_directory(folder)) throw ProcedureError("Path not found: " + folder.string());
    if (!fs::exists(database)) throw ProcedureError("File not found: " + database.string());
    const fs::path temp = folder / (name + ".tmp");
    // Named before the co_await: GCC 12 mishandles closures that own memory when they are
    // temporaries of a co_await expression.
    auto copy = [database, temp] {
      std::error_code ignored;
      fs::remove(temp, ignored);
      std::string failure = CopyDatabase(database, temp);
      if (!failure.empty()) fs::remove(temp, ignored);
      return failure;
    };
    const std::string error = co_await pool.Run(std::move(copy));
    if (!error.empty()) throw ProcedureError(error);
    fs::rename(temp, folder / name);
    for (const auto& old : MatchFiles(folder, "VantorWeb-", ".mdb")) {
      if (old.filename() != name) fs::remove(old);
    }
    co_await PauseMs(clock, 1000);
  });
}

}  // namespace vantor
