#include "platform/db/database.hpp"

#include <fmt/format.h>

namespace vantor {
namespace {

// Statements are finalized however the function ends.
struct StatementDeleter {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

int Bind(sqlite3_stmt* stmt, int index, const DbValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return sqlite3_bind_null(stmt, index);
  if (auto* i = std::get_if<std::int64_t>(&value)) return sqlite3_bind_int64(stmt, index, *i);
  if (auto* d = std::get_if<double>(&value)) return sqlite3_bind_double(stmt, index, *d);
  const auto& text = std::get<std::string>(value);
  return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                           SQLITE_TRANSIENT);
}

DbValue ColumnValue(sqlite3_stmt* stmt, int column) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER: return static_cast<std::int64_t>(sqlite3_column_int64(stmt, column));
    case SQLITE_FLOAT: return sqlite3_column_double(stmt, column);
    case SQLITE_NULL: return std::monostate{};
    default: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      return std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
    }
  }
}

}  // namespace

const DbValue* DbRow::Find(std::string_view column) const {
  for (std::size_t i = 0; i < names->size(); ++i) {
    if ((*names)[i] == column) return &values[i];
  }
  return nullptr;
}

std::unique_ptr<Database> Database::Open(const std::filesystem::path& file, Mode mode,
                                         DbStatus& status, int busyTimeoutMs) {
  int flags = SQLITE_OPEN_NOMUTEX;
  flags |= mode == Mode::kReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  if (mode == Mode::kCreate) flags |= SQLITE_OPEN_CREATE;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    status = DbStatus::Failure(fmt::format("Cannot open the database {}: {}", file.string(),
                                           db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)),
                               rc & 0xff);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, busyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  std::unique_ptr<Database> result(new Database(db, file.filename().string()));
  // Opening is lazy in SQLite; reading the schema now turns a foreign file into a clear error.
  status = result->Execute("SELECT count(*) FROM sqlite_master");
  if (!status) return nullptr;
  status = DbStatus::Ok();
  return result;
}

Database::~Database() { sqlite3_close(db_); }

bool DbStatus::Transient() const {
  switch (code) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_READONLY:
    case SQLITE_PROTOCOL:
    case SQLITE_NOTADB:  // replaced by another file: an operator will put the database back
    case SQLITE_CORRUPT:
      return true;
    default:
      return false;
  }
}

DbStatus Database::Describe(int rc, std::string_view what) const {
  if ((rc & 0xff) == SQLITE_NOTADB) {
    return DbStatus::Failure(
        fileName_ + " is not an SQLite database (it may be a file of another database "
                    "program); the service cannot read it",
        SQLITE_NOTADB);
  }
  return DbStatus::Failure(fmt::format("Database error while {}: {}", what, sqlite3_errmsg(db_)), rc & 0xff);
}

DbStatus Database::Execute(std::string_view sql, const std::vector<DbValue>& params) {
  std::vector<DbRow> ignored;
  return Query(sql, params, ignored);
}

DbStatus Database::Query(std::string_view sql, const std::vector<DbValue>& params,
                         std::vector<DbRow>& rows) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  Statement stmt(raw);
  if (rc != SQLITE_OK) return Describe(rc, "preparing a statement");
  for (std::size_t i = 0; i < params.size(); ++i) {
    rc = Bind(stmt.get(), static_cast<int>(i + 1), params[i]);
    if (rc != SQLITE_OK) return Describe(rc, "binding a value");
  }
  const int columns = sqlite3_column_count(stmt.get());
  auto names = std::make_shared<std::vector<std::string>>();
  for (int c = 0; c < columns; ++c) names->emplace_back(sqlite3_column_name(stmt.get(), c));
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    DbRow row{names, {}};
    row.values.reserve(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) row.values.push_back(ColumnValue(stmt.get(), c));
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) return Describe(rc, "running a statement");
  return DbStatus::Ok();
}

DbStatus Database::ExecuteScript(std::string_view sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return DbStatus::Ok();
  std::string text = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  if ((rc & 0xff) == SQLITE_NOTADB) return Describe(rc, "");
  return DbStatus::Failure("Database error: " + text, rc & 0xff);
}

int Database::Changes() const { return sqlite3_changes(db_); }

DbStatus Database::TableColumns(std::string_view table, std::vector<std::string>& columns) {
  std::vector<DbRow> rows;
  auto status = Query("SELECT name FROM pragma_table_info(?)", {std::string(table)}, rows);
  for (const auto& row : rows) columns.push_back(std::get<std::string>(row.values[0]));
  return status;
}

std::string DescribeValue(const DbValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return "NULL";
  if (auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&value)) return fmt::format("{}", *d);
  return "'" + std::get<std::string>(value) + "'";
}

}  // namespace vantor
