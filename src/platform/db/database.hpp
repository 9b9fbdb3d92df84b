#pragma once
// A connection to the service's SQLite database. Each procedure that touches the database opens
// its own connection and lets it close when it goes out of scope. A connection belongs to the
// thread that opened it; its calls block that thread for at most the busy timeout.
//
// Failures never throw: every call returns a DbStatus whose text describes the error in plain
// words. Values are always bound as parameters, so no value can change what a statement does.

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vantor {

// NULL, INTEGER, REAL or TEXT, as SQLite stores them.
using DbValue = std::variant<std::monostate, std::int64_t, double, std::string>;

struct DbStatus {
  bool ok = true;
  std::string error;
  int code = 0;  // SQLite's primary result code of the failure (SQLITE_BUSY, ...); 0 when unknown

  static DbStatus Ok() { return {}; }
  static DbStatus Failure(std::string text, int code = 0) { return {false, std::move(text), code}; }
  explicit operator bool() const { return ok; }

  // A failure that may pass by itself: a lock held by another program, a file that is missing,
  // unreadable, read-only or on a full disk. Statement errors (a missing column, a constraint)
  // are not: repeating the statement cannot help.
  bool Transient() const;
};

// One result row; columns keep their names so readers can find them by name.
struct DbRow {
  std::shared_ptr<const std::vector<std::string>> names;
  std::vector<DbValue> values;

  // The value of the named column, or nullptr when the row has no such column.
  const DbValue* Find(std::string_view column) const;
};

class Database {
 public:
  // kReadOnly opens through a read-only file descriptor: it never creates the file nor a journal
  // beside it, and no statement can change the file.
  enum class Mode { kReadOnly, kReadWrite, kCreate };

  // Opens the file; kReadOnly and kReadWrite never create it. The connection waits up to `busyTimeoutMs` for
  // a lock held by another process (the operator's console, a backup).
  static std::unique_ptr<Database> Open(const std::filesystem::path& file, Mode mode,
                                        DbStatus& status, int busyTimeoutMs = 2000);
  ~Database();

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one statement with its parameters bound in order, discarding any rows.
  DbStatus Execute(std::string_view sql, const std::vector<DbValue>& params = {});

  // Runs one statement and collects every row it returns.
  DbStatus Query(std::string_view sql, const std::vector<DbValue>& params, std::vector<DbRow>& rows);

  // Runs several statements without parameters (schema scripts).
  DbStatus ExecuteScript(std::string_view sql);

  // Number of rows changed by the last Execute.
  int Changes() const;

  // Names of the columns of a table, in order; empty when the table does not exist.
  DbStatus TableColumns(std::string_view table, std::vector<std::string>& columns);

  sqlite3* handle() const { return db_; }

 private:
  Database(sqlite3* db, std::string fileName) : db_(db), fileName_(std::move(fileName)) {}
  DbStatus Describe(int rc, std::string_view what) const;

  sqlite3* db_;
  std::string fileName_;  // the file's name without its folder, for error texts
};

// Plain-words description of a value, for error texts ("NULL", "42", "'abc'").
std::string DescribeValue(const DbValue& value);

}  // namespace vantor
